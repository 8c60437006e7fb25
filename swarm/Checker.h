#pragma once
// Receives the client's events, as a client's event sink would, and checks each against
// the simulated world's truth: nothing delivered that the controller did not hold,
// nothing reported done that the controller did not do.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SwarmFamily.h"
#include "Truth.h"
#include "client/clsBoschECU.h"
#include "platform/Clock.h"

namespace quorvan::swarm {

// The reflash step whose outcome the client waits for.
struct FlashStep {
  enum class Kind { Init, Write, Verify, Ident } kind = Kind::Init;
  std::size_t block = 0;
  std::string data;        // Write: the block; Verify: the whole image
  std::size_t offset = 0;  // Write: where the block lands in the flash
};

class Checker final : public __clsBoschECU {
 public:
  // How long before an event a value may have been read.
  static constexpr std::uint64_t kReadWindowUs = 3'000'000;

  Checker(Scheduler& clock, SwarmFamily& family, Truth& truth)
      : clock_(clock), family_(family), truth_(truth) {}

  void CommStatus(std::int32_t signal) override;
  void NewData(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData) override;
  void NewFaults(std::int16_t itemNum, std::int32_t timeStamp,
                 const std::string& faultCodes) override;
  void NewFlags(std::int16_t, std::int32_t, std::int32_t) override {}
  void FaultsCleared(bool success) override;
  void CommandComplete(bool success) override;
  void DamnIt(const std::string& note) override;

  // The world's fault list as it is now goes into the truth when it changed.
  void syncFaults();
  void violation(const std::string& what);
  // With a journal, every client call and event goes into it with its instant.
  void journal(const std::string& what);
  void journalAt(std::uint64_t us, const std::string& what);
  void keepJournal() { keepJournal_ = true; }
  const std::vector<std::string>& journalLines() const { return journal_; }

  // Set by the client.
  std::optional<FlashStep> flashStep;
  // Called before the first violation is noted, while the server is as it broke the rule.
  std::function<void()> onFirstViolation;
  // The identity the server holds now, in the form of SwarmFamily::identity().
  std::function<std::string()> serverIdentity;
  // A command asked for; commands asked before the last one completed are one request
  // (the server holds one), so the earliest counts.
  void commandAsked(std::uint64_t us) {
    if (!commandPending_) commandAskedUs_ = us;
    commandPending_ = true;
  }

  const std::vector<std::string>& violations() const { return violations_; }
  std::int32_t lastStatus() const { return lastStatus_; }
  std::uint64_t lastDataUs(std::int16_t item) const;
  // When an identification last reported flashReady (0: never).
  std::uint64_t lastIdentUs() const { return lastIdentUs_; }

 private:
  std::uint64_t nowUs() { return clock_.nowUs(); }
  bool slotHeld(int slot, std::int64_t value, std::uint64_t fromUs, std::uint64_t toUs) const;
  void checkFlashReady();

  Scheduler& clock_;
  SwarmFamily& family_;
  Truth& truth_;
  std::int32_t lastStatus_ = -1;
  std::map<std::int16_t, std::uint64_t> lastData_;
  std::vector<std::string> violations_;
  std::uint64_t commandAskedUs_ = 0;
  bool commandPending_ = false;
  std::uint64_t lastIdentUs_ = 0;
  bool keepJournal_ = false;
  std::vector<std::string> journal_;
};

}  // namespace quorvan::swarm

#pragma once
// The Bosch MSE 1.1 engine controller on the vehicle end of a SimLine, reprogrammed over
// KWP2000 (ISO 14230).
//
// Asleep, it waits for the fast-init pattern: the line held low for about 25 ms, then
// high (read from the line levels). Behind a pseudo-terminal, which carries no levels,
// the StartCommunication request wakes it when it follows the tester's cable-detect
// packet, which arrives at another bit rate (Mse11Config::wakeOnRequest). Then:
//  - StartCommunication 81: its key bytes C1 8F EA, in a frame with addresses;
//  - timing parameters 83 03 ..., the diagnostic session 10 85 03 (after whose answer it
//    listens at 38400 bit/s), security access 27 81 (a 32-bit seed) and 27 82 (the key
//    from KeyFromSeed);
//  - memory reads 23 03 00 a n from its identification area (customer text at 03 E7,
//    hardware number at 03 F1, least significant byte first);
//  - the erase 31 02 (response pending, then the start; 33 02 answers "not complete"
//    until the erase is done), the download 34 of the 63232-byte image, transfers 36
//    written into its flash in order, the transfer exit 37;
//  - the verify 31 01 with the 32-bit sum of the image, its result 33 01 (positive only
//    when the flash holds that sum), and StopCommunication 82, after which it sleeps.
// Bytes it cannot decode mean the tester went back to 10400 bit/s (a new wake-up): the
// communication ends. A reset or a power loss ends everything but the memory, and the
// controller is deaf while it boots.
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "sim/EventGroup.h"
#include "sim/SimEcu.h"
#include "sim/VisteonInjections.h"

namespace quorvan::sim {

struct Mse11Config {
  std::uint64_t replyDelayUs = 5'000;      // from the request's last byte to the answer
  std::uint64_t erasePendingUs = 300'000;  // 31 02: the pending answer to the start
  std::uint64_t eraseTimeUs = 2'000'000;   // the whole image
  std::uint64_t verifyTimeUs = 500'000;    // summing the image
  std::uint64_t bootTimeUs = 100'000;      // deaf after a reset or a power-up
  std::uint64_t byteTimeoutUs = 50'000;    // a frame that stops half way is forgotten
  std::uint32_t randomSeed = 0x5EED;       // security seeds: every run is the same run
  // Behind a pseudo-terminal: woken by the StartCommunication request after bytes it
  // could not decode (the cable-detect packet, or a tester back at the wake-up rate).
  bool wakeOnRequest = false;
};

class Mse11Ecu final : public SimEcu {
 public:
  static constexpr std::uint32_t kBaseBitRate = 10400;
  static constexpr std::uint32_t kSessionBitRate = 38400;

  // Receives one line per answered request, e.g. "23 03 00 F1 03 -> 63 01 02 03".
  using ExchangeLog = std::function<void(const std::string&)>;

  explicit Mse11Ecu(SimLine& line, Mse11Config config = {});

  // Its identification: a customer text (ten characters) and a hardware number.
  void setIdentification(std::string_view customer, std::uint32_t hardware);
  const std::string& flash() const { return flash_; }
  void loadFlash(std::string_view image);
  Mse11Config& config() { return config_; }

  // What it is doing.
  bool communicating() const { return session_.communicating; }
  bool unlocked() const { return session_.unlocked; }
  bool erasing() const { return session_.erase == Progress::Running; }
  std::size_t received() const { return session_.written; }
  bool booting() { return nowUs() < awakeAtUs_; }
  int wakeUps() const { return wakeUps_; }
  int restarts() const { return restarts_; }
  std::size_t badFrames() const { return badFrames_; }

  // Misbehaviour, switched on at any time: what (a visteon::Misbehaviour by name: a
  // negative answer, silence, a late answer, an answer cut short or one whose data byte
  // is spoilt on the way) for the next `times`
  // requests of service (a service byte or visteon::kAnyService; visteon::kForever).
  void inject(int service, visteon::Misbehaviour what, int times = 1) {
    injections_.add(service, what, times);
  }
  // The next key it is sent counts as wrong.
  void injectWrongKey() { wrongKey_ = true; }
  // Resets once the count-th transfer of the download has been taken in.
  void resetAfterTransfers(std::size_t count) { resetAfterTransfers_ = count; }
  void clearInjections();
  void reset();

  void setExchangeLog(ExchangeLog log) { log_ = std::move(log); }

  void onWireByte(const RxByte& byte) override;
  void onLineLevel(bool low, std::uint64_t atUs) override;

 private:
  enum class Progress { Idle, Running, Done };
  struct Answer {
    std::string data;
    bool addressed = false;
    std::function<void()> afterSent = nullptr;  // runs once the answer is on its way
  };
  using MaybeAnswer = std::optional<Answer>;

  // What the controller holds of the tester's communication; lost on a reset.
  struct Session {
    bool communicating = false;
    bool diagnostic = false;
    std::optional<std::uint32_t> seed;
    bool unlocked = false;
    Progress erase = Progress::Idle;
    bool downloading = false;
    std::size_t written = 0;  // bytes of the image taken in since the download began
    std::size_t transfers = 0;
    Progress verify = Progress::Idle;
    std::uint32_t verifySum = 0;
  };

  // Receiving and answering (Mse11Ecu.cpp).
  void onPowerLost() override;
  void onPowerRestored() override;
  void endCommunication();
  void takeFrame(const std::string& frame, std::uint64_t lastByteUs);
  void serve(const std::string& data, std::uint64_t replyAtUs);
  MaybeAnswer answerFor(const std::string& data);
  void sendAnswer(const std::string& request, Answer answer, std::uint64_t atUs,
                  std::optional<visteon::Misbehaviour> onWire = std::nullopt);
  static Answer negative(std::uint8_t service, std::uint8_t code);
  Answer startCommunication();
  Answer timing(const std::string& data);
  Answer startSession(const std::string& data);
  Answer readMemory(const std::string& data) const;

  // Security access and reflash (Mse11Reflash.cpp).
  Answer securityAccess(const std::string& data);
  MaybeAnswer startRoutine(const std::string& data, std::uint64_t replyAtUs);
  Answer routineResult(const std::string& data) const;
  Answer requestDownload(const std::string& data);
  MaybeAnswer transferData(const std::string& data);
  Answer transferExit();
  Answer startVerify(const std::string& data);

  Mse11Config config_;
  EventGroup timers_;
  std::mt19937 random_;
  std::string flash_;
  std::string customer_;
  std::uint32_t hardware_ = 0;

  Session session_;
  bool wakeUpSeen_ = false;  // the fast-init pattern ended: StartCommunication may follow
  std::uint64_t lowSinceUs_ = 0;
  std::string frame_;  // bytes of the request being heard
  EventGroup::Handle frameTimeout_ = 0;
  std::uint64_t awakeAtUs_ = 0;
  int wakeUps_ = 0;
  int restarts_ = 0;
  std::size_t badFrames_ = 0;
  visteon::Injections injections_;
  bool wrongKey_ = false;
  std::optional<std::size_t> resetAfterTransfers_;
  ExchangeLog log_;
};

}  // namespace quorvan::sim

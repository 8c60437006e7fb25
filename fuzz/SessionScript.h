#pragma once
// The controller's side of a whole server session, written by the fuzzer: a first byte
// of client choices, then (gap, byte) pairs. A gap code with its top bit set waits for
// the server's next byte (or release of the line) and counts from there (a reply to a
// request); otherwise the gap counts from the controller's previous byte.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimEcu.h"
#include "sim/SimLine.h"

namespace quorvan::fuzz {

inline constexpr std::uint8_t kAfterServer = 0x80;

struct ScriptByte {
  bool afterServer = false;
  std::uint64_t gapUs = 0;
  std::uint8_t value = 0;
};

// Gap codes 0..127: quarter milliseconds up to 16 ms, then 2 ms steps up to 110 ms, then
// 256 ms steps up to about 4 s, so that both byte timing and time-outs can be written.
std::uint64_t GapUs(std::uint8_t code);
// The code of the longest gap not longer than gapUs.
std::uint8_t GapCode(std::uint64_t gapUs);

std::vector<ScriptByte> ReadScript(std::string_view pairs);
// The controller's bytes of a wire log, written as a script.
std::string WriteScript(const sim::SimLine& line);

// A controller that sends the script's bytes at the server's bit rate, whatever it hears.
class ScriptedController final : public sim::SimEcu {
 public:
  ScriptedController(sim::SimLine& line, std::vector<ScriptByte> script,
                     std::function<std::uint32_t()> serverRate);

  void start();
  bool finished() const { return next_ >= script_.size(); }

  void onWireByte(const sim::RxByte& byte) override;
  void onLineLevel(bool low, std::uint64_t atUs) override;

 private:
  void heardServer();
  void scheduleNext();
  void sendNext();

  std::vector<ScriptByte> script_;
  std::function<std::uint32_t()> serverRate_;
  std::size_t next_ = 0;
  std::uint64_t lastSendUs_ = 0;
  bool waitingForServer_ = false;
  sim::EventGroup::Handle pending_ = 0;
};

}  // namespace quorvan::fuzz

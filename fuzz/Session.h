#pragma once
// A whole server session on the virtual clock against whatever sits on the controller's
// end of the line: the client connects, watches its family's items and, as the first
// byte of the input chooses, clears faults, sends a command, runs flash steps and
// restarts the link. The session fuzz targets put a scripted controller there; the seed
// maker puts the family's simulated controller there and writes down what it said.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimEnds.h"
#include "support/SimServerWorld.h"

namespace quorvan::fuzz {

struct SessionItem {
  std::int32_t address = 0;
  std::int16_t size = 1;
  std::int32_t kind = 0;
};

struct SessionFamily {
  const char* target;  // the fuzz target's name
  std::int32_t device = 0;
  void (*prepareLine)(sim::SimLine& line) = nullptr;
  std::vector<SessionItem> items;
  // The family's simulated controller, for the seeds.
  std::unique_ptr<sim::VehicleEnd> (*makeModel)(sim::SimLine& line) = nullptr;
  // Bytes of one flash block; 0 when the family is not reflashed.
  std::size_t flashBlock = 0;
};

// The client's choices, bits of the input's first byte.
namespace choice {
inline constexpr std::uint8_t kDebugTrace = 0x01;
inline constexpr std::uint8_t kClearFaults = 0x02;
inline constexpr std::uint8_t kCommand = 0x04;
inline constexpr std::uint8_t kRestartLink = 0x08;
inline constexpr std::uint8_t kFlashSteps = 0x10;
}  // namespace choice

const std::vector<SessionFamily>& SessionFamilies();
const SessionFamily& SessionFamilyOf(std::string_view target);

class Session {
 public:
  Session(const SessionFamily& family, std::uint8_t choices);

  // The server's receive bit rate now.
  std::uint32_t serverRate();
  // Connects and runs the client's script until `finished` holds and the line has been
  // left alone a while, or the time cap has passed. Breaks of the server's bounds abort.
  void run(const std::function<bool()>& finished);

  testing::SimServerWorld world;

 private:
  void clientCall(std::uint64_t atMs, std::function<void()> call);
  void scheduleClient();
  void slice(std::uint32_t ms);
  void checkBounds();

  const SessionFamily& family_;
  std::uint8_t choices_;
  bool ended_ = false;
};

// The first byte of choices, then the script of what the family's simulated controller
// said in a session with those choices.
std::string RecordSession(const SessionFamily& family, std::uint8_t choices);

// Feeds a session of the family from the input: choices, then (gap, byte) pairs.
void FuzzSession(std::string_view target, std::string_view input);

}  // namespace quorvan::fuzz

#include "Session.h"

#include <algorithm>
#include <cstdlib>

#include "FuzzTargets.h"
#include "SessionScript.h"
#include "kline/Mse11Image.h"
#include "kline/VisteonImage.h"
#include "platform/Process.h"
#include "sim/FichtEcu.h"
#include "sim/MbeEcu.h"
#include "sim/Mse10Ecu.h"
#include "sim/Mse11Ecu.h"
#include "sim/VisteonEcu.h"
#include "trace/TraceLog.h"

namespace quorvan::fuzz {
namespace {

constexpr std::uint32_t kSliceMs = 250;
// A session ends this long after the script's last byte, and never later than the cap.
constexpr std::uint32_t kQuietTailMs = 2'000;
constexpr std::uint64_t kSessionCapUs = 60'000'000;
constexpr std::size_t kBlockBufLimit = 64 * 1024;

template <typename Model>
std::unique_ptr<sim::VehicleEnd> Make(sim::SimLine& line) {
  return std::make_unique<Model>(line);
}

void KLineCable(sim::SimLine& /*line*/) {}
void MbeLead(sim::SimLine& line) {
  line.setCable(sim::CableKind::Mbe);
}

}  // namespace

const std::vector<SessionFamily>& SessionFamilies() {
  static const std::vector<SessionFamily> families = {
      {"session_visteon",
       ecuVisteon,
       KLineCable,
       {{0x010C, 2, ecuData}, {0x020C, 2, ecuFlags}, {0x0300, 1, ecuFaults}},
       Make<sim::VisteonEcu>,
       kVisteonFlashBlockSize},
      {"session_mse10",
       ecuMSE10,
       KLineCable,
       {{0x0100, 2, ecuData}, {0x0400, 8, ecuData}, {0x0500, 1, ecuFlags}, {0, 1, ecuFaults}},
       Make<sim::Mse10Ecu>,
       0},
      {"session_mse11", ecuMSE11, KLineCable, {}, Make<sim::Mse11Ecu>, kMse11ChunkSize},
      {"session_ficht",
       ecuFicht,
       sim::UseFichtCable,
       {{0x40, 2, ecuData}, {0x60, 6, ecuData}, {0x70, 14, ecuData}, {0x30000, 1, ecuFaults}},
       Make<sim::FichtEcu>,
       0},
      {"session_mbe",
       ecuMBE,
       MbeLead,
       {{0x0100, 1, ecuData}, {0x0100, 3, ecuData}, {0x30000, 1, ecuFaults}},
       Make<sim::MbeEcu>,
       0},
  };
  return families;
}

const SessionFamily& SessionFamilyOf(std::string_view target) {
  const auto& families = SessionFamilies();
  const auto it = std::find_if(families.begin(), families.end(),
                               [&](const SessionFamily& f) { return f.target == target; });
  FuzzCheck(it != families.end(), "a session target names a family");
  return *it;
}

Session::Session(const SessionFamily& family, std::uint8_t choices)
    : family_(family), choices_(choices) {
  family.prepareLine(world.line());
}

std::uint32_t Session::serverRate() {
  commSerial::DCB dcb;
  if (!world.globals.frmHidden || !world.form().commSerial.GetCommState(dcb)) {
    return sim::SimLine::kDefaultVehicleRate;
  }
  return dcb.BaudRate;
}

// A client call at a virtual instant, dispatched by the loop as a bus call is; the
// errors a call may raise are the client's to see.
void Session::clientCall(std::uint64_t atMs, std::function<void()> call) {
  world.loop.schedule(atMs * 1000, [this, call = std::move(call)] {
    if (ended_) return;
    try {
      call();
    } catch (const RunTimeError&) {
    } catch (const WatchTableError&) {
    }
  });
}

void Session::scheduleClient() {
  clsBoschECU& ecu = world.ecu;
  if (choices_ & choice::kClearFaults) clientCall(2'000, [&ecu] { ecu.ClearFaults(); });
  if (choices_ & choice::kCommand) clientCall(3'000, [&ecu] { ecu.command(1); });
  if ((choices_ & choice::kFlashSteps) && family_.flashBlock > 0) {
    const std::string block(family_.flashBlock, '\xFF');
    clientCall(1'000, [&ecu] { ecu.FlashIdent(); });
    clientCall(4'000, [&ecu] { ecu.FlashInit(); });
    clientCall(30'000, [&ecu, block] { ecu.FlashWrite(block); });
    clientCall(40'000, [&ecu] { ecu.FlashVerify(0); });
    clientCall(50'000, [&ecu] { ecu.FlashAbort(); });
  }
  if (choices_ & choice::kRestartLink) {
    clientCall(6'000, [&ecu] { ecu.InitComm(-1); });
    clientCall(7'000, [&ecu] { ecu.InitComm(1); });
  }
}

void Session::run(const std::function<bool()>& finished) {
  clsBoschECU& ecu = world.ecu;
  try {
    world.startWith(family_.device, (choices_ & choice::kDebugTrace) != 0);
    scheduleClient();
    clientCall(0, [&ecu, this] {
      std::int16_t n = 0;
      for (const SessionItem& item : family_.items) {
        ++n;
        ecu.AddItem(n, item.address, item.size, item.kind);
        ecu.Watch(n, n);
      }
      ecu.InitComm(1);
    });
  } catch (const ProcessEnd&) {
    ended_ = true;
  }
  while (!ended_ && !finished() && world.clock.monoUs() < kSessionCapUs) slice(kSliceMs);
  for (std::uint32_t quiet = 0; !ended_ && quiet < kQuietTailMs; quiet += kSliceMs) {
    slice(kSliceMs);
  }
}

void Session::slice(std::uint32_t ms) {
  try {
    world.runBoundedFor(ms);
  } catch (const ProcessEnd&) {
    ended_ = true;
  } catch (const testing::ServerWorld::LoopHeld&) {
    FuzzCheck(false, "the message loop turns again within the longest bounded wait");
  }
  checkBounds();
}

void Session::checkBounds() {
  if (!world.globals.frmHidden) return;
  frmCommThread& f = world.form();
  FuzzCheck(f.blockBuf.size() <= kBlockBufLimit, "the receive buffer stays bounded");
  FuzzCheck(f.trace.lstTrace().size() <= TraceLog::kListLimit, "the trace list stays bounded");
}

std::string RecordSession(const SessionFamily& family, std::uint8_t choices) {
  Session session(family, choices);
  const auto model = family.makeModel(session.world.line());
  const std::uint64_t endUs =
      (choices & choice::kFlashSteps) && family.flashBlock > 0 ? 55'000'000 : 8'000'000;
  session.run([&] { return session.world.clock.monoUs() >= endUs; });
  return std::string(1, static_cast<char>(choices)) + WriteScript(session.world.line());
}

void FuzzSession(std::string_view target, std::string_view input) {
  const SessionFamily& family = SessionFamilyOf(target);
  Session session(family, input.empty() ? 0 : static_cast<std::uint8_t>(input.front()));
  ScriptedController controller(session.world.line(), ReadScript(input.substr(!input.empty())),
                                [&session] { return session.serverRate(); });
  controller.start();
  session.run([&controller] { return controller.finished(); });
}

void FuzzSessionVisteon(std::string_view input) {
  FuzzSession("session_visteon", input);
}
void FuzzSessionMse10(std::string_view input) {
  FuzzSession("session_mse10", input);
}
void FuzzSessionMse11(std::string_view input) {
  FuzzSession("session_mse11", input);
}
void FuzzSessionFicht(std::string_view input) {
  FuzzSession("session_ficht", input);
}
void FuzzSessionMbe(std::string_view input) {
  FuzzSession("session_mbe", input);
}

}  // namespace quorvan::fuzz

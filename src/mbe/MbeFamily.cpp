#include "mbe/MbeFamily.h"

#include "mbe/MbeProtocol.h"
#include "mbe/MbeSession.h"
#include "runtime/FlashSession.h"
#include "runtime/frmCommThread.h"

namespace quorvan {

namespace {
constexpr std::uint32_t kPauseBetweenRequestsMs = 10;
}  // namespace

MbeFamily::MbeFamily()
    : Family(FamilyInfo{.name = "MBE",
                        .bitRate = mbe::kBitRate,
                        .wakeUp = WakeUp::FreeRunning,
                        .handOver = HandOver::AfterCableTests}) {
  link.family = this;
}

void MbeFamily::Load(frmCommThread& f) {
  link.tmrNextRequest = std::make_unique<Timer>(
      f.platform.loop, [this, &f] { MbeLoopTurn(f, link); }, kPauseBetweenRequestsMs);
}

void MbeFamily::Start(frmCommThread& f) {
  StartupMBE(f, link);
}

// The timer only starts the loop, which paces itself; a flash request that enabled the
// timer is refused.
void MbeFamily::SampleRateTick(frmCommThread& f) {
  f.tmrSampleRate.setEnabled(false);
  RefuseFlashRequest(f, info().name);
  MBERequestLoop(f, link);
}

}  // namespace quorvan

#include "runtime/FlashSession.h"

#include <string>

#include "client/clsBoschECU.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

void SetFlashMode(frmCommThread& f, std::int32_t mode) {
  if (f.objBoschECU) f.objBoschECU->ecuFlashMode = mode;
}

bool CalTextRequested(const frmCommThread& f) {
  return f.objBoschECU && f.objBoschECU->ecuGetCalText;
}

FlashStepScope::FlashStepScope(frmCommThread& f) : f_(f), outer_(f.flashStepOf) {
  f.flashStepOf = f.flashRequests;
}

FlashStepScope::~FlashStepScope() {
  f_.flashStepOf = outer_;
}

namespace {
// A flash step runs, and the client has made a flash request since it began.
bool StepOvertaken(const frmCommThread& f) {
  return f.flashStepOf && *f.flashStepOf != f.flashRequests;
}
}  // namespace

bool FlashStepScope::overtaken() const {
  return StepOvertaken(f_);
}

void NotifyFlashStatus(frmCommThread& f, std::int32_t status) {
  if (StepOvertaken(f)) {
    f.LogIt("### flashStatus " + std::to_string(status) +
            " not notified: the client asked for another flash step meanwhile");
    return;
  }
  f.LogIt("### About to Notify Client that flashStatus went to: " + std::to_string(status));
  const std::uint32_t t0 = f.now();
  SetFlashMode(f, status);
  if (f.objBoschECU) f.objBoschECU->TellClient("flashStatus=" + std::to_string(status));
  f.LogIt("### Completed Notifying Client that flashStatus changed, took " +
          std::to_string(ElapsedMs(f.now(), t0)) + " mS");
}

void ShutDownReflash(frmCommThread& f) {
  f.LogToList(std::string("++ ShutDown Reflash, with gFlashAbort = ") +
              BoolText(f.globals.gFlashAbort) +
              ", commandRequested = " + std::to_string(f.commandRequested));
}

void doFlashAbort(frmCommThread& f) {
  f.globals.gFlashAbort = false;
  f.LogIt("!!! Clearing gFlashAbort flag, on entry to doFlashAbort handler");
  const std::int32_t mode = f.flashMode();
  if (!CalTextRequested(f) && mode == flashIdle) {
    f.LogToList("!! flashAbort reached Quorvan; skipped because flashIdle");
    return;
  }
  f.LogToList("!! flashAbort from Client reached Quorvan; re-init & setIdle, mode was: " +
              std::to_string(mode));
  NotifyFlashStatus(f, flashIdle);
  if (f.objBoschECU) f.objBoschECU->ecuGetCalText = false;
  f.tmrWatchDog.setEnabled(true);
  f.tmrSampleRate.setInterval(kSampleRateMs);
  f.activity = false;
  f.LogIt("Lighting off Do5BaudInit in doFlashAbort, with activity=FALSE");
  f.Do5BaudInit();
}

void RefuseFlashRequest(frmCommThread& f, const char* familyName) {
  const std::int16_t request = f.commandRequested;
  std::int32_t verdict = flashFailedPrep;
  switch (request) {
    case cmd::kFlashInit:
    case cmd::kFlashIdent:
      break;
    case cmd::kFlashWrite:
      verdict = flashFailedWrite;
      break;
    case cmd::kFlashVerify:
      verdict = flashFailedVerify;
      break;
    case cmd::kFlashAbort:
      f.globals.gFlashAbort = false;
      verdict = flashIdle;
      break;
    default:
      return;  // not a flash request
  }
  f.commandRequested = cmd::kNone;
  f.LogIt(std::string("-- ") + familyName + " has no reflash: flash request " +
          std::to_string(request) + " refused");
  if (CalTextRequested(f)) f.objBoschECU->ecuGetCalText = false;
  if (verdict != flashIdle || f.flashMode() != flashIdle) NotifyFlashStatus(f, verdict);
}

}  // namespace quorvan

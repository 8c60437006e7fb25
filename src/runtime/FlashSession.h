#pragma once
// What every reflash path shares: the flash state reported to the client, the abort that
// returns controller and server to idle, and the answer of a family without a reflash.
#include <cstdint>
#include <optional>

namespace quorvan {

class frmCommThread;

// Sets the client's flash state without telling it.
void SetFlashMode(frmCommThread& f, std::int32_t mode);
// The client asked for the calibration text instead of a reflash.
bool CalTextRequested(const frmCommThread& f);
// Sets the client's flash state and tells it with a "flashStatus=" note. Inside a flash
// step that the client has overtaken with a newer flash request, the step's verdict
// answers nothing the client is waiting for and is only traced.
void NotifyFlashStatus(frmCommThread& f, std::int32_t status);

// The span of one flash step: the client's request it answers is the latest at entry.
class FlashStepScope {
 public:
  explicit FlashStepScope(frmCommThread& f);
  ~FlashStepScope();
  FlashStepScope(const FlashStepScope&) = delete;
  FlashStepScope& operator=(const FlashStepScope&) = delete;
  // The client made another flash request while the step ran.
  bool overtaken() const;

 private:
  frmCommThread& f_;
  std::optional<std::uint32_t> outer_;
};
// Traces that a reflash stops (the client aborted or the session ends).
void ShutDownReflash(frmCommThread& f);
// The client's FlashAbort: back to flashIdle and a new initialisation.
void doFlashAbort(frmCommThread& f);
// A family without a reflash answers a pending flash request with its failure (an abort
// with flashIdle), so that the client is never left waiting at flashBusy.
void RefuseFlashRequest(frmCommThread& f, const char* familyName);

}  // namespace quorvan

#pragma once
// Ficht engine management modules: started right after the port opens (their cable is
// recognised by the loop-back tests that turn the other families away), then served by
// a free-running loop that the first sample-rate tick starts and that paces itself.
#include <memory>

#include "ficht/FichtLink.h"
#include "platform/MessageLoop.h"
#include "runtime/Family.h"

namespace quorvan {

inline constexpr std::uint32_t kFichtBitRate = 9600;

class FichtFamily final : public Family {
 public:
  FichtFamily();
  void Load(frmCommThread& f) override;
  void Start(frmCommThread& f) override;
  void SampleRateTick(frmCommThread& f) override;
  // A Ficht block write is a client command of its own, outside any reflash session.
  bool TakeFlashWrite(frmCommThread& f, const std::string& dataBlock) override;

  FichtLink link;

 private:
  void step(frmCommThread& f);
  void leaveLoop(frmCommThread& f);

  // Runs each step of the loop, kFichtStepRestMs after the previous one has ended, so that
  // the message loop runs between steps.
  std::unique_ptr<Timer> pacer_;
};

}  // namespace quorvan

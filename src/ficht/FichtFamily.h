#pragma once
// Ficht engine management modules: started right after the port opens (their cable is
// recognised by the loop-back tests that turn the other families away), then served by
// a free-running loop that the first sample-rate tick starts.
#include "runtime/Family.h"

namespace quorvan {

class FichtFamily final : public Family {
 public:
  FichtFamily();
  void Start(frmCommThread& f) override;
  void SampleRateTick(frmCommThread& f) override;
  // A Ficht block write is a client command of its own, outside any reflash session.
  bool TakeFlashWrite(frmCommThread& f, const std::string& dataBlock) override;
};

}  // namespace quorvan

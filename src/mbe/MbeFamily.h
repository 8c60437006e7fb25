#pragma once
// MBE engine management modules: started after the cable tests, then served by a
// free-running loop that the first sample-rate tick starts.
#include "runtime/Family.h"

namespace quorvan {

class MbeFamily final : public Family {
 public:
  MbeFamily();
  void Start(frmCommThread& f) override;
  void SampleRateTick(frmCommThread& f) override;
};

}  // namespace quorvan

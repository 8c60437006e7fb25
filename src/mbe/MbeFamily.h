#pragma once
// MBE engine management modules: a bare address-read protocol at 4800 bit/s over a lead
// without loop-backs, started after the cable tests, then served by a free-running loop
// that the first sample-rate tick starts and that paces itself.
#include "mbe/MbeLink.h"
#include "runtime/Family.h"

namespace quorvan {

class MbeFamily final : public Family {
 public:
  MbeFamily();
  void Load(frmCommThread& f) override;
  void Start(frmCommThread& f) override;
  void SampleRateTick(frmCommThread& f) override;

  MbeLink link;
};

}  // namespace quorvan

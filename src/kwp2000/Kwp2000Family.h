#pragma once
// Bosch MSE 1.1 controllers over KWP2000 (ISO 14230): a fast-init wake-up at 10400
// bit/s, identification and a reflash in 250-byte blocks, one step per sample-rate tick.
#include "kwp2000/Kwp2000Link.h"
#include "runtime/Family.h"

namespace quorvan {

class Kwp2000Family final : public Family {
 public:
  Kwp2000Family();
  void Load(frmCommThread& f) override;
  void Start(frmCommThread& f) override;
  void SampleRateTick(frmCommThread& f) override;

  Kwp2000Link link;
};

}  // namespace quorvan

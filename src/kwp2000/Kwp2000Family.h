#pragma once
// Bosch MSE 1.1 controllers over KWP2000 (ISO 14230): a fast-init wake-up at 10400
// bit/s, identification and a reflash in 250-byte blocks, one step per sample-rate tick.
#include "runtime/Family.h"

namespace quorvan {

class Kwp2000Family final : public Family {
 public:
  Kwp2000Family();
  void Start(frmCommThread& f) override;
};

}  // namespace quorvan

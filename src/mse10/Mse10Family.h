#pragma once
// Bosch MSE 1.0 controllers and the other families woken at 5 baud: the wake-up, then
// the block protocol driven by the receive events (the exchange is its own clock, the
// sample-rate timer plays no part).
#include "mse10/Mse10Link.h"
#include "runtime/Family.h"

namespace quorvan {

class Mse10Family final : public Family {
 public:
  Mse10Family();
  void Start(frmCommThread& f) override;
  void Receive(frmCommThread& f) override;

  Mse10Link link;
};

}  // namespace quorvan

#pragma once
// Visteon controllers of Victory motorcycles: request/response packets at 10400 bit/s,
// identified by their first request, polled one request per sample-rate tick, and
// reprogrammed block by block.
#include "runtime/Family.h"
#include "visteon/VisteonLink.h"

namespace quorvan {

inline constexpr std::uint32_t kVisteonBitRate = 10400;

class VisteonFamily final : public Family {
 public:
  VisteonFamily();
  void Load(frmCommThread& f) override;
  void Start(frmCommThread& f) override;
  void SampleRateTick(frmCommThread& f) override;

  VisteonLink link;
};

}  // namespace quorvan

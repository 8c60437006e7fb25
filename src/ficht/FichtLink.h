#pragma once
// The private state of a Ficht session: the exchange in progress and the request loop's
// current item and step.
#include <cstdint>
#include <string>

namespace quorvan {

class Family;

struct FichtLink {
  const Family* family = nullptr;  // the family this state belongs to

  // ---- Exchange ----
  std::string emmLastSent;  // the whole request frame as last sent (for the NAK report)
  bool nak = false;         // the last exchange was refused with a NAK
  // An exchange failed: the module's answer to it may still be on its way.
  bool answerMayFollow = false;

  // ---- Request loop ----
  std::uint32_t interByteDelay = 2;  // before a clear-faults command (ms)
  std::int32_t curItemAddr = 0;
  std::int16_t curItemSize = 0;
  std::string location;  // the step of NextFichtRequest, for its failure report
  bool loopRunning = false;
};

}  // namespace quorvan

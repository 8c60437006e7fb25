#pragma once
// Misbehaviour switched on at run time for the Ficht module model: no answer, an answer
// cut short, an answer whose checksum does not fit, a NAK instead of the answer, an
// answer that comes late, an answer behind a stray byte, and a reset of the module when a request
// comes. Each rule covers the requests at one address or at all of them, for a number of requests
// or for ever.
#include <cstddef>
#include <cstdint>

#include "sim/RequestRules.h"

namespace quorvan::sim::ficht {

inline constexpr int kAnyAddress = kAnyRequest;
inline constexpr int kForever = kForeverRule;

struct Misbehaviour {
  enum class Kind {
    Silent,     // neither act on the request nor answer it
    Truncated,  // act, but the answer stops after `keep` bytes
    Corrupted,  // act, but the answer's checksum byte is spoilt on the way
    Nak,        // refuse the request: 01 80 81
    Reset,      // the module resets as the request comes in: no answer, deaf while it boots
    Late,       // act, and answer `lateUs` after the answer's time
    Stray,      // act, and send the byte `stray` just ahead of the answer
  };
  Kind kind = Kind::Silent;
  std::size_t keep = 0;
  std::uint64_t lateUs = 0;
  std::uint8_t stray = 0;
};

// The rules, keyed by request address.
using Injections = RequestRules<Misbehaviour>;

}  // namespace quorvan::sim::ficht

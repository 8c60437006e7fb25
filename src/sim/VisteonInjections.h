#pragma once
// Misbehaviour switched on at run time for the Visteon controller model: negative
// answers (busy, routine not complete, any other code), no answer, late answers, and
// replies that are malformed or cut short on the wire. Each
// rule covers one service or all of them, for a number of requests or for ever.
#include <cstddef>
#include <cstdint>

#include "sim/RequestRules.h"

namespace quorvan::sim::visteon {

inline constexpr int kAnyService = kAnyRequest;
inline constexpr int kForever = kForeverRule;

struct Misbehaviour {
  enum class Kind {
    Negative,   // answer 7F sid code and leave the request undone
    Silent,     // neither act on the request nor answer it
    Late,       // act and answer, lateUs later than usual
    Garbled,    // act and answer, but reply packet `packet` starts with a byte no reply has
    Truncated,  // act and answer, but the reply stops after `keep` bytes of packet `packet`
    Corrupted,  // act and answer, but a data byte of packet `packet` is spoilt on the way
                // (the checksum no longer fits it)
  };
  Kind kind = Kind::Negative;
  std::uint8_t code = 0;
  std::uint64_t lateUs = 0;
  std::size_t packet = 0;
  std::size_t keep = 0;

  // The misbehaviours by name, for controllers that take them as they are.
  static Misbehaviour negative(std::uint8_t code) { return {Kind::Negative, code}; }
  static Misbehaviour silent() { return {Kind::Silent}; }
  static Misbehaviour late(std::uint64_t us) { return {Kind::Late, 0, us}; }
  static Misbehaviour truncated(std::size_t keepBytes) {
    return {Kind::Truncated, 0, 0, 0, keepBytes};
  }
};

// Rules by service byte.
using Injections = RequestRules<Misbehaviour>;

}  // namespace quorvan::sim::visteon

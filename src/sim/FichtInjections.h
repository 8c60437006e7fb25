#pragma once
// Misbehaviour switched on at run time for the Ficht module model: no answer, an answer
// cut short, an answer whose checksum does not fit, a NAK instead of the answer, and a
// reset of the module when a request comes. Each rule covers the requests at one address
// or at all of them, for a number of requests or for ever.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvan::sim::ficht {

inline constexpr int kAnyAddress = -1;
inline constexpr int kForever = -1;

struct Misbehaviour {
  enum class Kind {
    Silent,     // neither act on the request nor answer it
    Truncated,  // act, but the answer stops after `keep` bytes
    Corrupted,  // act, but the answer's checksum byte is spoilt on the way
    Nak,        // refuse the request: 01 80 81
    Reset,      // the module resets as the request comes in: no answer, deaf while it boots
  };
  Kind kind = Kind::Silent;
  std::size_t keep = 0;
};

class Injections {
 public:
  // times: how many matching requests it covers (kForever: all); 0 adds nothing.
  void add(int address, Misbehaviour what, int times);
  // The misbehaviour due for a request at this address, if any, used up by it. The
  // earliest rule added that matches wins.
  std::optional<Misbehaviour> take(std::uint16_t address);
  void clear() { rules_.clear(); }

 private:
  struct Rule {
    int address;
    Misbehaviour what;
    int remaining;
  };
  std::vector<Rule> rules_;
};

}  // namespace quorvan::sim::ficht

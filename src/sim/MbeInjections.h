#pragma once
// Misbehaviour of the simulated MBE module, switched on at run time: no answer, an
// answer cut short, spoilt on the way, with a byte too many, or late. Each rule covers
// reads of one address or of any, for a number of reads or for ever.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvan::sim::mbe {

inline constexpr int kAnyAddress = -1;
inline constexpr int kForever = -1;

struct Misbehaviour {
  enum class Kind {
    Silent,     // no answer at all
    Truncated,  // the answer stops after `keep` bytes
    Corrupted,  // the answer's last byte is spoilt on the way (xor `mask`); the link has
                // no checksum that could tell
    Extra,      // the answer carries one byte more than the read asks for
    Late,       // the answer starts `lateUs` later than usual
  };
  Kind kind = Kind::Silent;
  std::size_t keep = 0;
  std::uint8_t mask = 0;
  std::uint64_t lateUs = 0;
};

class MisbehaviourRules {
 public:
  // `times` reads of `address` (kAnyAddress: of any) from now on; kForever: all of them.
  void add(int address, Misbehaviour what, int times);
  // What a read of this address does, if anything; the first matching rule is used up.
  std::optional<Misbehaviour> forRead(std::uint16_t address);
  void clear() { rules_.clear(); }

 private:
  struct Rule {
    int address;
    Misbehaviour what;
    int left;
  };
  std::vector<Rule> rules_;
};

}  // namespace quorvan::sim::mbe

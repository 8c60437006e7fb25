#pragma once
// A controller family as the swarm drives it: the simulated controller, the items a
// client can watch on it with the values each may take, its fault list, its own kinds
// of misbehaviour and, where it has one, its reflash.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "History.h"
#include "Rng.h"
#include "client/Enums.h"
#include "kline/FaultCodes.h"
#include "sim/SimLine.h"

namespace quorvan::swarm {

// Something a client can watch. Each slot's values lie in a range of their own, so a
// value delivered for the wrong item is seen.
struct ItemSlot {
  std::int32_t address = 0;
  std::int16_t size = 0;
  std::int64_t lo = 0;
  std::int64_t hi = 0;
};

// One kind of misbehaviour, switched on at random instants while it is chosen.
struct Misbehaviour {
  std::string name;
  std::function<void(Rng&)> inject;
};

// One FlashWrite call: the block and where it lands in the flash.
struct FlashWrite {
  std::size_t offset = 0;
  std::string data;
};

class SwarmFamily {
 public:
  virtual ~SwarmFamily() = default;

  virtual const char* name() const = 0;
  virtual std::int32_t device() const = 0;

  virtual const std::vector<ItemSlot>& slots() const = 0;
  virtual void setValue(std::size_t slot, std::int64_t value) = 0;

  // The fault item's address, a random fault list, the controller's list now, and the
  // text the client must receive for a list.
  virtual std::int32_t faultAddress() const = 0;
  virtual std::vector<std::string> randomFaults(Rng& rng) const = 0;
  virtual void setFaults(const std::vector<std::string>& codes) = 0;
  virtual std::vector<std::string> faults() const = 0;
  virtual std::string faultText(const std::vector<std::string>& codes) const = 0;
  // The text delivered is what the controller held while it was read, given the texts
  // of the lists it held in the window. A list read in one exchange must be one of them.
  virtual bool faultTextHeld(const std::string& text, const History<std::string>& lists,
                             std::uint64_t fromUs, std::uint64_t toUs) const {
    return lists.heldDuring(text, fromUs, toUs);
  }
  // A clear that empties only a part of the list says whether that part was emptied
  // in the window; nothing: the whole list must have been empty.
  virtual std::optional<bool> faultsClearedDuring(std::uint64_t /*fromUs*/,
                                                  std::uint64_t /*toUs*/) const {
    return std::nullopt;
  }

  virtual std::vector<Misbehaviour> misbehaviours() = 0;
  // False for a kind of line misbehaviour that no server could tell from a good answer
  // on this family's link (one whose answers carry no check): the run leaves it out.
  virtual bool canSee(const std::string& /*lineMisbehaviour*/) const { return true; }
  // Ends every misbehaviour the controller was given.
  virtual void behave() = 0;

  // Diagnostic commands (client `command` codes); ranSince: the controller ran one with
  // success after the instant.
  virtual std::vector<std::int16_t> commands() const { return {}; }
  virtual bool commandRanSince(std::uint64_t /*us*/) const { return false; }
  virtual void randomiseCommandResults(Rng& /*rng*/) {}

  // Reflash: the region's size (0: no reflash) and what the controller's flash holds.
  virtual std::size_t flashBytes() const { return 0; }
  virtual std::string flash() const { return {}; }
  virtual bool erasing() const { return false; }
  // How an image goes to the server: by default whole blocks of the size FlashInit
  // returned, no partial block.
  virtual std::vector<FlashWrite> flashWrites(const std::string& image,
                                              std::size_t blockSize) const {
    std::vector<FlashWrite> writes;
    const std::size_t blocks = blockSize == 0 ? 0 : image.size() / blockSize;
    for (std::size_t b = 0; b < blocks; ++b) {
      writes.push_back({b * blockSize, image.substr(b * blockSize, blockSize)});
    }
    return writes;
  }
  // The FlashVerify target of an image: by default its 16-bit byte sum.
  virtual std::int32_t verifySum(const std::string& image) const {
    unsigned sum = 0;
    for (char c : image) sum = (sum + static_cast<unsigned char>(c)) & 0xFFFF;
    return static_cast<std::int32_t>(sum);
  }

  // A family whose server path polls no items: a working link is shown by an
  // identification (FlashIdent) asked once the misbehaviour ended, which must return the
  // controller's identity, instead of by items delivering.
  virtual bool pollsItems() const { return true; }
  // The identity the server must report after a FlashIdent: idHardware, idSoftware and
  // idCustomer joined by "/" (empty: the family has no FlashIdent).
  virtual std::string identity() const { return {}; }
  // The status is one a working link settles at once the misbehaviour ended.
  virtual bool settled(std::int32_t status) const { return status == ecuCommOK; }

  // From the end of the misbehaviour: the link is back at its settled status and every
  // watched item has delivered a value (or the identification succeeded) within this time.
  virtual std::uint32_t recoveryBoundMs() const = 0;
};

// The text a client receives for a list of two-byte fault codes.
inline std::string TwoByteFaultText(const std::vector<std::string>& codes) {
  std::string text;
  for (const auto& c : codes) text += GetOneFaultCode(c) + "/";
  return text;
}

// The families the swarm knows, by device value.
std::vector<std::int32_t> SwarmDevices();
std::unique_ptr<SwarmFamily> MakeSwarmFamily(std::int32_t device, sim::SimLine& line, Rng& rng);

}  // namespace quorvan::swarm

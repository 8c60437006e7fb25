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

#include "Rng.h"
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
  // A family whose list is read in parts (one request each) judges a delivered list
  // itself: each part must be one the controller held for it while the parts were read.
  // Likewise a clear that empties only a part of the list. Nothing: the whole list's
  // history judges.
  virtual std::optional<bool> faultListHeld(const std::string& /*text*/, std::uint64_t /*fromUs*/,
                                            std::uint64_t /*toUs*/) const {
    return std::nullopt;
  }
  virtual std::optional<bool> faultsClearedDuring(std::uint64_t /*fromUs*/,
                                                  std::uint64_t /*toUs*/) const {
    return std::nullopt;
  }

  virtual std::vector<Misbehaviour> misbehaviours() = 0;
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

  // From the end of the misbehaviour: the link is back at ecuCommOK and every watched
  // item has delivered a value within this time.
  virtual std::uint32_t recoveryBoundMs() const = 0;
};

// The families the swarm knows, by device value.
std::vector<std::int32_t> SwarmDevices();
std::unique_ptr<SwarmFamily> MakeSwarmFamily(std::int32_t device, sim::SimLine& line, Rng& rng);

}  // namespace quorvan::swarm

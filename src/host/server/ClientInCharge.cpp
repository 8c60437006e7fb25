#include "host/server/ClientInCharge.h"

#include "host/server/BusErrors.h"

namespace quorvan::host {

void ClientInCharge::admit(const std::string& owner) const {
  if (!owner_.empty() && owner != owner_) throw ClientBusy(name_);
}

void ClientInCharge::named(const std::string& owner, const std::string& name) {
  if (name.empty()) {
    gone(owner);
    return;
  }
  owner_ = owner;
  name_ = name;
}

void ClientInCharge::gone(const std::string& owner) {
  if (owner != owner_) return;
  owner_.clear();
  name_.clear();
}

}  // namespace quorvan::host

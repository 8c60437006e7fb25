#pragma once
// The one client a server serves: the bus connection that named itself through
// ClientName. From then on only that connection may change the server; others may still
// look at it. Before any client has named itself, every connection may do anything.
#include <string>

namespace quorvan::host {

class ClientInCharge {
 public:
  // Throws ClientBusy when a connection other than `owner` (a unique bus name) is in
  // charge.
  void admit(const std::string& owner) const;
  // `owner`, admitted, names itself `name`: it takes charge; with an empty name it gives
  // charge up.
  void named(const std::string& owner, const std::string& name);
  // The connection `owner` has closed.
  void gone(const std::string& owner);

 private:
  std::string owner_;  // empty while nobody is in charge
  std::string name_;
};

}  // namespace quorvan::host

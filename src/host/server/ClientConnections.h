#pragma once
// Ties each client window to the bus connection that named it: when the connection
// closes (or is killed), the bus says so with NameOwnerChanged and the window goes.
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/server/ConnectionWindows.h"

namespace quorvan::host {

class ClientConnections {
 public:
  // `windowGone` is called with the connection's unique name each time a connection's
  // window goes; it runs inside the bus's callback, so it must only take note (or post
  // work), not call the bus.
  using WindowGone = std::function<void(const std::string& owner)>;
  ClientConnections(sdbus::IConnection& connection, ConnectionWindows& windows,
                    WindowGone windowGone = {});
  ClientConnections(const ClientConnections&) = delete;
  ClientConnections& operator=(const ClientConnections&) = delete;
  ~ClientConnections();

  // The connection `owner` (a unique bus name) names its window `caption`.
  void show(const std::string& owner, const std::string& caption);

  // Releases the subscriptions of connections that have gone. Called from the loop, not
  // from inside the subscription's own callback.
  void forgetGone();

 private:
  void watch(const std::string& owner);
  void onNameOwnerChanged(sdbus::Message& message);
  void gone(const std::string& owner);

  sdbus::IConnection& connection_;
  ConnectionWindows& windows_;
  WindowGone windowGone_;
  std::unique_ptr<sdbus::IProxy> busDaemon_;
  std::map<std::string, sdbus::Slot> watched_;
  std::vector<sdbus::Slot> gone_;
};

}  // namespace quorvan::host

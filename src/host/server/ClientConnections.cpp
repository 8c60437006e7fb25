#include "host/server/ClientConnections.h"

#include <fmt/format.h>

namespace quorvan::host {

namespace {
constexpr const char* kDaemonName = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";
}  // namespace

ClientConnections::ClientConnections(sdbus::IConnection& connection, ConnectionWindows& windows,
                                     WindowGone windowGone)
    : connection_(connection),
      windows_(windows),
      windowGone_(std::move(windowGone)),
      busDaemon_(sdbus::createProxy(connection, kDaemonName, kDaemonPath)) {}

ClientConnections::~ClientConnections() = default;

void ClientConnections::show(const std::string& owner, const std::string& caption) {
  if (owner.empty()) return;  // not a bus peer: nothing to tie the window to
  windows_.setCaption(owner, caption);
  watch(owner);
}

void ClientConnections::watch(const std::string& owner) {
  if (watched_.count(owner) != 0) return;
  const std::string rule = fmt::format(
      "type='signal',sender='{}',path='{}',interface='{}',member='NameOwnerChanged',arg0='{}'",
      kDaemonName, kDaemonPath, kDaemonName, owner);
  watched_.emplace(
      owner, connection_.addMatch(rule, [this](sdbus::Message& m) { onNameOwnerChanged(m); }));
  // The connection may have closed before the subscription was in place.
  bool hasOwner = false;
  busDaemon_->callMethod("NameHasOwner")
      .onInterface(kDaemonName)
      .withArguments(owner)
      .storeResultsTo(hasOwner);
  if (!hasOwner) gone(owner);
}

void ClientConnections::onNameOwnerChanged(sdbus::Message& message) {
  std::string name, oldOwner, newOwner;
  message >> name >> oldOwner >> newOwner;
  if (newOwner.empty()) gone(name);
}

void ClientConnections::gone(const std::string& owner) {
  if (windows_.hasOwner(owner)) {
    windows_.dropOwner(owner);
    if (windowGone_) windowGone_(owner);
  }
  auto it = watched_.find(owner);
  if (it == watched_.end()) return;
  gone_.push_back(std::move(it->second));
  watched_.erase(it);
}

void ClientConnections::forgetGone() {
  gone_.clear();
}

}  // namespace quorvan::host

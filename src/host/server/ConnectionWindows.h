#pragma once
// The client windows the presence check looks for. A client on the bus has no window: the
// caption it gives as ClientName stands for its main window, of class "ThunderRT6FormDC",
// and that window lives as long as the client's bus connection.
#include <map>
#include <string>

#include "platform/WindowDirectory.h"

namespace quorvan::host {

class ConnectionWindows final : public WindowDirectory {
 public:
  // The connection `owner` (its unique bus name) now shows `caption`; a connection has
  // one main window, so this replaces any caption it showed before. An empty caption
  // removes its window.
  void setCaption(const std::string& owner, const std::string& caption);
  // The connection has closed: its window is gone.
  void dropOwner(const std::string& owner);
  bool hasOwner(const std::string& owner) const { return captions_.count(owner) != 0; }

  bool findWindow(const std::string& className, const std::string& caption) override;

 private:
  std::map<std::string, std::string> captions_;  // owner -> caption
};

}  // namespace quorvan::host

#include "host/server/ConnectionWindows.h"

#include <algorithm>

#include "runtime/frmCommThread.h"

namespace quorvan::host {

void ConnectionWindows::setCaption(const std::string& owner, const std::string& caption) {
  if (caption.empty()) {
    captions_.erase(owner);
    return;
  }
  captions_[owner] = caption;
}

void ConnectionWindows::dropOwner(const std::string& owner) {
  captions_.erase(owner);
}

bool ConnectionWindows::findWindow(const std::string& className, const std::string& caption) {
  if (className != kClientWindowClass) return false;
  return std::any_of(captions_.begin(), captions_.end(),
                     [&](const auto& entry) { return entry.second == caption; });
}

}  // namespace quorvan::host

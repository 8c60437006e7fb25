#include "platform/Alerts.h"

#include <cstdio>

namespace quorvan {

void StderrAlerts::messageBox(const std::string& text, int buttons, const std::string& title) {
  std::fprintf(stderr, "[%s] (%d) %s\n", title.c_str(), buttons, text.c_str());
}

}  // namespace quorvan

#pragma once
// The Windows backends of the small platform services: client presence by the real
// FindWindow, alerts to the debugger output (and a message box only in debug mode), the
// process's priorities and thread id.
#include <functional>
#include <string>
#include <utility>

#include "platform/Alerts.h"
#include "platform/Process.h"
#include "platform/WindowDirectory.h"

namespace quorvan {

// A top-level window of the class with the caption, of any process on this desktop.
class Win32WindowDirectory final : public WindowDirectory {
 public:
  bool findWindow(const std::string& className, const std::string& caption) override;
};

// Every alert goes to the debugger output; a modal message box is shown only while
// `showBoxes` says so (the client's debug mode): a server nobody watches never waits on
// a person.
class Win32Alerts final : public Alerts {
 public:
  explicit Win32Alerts(std::function<bool()> showBoxes) : showBoxes_(std::move(showBoxes)) {}
  void messageBox(const std::string& text, int buttons, const std::string& title) override;

 private:
  std::function<bool()> showBoxes_;
};

class Win32ProcessControl final : public ProcessControl {
 public:
  void setPriorityClass(int priorityClass) override;
  void setThreadPriority(int threadPriority) override;
  std::int32_t threadId() override;
};

}  // namespace quorvan

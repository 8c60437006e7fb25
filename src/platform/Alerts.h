#pragma once
// Message boxes and debug alerts. The daemon writes them to standard error; tests
// capture them. They never wait for a person.
#include <string>
#include <vector>

namespace quorvan {

// Message box button/icon flags (the values callers pass).
namespace mb {
inline constexpr int vbCritical = 16;
inline constexpr int vbQuestion = 32;
inline constexpr int vbExclamation = 48;
}  // namespace mb

class Alerts {
 public:
  virtual ~Alerts() = default;
  virtual void messageBox(const std::string& text, int buttons, const std::string& title) = 0;
};

class StderrAlerts final : public Alerts {
 public:
  void messageBox(const std::string& text, int buttons, const std::string& title) override;
};

class CapturingAlerts final : public Alerts {
 public:
  struct Box {
    std::string text;
    int buttons;
    std::string title;
  };
  void messageBox(const std::string& text, int buttons, const std::string& title) override {
    boxes.push_back({text, buttons, title});
  }
  std::vector<Box> boxes;
};

}  // namespace quorvan

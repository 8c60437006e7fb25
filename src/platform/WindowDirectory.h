#pragma once
// Answers "is there a top-level window of class X with caption Y" for the client
// presence check.
#include <set>
#include <string>
#include <utility>

namespace quorvan {

class WindowDirectory {
 public:
  virtual ~WindowDirectory() = default;
  virtual bool findWindow(const std::string& className, const std::string& caption) = 0;
};

class InMemoryWindowDirectory final : public WindowDirectory {
 public:
  void add(const std::string& className, const std::string& caption) {
    windows_.emplace(className, caption);
  }
  void remove(const std::string& className, const std::string& caption) {
    windows_.erase({className, caption});
  }
  bool findWindow(const std::string& className, const std::string& caption) override {
    return windows_.count({className, caption}) != 0;
  }

 private:
  std::multiset<std::pair<std::string, std::string>> windows_;
};

}  // namespace quorvan

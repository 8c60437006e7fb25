#pragma once
// Finds the properties whose values changed since they were last announced, so that the
// server can send PropertiesChanged for values it changes on its own (identification,
// flash state, results, busy flag) as well as for those a client sets.
#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace quorvan::host {

class PropertyAnnouncer {
 public:
  using Value = std::variant<bool, std::int32_t, std::string>;

  // The value read now counts as announced.
  void add(std::string name, std::function<Value()> read);
  // The names whose values differ from the last announced ones, in the order added; their
  // new values count as announced from now on.
  std::vector<std::string> changes();

 private:
  struct Entry {
    std::string name;
    std::function<Value()> read;
    Value announced;
  };
  std::vector<Entry> entries_;
};

}  // namespace quorvan::host

#include "host/server/PropertyAnnouncer.h"

namespace quorvan::host {

void PropertyAnnouncer::add(std::string name, std::function<Value()> read) {
  Value now = read();
  entries_.push_back(Entry{std::move(name), std::move(read), std::move(now)});
}

std::vector<std::string> PropertyAnnouncer::changes() {
  std::vector<std::string> changed;
  for (Entry& e : entries_) {
    Value now = e.read();
    if (now == e.announced) continue;
    e.announced = std::move(now);
    changed.push_back(e.name);
  }
  return changed;
}

}  // namespace quorvan::host

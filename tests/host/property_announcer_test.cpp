#include <gtest/gtest.h>

#include "host/server/PropertyAnnouncer.h"

namespace quorvan::host {
namespace {

TEST(PropertyAnnouncer, AnnouncesEachChangeOnceAndNothingAtFirst) {
  bool busy = false;
  std::int32_t mode = 0;
  std::string id = "UNKNOWN";
  PropertyAnnouncer announcer;
  announcer.add("Busy", [&] { return PropertyAnnouncer::Value{busy}; });
  announcer.add("ecuFlashMode", [&] { return PropertyAnnouncer::Value{mode}; });
  announcer.add("idHardware", [&] { return PropertyAnnouncer::Value{id}; });

  EXPECT_TRUE(announcer.changes().empty());
  mode = 1;
  id = "1037";
  EXPECT_EQ(announcer.changes(), (std::vector<std::string>{"ecuFlashMode", "idHardware"}));
  EXPECT_TRUE(announcer.changes().empty());
  // Changed and changed back between two looks: nothing to announce.
  busy = true;
  busy = false;
  EXPECT_TRUE(announcer.changes().empty());
}

}  // namespace
}  // namespace quorvan::host

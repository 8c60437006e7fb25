#include <gtest/gtest.h>

#include <stdexcept>

#include "client/clsBoschECU.h"
#include "host/common/TextMapping.h"
#include "host/server/BusErrors.h"

namespace quorvan::host {
namespace {

sdbus::Error busErrorFor(auto failure) {
  return ToBusError(std::make_exception_ptr(failure));
}

TEST(BusErrors, WatchTableErrorKeepsNumberSourceAndDescription) {
  const sdbus::Error e =
      busErrorFor(WatchTableError("AddItem# outside ecuWatchTable boundary: 0."));
  EXPECT_EQ(e.getName(), "org.quorvan.EcuQuorvanBT1.Error.x80040001");
  EXPECT_EQ(e.getMessage(), "MSE1: AddItem# outside ecuWatchTable boundary: 0.");
}

TEST(BusErrors, RefusedArgumentsAreInvalidArgsAndOtherFailuresFailed) {
  EXPECT_EQ(busErrorFor(TextMappingError("bad")).getName(),
            "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(busErrorFor(BadArgument("bad")).getName(), "org.freedesktop.DBus.Error.InvalidArgs");
  const sdbus::Error failed = busErrorFor(std::runtime_error("disk full"));
  EXPECT_EQ(failed.getName(), "org.quorvan.EcuQuorvanBT1.Error.Failed");
  EXPECT_EQ(failed.getMessage(), "disk full");
  EXPECT_EQ(busErrorFor(42).getName(), "org.quorvan.EcuQuorvanBT1.Error.Failed");
  EXPECT_EQ(busErrorFor(sdbus::Error("a.b.C", "kept")).getName(), "a.b.C");
}

TEST(BusErrors, ProcessEndInsideABusHandlerIsKeptForTheLoop) {
  std::optional<ProcessEnd> end;
  EXPECT_THROW(RunForBus([]() -> int { throw ProcessEnd{0}; }, end), sdbus::Error);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->exitCode, 0);
  EXPECT_EQ(RunForBus([] { return 7; }, end), 7);
}

}  // namespace
}  // namespace quorvan::host

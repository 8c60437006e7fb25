// A server whose loop stalls leaves the trace-back it would have written on dying.
#include "host/server/TraceBackPublisher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "host/cli/ChildProcess.h"
#include "support/ServerFixture.h"

namespace quorvan::testing {
namespace {

using namespace std::chrono_literals;

// What follows the first line: the trace-back's header carries the time of day.
std::string AfterHeader(const std::string& text) {
  return text.substr(std::min(text.size(), text.find("\r\n")));
}

class StalledServer : public ServerFixture {
 protected:
  // Runs the server's loop under a guard until a handler gets stuck.
  void stall() {
    EXPECT_EXIT(
        {
          StallGuard guard(loop, 200ms, "EcuQuorvanBT");
          host::TraceBackPublisher publisher(guard, loop, globals, driveC);
          loop.post([] {
            std::this_thread::sleep_for(5s);  // far beyond the limit
            ::_exit(0);
          });
          loop.runFor(60'000);
        },
        ::testing::ExitedWithCode(StallGuard::kStalledExitCode), "has not turned for 200 ms");
  }
  std::string traceFile() { return host::ReadOutput(driveC.dir() / TraceLog::TraceBackFileName()); }
};

TEST_F(StalledServer, TheTraceBackNotYetWrittenIsWrittenAndNothingElse) {
  struct Case {
    const char* what;
    std::function<void(frmCommThread&)> before;
    bool adds;  // the stall adds the ring's trace-back to the file
  };
  const Case cases[] = {
      {"lines in the ring", [](frmCommThread&) {}, true},
      {"the ring dumped already", [](frmCommThread& f) { f.trace.DumpTraceBack(); }, false},
      {"tracing off", [&](frmCommThread&) { ecu.setDebugMode(false); }, false},
  };
  frmCommThread& f = start();
  for (const Case& c : cases) {
    ecu.setDebugMode(true);
    f.LogIt(std::string("before the stall: ") + c.what);
    c.before(f);
    const std::string expected = f.trace.TraceBackText();
    const std::string earlier = traceFile();
    stall();
    const std::string now = traceFile();
    ASSERT_EQ(now.substr(0, earlier.size()), earlier) << c.what;
    const std::string added = now.substr(earlier.size());
    if (c.adds) {
      EXPECT_NE(added.find(std::string("before the stall: ") + c.what), std::string::npos)
          << c.what;
      EXPECT_EQ(AfterHeader(added), AfterHeader(expected)) << c.what;
    } else {
      EXPECT_EQ(added, "") << c.what;
    }
    f.trace.ClearRing();
  }
}

}  // namespace
}  // namespace quorvan::testing

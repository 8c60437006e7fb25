#include "platform/StallGuard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace quorvan {
namespace {

using namespace std::chrono_literals;

std::filesystem::path FreshDirectory(const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quorvan-" + name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  return dir;
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A handler that does not return to the loop for many times the guard's limit; should
// nothing end the process meanwhile, it ends it with 0.
[[noreturn]] void Stuck() {
  std::this_thread::sleep_for(5s);
  ::_exit(0);
}

TEST(StallGuard, AHandlerThatNeverReturnsEndsTheProcessWithTheLastTraceBackAndALine) {
  struct Case {
    const char* what;
    std::vector<std::string> published;  // in order; "" withdraws
    std::string written;                 // what the trace file holds afterwards
  };
  const Case cases[] = {
      {"a trace-back", {"old lines\r\n", "the last lines\r\n"}, "the last lines\r\n"},
      {"withdrawn", {"dumped already\r\n", ""}, ""},
      {"none", {}, ""},
  };
  for (const Case& c : cases) {
    const auto dir = FreshDirectory("stall");
    const auto file = dir / "drive-c" / "EcuTrace.LOG";  // its directory is made too
    EXPECT_EXIT(
        {
          RealClock clock;
          MessageLoop loop(clock);
          StallGuard guard(loop, 200ms, "EcuTest");
          for (const std::string& text : c.published) guard.publishTraceBack(file, text);
          loop.post([] { Stuck(); });
          loop.run();
        },
        ::testing::ExitedWithCode(StallGuard::kStalledExitCode),
        "EcuTest: the message loop has not turned for 200 ms: a handler is stuck; ending")
        << c.what;
    EXPECT_EQ(ReadAll(file), c.written) << c.what;
    std::filesystem::remove_all(dir);
  }
}

// Each of these keeps the loop from dispatching for longer than the limit in all, but
// none stops it from turning for that long: should the guard end the process, this test
// fails with it.
TEST(StallGuard, ALoopThatTurnsOrRestsIsLeftAlone) {
  RealClock clock;
  MessageLoop loop(clock);
  StallGuard guard(loop, 150ms, "EcuTest");
  int ticks = 0;
  Timer yielding(
      loop,
      [&] {
        ++ticks;
        const auto end = std::chrono::steady_clock::now() + 500ms;
        while (std::chrono::steady_clock::now() < end) {
          loop.DoEvents();  // a yielding wait
          clock.sleepMs(10);
        }
      },
      1);
  Timer blocking(
      loop, [&] { clock.sleepMs(50); }, 60);
  yielding.setEnabled(true);
  blocking.setEnabled(true);
  loop.runUntil([&] { return ticks == 2; }, 5000);
  yielding.setEnabled(false);
  blocking.setEnabled(false);
  loop.runFor(500);  // nothing due: the loop rests
  EXPECT_EQ(ticks, 2);
}

}  // namespace
}  // namespace quorvan

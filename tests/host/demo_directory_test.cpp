// The demo's directory: made with the demo's pid in its name, gone when the demo ends, and
// removed by the next demo when its demo was killed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/cli/ChildProcess.h"
#include "host/cli/DemoDirectory.h"
#include "support/ServerFixture.h"

namespace quorvan::host {
namespace {

namespace fs = std::filesystem;

// The pid of a process that has ended.
pid_t endedProcess() {
  ChildProcess child({"true"});
  child.waitExit(std::chrono::seconds(20));
  return child.pid();
}

TEST(DemoDirectory, ANewDemoRemovesTheDirectoriesOfDeadDemosOnly) {
  const fs::path tmp = testing::FreshTempDir();
  const std::string dead = std::to_string(endedProcess());
  const std::string live = std::to_string(::getpid());
  const struct {
    std::string name;
    bool removed;
  } entries[] = {
      {"quorvan-demo-" + dead + "-a1b2c3", true},
      {"quorvan-demo-" + live + "-d4e5f6", false},  // its demo still runs
      {"quorvan-demo-g7h8i9", false},               // names no demo
      {"quorvan-demo-" + dead + "x-j0k1l2", false},
      {"other-" + dead + "-m3n4o5", false},
  };
  for (const auto& e : entries) {
    fs::create_directories(tmp / e.name / "bus");
    std::ofstream(tmp / e.name / "bus" / "log") << "left behind";
  }
  std::ofstream(tmp / ("quorvan-demo-" + dead + "-file")) << "not a directory";

  fs::path made;
  {
    const DemoDirectory demo(tmp);
    made = demo.path();
    EXPECT_EQ(made.filename().string().rfind("quorvan-demo-" + live + "-", 0), 0u) << made;
    EXPECT_TRUE(fs::is_directory(made));
    for (const auto& e : entries) EXPECT_EQ(fs::exists(tmp / e.name), !e.removed) << e.name;
    EXPECT_TRUE(fs::exists(tmp / ("quorvan-demo-" + dead + "-file")));
  }
  EXPECT_FALSE(fs::exists(made));
  fs::remove_all(tmp);
}

}  // namespace
}  // namespace quorvan::host

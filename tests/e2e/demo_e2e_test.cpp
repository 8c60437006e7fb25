// `quorvan demo` as a user runs it: everything it starts ends with it, and everything it
// makes goes.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <fstream>

#include "e2e/HostFixture.h"

namespace quorvan::testing {
namespace {

namespace fs = std::filesystem;

// Processes whose parent is this one. The test is their subreaper: whatever the demo left
// running would come here once the demo has ended.
std::vector<pid_t> childrenOfThisProcess() {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto close = line.rfind(')');  // the command name may hold blanks
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == ::getpid()) children.push_back(std::stoi(entry.path().filename().string()));
  }
  return children;
}

bool isEmptyDirectory(const fs::path& dir) {
  return fs::is_directory(dir) && fs::is_empty(dir);
}

// The demo's own files: its temporary directories, what it printed.
class DemoRun {
 public:
  explicit DemoRun(const fs::path& dir) : dir_(dir) { fs::create_directories(tmp()); }
  fs::path tmp() const { return dir_ / "tmp"; }
  fs::path out() const { return dir_ / "demo.out"; }
  fs::path err() const { return dir_ / "demo.err"; }
  std::string output() const { return ReadFile(out()) + ReadFile(err()); }

 private:
  fs::path dir_;
};

TEST(Demo, WithoutASessionBusItRunsOnItsOwnAndLeavesNothingBehind) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  TestDirectory dir;
  DemoRun run(dir.path);
  fs::create_directories(dir.path / "runtime");
  const std::map<std::string, std::string> env = {
      {"DBUS_SESSION_BUS_ADDRESS", ""},
      {"XDG_RUNTIME_DIR", (dir.path / "runtime").string()},  // no user bus in there either
      {"TMPDIR", run.tmp().string()},
  };
  const std::vector<pid_t> before = childrenOfThisProcess();
  Child demo({kClientProgram, "demo", "--seconds", "2"}, env, run.out(), run.err());
  ASSERT_EQ(demo.waitExit(kPatience * 2), 0) << run.output();
  const std::string out = ReadFile(run.out());
  for (const char* shown : {"connected on a private session bus", "idHardware: Visteon Controller",
                            "Link: ecuCommOK", "Engine speed", "Fault codes: 0123 0133"}) {
    EXPECT_NE(out.find(shown), std::string::npos) << shown << "\n" << run.output();
  }
  EXPECT_TRUE(isEmptyDirectory(run.tmp()));
  EXPECT_EQ(childrenOfThisProcess(), before);
}

TEST_F(HostFixture, OnARunningBusItActivatesTheRegisteredServerAndCtrlCEndsIt) {
  registerServer();
  DemoRun run(dir.path);
  auto env = bus.env();
  env["TMPDIR"] = run.tmp().string();
  Child demo({kClientProgram, "demo"}, env, run.out(), run.err());
  // Interrupted once it has connected and printed the identification.
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (ReadFile(run.out()).find("idCustomer:") == std::string::npos &&
         std::chrono::steady_clock::now() < end && !demo.waitExit(std::chrono::milliseconds(50))) {
  }
  ::kill(demo.pid(), SIGINT);
  ASSERT_EQ(demo.waitExit(kPatience), 0) << run.output();
  const std::string out = ReadFile(run.out());
  EXPECT_NE(out.find("connected on the session bus"), std::string::npos) << out;
  EXPECT_NE(out.find("Engine speed"), std::string::npos) << out;
  EXPECT_NE(bus.log().find("Successfully activated service 'org.quorvan.EcuQuorvanBT1'"),
            std::string::npos);
  EXPECT_TRUE(isEmptyDirectory(run.tmp()));
  EXPECT_TRUE(isEmptyDirectory(dir.path / "ports"));  // the simulator's link is gone
  host::EcuClient observer;
  EXPECT_TRUE(awaitServerName(observer, false));  // and so is the server
}

}  // namespace
}  // namespace quorvan::testing

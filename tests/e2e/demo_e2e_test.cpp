// `quorvan demo` as a user runs it: everything it starts ends with it, and everything it
// makes goes.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "e2e/HostFixture.h"

namespace quorvan::testing {
namespace {

namespace fs = std::filesystem;

// The state letter and the parent of the process whose /proc entry is `entry`; nothing
// when there is no such process.
std::optional<std::pair<char, pid_t>> stateAndParent(const fs::path& entry) {
  std::ifstream stat(entry / "stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  const auto close = line.rfind(')');  // the command name may hold blanks
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(line.substr(close + 2));
  char state = 0;
  pid_t parent = 0;
  rest >> state >> parent;
  return std::pair{state, parent};
}

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const auto process = stateAndParent(entry.path());
    if (process && process->second == parent) {
      children.push_back(std::stoi(entry.path().filename().string()));
    }
  }
  return children;
}

// Processes whose parent is this one. The test is their subreaper: whatever the demo left
// running would come here once the demo has ended.
std::vector<pid_t> childrenOfThisProcess() {
  return childrenOf(::getpid());
}

std::vector<pid_t> descendantsOf(pid_t ancestor) {
  std::vector<pid_t> all;
  for (const pid_t child : childrenOf(ancestor)) {
    all.push_back(child);
    const auto below = descendantsOf(child);
    all.insert(all.end(), below.begin(), below.end());
  }
  return all;
}

// Gone, or a zombie waiting for its parent (this test, their subreaper), which it reaps.
bool hasEnded(pid_t pid) {
  const auto process = stateAndParent(fs::path("/proc") / std::to_string(pid));
  if (process && process->first != 'Z') return false;
  ::waitpid(pid, nullptr, WNOHANG);
  return true;
}

bool allEndWithin(const std::vector<pid_t>& pids, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!std::all_of(pids.begin(), pids.end(), hasEnded)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
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
  // Waits until the demo has connected and shown the identification.
  bool awaitConnected(Child& demo) const { return awaitOutput(demo, out(), "idCustomer:"); }

 private:
  fs::path dir_;
};

// The environment of a demo that finds no session bus and starts its own.
std::map<std::string, std::string> withoutASessionBus(const fs::path& dir, const DemoRun& run) {
  fs::create_directories(dir / "runtime");
  return {
      {"DBUS_SESSION_BUS_ADDRESS", ""},
      {"XDG_RUNTIME_DIR", (dir / "runtime").string()},  // no user bus in there either
      {"TMPDIR", run.tmp().string()},
  };
}

TEST(Demo, WithoutASessionBusItRunsOnItsOwnAndLeavesNothingBehind) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  TestDirectory dir;
  DemoRun run(dir.path);
  const auto env = withoutASessionBus(dir.path, run);
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

// Killed outright, the demo cannot end what it started nor remove its directory: what it
// started ends with it all the same (its bus, the server on it, the simulator), and the
// next demo removes the directory.
TEST(Demo, KilledOutrightNothingItStartedOutlivesItAndTheNextDemoTidiesUp) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  TestDirectory dir;
  DemoRun run(dir.path);
  const auto env = withoutASessionBus(dir.path, run);
  Child demo({kClientProgram, "demo", "--seconds", "60"}, env, run.out(), run.err());
  ASSERT_TRUE(run.awaitConnected(demo)) << run.output();
  const std::vector<pid_t> started = descendantsOf(demo.pid());
  ASSERT_GE(started.size(), 2u);  // the bus daemon and the simulator at least

  ::kill(demo.pid(), SIGKILL);
  ASSERT_TRUE(demo.waitExit(kPatience));
  EXPECT_TRUE(allEndWithin(started, std::chrono::seconds(5)));
  EXPECT_FALSE(isEmptyDirectory(run.tmp()));  // its directory stays behind

  Child next({kClientProgram, "demo", "--seconds", "1"}, env, run.out(), run.err());
  ASSERT_EQ(next.waitExit(kPatience * 2), 0) << run.output();
  EXPECT_TRUE(isEmptyDirectory(run.tmp()));
}

TEST_F(HostFixture, OnARunningBusItActivatesTheRegisteredServerAndCtrlCEndsIt) {
  registerServer();
  DemoRun run(dir.path);
  auto env = bus.env();
  env["TMPDIR"] = run.tmp().string();
  Child demo({kClientProgram, "demo"}, env, run.out(), run.err());
  // Interrupted once it has connected and printed the identification.
  run.awaitConnected(demo);
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

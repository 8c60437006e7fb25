#pragma once
// Shared setting of the trace tests: a virtual clock, captured message boxes, a fresh
// drive C directory and the form pieces the trace works with.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Alerts.h"
#include "platform/Clock.h"
#include "platform/DriveC.h"
#include "platform/MessageLoop.h"
#include "trace/Text.h"
#include "trace/TraceLog.h"

namespace quorvan::testing {

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "trace-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The files of a directory whose names start with prefix.
inline std::vector<std::filesystem::path> FilesStartingWith(const std::filesystem::path& dir,
                                                            const std::string& prefix) {
  std::vector<std::filesystem::path> found;
  if (!std::filesystem::exists(dir)) return found;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind(prefix, 0) == 0) found.push_back(e.path());
  return found;
}

struct TraceFixture : ::testing::Test {
  VirtualClock clock;
  MessageLoop loop{clock};
  CapturingAlerts alerts;
  TempDir temp;
  DriveC driveC{temp.path() / "c"};
  bool mbDebugMode = true;
  bool gDebugMode = false;
  bool haveShutDown = false;
  std::uint32_t gWatchTimer = 0;
  int watchDogTicks = 0;
  Timer tmrWatchDog{loop, [this] { ++watchDogTicks; }, 2000};
  int formShown = 0;
  TraceLog trace{clock, alerts, driveC, Hooks()};

  TraceHooks Hooks() {
    TraceHooks h;
    h.mbDebugMode = &mbDebugMode;
    h.gDebugMode = &gDebugMode;
    h.tmrWatchDog = &tmrWatchDog;
    h.gWatchTimer = &gWatchTimer;
    h.haveShutDown = &haveShutDown;
    h.showForm = [this] { ++formShown; };
    return h;
  }

  // The content of the day's file with that prefix ("EcuTrace-", "EcuInfo-"); empty when
  // there is none. The call that wrote it ran between `before` and now.
  std::string DayFile(const std::string& prefix, const std::string& before) {
    const auto files = FilesStartingWith(driveC.dir(), prefix);
    if (files.empty()) return {};
    EXPECT_EQ(files.size(), 1u);
    const std::string name = files.front().filename().string();
    const std::string after = TodayMmDdYyyy();
    EXPECT_TRUE(name == prefix + before + ".LOG" || name == prefix + after + ".LOG") << name;
    return ReadFile(files.front());
  }

  // Points drive C at a plain file, so that writing there fails.
  void MakeDriveCUnwritable() { std::ofstream(driveC.dir()) << "not a directory"; }
};

}  // namespace quorvan::testing

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <stdexcept>
#include <system_error>

#include "platform/SerialDevice.h"
#include "support/Regex.h"
#include "trace/TraceFixture.h"

namespace quorvan {
namespace {

using testing::TraceFixture;

const std::string kCrLf = "\r\n";

// Messages "e1".."en", one per millisecond.
void FillRing(TraceLog& trace, VirtualClock& clock, int n) {
  for (int i = 1; i <= n; ++i) {
    clock.sleepMs(1);
    trace.LogToRing("e" + std::to_string(i));
  }
}

// ---------------------------------------------------------------- on-screen list

TEST_F(TraceFixture, ListTimeColumnIsTheGapToThePreviousListLine) {
  trace.LogToList("first");
  clock.sleepMs(16);
  trace.LogToList("second");
  clock.sleepMs(40);
  trace.LogToRing("ring only");  // does not move the list's time reference
  clock.sleepMs(1194);
  trace.LogIt("third");
  EXPECT_EQ(trace.lstTrace(),
            (std::vector<std::string>{"0.000: first", "0.016: second", "1.234: third"}));
}

TEST_F(TraceFixture, ListTimeSurvivesTheMillisecondClockWrapping) {
  clock.setTimeGetTimeOffset(std::numeric_limits<std::uint32_t>::max() - 1000 -
                             static_cast<std::uint32_t>(clock.monoUs() / 1000));
  trace.LogToList("before");
  clock.sleepMs(2500);
  trace.LogToList("after");
  EXPECT_EQ(trace.lstTrace().back(), "2.500: after");
}

TEST_F(TraceFixture, FullListDropsLinesButKeepsRingAndTimeReference) {
  trace.LogToList("start");
  trace.lstTrace().resize(TraceLog::kListLimit, "x");
  clock.sleepMs(500);
  trace.LogIt("over the limit");
  EXPECT_EQ(trace.lstTrace().size(), TraceLog::kListLimit);
  EXPECT_EQ(trace.lstTrace().back(), "x");
  ASSERT_EQ(trace.ringIndex(), 1);
  EXPECT_NE(trace.ringSlot(1).find("over the limit"), std::string::npos);

  // The dropped line still moved the time reference on.
  trace.lstTrace().pop_back();
  clock.sleepMs(250);
  trace.LogToList("room again");
  EXPECT_EQ(trace.lstTrace().back(), "0.250: room again");
}

// ---------------------------------------------------------------- event ring

TEST_F(TraceFixture, RingEntryCarriesTheGapAndMarksGapsOver99Ms) {
  struct Case {
    std::uint32_t gapMs;
    const char* expected;
  };
  const Case cases[] = {{0, "0 mS: msg"},
                        {12, "12 mS: msg"},
                        {99, "99 mS: msg"},
                        {100, "100 mS: msg ##"},
                        {250, "250 mS: msg ##"}};
  trace.LogToRing("reference");
  for (const auto& c : cases) {
    clock.sleepMs(c.gapMs);
    trace.LogToRing("msg");
    EXPECT_EQ(trace.ringSlot(trace.ringIndex()), c.expected);
    EXPECT_EQ(trace.gElapsed(), c.gapMs);
  }
}

TEST_F(TraceFixture, RingWrapsFromSlot1000ToSlot1) {
  FillRing(trace, clock, 1001);
  EXPECT_EQ(trace.ringIndex(), 1);
  EXPECT_EQ(trace.ringSlot(1), "1 mS: e1001");
  EXPECT_EQ(trace.ringSlot(2), "1 mS: e2");
  EXPECT_EQ(trace.ringSlot(1000), "1 mS: e1000");
}

TEST_F(TraceFixture, NothingIsTracedWhileTheDebugSwitchIsOff) {
  mbDebugMode = false;
  trace.LogIt("a");
  trace.LogToList("b");
  trace.LogToRing("c");
  trace.ReportError("d", 48, " Error in Quorvan");
  EXPECT_TRUE(trace.lstTrace().empty());
  EXPECT_EQ(trace.ringIndex(), 0);
  EXPECT_TRUE(alerts.boxes.empty());
  EXPECT_FALSE(std::filesystem::exists(driveC.dir()));
}

// ---------------------------------------------------------------- trace-back file

std::string Header(int ringIndex) {
  return ">>> Lost Comms -- Dump of 900 Events Before Loss... at [0-9]{2}:[0-9]{2}:[0-9]{2} "
         "<<< @" +
         std::to_string(ringIndex) + "\r\n";
}

std::string Block(int firstEntry, int lastEntry) {
  std::string lines;
  for (int i = firstEntry; i <= lastEntry; ++i) lines += "1 mS: e" + std::to_string(i) + "\r\n";
  return lines + "--- end traceBack ---\r\n\r\n";
}

TEST_F(TraceFixture, DumpWritesTheLast901EntriesOldestFirstAndWipesTheRing) {
  struct Case {
    int entries;
    int ringIndex;
    int firstDumped;
  };
  const Case cases[] = {
      {3, 3, 1},          // not wrapped: slots 1..3
      {950, 950, 50},     // index over 900: slots 50..950
      {1000, 1000, 100},  // full, not yet wrapped
      {1005, 5, 105},     // wrapped: slots 105..1000 then 1..5
      {1900, 900, 1000},  // wrapped at 900: slot 1000 then 1..900
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entries);
    testing::TempDir dir;
    DriveC drive(dir.path());
    TraceLog log(clock, alerts, drive, Hooks());
    FillRing(log, clock, c.entries);
    ASSERT_EQ(log.ringIndex(), c.ringIndex);

    const std::string today = TodayMmDdYyyy();
    log.DumpTraceBack();

    const auto files = testing::FilesStartingWith(dir.path(), "EcuTrace-");
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files.front().filename().string();
    EXPECT_TRUE(name == "EcuTrace-" + today + ".LOG" ||
                name == "EcuTrace-" + TodayMmDdYyyy() + ".LOG")
        << name;
    const std::string text = testing::ReadFile(files.front());
    EXPECT_TRUE(
        std::regex_match(text, std::regex(Header(c.ringIndex) + Block(c.firstDumped, c.entries))))
        << text.substr(0, 200);
    EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 901 + 3);

    EXPECT_EQ(log.ringIndex(), 0);
    for (int slot = 1; slot <= TraceLog::kRingSize; ++slot) ASSERT_EQ(log.ringSlot(slot), "");
  }
}

TEST_F(TraceFixture, LaterDumpsOfTheDayAppendToTheSameFile) {
  const std::string today = TodayMmDdYyyy();
  FillRing(trace, clock, 2);
  trace.DumpTraceBack();
  FillRing(trace, clock, 1);
  trace.DumpTraceBack();
  EXPECT_TRUE(std::regex_match(DayFile("EcuTrace-", today),
                               std::regex(Header(2) + Block(1, 2) + Header(1) + Block(1, 1))));
}

// A slow write must not look like a silent link: the watchdog's period and time base
// start again after it. A quick one leaves them alone, or dumps at every tick of a line
// that spoils every reply would keep the watchdog from ever running.
TEST_F(TraceFixture, ASlowDumpRestartsAnEnabledWatchdogAndResetsItsReference) {
  driveC.beforeWrite = [&] { clock.sleepMs(150); };
  tmrWatchDog.setEnabled(true);
  FillRing(trace, clock, 3);
  clock.sleepMs(1347);  // the write ends 1500 ms into the watchdog's period
  gWatchTimer = 0;
  trace.DumpTraceBack();

  EXPECT_TRUE(tmrWatchDog.Enabled());
  EXPECT_EQ(gWatchTimer, clock.timeGetTime());
  loop.runFor(1999);  // the period starts again at the end of the dump
  EXPECT_EQ(watchDogTicks, 0);
  loop.runFor(1);
  EXPECT_EQ(watchDogTicks, 1);
}

TEST_F(TraceFixture, AQuickDumpLeavesTheWatchdogsPeriodAlone) {
  tmrWatchDog.setEnabled(true);
  FillRing(trace, clock, 3);
  clock.sleepMs(1497);
  gWatchTimer = 7;
  trace.DumpTraceBack();
  EXPECT_TRUE(tmrWatchDog.Enabled());
  EXPECT_EQ(gWatchTimer, 7u);
  loop.runFor(500);  // the original period runs on
  EXPECT_EQ(watchDogTicks, 1);
}

TEST_F(TraceFixture, DumpLeavesADisabledWatchdogDisabled) {
  FillRing(trace, clock, 3);
  gWatchTimer = 7;
  trace.DumpTraceBack();
  EXPECT_FALSE(tmrWatchDog.Enabled());
  EXPECT_EQ(gWatchTimer, 7u);
}

TEST_F(TraceFixture, DumpWithNothingToWriteTouchesNeitherFileNorWatchdog) {
  struct Case {
    const char* name;
    bool debug;
    int entries;
  };
  const Case cases[] = {{"empty ring", true, 0}, {"debug off", false, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TraceLog log(clock, alerts, driveC, Hooks());
    FillRing(log, clock, c.entries);
    mbDebugMode = c.debug;
    tmrWatchDog.setEnabled(true);
    const int ticksBefore = watchDogTicks;
    clock.sleepMs(1500);
    gWatchTimer = 7;
    log.DumpTraceBack();

    EXPECT_FALSE(std::filesystem::exists(driveC.dir()));
    EXPECT_EQ(gWatchTimer, 7u);
    loop.runFor(500);  // the original period runs on: not restarted
    EXPECT_EQ(watchDogTicks, ticksBefore + 1);
    EXPECT_EQ(log.ringIndex(), c.entries);
    mbDebugMode = true;
    tmrWatchDog.setEnabled(false);
  }
}

TEST_F(TraceFixture, UnwritableFileIsToldOnceKeepsTheRingAndLeavesTheWatchdogRunning) {
  const std::string today = TodayMmDdYyyy();
  MakeDriveCUnwritable();
  tmrWatchDog.setEnabled(true);
  FillRing(trace, clock, 3);
  EXPECT_NO_THROW(trace.DumpTraceBack());
  EXPECT_TRUE(tmrWatchDog.Enabled());
  ASSERT_EQ(trace.ringIndex(), 4);  // the entries, then the failure
  EXPECT_EQ(trace.ringSlot(3), "1 mS: e3");
  ASSERT_EQ(alerts.boxes.size(), 1u);
  const auto& box = alerts.boxes[0];
  EXPECT_EQ(box.text.rfind("Trace-back file EcuTrace-" + today + ".LOG could not be written: ", 0),
            0u)
      << box.text;
  EXPECT_EQ(box.buttons, 48);
  EXPECT_EQ(box.title, " Error in Quorvan");
  EXPECT_EQ(trace.ringSlot(4), "0 mS: " + box.text);

  // Failing again is not told again; the ring goes on collecting.
  trace.LogToRing("e4");
  trace.DumpTraceBack();
  EXPECT_EQ(alerts.boxes.size(), 1u);
  EXPECT_EQ(trace.ringIndex(), 5);

  // Once the drive can be written, the whole ring reaches the file; a later failure is a
  // new one and is told again.
  std::filesystem::remove(driveC.dir());
  trace.DumpTraceBack();
  const std::string file = DayFile("EcuTrace-", today);
  EXPECT_NE(file.find("1 mS: e1\r\n1 mS: e2\r\n1 mS: e3\r\n0 mS: Trace-back file"),
            std::string::npos)
      << file;
  EXPECT_EQ(trace.ringIndex(), 0);
  std::filesystem::remove_all(driveC.dir());
  MakeDriveCUnwritable();
  trace.LogToRing("e5");
  trace.DumpTraceBack();
  EXPECT_EQ(alerts.boxes.size(), 2u);
}

// ---------------------------------------------------------------- error reports

TEST_F(TraceFixture, ReportErrorLogsDumpsAndShowsTheBox) {
  const std::string today = TodayMmDdYyyy();
  trace.LogIt("before");
  trace.ReportError("it broke", 16, "Ficht Data Error");

  EXPECT_EQ(trace.lstTrace().back(), "0.000: it broke");
  EXPECT_EQ(trace.ringIndex(), 0);
  const std::string file = DayFile("EcuTrace-", today);
  EXPECT_NE(file.find("0 mS: before\r\n0 mS: it broke\r\n--- end traceBack ---"), std::string::npos)
      << file;
  ASSERT_EQ(alerts.boxes.size(), 1u);
  EXPECT_EQ(alerts.boxes[0].text, "it broke");
  EXPECT_EQ(alerts.boxes[0].buttons, 16);
  EXPECT_EQ(alerts.boxes[0].title, "Ficht Data Error");
}

TEST_F(TraceFixture, ReportFailureAlertsThenReportsTheBlewUpMessage) {
  gDebugMode = true;
  trace.ReportFailure("NextFichtRequest", 1, {6, "Overflow"}, {"location = 3", "x = 1"});

  ASSERT_EQ(alerts.boxes.size(), 3u);  // alert 1, digit 6, the report
  EXPECT_EQ(alerts.boxes[0].title, "Alert 1");
  EXPECT_EQ(alerts.boxes[1].title, "Alert 6");
  const auto& report = alerts.boxes[2];
  EXPECT_EQ(report.text,
            "Blew up in NextFichtRequest\r\nerrNumber was 6\r\nerrDescription was Overflow\r\n"
            "location = 3\r\nx = 1");
  EXPECT_EQ(report.buttons, 48);
  EXPECT_EQ(report.title, " Error in Quorvan");
}

TEST_F(TraceFixture, ReportFailureWithoutAlertCodeOrDebugAlertsShowsOnlyTheReport) {
  gDebugMode = true;
  trace.ReportFailure("ExtractFichtHistoric", 0, {13, "Type mismatch"});
  gDebugMode = false;
  trace.ReportFailure("StartupMBE", 122, {5, "Invalid procedure call or argument"});
  ASSERT_EQ(alerts.boxes.size(), 2u);
  EXPECT_EQ(alerts.boxes[0].text,
            "Blew up in ExtractFichtHistoric\r\nerrNumber was 13\r\nerrDescription was "
            "Type mismatch");
  EXPECT_EQ(alerts.boxes[1].title, " Error in Quorvan");
}

// Message boxes with the virtual time at which each appeared.
struct TimedAlerts final : Alerts {
  explicit TimedAlerts(Clock& c) : clock(c), t0(c.timeGetTime()) {}
  void messageBox(const std::string& text, int buttons, const std::string& title) override {
    boxes.push_back({clock.timeGetTime() - t0, title, text, buttons});
  }
  struct Box {
    std::uint32_t atMs;
    std::string title;
    std::string text;
    int buttons;
  };
  Clock& clock;
  std::uint32_t t0;
  std::vector<Box> boxes;
};

// The alerts say the code and then the error number digit by digit, at once: an alert
// never holds up the server's one thread.
TEST_F(TraceFixture, DebugAlertAnnouncesTheErrorNumberDigitByDigit) {
  gDebugMode = true;
  TimedAlerts timed(clock);
  TraceLog log(clock, timed, driveC, Hooks());
  log.DebugAlert(2, {105, "bad"});

  // code 2, then the digits 5, 0 (as 10), 1.
  const std::vector<std::string> expected = {"Alert 2", "Alert 5", "Alert 10", "Alert 1"};
  ASSERT_EQ(timed.boxes.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(timed.boxes[i].atMs, 0u) << i;
    EXPECT_EQ(timed.boxes[i].title, expected[i]);
    EXPECT_EQ(timed.boxes[i].text, "Failed with Error #105\r\nbad");
    EXPECT_EQ(timed.boxes[i].buttons, 32);
  }
  EXPECT_EQ(clock.timeGetTime() - timed.t0, 0u);
}

TEST_F(TraceFixture, DebugAlertOnOddNumbersEnds) {
  struct Case {
    std::int32_t number;
    std::size_t boxes;
  };
  const Case cases[] = {{0, 1},
                        {-105, 4},
                        {std::numeric_limits<std::int32_t>::min(), 11},
                        {std::numeric_limits<std::int32_t>::max(), 11}};
  gDebugMode = true;
  for (const auto& c : cases) {
    alerts.boxes.clear();
    trace.DebugAlert(1, {c.number, "x"});
    EXPECT_EQ(alerts.boxes.size(), c.boxes) << c.number;
    EXPECT_EQ(alerts.boxes[0].text, "Failed with Error #" + std::to_string(c.number) + "\r\nx");
  }
  EXPECT_EQ(alerts.boxes[1].title, "Alert 7");  // 2147483647: least significant digit first
}

TEST_F(TraceFixture, DebugAlertIsSilentAndTakesNoTimeWhileDebugAlertsAreOff) {
  const std::uint32_t t0 = clock.timeGetTime();
  trace.DebugAlert(16, {440, "x"});
  EXPECT_TRUE(alerts.boxes.empty());
  EXPECT_EQ(clock.timeGetTime(), t0);
}

// ---------------------------------------------------------------- list failures

TEST_F(TraceFixture, ListFailureIsReportedOnceAndTheRingKeepsTheLines) {
  gDebugMode = true;
  int adds = 0;
  trace.onListAdd = [&] {
    ++adds;
    throw RunTimeError(7, "Out of memory");
  };
  const std::string today = TodayMmDdYyyy();
  ASSERT_NO_THROW(trace.LogIt("hello"));

  const std::string report =
      "Blew up in LogIt\r\n, errNumber was 7\r\n, errDescription was Out of memory";
  ASSERT_EQ(alerts.boxes.size(), 3u);  // alert 12, digit 7, the report
  EXPECT_EQ(alerts.boxes[0].title, "Alert 12");
  EXPECT_EQ(alerts.boxes[1].title, "Alert 7");
  EXPECT_EQ(alerts.boxes[2].text, report);
  EXPECT_EQ(alerts.boxes[2].buttons, 48);
  EXPECT_EQ(alerts.boxes[2].title, " Error in Quorvan");
  EXPECT_EQ(adds, 2);  // the line, and the report's own line that failed again
  EXPECT_TRUE(trace.lstTrace().empty());

  // The report went to the ring and the file (the alerts took no time); the failed line
  // still reached the ring.
  EXPECT_NE(DayFile("EcuTrace-", today).find("0 mS: " + report + "\r\n"), std::string::npos);
  ASSERT_EQ(trace.ringIndex(), 1);
  EXPECT_NE(trace.ringSlot(1).find("hello"), std::string::npos);

  // Each new failure is reported again.
  gDebugMode = false;
  trace.LogToList("again");
  EXPECT_EQ(alerts.boxes.size(), 4u);
}

TEST_F(TraceFixture, ListFailureNeverReachesTheCallerEvenWhenTheFileFails) {
  MakeDriveCUnwritable();
  trace.onListAdd = [] { throw std::bad_alloc(); };
  EXPECT_NO_THROW(trace.LogIt("hello"));
  EXPECT_EQ(trace.ringIndex(), 3);  // the report's line, the file's failure, the original
}

// ---------------------------------------------------------------- post-mortem view

TEST_F(TraceFixture, ShowTraceBackPutsTheWholeRingOnScreenOldestFirst) {
  struct Case {
    int entries;
    int firstShown;
  };
  const Case cases[] = {{3, 1}, {1000, 1}, {1005, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entries);
    TraceLog log(clock, alerts, driveC, Hooks());
    FillRing(log, clock, c.entries);
    log.lstTrace() = {"old line"};
    tmrWatchDog.setEnabled(true);
    haveShutDown = false;
    const int shownBefore = formShown;
    log.ShowTraceBack();

    EXPECT_FALSE(tmrWatchDog.Enabled());
    EXPECT_TRUE(haveShutDown);
    EXPECT_EQ(formShown, shownBefore + 1);
    const auto& list = log.lstTrace();
    ASSERT_EQ(list.size(), static_cast<std::size_t>(c.entries - c.firstShown + 1));
    EXPECT_EQ(list.front(), "1 mS: e" + std::to_string(c.firstShown));
    EXPECT_EQ(list.back(), "1 mS: e" + std::to_string(c.entries));
  }
}

TEST_F(TraceFixture, ClearRingEmptiesEverySlot) {
  FillRing(trace, clock, 1003);
  trace.ClearRing();
  EXPECT_EQ(trace.ringIndex(), 0);
  for (int slot = 1; slot <= TraceLog::kRingSize; ++slot) ASSERT_EQ(trace.ringSlot(slot), "");
  trace.ShowTraceBack();
  EXPECT_TRUE(trace.lstTrace().empty());
}

// ---------------------------------------------------------------- error numbers

TEST(ErrFromException, NumberAndDescriptionOfEachKindOfFailure) {
  struct Case {
    std::exception_ptr failure;
    std::int32_t number;
    std::string description;
  };
  const auto caught = [](auto e) { return std::make_exception_ptr(e); };
  const std::system_error sys(ENOENT, std::generic_category(), "EcuInfo.LOG");
  const Case cases[] = {
      {caught(RunTimeError(13, "Type mismatch")), 13, "Type mismatch"},
      {caught(SerialError(comm::comPortInvalid, "invalid port")), 8002, "invalid port"},
      {caught(sys), ENOENT, sys.what()},
      {caught(std::bad_alloc()), 7, std::bad_alloc().what()},
      {caught(std::out_of_range("index")), 9, "index"},
      {caught(std::overflow_error("too big")), 6, "too big"},
      {caught(std::logic_error("other")), 440, "other"},
  };
  for (const auto& c : cases) {
    try {
      std::rethrow_exception(c.failure);
    } catch (const std::exception& e) {
      const ErrInfo err = ErrFromException(e);
      EXPECT_EQ(err.number, c.number) << c.description;
      EXPECT_EQ(err.description, c.description);
    }
  }
}

}  // namespace
}  // namespace quorvan

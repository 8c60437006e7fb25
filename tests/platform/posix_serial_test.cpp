// The POSIX serial backend on real pseudo-terminals (openpty), with the real clock and
// the message loop. Waits are bounded (runUntil ... 2000 ms); no timing is asserted.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/PortsDirectory.h"
#include "platform/PosixLineMarks.h"
#include "platform/PosixSerial.h"
#include "platform/PosixTermios2.h"

namespace quorvan {
namespace {

namespace fs = std::filesystem;
using Piece = PosixLineMarkParser::Piece;

constexpr std::uint32_t kWaitMs = 2000;

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

std::string allBytes(int repeat = 1) {
  std::string s;
  for (int r = 0; r < repeat; ++r) {
    for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
  }
  return s;
}

Piece data(const std::string& d) {
  return {d, 0};
}
Piece event(int e) {
  return {{}, e};
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "posix_serial_test.XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

void touch(const fs::path& p, const std::string& content = {}) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << content;
}

void writeAll(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
}

// Reads from a plain descriptor until n bytes came or maxMs passed without any.
std::string readUpTo(int fd, std::size_t n, int maxMs = kWaitMs) {
  std::string got;
  char buf[4096];
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, maxMs) <= 0) break;
    const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.append(buf, static_cast<std::size_t>(r));
  }
  return got;
}

// Records what the device tells, reading the bytes as the serial control does.
struct Recorder : SerialListener {
  SerialDevice* device = nullptr;
  std::string got;
  std::vector<int> events;
  std::vector<Piece> log;  // every callback in order, with the bytes read in it
  int batches = 0;
  std::function<void()> onData;

  void onBytesArrived() override {
    ++batches;
    if (onData) return onData();
    const std::string d = device->readAll();
    got += d;
    log.push_back(data(d));
  }
  void onLineEvent(int e) override {
    events.push_back(e);
    log.push_back(event(e));
  }
};

// ---------------------------------------------------------------------------------
// The PARMRK mark parser

struct MarkCase {
  const char* what;
  std::vector<std::string> reads;  // the raw input, as the reads deliver it
  std::vector<Piece> expected;
};

TEST(PosixLineMarks, DecodesMarksAlsoWhenSplitAcrossReads) {
  const int brk = comm::comEventBreak, frame = comm::comEventFrame;
  const std::vector<MarkCase> cases = {
      {"plain data", {bytes({0x01, 0x00, 0x7F, 0xFE})}, {data(bytes({0x01, 0x00, 0x7F, 0xFE}))}},
      {"doubled FF is one data FF", {bytes({0xFF, 0xFF})}, {data(bytes({0xFF}))}},
      {"FF FF FF FF is two FF", {bytes({0xFF, 0xFF, 0xFF, 0xFF})}, {data(bytes({0xFF, 0xFF}))}},
      {"break", {bytes({0xFF, 0x00, 0x00})}, {event(brk)}},
      {"framing error drops its byte", {bytes({0xFF, 0x00, 0x41})}, {event(frame)}},
      {"framing error on a byte FF", {bytes({0xFF, 0x00, 0xFF})}, {event(frame)}},
      {"events in their place",
       {bytes({0x41, 0xFF, 0x00, 0x00, 0x42, 0xFF, 0x00, 0x55, 0x43})},
       {data("A"), event(brk), data("B"), event(frame), data("C")}},
      {"two breaks in a row",
       {bytes({0xFF, 0x00, 0x00, 0xFF, 0x00, 0x00})},
       {event(brk), event(brk)}},
      {"doubled FF split",
       {bytes({0x41, 0xFF}), bytes({0xFF, 0x42})},
       {data(bytes({0x41, 0xFF, 0x42}))}},
      {"break split byte by byte", {bytes({0xFF}), bytes({0x00}), bytes({0x00})}, {event(brk)}},
      {"frame split after FF 00",
       {bytes({0xFF, 0x00}), bytes({0x41, 0x43})},
       {event(frame), data("C")}},
      {"empty reads change nothing", {"", bytes({0xFF}), "", bytes({0xFF})}, {data(bytes({0xFF}))}},
      {"FF before another byte is no mark: both kept",
       {bytes({0xFF, 0x41})},
       {data(bytes({0xFF, 0x41}))}},
  };
  for (const auto& c : cases) {
    PosixLineMarkParser parser;
    std::vector<Piece> out;
    for (const auto& r : c.reads) parser.feed(r, out);
    EXPECT_EQ(out, c.expected) << c.what;
    EXPECT_FALSE(parser.midMark()) << c.what;
  }
}

TEST(PosixLineMarks, AllByteValuesSurviveEverySplitOfTheirMarkedForm) {
  std::string marked;
  for (int b = 0; b < 256; ++b) {
    marked.push_back(static_cast<char>(b));
    if (b == 0xFF) marked.push_back(static_cast<char>(0xFF));
  }
  marked = marked + marked;  // the FF pair in the middle and at the end
  for (std::size_t cut = 0; cut <= marked.size(); ++cut) {
    PosixLineMarkParser parser;
    std::vector<Piece> out;
    parser.feed(std::string_view(marked).substr(0, cut), out);
    parser.feed(std::string_view(marked).substr(cut), out);
    ASSERT_EQ(out, std::vector<Piece>{data(allBytes(2))}) << "cut at " << cut;
  }
}

TEST(PosixLineMarks, ResetForgetsAHalfMark) {
  PosixLineMarkParser parser;
  std::vector<Piece> out;
  parser.feed(bytes({0x41, 0xFF, 0x00}), out);
  EXPECT_TRUE(parser.midMark());
  parser.reset();
  EXPECT_FALSE(parser.midMark());
  parser.feed(bytes({0x00, 0x42}), out);
  EXPECT_EQ(out, (std::vector<Piece>{data(bytes({0x41, 0x00, 0x42}))}));
}

// ---------------------------------------------------------------------------------
// The ports directory

TEST(PortsDirectory, ResolvesLinksElseTtyUsb) {
  TempDir tmp;
  const fs::path ports = tmp.path() / "ports";
  fs::create_directories(ports);
  fs::create_symlink("/dev/pts/42", ports / "com7");
  fs::create_symlink("relative-dev", ports / "com8");
  fs::create_symlink(tmp.path() / "gone", ports / "com9");  // dangling: still the link's
  touch(ports / "com10");                                   // a node put there by hand
  const PortsDirectory dir(ports);
  const std::string in = " in " + ports.string() + ")";

  struct Case {
    int port;
    std::optional<fs::path> expected;
    std::string described;
  };
  const std::vector<Case> cases = {
      {7, fs::path("/dev/pts/42"), "/dev/pts/42 (port 7: link com7" + in},
      {8, ports / "relative-dev", (ports / "relative-dev").string() + " (port 8: link com8" + in},
      {9, tmp.path() / "gone", (tmp.path() / "gone").string() + " (port 9: link com9" + in},
      {10, ports / "com10", (ports / "com10").string() + " (port 10)"},
      {1, fs::path("/dev/ttyUSB0"), "/dev/ttyUSB0 (port 1: no link com1" + in},
      {12, fs::path("/dev/ttyUSB11"), "/dev/ttyUSB11 (port 12: no link com12" + in},
      {0, std::nullopt, "invalid port number 0 (ports count from 1)"},
      {-3, std::nullopt, "invalid port number -3 (ports count from 1)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dir.resolve(c.port), c.expected) << "port " << c.port;
    EXPECT_EQ(dir.describe(c.port), c.described) << "port " << c.port;
  }
  EXPECT_EQ(dir.linkedPorts(), (std::vector<int>{7, 8, 9, 10}));
}

TEST(PortsDirectory, DirectoryComesFromTheEnvironment) {
  {
    ScopedEnv ports("QUORVAN_PORTS", "/somewhere/ports");
    EXPECT_EQ(PortsDirectory::fromEnvironment().dir(), fs::path("/somewhere/ports"));
  }
  {
    ScopedEnv ports("QUORVAN_PORTS", std::nullopt);
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(PortsDirectory::fromEnvironment().dir(),
              fs::path("/home/someone/.local/share/quorvan/ports"));
  }
}

TEST(PortsDirectory, PublishTakesTheFirstFreeNumberAndUnpublishRemovesOnlyLinks) {
  TempDir tmp;
  const fs::path ports = tmp.path() / "ports", dev = tmp.path() / "dev";
  touch(dev / "ttyUSB1");  // a real adapter on port 2: not to be hidden
  touch(tmp.path() / "live");
  fs::create_directories(ports);
  fs::create_symlink(tmp.path() / "live", ports / "com1");
  fs::create_symlink(tmp.path() / "dead", ports / "com3");  // left by a simulator that died
  const PortsDirectory dir(ports, dev);

  const fs::path pty5 = tmp.path() / "pts5", pty6 = tmp.path() / "pts6";
  touch(pty5);
  touch(pty6);
  EXPECT_EQ(dir.firstFreePort(), 3);
  const PortClaim third = dir.publish(pty5);
  EXPECT_EQ(third.number(), 3);
  EXPECT_EQ(third.link(), ports / "com3");
  EXPECT_EQ(dir.resolve(3), pty5);
  const PortClaim fourth = dir.publish(pty6);
  EXPECT_EQ(fourth.number(), 4);
  EXPECT_EQ(dir.firstFreePort(), 5);
  EXPECT_EQ(dir.linkedPorts(), (std::vector<int>{1, 3, 4}));

  dir.publishAs(4, "/dev/pts/8");
  EXPECT_EQ(dir.resolve(4), fs::path("/dev/pts/8"));

  EXPECT_TRUE(dir.unpublish(3));
  EXPECT_FALSE(dir.unpublish(3));
  EXPECT_EQ(dir.resolve(3), dev / "ttyUSB2");

  touch(ports / "com9", "not a link");
  EXPECT_FALSE(dir.unpublish(9));
  EXPECT_TRUE(fs::exists(ports / "com9"));

  // Publishing into a directory that does not exist yet creates it.
  const PortsDirectory fresh(tmp.path() / "new" / "ports", dev);
  EXPECT_EQ(fresh.publish("/dev/pts/9").number(), 1);
}

// A killed publisher leaves its link and its owner record behind, and nobody holds the
// record's lock any more. What stands at "com<n>" decides whether a claim takes it over.
TEST(PortsDirectory, AClaimTakesOverWhatADeadOwnerLeftAndNothingElse) {
  TempDir tmp;
  const fs::path ports = tmp.path() / "ports", dev = tmp.path() / "dev";
  const fs::path pty = tmp.path() / "pts1", other = tmp.path() / "pts2";
  const fs::path mine = tmp.path() / "pts3";
  for (const auto& device : {pty, other, mine}) touch(device);
  const PortsDirectory dir(ports, dev);
  const auto name = [&](int n) { return ports / PortsDirectory::linkName(n); };
  const auto linkTo = [&](const fs::path& device) {
    return [&, device](int n) { fs::create_symlink(device, name(n)); };
  };
  const auto deadOwnerOf = [&](const fs::path& device) {
    return [&, device](int n) {
      touch(ports / ("." + PortsDirectory::linkName(n) + ".owner"),
            "99999\n" + device.string() + "\n");
    };
  };
  using Leave = std::function<void(int)>;
  const auto both = [](Leave a, Leave b) {
    return [a, b](int n) {
      a(n);
      b(n);
    };
  };

  const struct {
    const char* left;
    Leave leave;
    bool claimed;
  } cases[] = {
      {"nothing", [](int) {}, true},
      {"a dangling link", linkTo(tmp.path() / "gone"), true},
      {"the link of a dead owner", both(linkTo(pty), deadOwnerOf(pty)), true},
      {"a dead owner's record alone", deadOwnerOf(pty), true},
      {"a link nobody recorded", linkTo(pty), false},
      {"a link the dead owner did not make", both(linkTo(other), deadOwnerOf(pty)), false},
      {"a file put there by hand", [&](int n) { touch(name(n)); }, false},
      {"an adapter the link would hide",
       [&](int n) { touch(dev / ("ttyUSB" + std::to_string(n - 1))); }, false},
  };
  fs::create_directories(ports);
  int n = 0;
  for (const auto& c : cases) {
    c.leave(++n);
    EXPECT_EQ(dir.firstFreePort(n) == n, c.claimed) << c.left;
    const std::optional<PortClaim> claim = dir.claim(n, mine);
    EXPECT_EQ(claim.has_value(), c.claimed) << c.left;
    if (claim) {
      EXPECT_EQ(dir.resolve(n), mine) << c.left;
    }
  }
}

TEST(PortsDirectory, ALiveOwnersPortIsNotTakenAndItsEndLeavesNothing) {
  TempDir tmp;
  const fs::path ports = tmp.path() / "ports";
  const PortsDirectory dir(ports, tmp.path() / "dev");
  {
    const std::optional<PortClaim> live = dir.claim(1, "/dev/pts/7");
    ASSERT_TRUE(live);
    EXPECT_FALSE(dir.claim(1, "/dev/pts/8"));
    EXPECT_EQ(dir.firstFreePort(), 2);
    EXPECT_EQ(dir.publish("/dev/pts/8").number(), 2);
    EXPECT_EQ(dir.resolve(1), fs::path("/dev/pts/7"));
  }
  EXPECT_TRUE(fs::is_empty(ports));
}

// ---------------------------------------------------------------------------------
// The backend and device on a pseudo-terminal

struct PtyFixture : ::testing::Test {
  RealClock clock;
  MessageLoop loop{clock};
  TempDir tmp;
  int master = -1;
  int slaveKeep = -1;  // openpty's own slave descriptor: keeps the pair up
  std::string slavePath;

  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slaveKeep, name, nullptr, nullptr), 0);
    slavePath = name;
  }
  void TearDown() override {
    if (master >= 0) ::close(master);
    if (slaveKeep >= 0) ::close(slaveKeep);
  }

  PortsDirectory ports() const { return PortsDirectory(tmp.path() / "ports", tmp.path() / "dev"); }

  // A backend whose port 7 is the pseudo-terminal's slave.
  PosixSerialBackend backend() {
    ports().publishAs(7, slavePath);
    return PosixSerialBackend(loop, ports(), tmp.path() / "sys");
  }

  static std::unique_ptr<PosixSerialDevice> asPosix(std::unique_ptr<SerialDevice> d) {
    auto* p = dynamic_cast<PosixSerialDevice*>(d.get());
    if (!p) return nullptr;
    d.release();
    return std::unique_ptr<PosixSerialDevice>(p);
  }

  std::unique_ptr<PosixSerialDevice> openPort7() {
    auto b = backend();
    return asPosix(b.open(7));
  }
};

// The SerialError f throws (number 0, no text, when it throws none).
SerialError errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const SerialError& e) {
    return e;
  }
  return SerialError(0, "");
}

int errorNumberOf(const std::function<void()>& f) {
  const SerialError e = errorOf(f);
  if (e.number() != 0) {
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  return e.number();
}

TEST_F(PtyFixture, OpensRaw8N1At9600WithLineErrorMarking) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->path(), slavePath);
  EXPECT_EQ(dev->bitRate(), 9600u);
  bool marking = false;
  ASSERT_EQ(posix_tty::getLineMarking(dev->fd(), marking), 0);
  EXPECT_TRUE(marking);
  std::uint32_t in = 0, out = 0;
  ASSERT_EQ(posix_tty::getBitRates(dev->fd(), in, out), 0);
  EXPECT_EQ(in, 9600u);
  EXPECT_EQ(out, 9600u);
  const int fl = ::fcntl(dev->fd(), F_GETFL);
  EXPECT_TRUE(fl & O_NONBLOCK);
  EXPECT_TRUE(::fcntl(dev->fd(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(PtyFixture, AllByteValuesArriveByteExactFromTheFarEnd) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  Recorder rec;
  rec.device = dev.get();
  dev->setListener(&rec);

  const std::string sent = allBytes(4);
  writeAll(master, sent);
  EXPECT_TRUE(loop.runUntil([&] { return rec.got.size() >= sent.size(); }, kWaitMs));
  EXPECT_EQ(rec.got, sent);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_GE(rec.batches, 1);
  EXPECT_EQ(dev->available(), 0u);
}

TEST_F(PtyFixture, TheTtyDoublesFFSoTheDeviceMustUndoIt) {
  // What the kernel hands a reader of this tty: the device's parser is what makes the
  // previous test byte-exact.
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  writeAll(master, bytes({0x41, 0xFF, 0x42}));
  EXPECT_EQ(readUpTo(slaveKeep, 4), bytes({0x41, 0xFF, 0xFF, 0x42}));
}

TEST_F(PtyFixture, AllByteValuesLeaveByteExact) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  const std::string sent = allBytes(4);
  dev->write(sent);
  EXPECT_EQ(readUpTo(master, sent.size()), sent);
  dev->write("");  // writes nothing
}

TEST_F(PtyFixture, BytesWaitInTheDeviceUntilRead) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  writeAll(master, bytes({0x10, 0xFF, 0x00}));
  EXPECT_TRUE(loop.runUntil([&] { return dev->available() >= 3; }, kWaitMs));
  EXPECT_EQ(dev->readAll(), bytes({0x10, 0xFF, 0x00}));
  EXPECT_EQ(dev->readAll(), "");

  writeAll(master, "stale");
  EXPECT_TRUE(loop.runUntil([&] { return dev->available() >= 5; }, kWaitMs));
  dev->flushInput();
  EXPECT_EQ(dev->available(), 0u);
  writeAll(master, "new");
  EXPECT_TRUE(loop.runUntil([&] { return dev->available() >= 3; }, kWaitMs));
  EXPECT_EQ(dev->readAll(), "new");
}

TEST_F(PtyFixture, BitRatesTakeEffectOnBothSides) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  for (std::uint32_t rate : {10400u, 4800u, 9600u, 38400u, 57600u, 10400u}) {
    ASSERT_TRUE(dev->setBitRate(rate)) << rate;
    EXPECT_EQ(dev->bitRate(), rate);
    for (int fd : {dev->fd(), master}) {
      std::uint32_t in = 0, out = 0;
      ASSERT_EQ(posix_tty::getBitRates(fd, in, out), 0);
      EXPECT_EQ(in, rate) << (fd == master ? "master" : "slave");
      EXPECT_EQ(out, rate) << (fd == master ? "master" : "slave");
    }
  }
  EXPECT_FALSE(dev->setBitRate(0));
  EXPECT_EQ(dev->bitRate(), 10400u);
}

TEST_F(PtyFixture, BreakAndModemLinesDegradeQuietlyOnAPseudoTerminal) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  EXPECT_TRUE(dev->isPseudoTerminal());
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(dev->setBreak(true));
    EXPECT_NO_THROW(dev->setBreak(false));
    EXPECT_NO_THROW(dev->setDtr(true));
    EXPECT_NO_THROW(dev->setRts(true));
    EXPECT_NO_THROW(dev->setDtr(false));
    EXPECT_FALSE(dev->cts());
    EXPECT_FALSE(dev->dsr());
    EXPECT_FALSE(dev->cd());
  }
  const std::string notice = dev->notice();
  EXPECT_NE(notice.find(slavePath), std::string::npos) << notice;
  EXPECT_NE(notice.find("pseudo-terminal"), std::string::npos) << notice;
  EXPECT_EQ(notice.find('\n'), std::string::npos) << notice;
  // The line still works afterwards.
  dev->write("x");
  EXPECT_EQ(readUpTo(master, 1), "x");
}

TEST_F(PtyFixture, PortNumberResolvesThroughTheLinkInQuorvanPorts) {
  const fs::path dir = tmp.path() / "env-ports";
  ScopedEnv env("QUORVAN_PORTS", dir.string());
  PortsDirectory(dir).publishAs(7, slavePath);
  PosixSerialBackend backend(loop);  // reads $QUORVAN_PORTS
  EXPECT_EQ(backend.ports().dir(), dir);
  auto dev = asPosix(backend.open(7));
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->path(), slavePath);
  writeAll(master, "\x55");
  EXPECT_TRUE(loop.runUntil([&] { return dev->available() == 1; }, kWaitMs));
  EXPECT_FALSE(backend.isModemPort(7));
}

// The refusal names the device tried and why that one; a client that only looks at the
// port (without opening it) tells the same.
TEST_F(PtyFixture, MissingOrInvalidPortsAreRefusedAsInvalid) {
  touch(tmp.path() / "plain-file");
  ports().publishAs(5, tmp.path() / "no-such-device");
  ports().publishAs(6, tmp.path() / "plain-file");  // exists, but no tty
  auto b = backend();
  const std::string dir = (tmp.path() / "ports").string();
  const std::string missing = ": No such file or directory";
  struct Case {
    int port;
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {0, "port 0", "invalid port number 0 (ports count from 1)"},
      {-1, "negative port", "invalid port number -1 (ports count from 1)"},
      {3, "no link and no ttyUSB2",
       "no such device " + (tmp.path() / "dev" / "ttyUSB2").string() +
           " (port 3: no link com3 in " + dir + ")" + missing},
      {5, "dangling link",
       "no such device " + (tmp.path() / "no-such-device").string() + " (port 5: link com5 in " +
           dir + ")" + missing},
      {6, "not a tty",
       "not a serial device " + (tmp.path() / "plain-file").string() + " (port 6: link com6 in " +
           dir + ")"},
  };
  for (const Case& c : cases) {
    const SerialError e = errorOf([&] { b.open(c.port); });
    EXPECT_EQ(e.number(), comm::comPortInvalid) << c.what;
    EXPECT_EQ(e.what(), c.text) << c.what;
    EXPECT_EQ(DescribeUnopenedPort(ports(), c.port), c.text) << c.what;
    EXPECT_FALSE(b.isModemPort(c.port)) << c.what;
  }
}

TEST_F(PtyFixture, ASecondOpenOfTheSamePortIsRefusedUntilTheFirstCloses) {
  auto b = backend();
  auto first = b.open(7);
  ASSERT_TRUE(first);
  const std::string where = slavePath + " (port 7: link com7 in " + ports().dir().string() + ")";
  const SerialError e = errorOf([&] { b.open(7); });
  EXPECT_EQ(e.number(), comm::comPortAlreadyOpen);
  EXPECT_EQ(e.what(), "device in use " + where + ": locked by another open");
  // Looking without opening cannot tell why a device that is there did not open.
  EXPECT_EQ(DescribeUnopenedPort(ports(), 7), where + " is there but did not open (in use?)");
  first.reset();
  auto again = b.open(7);
  EXPECT_TRUE(again);
}

TEST_F(PtyFixture, AWriteTheFarEndNeverTakesFailsInsteadOfBlocking) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  // Nobody reads the master: the pseudo-terminal's buffers fill and stay full.
  EXPECT_EQ(errorNumberOf([&] { dev->write(std::string(256 * 1024, 'x')); }), comm::comEventTxFull);
}

TEST_F(PtyFixture, AHangUpStopsWatchingWithoutSpinning) {
  auto dev = openPort7();
  ASSERT_TRUE(dev);
  Recorder rec;
  rec.device = dev.get();
  dev->setListener(&rec);
  ::close(master);
  master = -1;
  EXPECT_TRUE(loop.runUntil([&] { return dev->hungUp(); }, kWaitMs));
  int turns = 0;
  loop.runUntil([&] { return ++turns > 1000; }, 200);
  EXPECT_LT(turns, 100) << "the loop kept waking up on the dead descriptor";
  EXPECT_NE(dev->notice().find("hung up"), std::string::npos) << dev->notice();
  EXPECT_EQ(errorNumberOf([&] { dev->write("x"); }), comm::comNoOpen);
  EXPECT_TRUE(rec.events.empty());
}

TEST_F(PtyFixture, ModemPortsAreACMDevicesThatSpeakAT) {
  const fs::path dev = tmp.path() / "fakedev", sys = tmp.path() / "sys";
  touch(dev / "ttyACM0");
  touch(dev / "ttyACM1");
  touch(dev / "ttyUSB0");
  touch(sys / "ttyACM0" / "device" / "bInterfaceProtocol", "01\n");
  touch(sys / "ttyACM1" / "device" / "bInterfaceProtocol", "00\n");
  touch(sys / "ttyUSB0" / "device" / "bInterfaceProtocol", "01\n");
  const PortsDirectory dir(tmp.path() / "ports", dev);
  dir.publishAs(1, dev / "ttyACM0");
  dir.publishAs(2, dev / "ttyACM1");
  dir.publishAs(3, dev / "ttyUSB0");
  dir.publishAs(4, dev / "ttyACM9");  // no such device
  dir.publishAs(5, slavePath);
  PosixSerialBackend b(loop, dir, sys);
  struct Case {
    int port;
    bool modem;
  };
  for (const Case& c : {Case{1, true}, Case{2, false}, Case{3, false}, Case{4, false},
                        Case{5, false}, Case{0, false}, Case{8, false}}) {
    EXPECT_EQ(b.isModemPort(c.port), c.modem) << "port " << c.port;
  }
}

// ---------------------------------------------------------------------------------
// Line events, through a descriptor that carries the kernel's marks unchanged (a
// pseudo-terminal cannot make a BREAK or a framing error).

struct MarkedStreamFixture : ::testing::Test {
  RealClock clock;
  MessageLoop loop{clock};
  int far = -1;
  std::unique_ptr<PosixSerialDevice> dev;
  Recorder rec;

  void SetUp() override {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
    far = sv[1];
    dev = std::make_unique<PosixSerialDevice>(loop, sv[0], "socketpair", 9600);
    rec.device = dev.get();
    dev->setListener(&rec);
  }
  void TearDown() override {
    dev.reset();
    if (far >= 0) ::close(far);
  }
};

TEST_F(MarkedStreamFixture, LineEventsComeInTheirPlaceAmongTheBytes) {
  writeAll(far, bytes({0x41, 0xFF, 0x00, 0x00, 0x42, 0xFF, 0x00, 0x99, 0xFF, 0xFF}));
  EXPECT_TRUE(loop.runUntil([&] { return rec.log.size() >= 5; }, kWaitMs));
  EXPECT_EQ(rec.log, (std::vector<Piece>{data("A"), event(comm::comEventBreak), data("B"),
                                         event(comm::comEventFrame), data(bytes({0xFF}))}));
}

TEST_F(MarkedStreamFixture, AMarkSplitAcrossReadsIsStillOneEvent) {
  writeAll(far, bytes({0x41, 0xFF}));
  EXPECT_TRUE(loop.runUntil([&] { return rec.got == "A"; }, kWaitMs));
  loop.runFor(20);  // the half mark is held, nothing more told
  EXPECT_EQ(rec.log.size(), 1u);
  writeAll(far, bytes({0x00}));
  loop.runFor(20);
  writeAll(far, bytes({0x00, 0x42}));
  EXPECT_TRUE(loop.runUntil([&] { return rec.got == "AB"; }, kWaitMs));
  EXPECT_EQ(rec.log, (std::vector<Piece>{data("A"), event(comm::comEventBreak), data("B")}));
}

TEST_F(MarkedStreamFixture, FlushDropsBytesButKeepsALineEventAlreadyReceived) {
  writeAll(far, bytes({0x41, 0xFF, 0x00, 0x00, 0x42}));
  // Give the bytes time to reach the device's side without letting the loop read them.
  pollfd p{dev->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, kWaitMs), 1);
  dev->flushInput();
  EXPECT_TRUE(loop.runUntil([&] { return !rec.events.empty(); }, kWaitMs));
  EXPECT_EQ(rec.events, std::vector<int>{comm::comEventBreak});
  EXPECT_EQ(rec.got, "");
  EXPECT_EQ(dev->available(), 0u);
}

TEST_F(MarkedStreamFixture, AListenerMayCloseTheDeviceFromItsCallback) {
  rec.onData = [&] { dev.reset(); };
  writeAll(far, bytes({0x41, 0xFF, 0x00, 0x00}));
  EXPECT_TRUE(loop.runUntil([&] { return !dev; }, kWaitMs));
  loop.runFor(20);
  EXPECT_TRUE(rec.events.empty());
}

TEST_F(MarkedStreamFixture, ADeviceWithoutModemLinesSaysSoOnceAndReadsThemFalse) {
  EXPECT_FALSE(dev->cts());
  EXPECT_NO_THROW(dev->setDtr(true));
  EXPECT_NO_THROW(dev->setBreak(true));
  EXPECT_NE(dev->notice().find("no break or modem lines on socketpair"), std::string::npos)
      << dev->notice();
}

}  // namespace
}  // namespace quorvan

#include "mse10/DataPump.h"

#include <cstdlib>
#include <exception>
#include <limits>
#include <string>

#include "client/clsBoschECU.h"
#include "mse10/Mse10Protocol.h"
#include "mse10/Mse10Scheduler.h"
#include "mse10/ShowPacket.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

using namespace mse10;

namespace {

constexpr int kPrologEvents = 6;
constexpr std::size_t kConfirmedPrologByte = 2;  // the answer complements the third
constexpr std::uint32_t kLongGapMs = 165;        // a gap this long inside a block is noted
constexpr std::uint32_t kHugeDelayMs = 1000;     // past this the controller has given up
constexpr std::int32_t kSlowAnswerWaitBaseMs = 120;
constexpr std::int32_t kSlowAnswerWaitLongBaseMs = 1200;
constexpr std::int32_t kMoreThan3CharsError = static_cast<std::int32_t>(0x80040002u);

// What one receive event carries through the pump's states.
struct PumpEvent {
  std::string inBuf;
  std::uint32_t elapsed = 0;  // ms since the server's last byte
  bool restarted = false;     // the reception was restarted by this event
  const char* label = "";     // the step reached, for the failure report
};

bool over(std::uint32_t elapsedMs, std::int32_t limitMs) {
  return static_cast<std::int64_t>(elapsedMs) > limitMs;
}

std::uint8_t lastByte(const std::string& bytes) {
  return static_cast<std::uint8_t>(bytes.back());
}

std::uint8_t complementOf(std::uint8_t b) {
  return static_cast<std::uint8_t>(255 - b);
}

std::string gElapsedText(frmCommThread& f) {
  return "; gElapsed = " + std::to_string(f.trace.gElapsed());
}

void tellClient(frmCommThread& f, const std::string& note) {
  if (f.objBoschECU) f.objBoschECU->TellClient(note);
}

void traceInput(frmCommThread& f, const std::string& inBuf) {
  RingIfDebug(f, [&] {
    std::string text;
    for (char c : inBuf) text += "$" + Hex(static_cast<std::uint8_t>(c)) + " < ";
    return text;
  });
}

// ---- Prolog: the controller's wake-up answer, one byte per receive event ----

void setThresholds(Mse10Link& m) {
  const bool standard = m.prologPass == 2;
  m.timeOut40 = standard ? 47 : 400;
  m.timeOut80 = standard ? 80 : 800;
  m.timeOut3 = standard ? 125 : 800;
}

// A new wake-up answer: whatever we asked the controller before it is lost. A clear
// whose answer never came has failed; left standing, the next acknowledge would be
// taken for its success.
void forgetOutstandingRequest(frmCommThread& f, Mse10Link& m) {
  if (m.lastCmd == kClearFaults && f.objBoschECU) f.objBoschECU->RaiseFaultsCleared(false);
  m.lastCmd = 0;
}

void confirmProlog(frmCommThread& f, Mse10Link& m) {
  forgetOutstandingRequest(f, m);
  m.pumpMode = kSlave;
  m.byteCount = 0;
  m.blockCounter = 0;
  m.gIdentCount = 0;
  f.blockBuf.clear();
  f.waits.SpinMs(1);
  RingIfDebug(
      f, [&] { return "%% attempting confirmation on pass #" + std::to_string(m.prologPass); });
  // Pass 1 answers one more than the complement: the "adaptive" confirmation.
  SendComplemNow(f, m, m.prologBytes.at(kConfirmedPrologByte), 2 - m.prologPass);
  m.lastBlockQpc = f.clock().performanceCounter();
}

void prolog(frmCommThread& f, Mse10Link& m, PumpEvent& ev, std::uint8_t first) {
  ev.label = "entering Prolog";
  if (m.byteCount == 0) setThresholds(m);
  m.prologBytes.at(static_cast<std::size_t>(m.byteCount)) = first;
  ++m.byteCount;
  if (m.byteCount == kPrologEvents) confirmProlog(f, m);
}

// ---- Slave: a controller block, each byte but the end byte answered ----

// A gap inside a block: past timeOut40 the controller has dropped the link.
bool restartedAfterLongGap(frmCommThread& f, Mse10Link& m, const PumpEvent& ev) {
  if (m.byteCount <= 1 || ev.elapsed <= kLongGapMs) return false;
  const std::string ms = std::to_string(ev.elapsed);
  if (over(ev.elapsed, m.timeOut40)) {
    RingIfDebug(f, [&] { return "!Restarting(@R): Too long delay = " + ms + " mS"; });
    tellClient(f, "Restarting(Slave): Very long delay = " + ms +
                      " mS, inCount=" + std::to_string(m.byteCount));
    f.Do5BaudInit();
    return true;
  }
  RingIfDebug(f, [&] { return "!! Recovery400(@R) from very long delay = " + ms + " mS"; });
  return false;
}

void restartOnSurplus(frmCommThread& f, Mse10Link& m, PumpEvent& ev, std::size_t n) {
  const std::string got = "ReStart: got " + std::to_string(n) + " from ECU";
  RingIfDebug(f, [&] { return "!" + got; });
  tellClient(f, got + ", elapsed=" + std::to_string(ev.elapsed) + " mS" + gElapsedText(f));
  ReSync(f, m);
  ev.restarted = true;
}

bool isOurEcho(const Mse10Link& m, char c) {
  return m.echoPending && static_cast<std::uint8_t>(c) == m.echoByte;
}

// Sorts the event's bytes; false when there is nothing for the block (our own echo).
// A byte that comes where our echo should is the controller's, sent without waiting for
// our answer: the answer crossed it on the line, so neither it nor the echo still to
// come belongs to the block.
bool splitSlaveInput(frmCommThread& f, Mse10Link& m, PumpEvent& ev) {
  const std::size_t n = ev.inBuf.size();
  switch (n) {
    case 1:
      if (!m.echoPending) return true;
      if (!isOurEcho(m, ev.inBuf[0])) {
        restartOnSurplus(f, m, ev, n);
        m.echoPending = true;
        return false;
      }
      m.echoPending = false;
      return false;
    case 2:
      if (!isOurEcho(m, ev.inBuf[0])) restartOnSurplus(f, m, ev, n);
      m.echoPending = false;
      return true;
    case 3:
      restartOnSurplus(f, m, ev, n);
      return true;
    default:
      throw RunTimeError(kMoreThan3CharsError,
                         "DataPump: More than 3 chars in inBuf: '" + ev.inBuf + "'");
  }
}

void noteNak(frmCommThread& f, Mse10Link& m) {
  CountUp(m.ecuNAKs);
  RingIfDebug(f, [&] {
    return "!Got NAK #" + std::to_string(m.ecuNAKs) + " on blk=" + std::to_string(m.rxCounter);
  });
  // Our next block goes out with the refused block's counter again.
  m.blockCounter = static_cast<std::int16_t>((m.rxCounter + 256 - 3) % 256);
}

void endOfBlock(frmCommThread& f, Mse10Link& m, PumpEvent& ev) {
  RingIfDebug(f, [] { return std::string("----------<"); });
  ev.label = "slave: endPacket";
  ShowPacket(f, m);
  SendNextRequest(f, m);
  ev.label = "slave: sendNextRequest";
}

void slaveByte(frmCommThread& f, Mse10Link& m, PumpEvent& ev, std::uint8_t b) {
  for (;;) {
    ev.label = "slave: 3-way split";
    ++m.byteCount;
    f.blockBuf.push_back(static_cast<char>(b));
    if (b == kSyncByte && m.byteCount == 1) {
      // The controller has begun its wake-up answer again: it refused the adaptive one.
      RingIfDebug(f, [] {
        return std::string("$$ failed adaptive request (pass1), re-initing w. standard prolog");
      });
      m.prologPass = 2;
      m.pumpMode = kProlog;
      m.byteCount = 0;
      prolog(f, m, ev, b);
      return;
    }
    ev.label = "slave: get rightmost";
    if (m.byteCount == 1) {
      m.rxBlockLen = b;
      if (b > kMaxBlockLen || b < kMinBlockLen) {
        RingIfDebug(f, [&] { return "!ReStart: blkSize=" + std::to_string(b) + " (OK: 3-15)"; });
        ReSync(f, m);
        return;
      }
      if (ev.restarted) {
        SendComplemNow(f, m, b, 0);  // late already: no gap
        return;
      }
    }
    ev.label = "slave: blockHeader";
    if (m.byteCount == 2) {
      m.rxCounter = b;
      if (b != (m.blockCounter + 1) % 256) {
        RingIfDebug(f, [&] {
          return "!ReStart: bad blk# " + std::to_string(b) +
                 " (me=" + std::to_string(m.blockCounter) + ")";
        });
        ReSync(f, m);
        continue;  // the same byte may be the length of a new block
      }
    }
    if (m.byteCount == 3) {
      m.rxTitle = b;
      if (b == kNak) noteNak(f, m);
    }
    ev.label = "slave: incount 3";
    if (m.byteCount <= m.rxBlockLen) {
      if (!over(ev.elapsed, m.timeOut40) || m.byteCount < 2) {
        AnswerByte(f, m, b);
        return;
      }
      CountUp(m.ecuHSslow);
      RingIfDebug(f,
                  [&] { return "!ReStart: Arrived late (" + std::to_string(ev.elapsed) + " mS)"; });
      ReSync(f, m);
      return;
    }
    if (f.blockBuf.size() > 3) {
      if (b == kEndByte) {
        endOfBlock(f, m, ev);
        return;
      }
      RingIfDebug(f, [] { return std::string("!ReStart: last byte <> ETX"); });
      ReSync(f, m);
      return;
    }
    RingIfDebug(f, [] { return std::string("!ReSync: short time-out/pkt"); });
    ReSync(f, m);
  }
}

void slave(frmCommThread& f, Mse10Link& m, PumpEvent& ev) {
  ev.label = "entering Slave mode";
  if (restartedAfterLongGap(f, m, ev)) return;
  if (!splitSlaveInput(f, m, ev)) return;
  // Earlier bytes of the event are echo or surplus.
  slaveByte(f, m, ev, lastByte(ev.inBuf));
}

// ---- Master: our block, each byte sent once the previous one is complemented ----

// Re-sends the whole block after a yielding wait, unless a new wake-up ran meanwhile.
void resendAfter(frmCommThread& f, Mse10Link& m, std::int32_t waitMs) {
  f.waits.WaitFor(waitMs);
  if (m.pumpMode == kMaster) SendPacket(f, m);
}

void sendNextBlockByte(frmCommThread& f, Mse10Link& m) {
  ++m.txIndex;
  if (m.txIndex > static_cast<std::uint8_t>(m.txBlock.at(0))) {
    // Every byte up to the last data byte is confirmed: the end byte, then listen.
    m.byteCount = 0;
    f.blockBuf.clear();
    m.pumpMode = kSlave;
    f.waits.SleepMs(static_cast<std::int32_t>(m.interByteDelay) + 1);
    SendBlockByte(f, m, kEndByte);
    f.waits.markNow();
    RingIfDebug(f, [] { return std::string("---------->"); });
    return;
  }
  f.waits.SleepMs(static_cast<std::int32_t>(m.interByteDelay) + 1);
  SendBlockByte(f, m,
                static_cast<std::uint8_t>(m.txBlock.at(static_cast<std::size_t>(m.txIndex - 1))));
}

// A complement later than timeOut40: the block goes again, at once or after making up
// the gap, or past a second the controller is woken again. False when it was in time.
bool recoveredFromLateAnswer(frmCommThread& f, Mse10Link& m, const PumpEvent& ev) {
  if (!over(ev.elapsed, m.timeOut40)) return false;
  const std::string ms = std::to_string(ev.elapsed);
  if (ev.elapsed > kHugeDelayMs) {
    RingIfDebug(f, [&] { return "!ReIniting(@T) after huge delay = " + ms + " mS"; });
    tellClient(f, "ReIniting(Master) after huge ECU delay = " + ms + " mS" + gElapsedText(f));
    f.Do5BaudInit();
  } else if (over(ev.elapsed, m.timeOut3)) {
    RingIfDebug(f, [&] { return "!Recover(@T) after 125+ delay = " + ms + " mS"; });
    SendPacket(f, m);
  } else {
    CountUp(m.ecuOutSlow);
    const auto elapsed = static_cast<std::int32_t>(ev.elapsed);
    std::int32_t w = kSlowAnswerWaitBaseMs - elapsed;
    if (w < 0) w = kSlowAnswerWaitLongBaseMs - elapsed;
    RingIfDebug(f, [&] { return "!Recover/OS, after " + std::to_string(w); });
    resendAfter(f, m, w);
  }
  return true;
}

void masterAnswer(frmCommThread& f, Mse10Link& m, PumpEvent& ev, std::uint8_t b) {
  if (recoveredFromLateAnswer(f, m, ev)) return;
  ev.label = "timeCheck 40/400";
  const auto sentLast =
      static_cast<std::uint8_t>(m.txBlock.at(static_cast<std::size_t>(m.txIndex - 1)));
  if (b == complementOf(sentLast)) {
    sendNextBlockByte(f, m);
    return;
  }
  CountUp(m.ecuHSwrong);
  RingIfDebug(f, [] { return std::string("!Recover/WC, after 10+80/800"); });
  resendAfter(f, m, m.timeOut80 + 10);
}

void master(frmCommThread& f, Mse10Link& m, PumpEvent& ev) {
  ev.label = "entering Master mode";
  const std::size_t n = ev.inBuf.size();
  if (n == 0) {
    RingIfDebug(f, [] { return std::string("!Recover/howMany=0 (@T): HS missing"); });
    CountUp(m.ecuHSmissing);
    resendAfter(f, m, m.timeOut40 + 10);
    return;
  }
  if (n == 1 && m.echoPending) {
    m.echoPending = false;  // our own echo
    return;
  }
  ev.label = "howMany > 1";
  if (n == 2) m.echoPending = false;
  masterAnswer(f, m, ev, lastByte(ev.inBuf));
}

// ---- Failure report ----

std::string pumpFailureText(const Mse10Link& m, const PumpEvent& ev, const ErrInfo& err) {
  const auto line = [](const char* name, std::int64_t value) {
    return std::string(kCrLf) + "  " + name + "=" + std::to_string(value);
  };
  return "Error #" + Hex(err.number) + " in Quorvan input handler" + kCrLf + "  DIED AFTER... " +
         ev.label + line("ecuHSmissing", m.ecuHSmissing) + line("ecuHSslow", m.ecuHSslow) +
         line("ecuNAKs", m.ecuNAKs) + line("ecuHSwrong", m.ecuHSwrong) +
         line("ecuOutSlow", m.ecuOutSlow) + line("ecuResyncs", m.ecuResyncs) +
         line("ecuOflows", m.ecuOflows) + line("ecuTimeouts", m.ecuTimeouts);
}

void reportPumpFailure(frmCommThread& f, Mse10Link& m, const PumpEvent& ev, const ErrInfo& err) {
  if (!f.mbDebugMode) return;  // silent without the trace
  f.platform.alerts.messageBox(pumpFailureText(m, ev, err), 0, "");
  f.trace.ShowTraceBack();
}

}  // namespace

void DataPump(frmCommThread& f, Mse10Link& m) {
  if (f.haveShutDown) return;
  PumpEvent ev;
  try {
    f.waits.GetDeltaTime();  // only moves the timing mark
    m.prevRxTime = m.rxTime;
    m.rxTime = f.now();
    ev.elapsed = ElapsedMs(m.rxTime, m.lastTxTime);
    ev.inBuf = f.CommInStr();
    traceInput(f, ev.inBuf);
    ev.label = "getting input";
    switch (m.pumpMode) {
      case kProlog:
        if (!ev.inBuf.empty()) prolog(f, m, ev, static_cast<std::uint8_t>(ev.inBuf.front()));
        break;
      case kMaster:
        master(f, m, ev);
        break;
      default:
        slave(f, m, ev);
        break;
    }
  } catch (const std::exception& e) {
    reportPumpFailure(f, m, ev, ErrFromException(e));
  }
}

bool FitsReadMemoryBlock(std::int32_t address, std::int16_t size) {
  return address >= 0 && address <= 0xFFFF && size != 0 && std::abs(size) <= 0xFF;
}

void SendBlock(frmCommThread& f, Mse10Link& m, std::int32_t title) {
  if (title == -1) return;
  // The controller's block in between carried our counter + 1.
  m.blockCounter = static_cast<std::int16_t>((m.blockCounter + 2) % 256);
  m.txBlock = {static_cast<char>(kMinBlockLen), static_cast<char>(m.blockCounter),
               static_cast<char>(title)};
  if (title == kReadMemory) {
    // The scheduler only reads items that fit (FitsReadMemoryBlock).
    const std::uint32_t address = static_cast<std::uint32_t>(m.curItemAddr);
    m.txBlock.push_back(static_cast<char>(std::abs(m.curItemSize) & 0xFF));
    m.txBlock.push_back(static_cast<char>((address >> 8) & 0xFF));  // high byte first
    m.txBlock.push_back(static_cast<char>(address & 0xFF));
    m.txBlock[0] = static_cast<char>(m.txBlock.size());
  }
  if (title != kAck) m.lastCmd = title;
  SendPacket(f, m);
}

void SendPacket(frmCommThread& f, Mse10Link& m) {
  f.DieIfNoClients();
  try {
    m.pumpMode = kMaster;
    m.txIndex = 1;
    SendBlockByte(f, m, static_cast<std::uint8_t>(m.txBlock.at(0)));
  } catch (const std::exception&) {
    const std::string first =
        m.txBlock.empty() ? std::string() : Hex(static_cast<std::uint8_t>(m.txBlock[0]));
    f.ReportError("Died in SendPacket, sending: " + first, mb::vbExclamation, kErrorTitle);
  }
}

void SendBlockByte(frmCommThread& f, Mse10Link& m, std::uint8_t b) {
  m.echoPending = true;
  m.echoByte = b;
  f.CommOutStr(std::string(1, static_cast<char>(b)));
  m.lastTxTime = f.now();
  RingIfDebug(f, [&] { return "$" + Hex(b) + " >p "; });
}

void SendComplemNow(frmCommThread& f, Mse10Link& m, std::uint8_t b, std::int32_t offset) {
  try {
    const auto c = static_cast<std::uint8_t>(((255 - b) + offset) & 0xFF);
    m.echoPending = true;
    m.echoByte = c;
    f.CommOutStr(std::string(1, static_cast<char>(c)));
    f.waits.markNow();
    m.lastTxTime = f.now();
    RingIfDebug(f, [&] { return "$" + Hex(c) + " >> "; });
  } catch (const std::exception&) {
    f.ReportError("Died in SendComplemNow, with " + Hex(b), mb::vbExclamation, kErrorTitle);
  }
}

void AnswerByte(frmCommThread& f, Mse10Link& m, std::uint8_t b) {
  // Spinning, not sleeping or yielding: no other receive event may run in between.
  f.waits.SpinMs(static_cast<std::int32_t>(m.interByteDelay) + 1);
  SendComplemNow(f, m, b, 0);
}

void ReSync(frmCommThread& f, Mse10Link& m) {
  m.byteCount = 0;
  f.blockBuf.clear();
  m.echoPending = false;
  if (m.ecuResyncs < std::numeric_limits<std::int16_t>::max()) {
    ++m.ecuResyncs;
    return;
  }
  // The counter ran over. With tracing on, stop and show the trace for inspection;
  // without it there is nothing to show and the link must keep going.
  if (f.mbDebugMode) f.trace.ShowTraceBack();
  m.ecuResyncs = 1;
  CountUp(m.ecuOflows);
}

}  // namespace quorvan

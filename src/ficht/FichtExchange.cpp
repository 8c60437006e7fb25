#include "ficht/FichtExchange.h"

#include "ficht/FichtFrames.h"
#include "ficht/FichtLink.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::int32_t kPollMs = 10;
constexpr const char* kTimedOutMark = "+timedOut";
constexpr std::int32_t kTrailMs = 3;
// After a failed exchange the line must be quiet this long before the next request: the
// failed request's answer may come late, and the line may hold it up further.
constexpr std::uint32_t kQuietMs = 1000;
// The longest a line that never falls quiet holds up the next request.
constexpr std::uint32_t kQuietLimitMs = 2 * kQuietMs;

// After a failed exchange the module's answer may still come (late, or behind bytes that
// were no answer), and nothing in it tells which request it answers: the next request
// waits until the line has been quiet for a while, and what comes meanwhile is dropped,
// so that no such answer is taken for the next request's.
void awaitQuietLine(frmCommThread& f, FichtLink& k) {
  k.answerMayFollow = false;
  const std::string late = f.waits.DrainUntilQuiet(f.blockBuf, kQuietMs, 0, kQuietLimitMs);
  if (!late.empty()) f.LogIt("<< Late from Ficht: " + PktToHex(late) + "; DISCARDED!");
}

// The module says nothing after its answer: bytes hard behind what was cut out (within
// three byte times at 9600 bit/s) mean that it began with bytes that were no answer,
// noise that ended in a lead byte say, and the answer's own last bytes came after it.
bool replyStandsAlone(frmCommThread& f, std::size_t n) {
  f.waits.SleepMs(kTrailMs);
  f.platform.loop.DoEvents();
  return f.blockBuf.size() == n + 2;
}

// The deadline passed: the exchange failed, whatever came meanwhile.
void replyTimedOut(frmCommThread& f, FichtLink& k) {
  f.timeOut = true;
  k.answerMayFollow = true;
  f.replyBuffer = f.blockBuf;
  if (f.blockBuf.size() >= 2 && static_cast<std::uint8_t>(f.blockBuf[1]) == kFichtNak) {
    f.ReportError("Got NAK from Ficht, request was: " + PktToHex(k.emmLastSent), mb::vbExclamation,
                  kErrorTitle);
    f.replyBuffer = "NAK";
    k.nak = true;
    f.activity = true;  // refused, but the module is there
  } else {
    f.StatusNotify(ecuNoCableOrPower);
  }
  if (f.replyBuffer.size() < 2) f.replyBuffer = kTimedOutMark + f.replyBuffer;
}

}  // namespace

void FichtSend(frmCommThread& f, FichtLink& k, const std::string& payload) {
  if (!f.commSerial.PortOpen()) {
    f.LogIt("** Attempting to send: " + PktToHex(payload) + " to closed serial port!");
    return;
  }
  if (k.answerMayFollow) awaitQuietLine(f, k);
  const std::string frame = FichtFrame(payload);
  f.commSerial.setInBufferCount(0);
  f.blockBuf.clear();
  k.emmLastSent = frame;
  f.CommOutStr(frame);
  f.LogIt(">> Sending Ficht: " + PktToHex(frame));
}

void FichtSendRead(frmCommThread& f, FichtLink& k, std::int32_t address, std::int32_t count) {
  FichtSend(f, k, FichtReadPayload(address, count));
}

void FichtSendCommand(frmCommThread& f, FichtLink& k, std::int32_t code) {
  FichtSend(f, k, FichtCommandPayload(code));
}

void FichtGetReply(frmCommThread& f, FichtLink& k, std::size_t n) {
  k.nak = false;
  const std::uint32_t start = f.now();
  while (f.blockBuf.size() < n + 2 && ElapsedMs(f.now(), start) < kFichtReplyMs) {
    f.waits.SleepMs(kPollMs);
    f.platform.loop.DoEvents();
  }
  // A reply that completes just as the deadline passes is too late all the same.
  if (ElapsedMs(f.now(), start) >= kFichtReplyMs) {
    replyTimedOut(f, k);
  } else {
    f.timeOut = false;
    f.replyBuffer = f.blockBuf.substr(1, n);
    if (!FichtReplyValid(f.blockBuf, f.replyBuffer) || !replyStandsAlone(f, n)) {
      f.timeOut = true;
      k.answerMayFollow = true;
      f.LogIt("<< Invalid pkt from Ficht: " + PktToHex(f.blockBuf) + "; DISCARDED!");
      f.blockBuf.clear();
      return;
    }
    // Only a valid reply shows the link works (the watchdog reads it).
    f.activity = true;
    if (f.globals.gFichtRunning) f.StatusNotify(ecuCommOK);
  }
  f.LogIt("<< Got from Ficht: " + PktToHex(f.blockBuf) + "; timeOut=" + BoolText(f.timeOut) +
          "; NAK=" + BoolText(k.nak));
  // Bytes behind the reply belong to no request.
  f.blockBuf.clear();
}

std::string FichtReadText(frmCommThread& f, FichtLink& k, std::int32_t address,
                          std::int32_t count) {
  if (f.timeOut) return kFichtTimedOutText;
  f.lastEcuStatus = ecuCommOK;
  FichtSendRead(f, k, address, count);
  FichtGetReply(f, k, static_cast<std::size_t>(count) + 1);
  if (f.timeOut) return kFichtTimedOutText;
  return f.replyBuffer.substr(1);
}

}  // namespace quorvan

#include "mbe/MbeExchange.h"

#include <exception>

#include "mbe/MbeDecode.h"
#include "mbe/MbeLink.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::uint32_t kReplyWaitMs = 200;
constexpr std::int32_t kPollMs = 10;
// An answer that has not come this long after its request will not come.
constexpr std::uint32_t kLatestAnswerMs = 1000;
constexpr std::uint32_t kLongestQuietWaitMs = 3000;
// Two byte times at 4800 bit/s, rounded up: a reply is whole when no byte follows its
// last expected one for this long (a byte more makes it a reply to something else).
constexpr std::int32_t kQuietAfterReplyMs = 5;
constexpr int kInvalidCallError = 5;
constexpr int kRequestCoreAlert = 18;

void waitForBytes(frmCommThread& f, std::size_t n) {
  const std::uint32_t start = f.now();
  while (f.blockBuf.size() < n && ElapsedMs(f.now(), start) < kReplyWaitMs) {
    f.waits.SleepMs(kPollMs);
    f.platform.loop.DoEvents();
  }
  if (f.blockBuf.size() != n) return;
  f.waits.SleepMs(kQuietAfterReplyMs);
  f.platform.loop.DoEvents();
}

// After a failed exchange the module's answer may still be on its way, and an answer
// has no header that tells whose it is: taken for the next request's, every answer after
// it would be one request behind. So the next request waits until a module that answers
// at all has answered (kLatestAnswerMs after the failed request went out) and the line
// has then stayed quiet for a whole reply wait; what arrives meanwhile is thrown away.
void letLineGoQuiet(frmCommThread& f, std::uint32_t sentAt) {
  const std::uint32_t sinceSent = ElapsedMs(f.now(), sentAt);
  const std::uint32_t answerMayCome = sinceSent < kLatestAnswerMs ? kLatestAnswerMs - sinceSent : 0;
  f.waits.DrainUntilQuiet(f.blockBuf, kReplyWaitMs, answerMayCome, kLongestQuietWaitMs);
}

}  // namespace

void MBESend(frmCommThread& f, MbeLink& m, const std::string& payload) {
  if (!f.commSerial.PortOpen()) {
    f.LogIt("** Attempting to send: " + PktToHex(payload) + " to closed serial port!");
    return;
  }
  f.commSerial.setInBufferCount(0);
  f.blockBuf.clear();
  m.emmLastSent = payload;
  f.LogIt(">> Sending MBE: " + PktToHex(payload));
  f.CommOutStr(payload);
}

void MBESendRead(frmCommThread& f, MbeLink& m, std::int32_t address) {
  const auto request = mbe::ReadRequest(address);
  if (!request) {
    throw RunTimeError(kInvalidCallError, "Invalid procedure call or argument (address " +
                                              std::to_string(address) +
                                              " is not a 16-bit address)");
  }
  MBESend(f, m, *request);
}

void MBEGetReply(frmCommThread& f, std::size_t n) {
  const std::uint32_t sentAt = f.now();
  waitForBytes(f, n);
  const std::size_t count = f.blockBuf.size();
  std::string note;
  if (count != n) {
    f.timeOut = true;
    f.replyBuffer = f.blockBuf;
    f.StatusNotify(ecuNoCableOrPower);
    if (f.replyBuffer.size() < 2) f.replyBuffer = "+timedOut" + f.replyBuffer;
    note = "; timedOut! ";
    // The notification may have let the rest of the reply in: it came too late.
    if (f.blockBuf.size() == n) {
      note += "; preCnt=" + std::to_string(count) + "; pktB4Notify=" + PktToHex(f.replyBuffer) +
              "  *BOGUS*";
    }
  } else {
    f.timeOut = false;
    f.replyBuffer = f.blockBuf.substr(0, n);
    f.activity = true;
    if (f.globals.gMbeRunning) f.StatusNotify(ecuCommOK);
  }
  f.LogIt("<< Got from MBE: " + PktToHex(f.blockBuf) + note);
  // Only the session's loop sends its next request at once; after the identification
  // read the next one is a wake-up away and throws away what came meanwhile.
  if (f.timeOut && f.globals.gMbeRunning) letLineGoQuiet(f, sentAt);
}

Variant MBERequestCore(frmCommThread& f, MbeLink& m, std::int32_t address, std::int32_t size) {
  try {
    MBESendRead(f, m, address);
    MBEGetReply(f, static_cast<std::size_t>(size));
    if (f.timeOut) return Variant(0);
    return mbe::ReplyValue(f.replyBuffer);
  } catch (const std::exception& e) {
    f.trace.ReportFailure("MBERequestCore", kRequestCoreAlert, ErrFromException(e));
    f.timeOut = true;  // nothing was read: no caller may take the 0 for a reading
    return Variant(0);
  }
}

}  // namespace quorvan

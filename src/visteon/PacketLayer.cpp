#include "visteon/PacketLayer.h"

#include "client/clsBoschECU.h"
#include "kline/FaultCodes.h"
#include "kline/Format.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"
#include "visteon/VisteonLink.h"

namespace quorvan {

namespace {

constexpr std::uint8_t kEngineController = 0x10;
constexpr std::uint8_t kTester = 0xF1;
constexpr std::uint8_t kSaeReply = 0x48;
constexpr std::uint8_t kNegativeResponse = 0x7F;
constexpr std::int16_t kBusyRepeatRequest = 0x21;
constexpr std::uint32_t kReplyWaitMs = 400;
constexpr std::uint8_t kTransferData = 0x36;
constexpr int kSaeNegativeReplyLength = 7;

bool flashActive(const frmCommThread& f) {
  return f.flashMode() != flashIdle;
}

std::uint8_t byteOf(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

// An SAE reply's length follows from the request, except for a negative answer
// (48 6B 10 7F sid code cs), which is always seven bytes: without this a busy or refused
// answer to a data request would be taken for a missing reply.
int SaeNegativeReplyLength(frmCommThread& f, VisteonLink& v, int len, std::uint32_t start);

}  // namespace

std::string FrameHeader(const std::string& request, bool flashIsActive) {
  const std::uint8_t sid = request.empty() ? 0 : byteOf(request, 0);
  std::uint8_t format = 0;
  std::uint8_t target = kEngineController;
  if (sid < 0x10) {
    format = 0x68;  // SAE J1979 diagnostic services
    target = 0x6A;
  } else if (sid <= 0x20 || sid == 0x33) {
    format = 0x44;
  } else if ((sid == 0x31 || sid == 0x32) && !flashIsActive) {
    format = 0x54;
  } else {
    // Packet length less one in the high nibble; longer requests cannot be framed.
    format = static_cast<std::uint8_t>(((request.size() + 3) * 16 + 4) & 0xFF);
  }
  return std::string{static_cast<char>(format), static_cast<char>(target),
                     static_cast<char>(kTester)};
}

std::string FramePacket(const std::string& request, bool flashIsActive) {
  std::string packet = FrameHeader(request, flashIsActive) + request;
  packet.push_back(static_cast<char>(Checksum8(packet)));
  return packet;
}

int ReplyPacketLength(std::uint8_t firstByte, const std::string& lastRequest) {
  if (firstByte == kSaeReply) {
    const int m = lastRequest.empty() ? -1 : byteOf(lastRequest, 0);
    const int p = lastRequest.size() < 2 ? -1 : byteOf(lastRequest, 1);
    switch (m) {
      case 1:
        return p == 0x00 ? 10 : p == 0x0C ? 8 : 7;
      case 2:
        return (p == 0x0C || p == 0x02) ? 9 : 8;
      case 3:
        return 11;
      case 4:
        return 5;
      default:
        return 0;  // no defined length: malformed
    }
  }
  if (firstByte < 0x44) return 0;
  return (firstByte >> 4) + 1;
}

void BuildAndSendPacket(frmCommThread& f, VisteonLink& v, const std::string& request) {
  v.isoLastRequest = request;
  const std::string packet = FramePacket(request, flashActive(f));
  f.commSerial.setInBufferCount(0);
  f.blockBuf.clear();
  v.discardedBytes = 0;
  v.isoTxFrame = packet;
  f.CommOutStr(packet);
  if (request.empty() || byteOf(request, 0) != kTransferData) f.LogIt("> " + PktToHex(packet));
}

void WaitForInput(frmCommThread& f, VisteonLink& v, std::size_t n) {
  WaitForInputSince(f, v, n, f.now());
}

void WaitForInputSince(frmCommThread& f, VisteonLink& v, std::size_t n, std::uint32_t start) {
  const std::uint32_t limit = flashActive(f) ? v.replyTimeout : kReplyWaitMs;
  while (f.blockBuf.size() < n && ElapsedMs(f.now(), start) < limit) {
    f.waits.SleepMs(10);
    f.platform.loop.DoEvents();
  }
  // Bytes completing exactly at the deadline still count as a time-out.
  f.timeOut = ElapsedMs(f.now(), start) >= limit;
}

void WaitForEchoback(frmCommThread& f, VisteonLink& v) {
  const std::size_t frameLen = v.isoTxFrame.size();
  WaitForInput(f, v, frameLen);
  if (f.timeOut) {
    f.LogIt("*** timed out waiting for echoBack ecuFlashMode: " + std::to_string(f.flashMode()));
    if (f.iOverrun > 0) {  // bytes were lost; the link itself is alive
      f.iOverrun = 0;
      return;
    }
    f.LogIt(">> lostCableOrPower, detected in WaitForEchoback--timedOut");
    f.StatusNotify(ecuNoCableOrPower);
    f.iOverrun = 0;
    return;
  }
  if (f.iOverrun < 1) {
    for (std::size_t i = 0; i < frameLen; ++i) {
      if (f.blockBuf[i] != v.isoTxFrame[i]) {
        f.LogIt("*** Data Collision on K-Line at " + std::to_string(i + 1));
        break;
      }
    }
  }
  // Each counted overrun shortens the assumed echo by one byte.
  const std::size_t lost = f.iOverrun > 0 ? static_cast<std::size_t>(f.iOverrun) : 0;
  const std::size_t echoLen = frameLen > lost ? frameLen - lost : 0;
  f.blockBuf.erase(0, std::min(echoLen, f.blockBuf.size()));
  f.iOverrun = 0;
}

namespace {
// Bytes that are not a whole reply are consumed: read again, they would pass for the
// next reply.
void consumeUnreadBytes(frmCommThread& f, VisteonLink& v) {
  v.discardedBytes += f.blockBuf.size();  // the controller did send something
  f.blockBuf.clear();
}
}  // namespace

bool WaitForReply(frmCommThread& f, VisteonLink& v) {
  f.replyBuffer.clear();
  // One bound for the whole reply, however many steps it is read in.
  const std::uint32_t start = f.now();
  WaitForInputSince(f, v, 2, start);
  f.globals.gInitStep = "before getting first 2 of reply: " + PktToHex(f.blockBuf);
  if (f.timeOut) {
    f.LogIt("*** timedOut: " + f.globals.gInitStep);
    consumeUnreadBytes(f, v);
    return false;
  }
  int len = ReplyPacketLength(byteOf(f.blockBuf, 0), v.isoLastRequest);
  if (len > 0 && byteOf(f.blockBuf, 0) == kSaeReply) {
    len = SaeNegativeReplyLength(f, v, len, start);
  }
  if (len == 0) {
    f.LogIt("** Discarding badly formatted packet: " + PktToHex(f.blockBuf) + "; lenByte=0");
    f.ReportError("Unknown packet format: " + PktToHex(f.blockBuf) + "; DISCARDING!",
                  mb::vbCritical, "Quorvan");
    consumeUnreadBytes(f, v);
    return false;
  }
  const auto L = static_cast<std::size_t>(len);
  v.replyLength = static_cast<std::int16_t>(len);
  f.globals.gInitStep = "before waiting for the pkt tail";
  WaitForInputSince(f, v, L, start);
  if (f.timeOut) {
    f.LogIt("*** died before receiving full reply, wanted " + std::to_string(len) + ", got " +
            PktToHex(f.blockBuf));
    consumeUnreadBytes(f, v);
    return false;
  }
  const std::string_view packet = std::string_view(f.blockBuf).substr(0, L);
  if (Checksum8(packet.substr(0, L - 1)) != byteOf(f.blockBuf, L - 1)) {
    // A byte was spoilt on the way: whatever it says is not the controller's word.
    ++v.badReplies;
    f.LogIt("** Discarding reply with a wrong checksum: " + PktToHex(packet) + " (" +
            std::to_string(v.badReplies) + " so far)");
    consumeUnreadBytes(f, v);
    return false;
  }
  f.LogIt("< " + PktToHex(packet));
  f.globals.gInitStep = "while stripping the replyPacket, inPkt=[" + PktToHex(f.blockBuf) +
                        "]; length=" + std::to_string(len) +
                        ", len(inPkt)=" + std::to_string(f.blockBuf.size());
  // Header and checksum dropped; a following packet stays.
  f.replyBuffer = f.blockBuf.substr(3, L - 4);
  f.blockBuf.erase(0, L);
  return true;
}

namespace {
int SaeNegativeReplyLength(frmCommThread& f, VisteonLink& v, int len, std::uint32_t start) {
  WaitForInputSince(f, v, 4, start);
  if (f.timeOut || byteOf(f.blockBuf, 3) != kNegativeResponse) {
    f.timeOut = false;  // a short reply is found out by the wait for its whole length
    return len;
  }
  return kSaeNegativeReplyLength;
}
}  // namespace

std::int16_t ResponseCode(const frmCommThread& f) {
  const std::string& r = f.replyBuffer;
  const std::uint8_t b = byteOf(r, 0);
  if (b == kNegativeResponse) return byteOf(r, r.size() - 1);
  return static_cast<std::int16_t>(-b);
}

int ResponseResult(std::int16_t code) {
  if (code < 1 || code == kRoutineNotComplete) return kExchangeOk;
  if (code == kBusyRepeatRequest) return 0;
  return kExchangeRefused;
}

bool CheckConnection(frmCommThread& f) {
  const bool was = f.bActive;
  f.bActive = false;
  return was;
}

bool AnswersRequest(std::string_view reply, std::string_view request) {
  constexpr std::uint8_t kNegative = 0x7F;
  constexpr std::uint8_t kPositive = 0x40;
  constexpr std::uint8_t kCurrentData = 0x01;
  constexpr std::uint8_t kFreezeFrame = 0x02;
  if (reply.empty() || request.empty()) return false;
  const std::uint8_t service = byteOf(request, 0);
  if (byteOf(reply, 0) == kNegative) return reply.size() >= 2 && byteOf(reply, 1) == service;
  if (byteOf(reply, 0) != static_cast<std::uint8_t>(service + kPositive)) return false;
  if (service == kCurrentData || service == kFreezeFrame) {
    return request.size() >= 2 && reply.size() >= 2 && byteOf(reply, 1) == byteOf(request, 1);
  }
  return true;
}

bool IsPositiveAnswer(std::string_view reply, std::string_view request) {
  return AnswersRequest(reply, request) && byteOf(reply, 0) != kNegativeResponse;
}

std::int32_t SendCommand(frmCommThread& f, VisteonLink& v, const std::string& request,
                         bool noReply) {
  for (int busy = 0;; ++busy) {
    f.timeOut = false;
    BuildAndSendPacket(f, v, request);
    if (noReply) return kExchangeOk;
    WaitForEchoback(f, v);
    f.globals.gInitStep = "before waitForReply";
    f.replyBuffer.clear();
    bool replied = false;
    if (!f.timeOut) replied = WaitForReply(f, v);
    if (f.timeOut) {
      CheckConnection(f);  // a failed exchange does not count as link activity
      return kExchangeNoReply;
    }
    if (f.lastEcuStatus == ecuNoCableOrPower) f.StatusNotify(ecuCommOK);
    if (!replied) return kExchangeNoReply;  // malformed: nothing to classify
    if (!AnswersRequest(f.replyBuffer, request)) {
      ++v.badReplies;
      f.LogIt("** Discarding a reply that does not answer " + PktToHex(request) + ": " +
              PktToHex(f.replyBuffer));
      f.replyBuffer.clear();
      return kExchangeNoReply;
    }
    // Only a reply read whole and correct shows the link works (the watchdog reads it).
    f.activity = true;
    const int r = ResponseResult(ResponseCode(f));
    if (r != 0) return r;
    if (busy + 1 >= kMaxBusyRepeats) {
      f.LogIt("*** controller still busy after " + std::to_string(kMaxBusyRepeats) +
              " repeats; giving up");
      return kExchangeRefused;
    }
  }
}

}  // namespace quorvan

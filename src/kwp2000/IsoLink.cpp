#include "kwp2000/IsoLink.h"

#include "client/Enums.h"
#include "kline/FaultCodes.h"
#include "kline/Format.h"
#include "kwp2000/Kwp2000Link.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::uint8_t kStartCommunication = 0x81;
constexpr std::uint8_t kTransferData = 0x36;
constexpr std::uint8_t kNegativeResponse = 0x7F;
constexpr std::uint8_t kPositiveOffset = 0x40;  // added to the service in its answer
constexpr std::uint8_t kEcuAddress = 0x11;
constexpr std::uint8_t kTesterAddress = 0xF1;
constexpr std::uint8_t kVerifyFormat = 0x0C;
constexpr std::int16_t kResponsePending = 0x78;
constexpr std::size_t kMaxHeaderLength = 63;  // what a format byte can state
constexpr std::int32_t kByteGapMs = 6;        // between bytes until the timing is set
constexpr std::int32_t kPollMs = 10;
constexpr std::int32_t kWakeUpSettleMs = 5;
constexpr std::int32_t kWakeUpLowMs = 25;
constexpr std::int32_t kWakeUpHighMs = 25;

std::uint8_t byteOf(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

std::string withChecksum(std::string frame) {
  frame.push_back(static_cast<char>(Checksum8(frame)));
  return frame;
}

// The two result requests and the key are sent again at once when they time out.
bool repeatsOnTimeOut(const Kwp2000Link& k, const std::string& request) {
  return request == k.requests.reqEraseResult || request == k.requests.reqVerifyResult ||
         request == Bytes({0x27, 0x82});
}

// Services whose positive answer repeats the request's second byte (its sub-function,
// mode or routine).
bool repeatsSecondByte(std::uint8_t service) {
  return service == 0x10 || service == 0x27 || service == 0x31 || service == 0x33 ||
         service == 0x83;
}

// The response is this request's: a negative answer naming its service, or a positive
// one for its service (and its sub-function, where the answer repeats it). A late answer
// to the request before is not.
bool answersRequest(const std::string& request, const std::string& reply) {
  if (request.empty() || reply.empty()) return false;
  const std::uint8_t service = byteOf(request, 0);
  if (byteOf(reply, 0) == kNegativeResponse) return reply.size() > 1 && byteOf(reply, 1) == service;
  if (byteOf(reply, 0) != static_cast<std::uint8_t>(service + kPositiveOffset)) return false;
  return !repeatsSecondByte(service) || request.size() < 2 ||
         (reply.size() > 1 && reply[1] == request[1]);
}

// What is left of a response that cannot be read is consumed: read again, it would pass
// for the next one.
void consumeInput(frmCommThread& f) {
  f.blockBuf.clear();
}

std::string flashModeText(const frmCommThread& f) {
  return " ecuFlashMode: " + std::to_string(f.flashMode());
}

}  // namespace

std::string FrameIsoRequest(const Kwp2000Link& k, const std::string& request,
                            std::int32_t checksum) {
  if (request == std::string(1, static_cast<char>(kStartCommunication))) {
    return withChecksum(
        Bytes({kStartCommunication, kEcuAddress, kTesterAddress, kStartCommunication}));
  }
  if (request == std::string(1, static_cast<char>(kTransferData))) {
    return withChecksum(Bytes({0x00, k.dataSize + 1, kTransferData}) + k.dataPacket);
  }
  if (!request.empty() && request == k.requests.reqVerifyStart) {
    const auto sum = static_cast<std::uint32_t>(checksum);
    return withChecksum(std::string(1, static_cast<char>(kVerifyFormat)) + request +
                        Bytes({static_cast<int>(sum >> 24), static_cast<int>((sum >> 16) & 0xFF),
                               static_cast<int>((sum >> 8) & 0xFF), static_cast<int>(sum & 0xFF)}));
  }
  if (request.size() > kMaxHeaderLength) {
    // Too long for the format byte: the separate length byte says it.
    return withChecksum(Bytes({0x00, static_cast<int>(request.size())}) + request);
  }
  return withChecksum(std::string(1, static_cast<char>(request.size())) + request);
}

IsoReplyLayout ReplyLayout(std::string_view firstBytes) {
  const std::uint8_t format = firstBytes.empty() ? 0 : byteOf(firstBytes, 0);
  if (format == 0x00) {
    const std::size_t length = firstBytes.size() > 1 ? byteOf(firstBytes, 1) : 0;
    return {length + 3, 2};
  }
  if (format <= 0x40) return {std::size_t{format} + 2, 1};
  return {std::size_t{format & 0x3FU} + 4, 3};
}

void PresetTimingParams(Kwp2000Link& k) {
  k.p2Max = 16;
  k.p3Max = 10;
  k.gRepeatDelay = 40;
  k.gLongWait = 400;
}

void DoFastInit(frmCommThread& f) {
  f.tmrWatchDog.setEnabled(false);
  f.commSerial.setInBufferCount(0);
  f.blockBuf.clear();
  f.SetBaudRate(kFastInitBitRate);
  f.discardInput = true;
  f.waits.SleepMs(kWakeUpSettleMs);
  f.commSerial.setBreak(true);  // the K-line low
  f.waits.SleepMs(kWakeUpLowMs);
  f.commSerial.setBreak(false);  // and high again
  f.waits.SleepMs(kWakeUpHighMs);
  f.discardInput = false;
  f.tmrWatchDog.setEnabled(true);
}

void WaitForBytes(frmCommThread& f, const Kwp2000Link& k, std::size_t n) {
  const std::uint32_t start = f.now();
  const auto limit = static_cast<std::uint32_t>(k.gLongWait < 0 ? 0 : k.gLongWait);
  const auto enough = [&] {
    return static_cast<std::int64_t>(f.blockBuf.size()) >=
           static_cast<std::int64_t>(n) - f.iOverrun;
  };
  while (!enough() && ElapsedMs(f.now(), start) < limit) {
    f.waits.SleepMs(kPollMs);
    f.platform.loop.DoEvents();
  }
  // Bytes that are all there are no time-out, however late the look that found them.
  f.timeOut = !enough();
}

void IsoSendFrame(frmCommThread& f, Kwp2000Link& k, const std::string& request) {
  f.waits.WaitFor(k.p3Min / 2 + 1);
  k.isoLastRequest = request;
  f.replyBuffer.clear();
  k.isoTxFrame = FrameIsoRequest(k, request, f.ecuChecksum);
  f.commSerial.setInBufferCount(0);
  f.blockBuf.clear();
  f.LogToList(">> Sending: " + PktToHex(k.isoTxFrame));
  if (!k.isoTimingSet) {
    for (const char byte : k.isoTxFrame) {
      f.CommOutStr(std::string(1, byte));
      f.waits.WaitFor(kByteGapMs);
    }
    f.platform.loop.DoEvents();
    return;
  }
  f.CommOutStr(k.isoTxFrame);
  f.platform.loop.DoEvents();
  f.platform.loop.DoEvents();
}

bool isoWaitForEchoback(frmCommThread& f, Kwp2000Link& k) {
  const std::size_t frameLen = k.isoTxFrame.size();
  WaitForBytes(f, k, frameLen);
  if (f.timeOut) {
    f.LogIt("*** timed out waiting for echoBack" + flashModeText(f));
    if (f.iOverrun < 1) {
      f.LogIt(">> lostCableOrPower, detected in isoWaitForEchoback--timeOut");
      f.StatusNotify(ecuNoCableOrPower);
    }
    f.iOverrun = 0;
    consumeInput(f);  // a part of our own frame is no response
    return false;
  }
  f.LogIt("< echo: " + PktToHex(f.blockBuf) + flashModeText(f));
  bool same = true;
  if (f.iOverrun > 0) {
    f.LogToList("@@ iOverrun=" + std::to_string(f.iOverrun) + ", recovered successfully");
  } else {
    for (std::size_t i = 0; i < frameLen; ++i) {
      if (f.blockBuf[i] == k.isoTxFrame[i]) continue;
      f.ReportError("Data Collision on K-Line at " + std::to_string(i + 1) + "!\r\nout was " +
                        PktToHex(k.isoTxFrame) + "\r\nin was " + PktToHex(f.blockBuf),
                    mb::vbExclamation, "Transmission Error");
      same = false;
      break;
    }
    f.platform.loop.DoEvents();
  }
  const std::size_t lost = f.iOverrun > 0 ? static_cast<std::size_t>(f.iOverrun) : 0;
  const std::size_t echoLen = frameLen > lost ? frameLen - lost : 0;
  f.blockBuf.erase(0, std::min(echoLen, f.blockBuf.size()));
  return same;
}

bool IsoReadReply(frmCommThread& f, Kwp2000Link& k) {
  k.spoiltReply = false;
  WaitForBytes(f, k, 2);
  if (f.timeOut) {
    consumeInput(f);
    return false;
  }
  const IsoReplyLayout layout = ReplyLayout(f.blockBuf);
  WaitForBytes(f, k, layout.total);
  if (f.timeOut) {
    f.LogIt("*** died before receiving full reply, wanted " + std::to_string(layout.total) +
            ", got " + PktToHex(f.blockBuf));
    consumeInput(f);
    return false;
  }
  if (f.blockBuf.size() < layout.total) {
    // Bytes lost to an overrun were not waited for: what is there is not the frame.
    f.LogIt("*** reply short of bytes lost to an overrun, wanted " + std::to_string(layout.total) +
            ", got " + PktToHex(f.blockBuf));
    k.spoiltReply = true;
    consumeInput(f);
    return false;
  }
  const std::string_view frame = std::string_view(f.blockBuf).substr(0, layout.total);
  if (Checksum8(frame.substr(0, frame.size() - 1)) != byteOf(frame, frame.size() - 1)) {
    // A byte spoilt on the way: read as it stands, a "not yet" could pass for "done".
    f.LogIt("*** response with a wrong checksum: " + PktToHex(frame));
    k.spoiltReply = true;
    consumeInput(f);
    return false;
  }
  const std::string data = f.blockBuf.substr(layout.dataStart, layout.length());
  const bool shortNegative =
      !data.empty() && byteOf(data, 0) == kNegativeResponse && data.size() < 3;
  if (data.empty() || shortNegative) {
    // Nothing in it says what the controller did: the exchange has failed.
    f.LogIt("*** response without a service or code: " +
            PktToHex(std::string_view(f.blockBuf).substr(0, layout.total)));
    f.blockBuf.erase(0, layout.total);
    return false;
  }
  f.replyBuffer = data;
  f.blockBuf.erase(0, layout.total);
  f.LogIt("<< Reply: " + PktToHex(f.replyBuffer));
  if (!f.blockBuf.empty()) f.LogIt("<< Leftover: " + PktToHex(f.blockBuf));
  return true;
}

std::int16_t IsoResponseCode(const std::string& replyBuffer) {
  if (replyBuffer.empty()) return 0;
  const std::uint8_t first = byteOf(replyBuffer, 0);
  if (first == kNegativeResponse) return replyBuffer.size() < 3 ? 0 : byteOf(replyBuffer, 2);
  return static_cast<std::int16_t>(-first);
}

std::int32_t IsoResultOf(const Kwp2000Link& k, std::int16_t code) {
  if (code < 0) return kIsoPositive;
  if (code > 0 && k.requests.retryCodes.find(static_cast<char>(code)) != std::string::npos) {
    return 0;
  }
  return kIsoNegative;
}

std::int32_t IsoSendCommand(frmCommThread& f, Kwp2000Link& k, const std::string& request) {
  const std::uint32_t start = f.now();
  f.timeOut = false;
  std::int16_t code = 0;
  bool echoFailed = false;
  std::int32_t result = 0;
  for (;;) {
    if (code == kResponsePending) {
      k.gLongWait = k.p3Max * 250;  // the final answer follows; nothing is sent
    } else {
      if (code != 0) f.waits.WaitFor(k.gRepeatDelay * 5);
      k.gLongWait = k.p2Max * 25;
      IsoSendFrame(f, k, request);
      echoFailed = !isoWaitForEchoback(f, k);
    }
    const bool read = IsoReadReply(f, k);
    if (read) {
      f.activity = true;  // the controller answered: the link works
      // A lost cable or power reported earlier is over.
      if (f.lastEcuStatus == ecuNoCableOrPower) f.StatusNotify(ecuCableDetected);
    }
    const bool another = read && !answersRequest(request, f.replyBuffer);
    if (another) {
      f.LogIt("*** reply to another request dropped: " + PktToHex(f.replyBuffer));
      f.replyBuffer.clear();
    }
    if (f.timeOut || k.spoiltReply || another) {
      // Nothing the controller said to this request was heard.
      code = 0;
      result = repeatsOnTimeOut(k, request) ? 0 : kIsoNoReply;
    } else if (!read) {
      code = 0;
      result = kIsoNoReply;
    } else {
      code = IsoResponseCode(f.replyBuffer);
      result = IsoResultOf(k, code);
    }
    f.iOverrun = 0;
    if (f.globals.gFlashAbort && result == 0 && echoFailed) result = kIsoAbandoned;
    if (result == 0 && ElapsedMs(f.now(), start) >= kIsoRepeatLimitMs) {
      f.LogIt("*** no final answer to " + PktToHex(request) + " within " +
              std::to_string(kIsoRepeatLimitMs) + " mS; giving up");
      result = kIsoNoReply;
    }
    if (result != 0) break;
  }
  k.gNegReply = !f.replyBuffer.empty() && byteOf(f.replyBuffer, 0) == kNegativeResponse;
  return result;
}

}  // namespace quorvan

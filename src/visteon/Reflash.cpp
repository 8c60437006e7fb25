#include "visteon/Reflash.h"

#include "client/clsBoschECU.h"
#include "kline/Format.h"
#include "kline/VisteonKey.h"
#include "runtime/FlashSession.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"
#include "visteon/PacketLayer.h"
#include "visteon/RequestLoop.h"
#include "visteon/VisteonLink.h"

namespace quorvan {

namespace {

constexpr std::uint32_t kReplyTimeoutMs = 2000;
constexpr std::uint32_t kEraseTimeoutMs = 20000;
constexpr std::int32_t kPresenceRetryMs = 500;
constexpr std::uint32_t kReflashBitRate = 57600;
constexpr std::uint8_t kPingAnswer = 0xE0;
constexpr std::size_t kCalTextPieces = 43;
constexpr std::size_t kCalTextPiece = 6;
constexpr std::size_t kCalTextStride = 11;
constexpr std::size_t kCalTextFirst = 4;  // 0-based offset of the first piece

// Waits for the controller to answer the ping; false when the client aborted first.
bool controllerPresent(frmCommThread& f, VisteonLink& v) {
  for (;;) {
    if (f.globals.gFlashAbort) {
      ShutDownReflash(f);
      return false;
    }
    f.DieIfNoClients();
    SendCommand(f, v, v.requests.reqPing);
    if (GetReplyByte(f, 1) != kPingAnswer) f.waits.WaitFor(kPresenceRetryMs);
    if (GetReplyByte(f, 1) == kPingAnswer) return true;
  }
}

bool unlock(frmCommThread& f, VisteonLink& v, std::uint8_t random) {
  SendCommand(f, v, v.requests.reqSeed);
  const auto s3 = static_cast<std::uint8_t>(GetReplyByte(f, 3));
  const auto s4 = static_cast<std::uint8_t>(GetReplyByte(f, 4));
  const auto s5 = static_cast<std::uint8_t>(GetReplyByte(f, 5));
  const std::uint8_t k1 = KeyFromSeed(s3, random, s5);
  const std::uint8_t k2 = KeyFromSeed(s4, random, s5);
  SendCommand(f, v, v.requests.reqKey + Bytes({k1, k2}));
  return f.replyBuffer == Bytes({0x67, 0x02, 0x34});
}

// True when the controller started the erase and reports it done. The result the stop
// request gets may be that of an earlier erase, so an erase it refused to start has
// failed whatever that result says.
bool erase(frmCommThread& f, VisteonLink& v) {
  v.replyTimeout = kEraseTimeoutMs;
  SendCommand(f, v, v.requests.reqEraseEnter);
  f.LogToList("Sent EraseEnter, gotReply: " + PktToHex(f.replyBuffer));
  const bool started = IsPositiveAnswer(f.replyBuffer, v.requests.reqEraseEnter);
  SendCommand(f, v, v.requests.reqEraseExit);
  f.LogToList("Sent EraseExit, gotReply: " + PktToHex(f.replyBuffer));
  v.replyTimeout = kReplyTimeoutMs;
  const bool done = DiagCmdWorked(f);
  return started && done;
}

// Sends the block's data in six-byte transfer requests without waiting for replies; the
// last (short) chunk carries the 16-bit sum of all data bytes, most significant first.
void sendBlockData(frmCommThread& f, VisteonLink& v, const std::string& data) {
  unsigned sum = 0;
  for (int i = 0; i < kTransferChunks; ++i) {
    const std::size_t from = static_cast<std::size_t>(i) * kTransferChunk;
    std::string chunk = from < data.size() ? data.substr(from, kTransferChunk) : std::string();
    for (char c : chunk) sum = (sum + static_cast<unsigned char>(c)) & 0xFFFF;
    const bool shortChunk = chunk.size() < kTransferChunk;
    if (shortChunk) chunk += Bytes({static_cast<int>(sum >> 8), static_cast<int>(sum & 0xFF)});
    SendCommand(f, v, v.requests.reqTransfer + chunk, true);
    if (shortChunk) {
      f.LogIt("++ Final (short) data packet... " + PktToHex(v.requests.reqTransfer + chunk));
    }
  }
}

// The closing exchanges of a block; false when the controller did not react, or refused
// to check the block: the result the stop request then gets is that of an earlier block.
bool closeBlock(frmCommThread& f, VisteonLink& v) {
  f.iOverrun = 0;
  f.waits.WaitFor(200);
  ClearAbortOnError(f.commSerial);
  f.waits.WaitFor(200);
  SendCommand(f, v, v.requests.reqTransferExit);
  // Any answer at all, even one cut short, shows the controller took the block.
  if (f.blockBuf.empty() && v.discardedBytes == 0 && f.timeOut && f.iOverrun == 0) return false;
  SendCommand(f, v, v.requests.reqBlockCheckStart);
  if (!IsPositiveAnswer(f.replyBuffer, v.requests.reqBlockCheckStart)) return false;
  SendCommand(f, v, v.requests.reqBlockCheckStop);
  if (f.timeOut) return false;
  f.LogIt("-- total BlockWrite time was: " + std::to_string(ElapsedMs(f.now(), f.startFlashWrite)) +
          " mS");
  return true;
}

}  // namespace

std::int32_t FlashBlockNumber(std::int32_t flashBase) {
  return (flashBase - kFirstFlashBase) / 4 + 33;
}

void BuildVisteonRequests(VisteonLink& v) {
  ReflashRequests& r = v.requests;
  r.reqPing = Bytes({0xA0});
  r.reqPrepare = Bytes({0x31, 0xA0, 0x01, 0x00});
  r.reqSeed = Bytes({0x27, 0x01});
  r.reqKey = Bytes({0x27, 0x02});
  r.reqEraseEnter = Bytes({0x31, 0xA1});
  r.reqEraseExit = Bytes({0x32, 0xA1});
  r.reqDownload = Bytes({0x34, 0x82, 0x04, 0x00});
  r.reqTransfer = Bytes({0x36});
  r.reqTransferExit = Bytes({0x37, 0x82});
  r.reqBlockCheckStart = Bytes({0x31, 0xA2});
  r.reqBlockCheckStop = Bytes({0x32, 0xA2});
  r.reqVerifyStart = Bytes({0x31, 0xA3});
  r.reqVerifyStop = Bytes({0x32, 0xA3});
}

void doFlashInit(frmCommThread& f, VisteonLink& v) {
  BuildVisteonRequests(v);
  f.LogToList(std::string("-- Entering doFlashInit, with gFlashAbort flag = ") +
              BoolText(f.globals.gFlashAbort));
  f.tmrWatchDog.setEnabled(false);
  f.tmrSampleRate.setInterval(kSampleRateMs);
  v.replyTimeout = kReplyTimeoutMs;
  v.ecuFlashBase = kFirstFlashBase;
  if (!controllerPresent(f, v)) return;
  f.StatusNotify(ecuCommOK);
  if (CalTextRequested(f)) NotifyFlashStatus(f, flashBusy);
  const auto random = static_cast<std::uint8_t>(v.rng() % 256);
  SendCommand(f, v, v.requests.reqPrepare + Bytes({random, 0x01}));
  if (!DiagCmdWorked(f)) {
    NotifyFlashStatus(f, flashFailedPrep);
    return;
  }
  if (!unlock(f, v, random)) {
    NotifyFlashStatus(f, flashFailedUnlock);
    return;
  }
  f.SetBaudRate(kReflashBitRate);
  if (CalTextRequested(f)) {
    ReadCalText(f, v);
    return;
  }
  NotifyFlashStatus(f, erase(f, v) ? flashReady : flashFailedErase);
}

bool IsBlankBlock(const std::string& data) {
  return data.find_first_not_of('\xFF') == std::string::npos;
}

void DoBlockWrite(frmCommThread& f, VisteonLink& v) {
  const std::int32_t n = FlashBlockNumber(static_cast<std::int32_t>(v.ecuFlashBase));
  if (IsBlankBlock(f.ecuFlashData)) {
    f.LogIt("...skipping FF block #" + std::to_string(n) + "...");
    v.ecuFlashBase += 4;
  } else {
    const auto base = static_cast<std::int32_t>(v.ecuFlashBase);
    const std::string download =
        v.requests.reqDownload + Bytes({(base >> 8) & 0xFF, base & 0xFF, 0x00});
    SendCommand(f, v, download);
    const bool accepted = IsPositiveAnswer(f.replyBuffer, download);
    v.ecuFlashBase += 4;
    f.LogIt(">> Sending 1 kB data block #" + std::to_string(n) + "...");
    sendBlockData(f, v, f.ecuFlashData);
    if (!closeBlock(f, v) || !accepted) {
      NotifyFlashStatus(f, flashFailedWrite);
      f.LogIt(std::string("** Block write failed... timeOut=") + BoolText(f.timeOut) +
              "; iOverrun=" + std::to_string(f.iOverrun));
      return;
    }
  }
  // A blank block takes its verdict from the reply still held from the previous exchange.
  NotifyFlashStatus(f, DiagCmdWorked(f) ? flashReady : flashFailedWrite);
}

void DoFlashVerify(frmCommThread& f, VisteonLink& v) {
  const std::int32_t sum = f.ecuChecksum;
  SendCommand(f, v, v.requests.reqVerifyStart + Bytes({(sum >> 8) & 0xFF, sum & 0xFF}));
  if (GetReplyByte(f, 6) == kRoutineNotComplete) {
    SendCommand(f, v, v.requests.reqVerifyStop);
    if (GetReplyByte(f, 6) == 0x00) {
      NotifyFlashStatus(f, flashReady);
      return;
    }
  }
  NotifyFlashStatus(f, flashFailedVerify);
}

std::string ExtractCalText(const std::string& uploaded) {
  std::string text;
  for (std::size_t k = 0; k < kCalTextPieces; ++k) {
    const std::size_t from = kCalTextFirst + kCalTextStride * k;
    if (from >= uploaded.size()) break;
    text += uploaded.substr(from, kCalTextPiece);
  }
  return text;
}

void ReadCalText(frmCommThread& f, VisteonLink& v) {
  SendCommand(f, v, Bytes({0x35, 0x82, 0x01, 0x00, 0x1C, 0xFF, 0x00}));
  f.waits.WaitFor(1000);
  if (f.replyBuffer.empty() || f.replyBuffer.back() != '\0') {
    SetFlashMode(f, flashFailedVerify);  // directly: no note to the client
    return;
  }
  if (f.objBoschECU) f.objBoschECU->ecuResults = ExtractCalText(f.blockBuf);
  SetFlashMode(f, flashReady);
}

}  // namespace quorvan

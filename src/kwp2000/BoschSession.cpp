#include "kwp2000/BoschSession.h"

#include <exception>

#include "client/clsBoschECU.h"
#include "kline/Format.h"
#include "kline/Mse11Image.h"
#include "kline/Mse11Key.h"
#include "kwp2000/IsoLink.h"
#include "kwp2000/Kwp2000Link.h"
#include "runtime/FlashSession.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::int32_t kWakeUpPauseMs = 200;
constexpr std::int32_t kKeyPauseMs = 50;
constexpr std::int32_t kErasePollMs = 200;
constexpr std::int32_t kReadRetryMs = 10;
constexpr int kReadAttempts = 3;
constexpr std::int16_t kVerifyRepeatDelay = 200;  // 1 s between repeats of the verify
constexpr std::int16_t kRepeatDelay = 40;
constexpr std::uint32_t kKeepAliveMs = 1000;
constexpr std::uint32_t kInitSampleRateMs = 50;
constexpr std::uint8_t kStartCommsAccepted = 0xC1;
constexpr std::uint8_t kTransferAccepted = 0x76;
constexpr std::uint8_t kCustomerAddress = 0xE7;
constexpr std::uint8_t kCustomerLength = 10;
constexpr std::uint8_t kHardwareAddress = 0xF1;
constexpr std::uint8_t kHardwareLength = 3;
constexpr const char* kWorked = "Worked";
constexpr std::size_t kHardwareId = 0;
constexpr std::size_t kSoftwareId = 1;
constexpr std::size_t kCustomerId = 2;
constexpr auto kImageSize = static_cast<std::int32_t>(kMse11ImageSize);
constexpr auto kChunkSize = static_cast<std::int16_t>(kMse11ChunkSize);

std::string timingRequest(const Kwp2000Link& k) {
  return Bytes({0x83, 0x03, k.p2Min, k.p2Max, k.p3Min, k.p3Max, k.p4Min});
}

// The hardware number as the controller stores it: three bytes, least significant first.
std::string hardwareNumber(const std::string& bytes) {
  return std::to_string(LittleEndianValue(bytes + std::string(1, '\0')));
}

std::string replyText(const frmCommThread& f) {
  return PktToHex(f.replyBuffer);
}

// A step that cannot go on: the client's flash state and an error report.
void failPrep(frmCommThread& f, const std::string& why) {
  NotifyFlashStatus(f, flashFailedPrep);
  f.ReportError(why, mb::vbExclamation, kErrorTitle);
}

// Wakes the controller and starts communication, repeated while nothing answers; false
// when the client aborted or the controller stayed silent too long (no status then).
bool wakeUp(frmCommThread& f, Kwp2000Link& k) {
  const std::uint32_t start = f.now();
  do {
    if (f.globals.gFlashAbort) {
      f.LogIt("### exiting doBoschInit immediately, because gFlashAbort flag is TRUE!");
      return false;
    }
    f.DieIfNoClients();
    if (ElapsedMs(f.now(), start) >= kWakeUpLimitMs) {
      f.LogIt("### no answer to StartCommunication within " + std::to_string(kWakeUpLimitMs) +
              " mS; giving up");
      NotifyFlashStatus(f, flashFailedPrep);
      return false;
    }
    f.waits.WaitFor(kWakeUpPauseMs);
    DoFastInit(f);
    IsoSendCommand(f, k, k.requests.reqStartComms);
  } while (f.timeOut);
  return true;
}

// Seed, key and the key's answer; the result of the key exchange.
std::int32_t sendKey(frmCommThread& f, Kwp2000Link& k) {
  const auto seed = static_cast<std::uint32_t>(BytesToLongBE(f.replyBuffer, 3));
  const auto key = static_cast<std::int32_t>(KeyFromSeed(seed));
  f.waits.WaitFor(kKeyPauseMs);
  return IsoSendCommand(f, k, k.requests.reqKey + LongToBytesBE(key));
}

// The controller is still the one the ident read (only checked after an ident).
bool sameController(frmCommThread& f, Kwp2000Link& k) {
  const auto& ids = f.globals.gEcuIds;
  if (ids[kSoftwareId] != kWorked) return true;
  const std::string customer = ReadEcuMemory(f, k, kCustomerAddress, kCustomerLength);
  const std::string hardware = ReadEcuMemory(f, k, kHardwareAddress, kHardwareLength);
  return customer != kReadFailed && hardware != kReadFailed &&
         ids[kHardwareId] == hardwareNumber(hardware) && ids[kCustomerId] == customer;
}

// Starts the erase and polls its result while the controller answers "not yet".
bool erase(frmCommThread& f, Kwp2000Link& k) {
  if (IsoSendCommand(f, k, k.requests.reqErase) != kIsoPositive) return false;
  const std::uint32_t start = f.now();
  std::int32_t r = kIsoNegative;
  while (r == kIsoNegative && ElapsedMs(f.now(), start) < kEraseLimitMs) {
    f.waits.WaitFor(kErasePollMs);
    r = IsoSendCommand(f, k, k.requests.reqEraseResult);
  }
  if (r != kIsoPositive) f.LogIt("*** erase not confirmed, result=" + std::to_string(r));
  return r == kIsoPositive;
}

bool downloadFailed(frmCommThread& f, const char* what, std::int32_t r) {
  f.LogToList(std::string(what) + " FAILED, reply was " + replyText(f) +
              ", result=" + std::to_string(r));
  return false;
}

// One chunk of the image; false when the controller did not take it.
bool transferChunk(frmCommThread& f, Kwp2000Link& k) {
  k.dataSize = kChunkSize;
  if (k.ecuFlashBase >= kImageSize) {
    // Nothing of the image is left to send: a block now would be reported written
    // without the controller holding it.
    f.LogToList("TransferData refused: the image of " + std::to_string(kImageSize) +
                " bytes is complete");
    return false;
  }
  if (k.ecuFlashBase == 0) {
    const std::int32_t r = IsoSendCommand(f, k, k.requests.reqDownload);
    if (r != kIsoPositive) return downloadFailed(f, "Req_Download", r);
  }
  if (k.ecuFlashBase + k.dataSize > kImageSize) {
    k.dataSize = static_cast<std::int16_t>(kImageSize - k.ecuFlashBase);
  }
  if (f.ecuFlashData.size() != static_cast<std::size_t>(k.dataSize)) {
    // A short block would go out with a length it does not have; a long one would lose
    // its tail while reported written.
    f.LogToList("TransferData refused: a block of " + std::to_string(f.ecuFlashData.size()) +
                " bytes where the image needs " + std::to_string(k.dataSize));
    return false;
  }
  k.dataPacket = f.ecuFlashData;
  std::int32_t r = IsoSendCommand(f, k, k.requests.reqTransfer);
  if (r != kIsoPositive) {
    if (f.replyBuffer == std::string(1, static_cast<char>(kTransferAccepted)) && r == kIsoNoReply) {
      f.LogToList("++ ECU reply TimedOut, but we recovered");
    } else {
      return downloadFailed(f, "TransferData", r);
    }
  }
  if (k.dataSize < kChunkSize) {
    r = IsoSendCommand(f, k, k.requests.reqTransferExit);
    if (r != kIsoPositive) return downloadFailed(f, "ExitTransfer", r);
  }
  k.ecuFlashBase += k.dataSize;
  return true;
}

// A step that failed on its way (the port closed under it) still answers the client's
// request, which would otherwise wait at flashBusy for ever.
void answerFailedStep(frmCommThread& f, std::int16_t request) {
  if (f.flashMode() != flashBusy) return;
  switch (request) {
    case cmd::kFlashIdent:
    case cmd::kFlashInit:
      NotifyFlashStatus(f, flashFailedPrep);
      break;
    case cmd::kFlashWrite:
      NotifyFlashStatus(f, flashFailedWrite);
      break;
    case cmd::kFlashVerify:
      NotifyFlashStatus(f, flashFailedVerify);
      break;
    default:
      break;
  }
}

void runStep(frmCommThread& f, Kwp2000Link& k, std::int16_t cmdStarted) {
  if (f.commandRequested != cmd::kHandled) f.tmrKeepAlive.setInterval(0);
  switch (f.commandRequested) {
    case cmd::kFlashInit:
      doBoschInit(f, k);
      f.tmrKeepAlive.setInterval(kKeepAliveMs);
      break;
    case cmd::kFlashWrite:
      BoschDownload(f, k);
      f.tmrKeepAlive.setInterval(kKeepAliveMs);
      break;
    case cmd::kFlashVerify:
      BoschVerify(f, k);
      break;
    case cmd::kFlashAbort:
      doFlashAbort(f);
      if (f.commandRequested == cmdStarted) f.commandRequested = cmd::kNone;
      break;
    case cmd::kFlashIdent:
      f.tmrSampleRate.setEnabled(false);
      BoschIdent(f, k);
      break;
    default:
      break;
  }
}

}  // namespace

std::int32_t BytesToLongBE(std::string_view bytes, std::size_t position) {
  if (position < 1 || bytes.size() < position + 3) return 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value = (value << 8) | static_cast<std::uint8_t>(bytes[position - 1 + i]);
  }
  return static_cast<std::int32_t>(value);
}

std::string LongToBytesBE(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  return Bytes({static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
                static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}

std::int32_t LittleEndianValue(std::string_view bytes) {
  const std::string reversed(bytes.rbegin(), bytes.rend());
  return BytesToLongBE(reversed, 1);
}

void BuildKwpRequests(Kwp2000Link& k) {
  KwpRequests& r = k.requests;
  r.reqStartComms = Bytes({0x81});
  r.reqTiming = timingRequest(k);
  r.reqSession3 = Bytes({0x10, 0x85, 0x03});
  r.reqSeed = Bytes({0x27, 0x81, 0x10}) + "QUILTBOX";
  r.reqKey = Bytes({0x27, 0x82});
  r.reqErase = Bytes({0x31, 0x02, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF});
  r.reqEraseResult = Bytes({0x33, 0x02});
  r.reqDownload = Bytes({0x34, 0x00, 0x00, 0x00, 0xAA, 0x00, 0xF7, 0x00});
  r.reqTransfer = Bytes({0x36});
  r.reqTransferExit = Bytes({0x37});
  r.reqVerifyStart = Bytes({0x31, 0x01, 0x00, 0x00, 0x00, 0x00, 0xF6, 0xFF});
  r.reqVerifyResult = Bytes({0x33, 0x01});
  r.reqStopComms = Bytes({0x82});
  r.reqReadMem = Bytes({0x23, 0x03, 0x00});
  r.retryCodes = Bytes({0x21, 0x23, 0x78});
}

void NextBoschReq(frmCommThread& f, Kwp2000Link& k) {
  f.LogToList("[entering NextBoschReq, with cmdRequested=" + std::to_string(f.commandRequested) +
              "]");
  const std::int16_t cmdStarted = f.commandRequested;
  f.DieIfNoClients();
  if (f.commandRequested == cmd::kNone) return;
  f.LogToList("[in NextBoschReq, resetting cmdRequested to " + std::to_string(cmdStarted) + "]");
  f.commandRequested = cmdStarted;
  ExchangeScope busy(f);
  const FlashStepScope step(f);
  try {
    runStep(f, k, cmdStarted);
  } catch (const std::exception& e) {
    f.trace.ReportFailure("NextBoschReq", 2, ErrFromException(e),
                          {"cmdRequested = " + std::to_string(cmdStarted)});
    answerFailedStep(f, cmdStarted);
  }
  if (f.commandRequested != cmdStarted || step.overtaken()) {
    f.LogToList("[leaving NextBoschReq, cmdRequested=" + std::to_string(f.commandRequested) +
                ", cmdStarted=" + std::to_string(cmdStarted) + " -> leave alone]");
    return;
  }
  f.LogToList("[leaving NextBoschReq, unchanged cmdRequested=" +
              std::to_string(f.commandRequested) + " -> 100]");
  f.commandRequested = cmd::kHandled;
}

std::string ReadEcuMemory(frmCommThread& f, Kwp2000Link& k, std::uint8_t lowAddress,
                          std::uint8_t length) {
  const std::string request = k.requests.reqReadMem + Bytes({lowAddress, length});
  for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
    const std::int32_t r = IsoSendCommand(f, k, request);
    // An answer of another length than asked is another read's.
    const bool asked = f.replyBuffer.size() == std::size_t{length} + 1;
    if (r == kIsoPositive && !f.timeOut && !k.gNegReply && asked) return f.replyBuffer.substr(1);
    f.replyBuffer = std::string("!") + kReadFailed;
    if (attempt < kReadAttempts) f.waits.SpinMsYield(kReadRetryMs);
  }
  return f.replyBuffer.substr(1);
}

bool BoschSessionStart(frmCommThread& f, Kwp2000Link& k) {
  DoFastInit(f);
  IsoSendCommand(f, k, k.requests.reqStartComms);
  if (f.timeOut || k.gNegReply) return false;
  k.requests.reqTiming = timingRequest(k);
  IsoSendCommand(f, k, k.requests.reqTiming);
  k.isoTimingSet = true;
  IsoSendCommand(f, k, k.requests.reqSession3);
  f.SetBaudRate(kSessionBitRate);
  IsoSendCommand(f, k, k.requests.reqSeed);
  k.isoResult = sendKey(f, k);
  return k.isoResult == kIsoPositive;
}

void BoschIdent(frmCommThread& f, Kwp2000Link& k) {
  BuildKwpRequests(k);
  PresetTimingParams(k);
  if (f.objBoschECU) f.objBoschECU->ResetIds();
  if (!BoschSessionStart(f, k)) {
    NotifyFlashStatus(f, flashFailedPrep);
    return;
  }
  auto& ids = f.globals.gEcuIds;
  const std::string customer = ReadEcuMemory(f, k, kCustomerAddress, kCustomerLength);
  ids[kCustomerId] = customer;
  if (customer == kReadFailed) {
    NotifyFlashStatus(f, flashFailedPrep);
    return;
  }
  const std::string hardware = ReadEcuMemory(f, k, kHardwareAddress, kHardwareLength);
  if (hardware == kReadFailed) {
    NotifyFlashStatus(f, flashFailedPrep);
    return;
  }
  ids[kHardwareId] = hardwareNumber(hardware);
  ids[kSoftwareId] = kWorked;
  NotifyFlashStatus(f, flashReady);
}

void doBoschInit(frmCommThread& f, Kwp2000Link& k) {
  f.tmrWatchDog.setEnabled(false);
  f.tmrSampleRate.setInterval(kInitSampleRateMs);
  BuildKwpRequests(k);
  PresetTimingParams(k);
  k.isoTimingSet = false;
  k.ecuFlashBase = 0;
  if (!wakeUp(f, k)) return;
  if (f.replyBuffer.empty() || static_cast<std::uint8_t>(f.replyBuffer[0]) != kStartCommsAccepted) {
    failPrep(f, "StartComms failed, with wrong ECU response " + replyText(f));
    return;
  }
  f.StatusNotify(ecuCableDetected);
  k.requests.reqTiming = timingRequest(k);
  if (IsoSendCommand(f, k, k.requests.reqTiming) != kIsoPositive) {
    failPrep(f, "SetTiming failed, with " + replyText(f));
    return;
  }
  k.isoTimingSet = true;
  if (IsoSendCommand(f, k, k.requests.reqSession3) != kIsoPositive) {
    failPrep(f, "StartSession failed, with " + replyText(f));
    return;
  }
  f.SetBaudRate(kSessionBitRate);
  if (IsoSendCommand(f, k, k.requests.reqSeed) != kIsoPositive || sendKey(f, k) != kIsoPositive) {
    NotifyFlashStatus(f, flashFailedUnlock);
    return;
  }
  if (!sameController(f, k)) {
    NotifyFlashStatus(f, flashFailedVerify);  // nothing erased yet
    return;
  }
  NotifyFlashStatus(f, erase(f, k) ? flashReady : flashFailedErase);
}

void BoschDownload(frmCommThread& f, Kwp2000Link& k) {
  NotifyFlashStatus(f, transferChunk(f, k) ? flashReady : flashFailedWrite);
}

void BoschVerify(frmCommThread& f, Kwp2000Link& k) {
  k.gRepeatDelay = kVerifyRepeatDelay;
  IsoSendCommand(f, k, k.requests.reqVerifyStart);
  const std::int32_t r = IsoSendCommand(f, k, k.requests.reqVerifyResult);
  k.gRepeatDelay = kRepeatDelay;
  NotifyFlashStatus(f, r == kIsoPositive ? flashReady : flashFailedVerify);
  IsoSendCommand(f, k, k.requests.reqStopComms);
}

}  // namespace quorvan

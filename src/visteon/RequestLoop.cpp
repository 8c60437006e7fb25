#include "visteon/RequestLoop.h"

#include <exception>

#include "client/clsBoschECU.h"
#include "kline/Format.h"
#include "runtime/FlashSession.h"
#include "runtime/WatchPolling.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"
#include "visteon/PacketLayer.h"
#include "visteon/Reflash.h"
#include "visteon/VisteonFaults.h"
#include "visteon/VisteonLink.h"

namespace quorvan {

namespace {

constexpr std::int32_t kDelayBeforeClearMs = 2;
constexpr std::int32_t kDelayBeforeItemMs = 10;
constexpr std::int32_t kBadLineRetestMs = 100;
constexpr std::int16_t kPidEngineSpeed = 12;
constexpr std::int16_t kPidFuelStatus = 2;
// Three codes per packet: a controller never holds this many.
constexpr int kMaxFaultPackets = 64;

// A controller that stops answering the polls is reported at once, as the idle poll does,
// and so is its return; the watchdog wakes it again meanwhile.
void reportAnswering(frmCommThread& f) {
  if (f.timeOut) {
    f.StatusNotify(ecuNoComm);
  } else if (f.lastEcuStatus == ecuNoComm) {
    f.StatusNotify(ecuCommOK);
  }
}

// A reading of one or two bytes from position `at` of the controller's answer; -1 when
// there is no answer or it is too short (a refusal or half a reading is no value).
std::int32_t readingAt(const frmCommThread& f, std::int32_t exchange, std::int16_t at, bool wide) {
  constexpr std::int16_t kNegativeReply = 0x7F;
  // "Routine not complete" passes as a finished exchange, but it carries no reading.
  if (exchange != kExchangeOk || GetReplyByte(f, 1) == kNegativeReply) return -1;
  const std::int32_t high = GetReplyByte(f, at);
  if (high < 0 || !wide) return high;
  const std::int32_t low = GetReplyByte(f, static_cast<std::int16_t>(at + 1));
  return low < 0 ? -1 : high * 256 + low;
}

void deliverValue(frmCommThread& f, std::int32_t value) {
  if (value >= 0 && f.objBoschECU) f.objBoschECU->PacketNotify(Variant(value));
}

void readCurrentData(frmCommThread& f, VisteonLink& v, std::int16_t pid) {
  const std::int32_t exchange = SendCommand(f, v, Bytes({0x01, pid}));
  deliverValue(f, readingAt(f, exchange, 3, pid == kPidEngineSpeed));
}

void readFreezeFrame(frmCommThread& f, VisteonLink& v, std::int16_t pid) {
  const std::int32_t exchange = SendCommand(f, v, Bytes({0x02, pid, 0x00}));
  deliverValue(f, readingAt(f, exchange, 4, pid == kPidEngineSpeed || pid == kPidFuelStatus));
}

// Reads the stored fault list over as many reply packets as the controller sends, and
// gives it to the client only when it was read to its end: a part of the list would pass
// for the whole. False when the read broke off.
bool readFaultList(frmCommThread& f, VisteonLink& v) {
  f.tmrSampleRate.setEnabled(false);
  std::string faultText;
  v.faultListDone = false;
  bool read = SendCommand(f, v, std::string(1, '\x03')) == kExchangeOk;
  for (int packets = 1; read; ++packets) {
    faultText += ExtractVFaults(f.replyBuffer, v.faultListDone);
    f.LogToList(ExtractAllFaults(f.replyBuffer));
    if (v.faultListDone) break;
    if (packets == kMaxFaultPackets) {
      f.LogIt("** fault list without an end after " + std::to_string(packets) + " packets");
      read = false;
      break;
    }
    // A following packet belongs to the list only if it is a fault-list answer too.
    read = WaitForReply(f, v) && AnswersRequest(f.replyBuffer, std::string(1, '\x03'));
  }
  f.LogToList("-------------");
  if (!read) {
    f.LogIt("** fault list not read to its end; not delivered");
  } else if (f.objBoschECU) {
    f.objBoschECU->RaiseNewFaults(faultText);
  }
  f.tmrSampleRate.setEnabled(true);
  return read;
}

void runCommand(frmCommThread& f, VisteonLink& v) {
  const std::int16_t entry = f.commandRequested;
  const FlashStepScope step(f);
  switch (entry) {
    case 1:
      DoDiagRoutine(f, v, 2);
      f.commandRequested = 0;
      break;
    case 2:
      DoDiagRoutine(f, v, 3);
      f.commandRequested = 0;
      break;
    case 3:
      DoDiagRoutine(f, v, 0);
      f.commandRequested = 0;
      break;
    case cmd::kFlashInit:
      doFlashInit(f, v);
      break;
    case cmd::kFlashWrite:
      DoBlockWrite(f, v);
      break;
    case cmd::kFlashVerify:
      DoFlashVerify(f, v);
      break;
    case cmd::kFlashAbort:
      f.commandRequested = 0;
      doFlashAbort(f);
      break;
    default:
      break;
  }
  // A request made while the step ran, even one of the same kind, is still to be run.
  if (f.commandRequested == entry && !step.overtaken()) f.commandRequested = cmd::kHandled;
}

// Runs the next due watch item; false when the pass had none (an idle tick).
bool pollNextItem(frmCommThread& f, VisteonLink& v) {
  const auto item = NextItemToRun(f, kDelayBeforeItemMs);
  if (!item) return false;
  v.curItemAddr = item->address;
  v.curItemSize = item->size;
  DoVisteonCommand(f, v, v.curItemAddr);
  return true;
}

void idlePoll(frmCommThread& f, VisteonLink& v, std::string& location) {
  f.waits.WaitFor(static_cast<std::int32_t>(f.idleRequestDelay));
  f.LogIt(">> testing Connection, in NextVisteonRequest (loops til OK)");
  if (f.ConnectionIsBad()) {
    do {
      f.waits.SleepMs(kBadLineRetestMs);
      f.DieIfNoClients();
    } while (f.ConnectionIsBad());
    f.LogIt("Lighting off Do5Baud in NextVisteonRequest, FlashMode is " +
            std::to_string(f.flashMode()));
    f.Do5BaudInit();
    return;
  }
  if (!f.commSerial.PortOpen() || !f.Serves(*v.family)) {
    f.LogIt(std::string("++ Aborted poll of Visteon in IDLE mode [PortOpen=") +
            BoolText(f.commSerial.PortOpen()) + ", ecuDevice=" + std::to_string(f.ecuDevice) + "]");
    return;
  }
  location = "A-while sending PID request";
  SendCommand(f, v, Bytes({0x01, 0x00}));
  location = "B-done with PID request";
  if (f.replyBuffer.size() == 6 && f.lastEcuStatus == ecuNoComm) f.StatusNotify(ecuCommOK);
  if (f.replyBuffer.empty()) f.StatusNotify(ecuNoComm);
}

void runTick(frmCommThread& f, VisteonLink& v, std::string& location) {
  f.LogToRing("++ Entering NextVisteon, with cmdRequest=" + std::to_string(f.commandRequested));
  f.DieIfNoClients();
  if (f.clearPending) {
    f.passWasIdle = false;
    f.waits.WaitFor(kDelayBeforeClearMs);
    ClearVisteonFaults(f, v);
    f.clearPending = false;
    return;
  }
  if (f.commandRequested != 0) {
    f.passWasIdle = false;
    runCommand(f, v);
    return;
  }
  if (!pollNextItem(f, v)) idlePoll(f, v, location);
}

}  // namespace

void NextVisteonRequest(frmCommThread& f, VisteonLink& v) {
  ExchangeScope busy(f);
  std::string location;
  try {
    runTick(f, v, location);
  } catch (const std::exception& e) {
    f.trace.ReportFailure(
        "NextVisteonRequest", 2, ErrFromException(e),
        {"location = " + location + ", sampleTimer =" + BoolText(f.tmrSampleRate.Enabled()),
         "ecuDevice (MSE10+MSE11+Vist) is " + std::to_string(f.ecuDevice),
         "ecuActive = " + std::to_string(f.objBoschECU ? f.objBoschECU->ecuActive : 0)});
  }
}

void DoVisteonCommand(frmCommThread& f, VisteonLink& v, std::int32_t address) {
  const std::int32_t requestClass = address / 256;
  const auto pid = static_cast<std::int16_t>(address % 256);
  switch (requestClass) {
    case 1:
      readCurrentData(f, v, pid);
      break;
    case 2:
      readFreezeFrame(f, v, pid);
      break;
    case 3:
      readFaultList(f, v);
      break;
    default:
      return;  // nothing is sent
  }
  reportAnswering(f);
}

std::int16_t GetReplyByte(const frmCommThread& f, std::int16_t i) {
  return ByteAt(f.replyBuffer, i < 1 ? 0 : static_cast<std::size_t>(i));
}

void DoDiagRoutine(frmCommThread& f, VisteonLink& v, std::int16_t routine) {
  SendCommand(f, v, Bytes({0x10}));
  SendCommand(f, v, Bytes({0x31, routine}));
  const bool success = DiagCmdWorked(f);
  SendCommand(f, v, Bytes({0x20}));
  if (f.objBoschECU) f.objBoschECU->RaiseCommandComplete(success);
}

bool DiagCmdWorked(frmCommThread& f) {
  if (f.replyBuffer.empty()) {
    f.LogToList("*** DiagCmdWorked reports timeOut failure ***");
    return false;
  }
  f.lastDiagByte = static_cast<std::uint8_t>(f.replyBuffer.back());
  return f.lastDiagByte == 0x00;
}

}  // namespace quorvan

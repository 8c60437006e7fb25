#include <exception>

#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {
// Changes of CTS, carrier detect and ring indicator are line noise on a K-line interface.
constexpr std::uint32_t kNoiseEvents = evmask::EV_CTS | evmask::EV_RLSD | evmask::EV_RING;
constexpr std::int32_t kInterfaceWakeMs = 1600;
}  // namespace

void frmCommThread::SetFamilyBitRate() {
  const FamilyInfo& info = family().info();
  if (info.setRateOnOpen) SetBaudRate(info.bitRate);
}

bool frmCommThread::OpenPort() {
  try {
    commSerial.setPortOpen(true);
    return true;
  } catch (const SerialError& e) {
    // No device, not a serial device, or in use: an outcome the initialisation reports
    // (the port may appear later), not a failure of this procedure.
    LogIt("** Port " + std::to_string(numPort) + " did not open: " + e.what());
    return false;
  }
}

void frmCommThread::SetupPort() {
  try {
    if (commSerial.PortOpen()) commSerial.setPortOpen(false);
    ApplyPortSettings(commSerial, numPort);
    commSerial.setDTREnable(true);
    if (!OpenPort()) return;
    timePortOpened = now();
    if (const std::string notice = commSerial.deviceNotice(); !notice.empty()) {
      LogIt("** Port " + std::to_string(numPort) + ": " + notice);
    }
    commSerial.setInBufferCount(0);
    ClearAbortOnError(commSerial);
    if (!MaskCommEvents(commSerial, kNoiseEvents)) {
      ReportError("Serial noise event masking failed!", mb::vbExclamation, kErrorTitle);
    }
    SetFamilyBitRate();
    if (!firstOpenDone) {
      waits.SleepMs(kInterfaceWakeMs);  // only the first open waits for the interface
      firstOpenDone = true;
    }
  } catch (const std::exception& e) {
    DebugAlert(11, ErrFromException(e));
  }
}

void frmCommThread::ReportCommEvent(const std::string& text) {
  if (mbDebugMode) LogToRing("** " + text);
}

void frmCommThread::AppendInput() {
  waits.GetDeltaTime();  // only moves the timing mark
  blockBuf += CommInStr();
}

void frmCommThread::onCommEvent() {
  using namespace comm;
  switch (const int ev = commSerial.CommEvent()) {
    case comEvReceive:
      gotInput = true;
      bActive = true;
      if (discardInput || ignoreInput) {
        commSerial.setInBufferCount(0);
        inputDiscarded = true;
        return;
      }
      prevMsgTime = msgTime;
      msgTime = now();
      family().Receive(*this);
      return;
    case comEvSend:
      return;
    case comEvCD:
      ReportCommEvent("CD line changed state!");
      ++modemLineEvents;
      return;
    case comEvCTS:
      ReportCommEvent("CTS line changed state!");
      ++modemLineEvents;
      return;
    case comEvDSR:
      ReportCommEvent("DSR line changed state!");
      return;
    case comEvRing:
      ReportCommEvent("Ring Indicator changed state!");
      ++modemLineEvents;
      return;
    case comEvEOF:
      ReportCommEvent("EOF character found in input stream!");
      return;
    case comEventBreak:
      ReportCommEvent("A BREAK was received!");
      breakReceived = true;
      commSerial.setInBufferCount(0);
      return;
    case comEventFrame:
      ReportCommEvent("A Framing Error occurred!");
      commSerial.setInBufferCount(0);
      return;
    case comEventOverrun:
      LogIt("** Data Lost due to port overrun!  inCount=" +
            std::to_string(commSerial.InBufferCount()));
      ++iOverrun;
      return;
    case comEventRxOver:
      ReportCommEvent("The Receive buffer overflowed!");
      return;
    case comEventRxParity:
      ReportCommEvent("A Parity Error was detected!");
      return;
    case comEventTxFull:
      ReportCommEvent("The Transmit buffer was full!");
      return;
    case comEventDCB:
      ReportCommEvent("Error occurred retrieving the DCB!");
      return;
    default:
      ReportCommEvent("Unknown Event: " + Hex(ev));
      return;
  }
}

void frmCommThread::commSerial_OnComm() {
  try {
    onCommEvent();
  } catch (const std::exception& e) {
    DebugAlert(10, ErrFromException(e));  // the event is lost
  }
}

}  // namespace quorvan

#include <exception>

#include "client/clsBoschECU.h"
#include "ficht/CableTests.h"
#include "ficht/FichtPath.h"
#include "kline/PacketLayer.h"
#include "mbe/MbePath.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

// The 5-baud address 0x10 as line levels: start bit and four zero bits low, one bit
// high, three bits low, stop bit high; 200 ms per bit.
struct AddressStep {
  bool low;
  std::int32_t ms;
};
constexpr AddressStep kAddressPattern[] = {{true, 1000}, {false, 200}, {true, 600}, {false, 200}};

void closeBranch(frmCommThread& f) {
  f.globals.gFichtRunning = false;
  f.globals.gMbeRunning = false;
  f.LogIt("++ Shutting down CommPort, in Do5BaudInit (+ exiting)");
  if (f.commSerial.PortOpen()) f.commSerial.setPortOpen(false);
  // Each later watchdog tick repeats this branch and its presence check.
  f.tmrWatchDog.setEnabled(true);
}

void startKwp2000(frmCommThread& f) {
  f.tmrWatchDog.setEnabled(true);
  f.tmrSampleRate.setEnabled(true);
  f.LogIt("--Init triggered on MSE11, WatchDog(mS) was " +
          std::to_string(f.tmrWatchDog.Interval()) + " now 2sec");
  f.tmrWatchDog.setInterval(kWatchDogMs);
}

void sendAddressPattern(frmCommThread& f) {
  f.LogIt("--Starting 5-baud Init sequence--");
  f.breakReceived = false;
  f.discardInput = true;
  for (const AddressStep& step : kAddressPattern) {
    f.DieIfNoClients();
    f.commSerial.setBreak(step.low);
    f.waits.SleepMs(step.ms);
  }
  // The line events of the pattern queued up while the sleeps blocked: take them in now,
  // input still discarded, so that the BREAK that came back is seen.
  f.platform.loop.DoEvents();
  f.discardInput = false;
}

void wakeUpMse10(frmCommThread& f) {
  sendAddressPattern(f);
  if (!f.breakReceived) {  // no BREAK came back: nothing is on the line
    f.DieIfNoClients();
    f.LogIt(">> lostCableOrPower, detected in Bosch-Do5BaudInit");
    f.StatusNotify(ecuNoCableOrPower);
  }
  f.commSerial.setInBufferCount(0);
  f.byteCount = 0;
  f.pumpMode = 0;
  f.prologPass = 1;
  f.LogToRing("+Enabling WatchdogTimer @" + std::to_string(f.tmrWatchDog.Interval()));
  f.tmrWatchDog.setInterval(kWatchDogMs);
  f.tmrWatchDog.setEnabled(true);
  f.gWatchTimer = f.now();
  f.waits.markNow();
  f.blockCounter = 0;
  f.echoPending = false;
  f.reqType = -1;
  f.blockBuf.clear();
  f.LogIt("--Saw BREAKs on K-Line OK, waiting for EcuId sync-telegram (300 mS)--");
}

// One identification request; the reply names the controller's software.
void identifyVisteon(frmCommThread& f) {
  SendCommand(f, std::string("\x01\x00", 2));
  const std::string& reply = f.replyBuffer;
  if (reply.size() == 6) {
    std::string software = PktToHex(std::string_view(reply).substr(2, 4));
    software.erase(software.find_last_not_of(' ') + 1);
    f.globals.gEcuIds[0] = "Visteon Controller";
    f.globals.gEcuIds[1] = "PVM-100 (" + software + ")";
    f.globals.gEcuIds[2] = "Victory Motorcycle";
  } else if (!reply.empty()) {
    f.ReportError("Got response with improper ID info\r\n" + PktToHex(reply) +
                      "\r\nleftOver: " + PktToHex(f.blockBuf),
                  mb::vbCritical, kErrorTitle);
    f.globals.gEcuIds[0] = "Visteon???";
    f.globals.gEcuIds[1] = "PID Reply " + PktToHex(reply);
  }
  if (f.timeOut) {
    f.DieIfNoClients();
    f.StatusNotify(ecuRunSwitchOff);
  } else {
    f.StatusNotify(ecuCommOK);
    f.tmrSampleRate.setEnabled(true);
  }
  f.gWatchTimer = f.now();
  f.tmrWatchDog.setEnabled(true);
}

void startFamily(frmCommThread& f) {
  switch (f.ecuDevice) {
    case ecuMSE11:
      startKwp2000(f);
      return;
    case ecuVisteon:
      identifyVisteon(f);
      return;
    default:
      wakeUpMse10(f);
      return;
  }
}

void runInit(frmCommThread& f) {
  f.tmrWatchDog.setEnabled(false);
  f.tmrSampleRate.setEnabled(false);
  if (f.objBoschECU) f.objBoschECU->ResetIds();
  f.DieIfNoClients();
  if (f.numPort < 0) {
    closeBranch(f);
    return;
  }
  if (f.mbDebugMode) f.trace.DumpTraceBack();
  f.globals.gInitStep = "before opening comm port";
  f.LogIt("Opening comm port...");
  f.SetupPort();
  f.globals.gInitStep = "after opening comm port";
  if (f.ecuDevice == ecuFicht) {
    StartupFicht(f);
    return;
  }
  f.globals.gInitStep = "after Ficht start test";
  const bool fichtCable = FichtCableTest(f);
  const bool smartCable = SmartCableTest(f);
  if (fichtCable || smartCable) {
    f.ignoreInput = true;  // another family's loop-back cable: drop what it echoes
    f.tmrWatchDog.setEnabled(true);
    f.StatusNotify(ecuWrongCable);
    return;
  }
  f.ignoreInput = false;
  f.globals.gInitStep = "after Ficht/DCAN cable test";
  if (f.ecuDevice == ecuMBE) {
    StartupMBE(f);
    return;
  }
  f.globals.gInitStep = "after MBE test";
  if (f.ConnectionIsBad()) {
    // The watchdog re-runs the initialisation every 200 ms until the line echoes.
    f.tmrWatchDog.setInterval(kDeadLineWatchDogMs);
    f.tmrWatchDog.setEnabled(true);
    f.LogToList("** ConnectionIsBad in Do5BaudInit! (resetting watchDog to 200 mS)");
    return;
  }
  f.tmrWatchDog.setInterval(kWatchDogMs);
  f.LogIt("Sending StatusNotify--Init ecuFlashMode: " + std::to_string(f.flashMode()));
  f.StatusNotify(ecuInitializing);
  f.globals.gInitStep = "after checking connection";
  startFamily(f);
}

}  // namespace

void frmCommThread::Do5BaudInit() {
  try {
    runInit(*this);
  } catch (const std::exception& e) {
    const ErrInfo err = ErrFromException(e);
    DebugAlert(3, err);
    ReportError("We died at: " + globals.gInitStep + "\r\nError: " + std::to_string(err.number) +
                    " in Do5BaudInit\r\n" + err.description,
                mb::vbCritical, kErrorTitle);
    tmrWatchDog.setEnabled(true);  // the watchdog retries later
  }
}

}  // namespace quorvan

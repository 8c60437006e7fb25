#include <exception>

#include "client/clsBoschECU.h"
#include "runtime/CableTests.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

void closeBranch(frmCommThread& f) {
  f.globals.gFichtRunning = false;
  f.globals.gMbeRunning = false;
  f.LogIt("++ Shutting down CommPort, in Do5BaudInit (+ exiting)");
  if (f.commSerial.PortOpen()) f.commSerial.setPortOpen(false);
  // Each later watchdog tick repeats this branch and its presence check.
  f.tmrWatchDog.setEnabled(true);
}

// The port did not open (SetupPort traced why): nothing can go on the line. The watchdog
// tries again each period, since the adapter may be plugged in or the port freed later.
void noPortBranch(frmCommThread& f) {
  f.tmrWatchDog.setInterval(kWatchDogMs);
  f.tmrWatchDog.setEnabled(true);
  f.StatusNotify(ecuNoSerialCable);
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
  if (!f.commSerial.PortOpen()) {
    noPortBranch(f);
    return;
  }
  // The client may choose another device while a wait below yields: each step asks anew.
  if (f.family().info().handOver == HandOver::AfterOpen) {
    f.family().Start(f);
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
  if (f.family().info().handOver == HandOver::AfterCableTests) {
    f.family().Start(f);
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
  f.family().Start(f);
}

}  // namespace

void frmCommThread::Do5BaudInit() {
  // Whatever initialisation was waiting for the exchange in progress, this is it.
  initDeferred = false;
  initIfQuiet = false;
  try {
    // The initialisation's own exchanges: an init asked for meanwhile follows this one.
    ExchangeScope exchange(*this);
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

void frmCommThread::RequestInit() {
  if (!requestInProgress) {
    Do5BaudInit();
    return;
  }
  LogIt("** Init deferred until the exchange in progress ends");
  initDeferred = true;
}

void frmCommThread::ExchangeEnded() {
  const bool init = initDeferred || (initIfQuiet && !activity);
  initDeferred = false;
  initIfQuiet = false;
  if (!init) return;
  LogIt("Lighting off Do5Baud after the exchange in progress, FlashMode is " +
        std::to_string(flashMode()));
  platform.loop.post([this] {
    if (!unloaded()) Do5BaudInit();
  });
}

}  // namespace quorvan

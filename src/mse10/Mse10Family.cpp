#include "mse10/Mse10Family.h"

#include "mse10/DataPump.h"
#include "runtime/frmCommThread.h"

namespace quorvan {

namespace {

// The 5-baud address 0x10 as line levels: start bit and four zero bits low, one bit
// high, three bits low, stop bit high; 200 ms per bit.
struct AddressStep {
  bool low;
  std::int32_t ms;
};
constexpr AddressStep kAddressPattern[] = {{true, 1000}, {false, 200}, {true, 600}, {false, 200}};

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
  // input still discarded, so that the BREAK that came back is seen. Only those: a
  // client call or a timer that waits in the loop must not run inside the wake-up.
  f.commSerial.DoSerialEvents();
  f.discardInput = false;
}

void wakeUp(frmCommThread& f, Mse10Link& m) {
  sendAddressPattern(f);
  if (!f.breakReceived) {  // no BREAK came back: nothing is on the line
    f.DieIfNoClients();
    f.LogIt(">> lostCableOrPower, detected in Bosch-Do5BaudInit");
    f.StatusNotify(ecuNoCableOrPower);
  }
  f.commSerial.setInBufferCount(0);
  m.byteCount = 0;
  m.pumpMode = 0;
  m.prologPass = 1;
  f.LogToRing("+Enabling WatchdogTimer @" + std::to_string(f.tmrWatchDog.Interval()));
  f.tmrWatchDog.setInterval(kWatchDogMs);
  f.tmrWatchDog.setEnabled(true);
  f.gWatchTimer = f.now();
  f.waits.markNow();
  m.blockCounter = 0;
  m.echoPending = false;
  m.reqType = -1;
  f.blockBuf.clear();
  f.LogIt("--Saw BREAKs on K-Line OK, waiting for EcuId sync-telegram (300 mS)--");
}

}  // namespace

Mse10Family::Mse10Family()
    : Family(FamilyInfo{.name = "MSE 1.0",
                        .bitRate = 9600,
                        .wakeUp = WakeUp::FiveBaud,
                        .handOver = HandOver::AfterEchoTest}) {}

void Mse10Family::Start(frmCommThread& f) {
  wakeUp(f, link);
}

void Mse10Family::Receive(frmCommThread& f) {
  DataPump(f, link);
}

}  // namespace quorvan

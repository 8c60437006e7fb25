#include "runtime/frmCommThread.h"

#include "client/clsBoschECU.h"
#include "trace/Text.h"

namespace quorvan {

namespace {
constexpr std::uint32_t kKeepAliveMs = 100;
constexpr std::uint32_t kTickTockMs = 10000;
constexpr std::uint32_t kDieIfNotSetMs = 500;
}  // namespace

frmCommThread::frmCommThread(Platform& p, modGlobals& g)
    : families(g.makeFamilies ? g.makeFamilies() : FamilyTable()),
      commSerial(p.loop, p.serial),
      trace(p.clock, p.alerts, p.driveC,
            TraceHooks{&mbDebugMode, &g.gDebugMode, &tmrWatchDog, &gWatchTimer, &haveShutDown,
                       [this] { Visible = true; }}),
      waits(p.loop),
      tmrWatchDog(
          p.loop, [this] { tmrWatchDog_Timer(); }, kWatchDogMs),
      tmrSampleRate(
          p.loop, [this] { tmrSampleRate_Timer(); }, kSampleRateMs),
      tmrKeepAlive(
          p.loop, [this] { tmrKeepAlive_Timer(); }, kKeepAliveMs),
      tmrTickTock(
          p.loop, [this] { tmrTickTock_Timer(); }, kTickTockMs),
      tmrDieIfNotSet(
          p.loop, [this] { tmrDieIfNotSet_Timer(); }, kDieIfNotSetMs),
      platform(p),
      globals(g) {
  commSerial.OnComm = [this] { commSerial_OnComm(); };
}

frmCommThread::~frmCommThread() = default;

std::int32_t frmCommThread::flashMode() const {
  return objBoschECU ? objBoschECU->ecuFlashMode : flashIdle;
}

void frmCommThread::Form_Load() {
  idleRequestDelay = 400;
  waits.readFrequency();
  // The multimedia timer's 1 ms resolution has no counterpart here: our clock is exact.
  waits.GetDeltaTime();
  numPort = 1;
  passWasIdle = true;
  for (Family* family : families.all()) family->Load(*this);
}

void frmCommThread::Form_Unload() {
  unloaded_ = true;
  tmrWatchDog.setEnabled(false);
  tmrSampleRate.setEnabled(false);
  tmrKeepAlive.setEnabled(false);
  tmrTickTock.setEnabled(false);
  tmrDieIfNotSet.setEnabled(false);
}

void frmCommThread::tmrDieIfNotSet_Timer() {
  LogToList("!! timer DieIfNotSet fired");
  msClientName = "SlowAsATurtle";  // a caption no window has: the next check ends us
}

bool frmCommThread::ClientIsGone() {
  if (msClientName.empty()) return false;  // no client check is possible
  auto& windows = platform.windows;
  if (windows.findWindow(kClientWindowClass, msClientName)) return false;
  return !windows.findWindow(kOldClientWindowClass, msClientName);
}

void frmCommThread::DieIfNoClients() {
  if (ClientIsGone()) DieGracefully();
}

void frmCommThread::DieGracefully() {
  try {
    tmrWatchDog.setEnabled(false);
    tmrSampleRate.setEnabled(false);
    tmrKeepAlive.setEnabled(false);
    tmrDieIfNotSet.setEnabled(false);
    LogIt(std::string("** Dieing Gracefully, with portStatus: ") + BoolText(commSerial.PortOpen()));
    trace.DumpTraceBack();
    if (commSerial.PortOpen()) commSerial.setPortOpen(false);
    Form_Unload();
  } catch (const std::exception& e) {
    const ErrInfo err = ErrFromException(e);
    ReportError("Problem in DieGracefully, with err #" + std::to_string(err.number) + "\r\n" +
                    err.description,
                mb::vbExclamation, kErrorTitle);
    if (mbDebugMode) trace.ShowTraceBack();
    return;  // a shutdown that failed leaves the server running
  }
  throw ProcessEnd{0};
}

}  // namespace quorvan

#pragma once
// The hidden comm form: the hub of the server. It owns the serial control, the five
// timers, the trace, the supervision and the state shared with the client class and
// among the families. Each family keeps its own state in its own folder and is reached
// through the family table the form is given (see Family.h).
#include <cstdint>
#include <optional>
#include <string>

#include "client/Enums.h"
#include "client/Globals.h"
#include "platform/Platform.h"
#include "runtime/FamilyTable.h"
#include "serial/CommOps.h"
#include "serial/Waits.h"
#include "serial/commSerial.h"
#include "trace/TraceLog.h"

namespace quorvan {

class clsBoschECU;

inline constexpr const char* kErrorTitle = " Error in Quorvan";
// Timer periods of the form (milliseconds).
inline constexpr std::uint32_t kWatchDogMs = 2000;
inline constexpr std::uint32_t kDeadLineWatchDogMs = 200;  // while the line does not echo
inline constexpr std::uint32_t kSampleRateMs = 200;
inline constexpr const char* kClientWindowClass = "ThunderRT6FormDC";
inline constexpr const char* kOldClientWindowClass = "ThunderFormDC";
// Seventeen ASCII characters whose echo tells a live K-line from a dead one.
inline constexpr const char* kCableDetectPacket = "123456789.1234567";

class frmCommThread {
 public:
  frmCommThread(Platform& platform, modGlobals& globals);
  ~frmCommThread();
  frmCommThread(const frmCommThread&) = delete;
  frmCommThread& operator=(const frmCommThread&) = delete;

  // ---- Public variables (shared with the client class) ----
  std::int16_t numPort = 0;
  bool holdThePhone = false;
  bool haveShutDown = false;
  bool clearPending = false;
  bool mbDebugMode = false;
  bool mbTimingMode = false;
  std::string msClientName;
  std::int16_t commandRequested = 0;
  std::int32_t ecuDevice = 0;
  std::uint32_t timePortOpened = 0;
  clsBoschECU* objBoschECU = nullptr;
  std::string ecuFlashData;
  std::int32_t ecuChecksum = 0;
  std::uint32_t startFlashWrite = 0;
  // Flash requests the client made so far, and the count when the running flash step
  // began: a step's verdict is the answer to the client only while no newer request came.
  std::uint32_t flashRequests = 0;
  std::optional<std::uint32_t> flashStepOf;
  std::int32_t lastEcuStatus = ecuReady;
  std::uint32_t gWatchTimer = 0;

  // ---- Serial link state ----
  bool discardInput = false;
  bool ignoreInput = false;
  bool inputDiscarded = false;
  bool breakReceived = false;
  bool gotInput = false;
  bool bActive = false;
  std::int32_t modemLineEvents = 0;
  std::int16_t iOverrun = 0;
  std::uint32_t msgTime = 0;
  std::uint32_t prevMsgTime = 0;
  std::string blockBuf;
  bool firstOpenDone = false;

  // ---- Exchange outcome ----
  bool activity = false;
  bool timeOut = false;
  std::string replyBuffer;

  // ---- Shared by the request loops ----
  std::int16_t lastDiagByte = 0;  // the last diagnostic result code (GetInfo shows it)
  // True while a request tick is inside its exchange: the waits yield, the watchdog holds
  // off, and no other handler may start an exchange of its own on the line meanwhile.
  bool requestInProgress = false;
  // An initialisation asked for during that exchange, to run once it has ended; the
  // watchdog's runs only when the exchange got no answer either.
  bool initDeferred = false;
  bool initIfQuiet = false;
  // The watch-item scheduler found nothing to run in the pass so far.
  bool passWasIdle = false;
  std::uint32_t idleRequestDelay = 0;  // set at load

  // Moves the watch-item scheduler on to the next due item that accept(itemNum, item)
  // takes; 0 when a whole pass found none (an idle turn).
  template <typename Accept>
  std::int16_t NextDueWatchItem(Accept accept) {
    WatchCursor c{globals.gCurItem, globals.gPollCycle, passWasIdle};
    c = NextDueItem(globals.ecuWatchTable, globals.gMaxItem, c, accept);
    globals.gCurItem = c.curItem;
    globals.gPollCycle = c.pollCycle;
    passWasIdle = c.passWasIdle;
    return c.curItem;
  }

  // ---- The families ----
  FamilyTable families;
  // The family that serves the device the client chose.
  Family& family() const { return families.forDevice(ecuDevice); }
  // The client's device is still served by this family (it may change during a wait).
  bool Serves(const Family& f) const { return &family() == &f; }

  // ---- The form and its controls ----
  std::string Caption;
  bool Visible = false;
  quorvan::commSerial commSerial;
  TraceLog trace;
  Waits waits;
  Timer tmrWatchDog;
  Timer tmrSampleRate;
  Timer tmrKeepAlive;
  Timer tmrTickTock;
  Timer tmrDieIfNotSet;

  Platform& platform;
  modGlobals& globals;
  Clock& clock() { return platform.clock; }
  // The client's reflash state (flashIdle before the class is attached).
  std::int32_t flashMode() const;
  std::uint32_t now() { return platform.clock.timeGetTime(); }

  // ---- Lifetime and presence ----
  void Form_Load();
  void Form_Unload();
  bool ClientIsGone();
  void DieIfNoClients();
  // Ends the process by throwing ProcessEnd (only the host catches it); returns only
  // when the shutdown itself failed.
  void DieGracefully();
  bool unloaded() const { return unloaded_; }

  // ---- Status and supervision ----
  void StatusNotify(std::int32_t status);
  bool ConnectionIsBad();
  void cmdRestart_Click();

  // ---- Timer handlers ----
  void tmrWatchDog_Timer();
  void resumeStrandedFlashRequest();
  void tmrSampleRate_Timer();  // one unit of work of the active family
  void TraceSampleTick();      // the tick's trace line
  void tmrKeepAlive_Timer() {}
  void tmrTickTock_Timer() {}
  void tmrDieIfNotSet_Timer();

  // ---- Serial port ----
  // Programs and opens the port; it stays closed when it cannot be opened (traced).
  void SetupPort();
  // Puts the port on the family's line rate when the family asks for it at each open.
  void SetFamilyBitRate();
  void commSerial_OnComm();
  void AppendInput();
  void ReportCommEvent(const std::string& text);
  void CommOutStr(const std::string& outStr) { quorvan::CommOutStr(commSerial, outStr); }
  std::string CommInStr() { return quorvan::CommInStr(commSerial, trace); }
  bool SetBaudRate(std::uint32_t rate) {
    return quorvan::SetBaudRate(commSerial, rate, platform.alerts);
  }

  // ---- Initialisation ----
  void Do5BaudInit();
  // Do5BaudInit now, or, while a request tick is inside its exchange, once that exchange
  // has ended: the initialisation's own exchange must not start inside another's wait.
  void RequestInit();
  // A request tick's exchange has ended: a deferred initialisation runs next.
  void ExchangeEnded();

  // ---- Trace shorthands ----
  void LogIt(const std::string& m) { trace.LogIt(m); }
  void LogToList(const std::string& m) { trace.LogToList(m); }
  void LogToRing(const std::string& m) { trace.LogToRing(m); }
  void ReportError(const std::string& m, int buttons, const std::string& title) {
    trace.ReportError(m, buttons, title);
  }
  void DebugAlert(int code, const ErrInfo& err) { trace.DebugAlert(code, err); }

 private:
  void onCommEvent();
  bool OpenPort();
  bool unloaded_ = false;
};

// Marks a request tick's exchange on the line, from its first request to its last reply.
class ExchangeScope {
 public:
  explicit ExchangeScope(frmCommThread& f) : f_(f), outer_(f.requestInProgress) {
    f_.requestInProgress = true;
  }
  ~ExchangeScope() {
    f_.requestInProgress = outer_;
    if (!outer_) f_.ExchangeEnded();
  }
  ExchangeScope(const ExchangeScope&) = delete;
  ExchangeScope& operator=(const ExchangeScope&) = delete;

 private:
  frmCommThread& f_;
  bool outer_;
};

// The word the status reports carry in the trace.
const char* StatusWord(std::int32_t status);

}  // namespace quorvan

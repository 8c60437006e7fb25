#pragma once
// The hidden comm form: the hub of the server. It owns the serial control, the five
// timers, the trace and the state shared with the client class; each protocol folder
// adds its procedures as free functions that take the form by reference.
#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "client/Enums.h"
#include "client/Globals.h"
#include "platform/Platform.h"
#include "serial/CommOps.h"
#include "serial/Waits.h"
#include "serial/commSerial.h"
#include "trace/TraceLog.h"

namespace quorvan {

class clsBoschECU;

// The reflash request table. Each reflash path rebuilds it at the start of its init
// step; the later steps use what the last init built.
struct ReflashRequests {
  std::string reqPing, reqPrepare, reqSeed, reqKey, reqEraseEnter, reqEraseExit, reqDownload,
      reqTransfer, reqTransferExit, reqBlockCheckStart, reqBlockCheckStop, reqVerifyStart,
      reqVerifyStop;
};

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
  bool sayGoodbye = false;
  bool mbDebugMode = false;
  bool mbTimingMode = false;
  std::string msClientName;
  std::int16_t commandRequested = 0;
  std::int32_t ecuDevice = 0;
  std::uint32_t timePortOpened = 0;
  clsBoschECU* objBoschECU = nullptr;
  std::string ecuFlashData;
  std::int32_t ecuChecksum = 0;
  std::uint32_t ecuFlashBase = 0;
  std::uint32_t startFlashWrite = 0;
  std::uint32_t filesCRC32 = 0;
  std::int32_t lastEcuStatus = ecuReady;
  std::uint32_t gWatchTimer = 0;
  std::int16_t p2Min = 0, p2Max = 0, p3Min = 0, p3Max = 0, p4Min = 0;
  std::int16_t gRepeatDelay = 0, gLongWait = 0;
  std::int16_t dataSize = 0;
  std::string dataPacket;
  std::int16_t timeOut40 = 0, timeOut80 = 0, timeOut3 = 0, prologPass = 0;

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

  // ---- K-line packet layer ----
  std::string isoLastRequest;
  std::string isoTxFrame;
  std::int16_t replyLength = 0;
  std::uint32_t replyTimeout = 2000;  // reply wait while a flash operation is active

  ReflashRequests requests;

  // ---- Request loop ----
  std::int32_t curItemAddr = 0;
  std::int16_t curItemSize = 0;
  bool faultListDone = false;
  std::int16_t lastDiagByte = 0;  // the last Visteon result code
  // True while a sample-rate tick is inside its exchange: the waits yield, and no other
  // handler may start an exchange of its own on the line meanwhile.
  bool requestInProgress = false;

  // ---- MSE 1.0 receive-pump state (reset by the wake-up) ----
  std::int16_t pumpMode = 0;
  std::int16_t byteCount = 0;
  std::int16_t blockCounter = 0;
  bool echoPending = false;
  std::int16_t reqType = -1;
  std::array<std::uint8_t, 10> prologBytes{};  // first byte of each prolog receive event
  std::uint32_t rxTime = 0;                    // timeGetTime at this receive event
  std::uint32_t prevRxTime = 0;                // ... and at the previous one
  std::uint32_t lastTxTime = 0;                // when the server last sent a byte
  std::int16_t rxBlockLen = 0;                 // the controller block being received
  std::int16_t rxCounter = 0;
  std::int16_t rxTitle = 0;  // kept after the block: the scheduler reads it
  std::string txBlock;       // length, counter, title, data (the end byte is not stored)
  std::int16_t txIndex = 0;  // txBlock bytes sent in the current attempt
  std::int32_t lastCmd = 0;  // last title sent other than 0x09; -1 once a clear is answered
  std::int64_t lastBlockQpc = 0;
  std::string faultText;         // fault codes collected from 0xFC blocks
  std::int16_t gIdentCount = 0;  // identification blocks since the prolog
  // Error counters: zero when the form loads, never reset.
  std::int16_t ecuNAKs = 0;
  std::int16_t ecuResyncs = 0;
  std::int16_t ecuOflows = 0;
  std::int16_t ecuTimeouts = 0;  // shown in the failure report, never counted
  std::int32_t ecuHSslow = 0;
  std::int32_t ecuHSmissing = 0;
  std::int32_t ecuHSwrong = 0;
  std::int32_t ecuOutSlow = 0;

  std::minstd_rand rng;

  // ---- Private values set at load ----
  std::uint32_t idleRequestDelay = 0;
  std::uint32_t interByteDelay = 0;
  std::uint32_t requestDelay = 0;
  bool passWasIdle = false;

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
  void tmrSampleRate_Timer();  // the request loop of the active family
  void tmrKeepAlive_Timer() {}
  void tmrTickTock_Timer() {}
  void tmrDieIfNotSet_Timer();

  // ---- Serial port ----
  void SetupPort();
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
  bool unloaded_ = false;
};

// True for the families whose received bytes go to the MSE 1.0 block pump.
bool UsesBlockPump(std::int32_t device);

// The word the status reports carry in the trace.
const char* StatusWord(std::int32_t status);

}  // namespace quorvan

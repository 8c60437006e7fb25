#include "client/clsBoschECU.h"

#include <algorithm>
#include <exception>

#include "client/InfoDump.h"
#include "runtime/FlashSession.h"
#include "runtime/frmCommThread.h"
#include "serial/PortDiscovery.h"
#include "trace/Text.h"

namespace quorvan {

namespace {
void checkItemNumber(std::int16_t itemNum, const char* what) {
  if (itemNum < 1 || itemNum > kWatchTableSize) {
    throw WatchTableError(std::string(what) +
                          " outside ecuWatchTable boundary: " + std::to_string(itemNum) + ".");
  }
}
}  // namespace

modGlobals::modGlobals() = default;
modGlobals::~modGlobals() = default;

clsBoschECU::clsBoschECU(Platform& platform, modGlobals& globals) : p_(platform), g_(globals) {
  ResetIds();
}

void clsBoschECU::addSink(__clsBoschECU* sink) {
  sinks_.push_back(sink);
}

void clsBoschECU::removeSink(__clsBoschECU* sink) {
  sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

template <typename Fn>
void clsBoschECU::raise(Fn fn) {
  const auto sinks = sinks_;  // a sink may unadvise itself while handling the event
  for (__clsBoschECU* s : sinks) fn(*s);
}

std::int32_t clsBoschECU::now() const {
  return static_cast<std::int32_t>(p_.clock.timeGetTime());
}

// ---- Properties ----

bool clsBoschECU::Pullup() {
  try {
    return form() && form()->commSerial.DTREnable();
  } catch (const std::exception& e) {
    if (g_.gDebugMode && form()) form()->DebugAlert(15, ErrFromException(e));
    return false;
  }
}

void clsBoschECU::setPullup(bool on) {
  try {
    if (form()) form()->commSerial.setDTREnable(on);
  } catch (const std::exception& e) {
    if (g_.gDebugMode && form()) form()->DebugAlert(14, ErrFromException(e));
  }
}

std::int16_t clsBoschECU::portNum() const {
  return form() ? form()->numPort : 0;
}

void clsBoschECU::setDebugMode(bool on) {
  if (form()) form()->mbDebugMode = on;
  g_.gDebugMode = on;
}

void clsBoschECU::setDevice(std::int32_t device) {
  if (form()) {
    form()->LogIt("++ Client changing ecuDevice, from " + std::to_string(form()->ecuDevice) +
                  " to " + std::to_string(device));
    form()->ecuDevice = device;
  }
  g_.gEcuDevice = device;
}

void clsBoschECU::setBaseTimingMode(bool on) {
  if (form()) form()->mbTimingMode = on;
  g_.gTimingMode = on;
}

void clsBoschECU::setClientName(const std::string& name) {
  g_.gClientName = name;
  if (!form()) return;
  form()->msClientName = name;
  form()->Caption = "Client: " + name;
  form()->tmrDieIfNotSet.setEnabled(false);
}

std::int32_t clsBoschECU::ThreadID() const {
  return p_.process.threadId();
}

std::int16_t clsBoschECU::NumActive() const {
  std::int16_t n = 0;
  for (int i = 1; i <= g_.gMaxItem; ++i) {
    if (g_.ecuWatchTable[static_cast<std::size_t>(i)].priority != 0) ++n;
  }
  return n;
}

// ---- Methods ----

void clsBoschECU::TellClient(const std::string& note) {
  raise([&](__clsBoschECU& s) { s.DamnIt(note); });
}

void clsBoschECU::sendFlashBusyNote() {
  TellClient("flashStatus=" + std::to_string(flashBusy));
}

void clsBoschECU::AddItem(std::int16_t itemNum, std::int32_t addr, std::int16_t size,
                          std::int32_t kind) {
  checkItemNumber(itemNum, "AddItem#");
  WatchItem& item = g_.ecuWatchTable[static_cast<std::size_t>(itemNum)];
  item = WatchItem{addr, size == 0 ? std::int16_t{1} : size, 0, kind};
  if (itemNum > g_.gMaxItem) g_.gMaxItem = itemNum;
}

void clsBoschECU::Watch(std::int16_t itemNum, std::int16_t Priority) {
  checkItemNumber(itemNum, "WatchItem#");
  ecuActive = static_cast<std::int16_t>(ecuActive + (Priority != 0 ? 1 : -1));
  g_.ecuWatchTable[static_cast<std::size_t>(itemNum)].priority = Priority;
}

void clsBoschECU::ClearItems() {
  for (int i = 1; i <= g_.gMaxItem; ++i) {
    g_.ecuWatchTable[static_cast<std::size_t>(i)] = WatchItem{0, 0, 0, ecuIdle};
  }
  g_.gMaxItem = 0;
  ecuActive = 0;
}

void clsBoschECU::ClearFaults() {
  if (form()) form()->clearPending = true;
}

void clsBoschECU::PortsFree(std::int16_t firstPort, std::vector<bool>& freePorts) {
  frmCommThread* f = form();
  if (!f) return;
  FindAvailablePorts(PortDiscovery{f->commSerial, f->blockBuf, f->waits, f->trace, p_.process,
                                   p_.clock, p_.serial},
                     firstPort, freePorts);
}

void clsBoschECU::MellowOut() {
  if (form()) form()->holdThePhone = true;
  g_.gBusy = true;
}

void clsBoschECU::InitComm(std::int16_t portNum) {
  frmCommThread* f = form();
  if (!f) return;
  f->numPort = portNum;
  f->LogIt("InitComm: Lighting off Do5Baud, FlashMode is " + std::to_string(ecuFlashMode) +
           ", portNum=" + std::to_string(portNum));
  f->RequestInit();
}

void clsBoschECU::command(std::int16_t cmdOp) {
  if (form()) form()->commandRequested = cmdOp;
}

std::string clsBoschECU::GetInfo(std::int16_t index) {
  frmCommThread* f = form();
  if (!f) return {};
  return InfoDump(index, f->trace, p_.clock, p_.driveC,
                  InfoSources{g_.ecuWatchTable, g_.gMaxItem, g_.gCurItem, f->lastDiagByte});
}

Family* clsBoschECU::family() const {
  return form() ? &form()->families.forDevice(g_.gEcuDevice) : nullptr;
}

Variant clsBoschECU::FlashIdent() {
  frmCommThread* f = form();
  if (!f || !family()->info().flashIdent) return {};
  ecuFlashMode = flashBusy;
  sendFlashBusyNote();
  f->LogToList("## Client requesting Hard ID info from EEPROM, enabling SampleRateTimer");
  ++f->flashRequests;
  f->commandRequested = cmd::kFlashIdent;
  f->tmrSampleRate.setEnabled(true);
  return {};
}

// The flash requests need the comm form to carry them out: before RunTask they change
// nothing (no flashBusy that no step would ever end).
std::int16_t clsBoschECU::FlashInit() {
  frmCommThread* f = form();
  if (!f) return 0;
  ecuFlashMode = flashBusy;
  writeCount_ = 0;
  sendFlashBusyNote();
  f->LogToList("## Client requesting FlashInit, enabling SampleRateTimer");
  ++f->flashRequests;
  f->commandRequested = cmd::kFlashInit;
  f->tmrSampleRate.setEnabled(true);
  return family()->info().flashBlockSize;
}

void clsBoschECU::FlashReadCalText() {
  frmCommThread* f = form();
  if (!f) return;
  ecuGetCalText = true;
  f->LogToList("## Client requesting ReadCalText, enabling SampleRateTimer");
  ++f->flashRequests;
  f->commandRequested = cmd::kFlashInit;
  f->tmrSampleRate.setEnabled(true);
}

// A block the controller cannot take is refused at once and never stored: an empty one
// would be reported written, and one larger than the family's block could not be sent.
bool clsBoschECU::blockFits(const std::string& dataBlock) {
  const auto most = static_cast<std::size_t>(family()->info().flashBlockSize);
  if (!dataBlock.empty() && dataBlock.size() <= most) return true;
  form()->LogToList("## FlashWrite refused: a block of " + std::to_string(dataBlock.size()) +
                    " bytes (this controller takes 1 to " + std::to_string(most) + ")");
  NotifyFlashStatus(*form(), flashFailedWrite);
  return false;
}

void clsBoschECU::FlashWrite(const std::string& dataBlock) {
  frmCommThread* f = form();
  if (!f) return;
  if (family()->TakeFlashWrite(*f, dataBlock)) return;
  if (ecuFlashMode == flashIdle) return;  // no session: ignored
  if (!blockFits(dataBlock)) return;
  sendFlashBusyNote();
  ecuFlashMode = flashBusy;
  ++writeCount_;
  f->startFlashWrite = p_.clock.timeGetTime();
  f->ecuFlashData = dataBlock;
  f->LogToList("## Client requesting FlashWrite #" + std::to_string(writeCount_));
  ++f->flashRequests;
  f->commandRequested = cmd::kFlashWrite;
}

void clsBoschECU::FlashVerify(std::int32_t targetValue) {
  frmCommThread* f = form();
  if (!f) return;
  ecuFlashMode = flashBusy;
  sendFlashBusyNote();
  f->ecuChecksum = targetValue;
  f->LogToList("## Client requesting FlashVerify... " + Hex(targetValue));
  ++f->flashRequests;
  f->commandRequested = cmd::kFlashVerify;
}

void clsBoschECU::FlashAbort() {
  frmCommThread* f = form();
  if (!f) return;
  g_.gFlashAbort = true;
  f->LogToList("## Client requesting FlashAbort, gFlashAbort flag set...");
  ++f->flashRequests;
  f->commandRequested = cmd::kFlashAbort;
  f->tmrSampleRate.setEnabled(true);
}

void clsBoschECU::PacketNotify(const Variant& rawInfo) {
  const std::int32_t stamp = now();
  if (g_.gCurItem == 0) {
    raise([&](__clsBoschECU& s) { s.NewData(1, stamp, rawInfo); });
    return;
  }
  const std::int16_t item = g_.gCurItem;
  const std::int32_t kind = g_.ecuWatchTable[static_cast<std::size_t>(item)].kind;
  if (kind == ecuData) {
    raise([&](__clsBoschECU& s) { s.NewData(item, stamp, rawInfo); });
  } else if (kind == ecuFlags) {
    const auto* n = std::get_if<std::int32_t>(&rawInfo.value);
    if (!n) {
      // Flags are a number; anything else would be a made-up value.
      if (form())
        form()->LogIt("** PacketNotify: flags value for item " + std::to_string(item) +
                      " is not a number; not delivered");
      return;
    }
    raise([&](__clsBoschECU& s) { s.NewFlags(item, stamp, *n); });
  }
}

void clsBoschECU::RunTask(bool asynch) {
  if (asynch) {
    g_.gTaskObject = this;
    g_.gTaskTimerID = p_.loop.schedule(p_.loop.nowUs() + 1000, [this] { TaskTimerProc(); });
    return;
  }
  p_.process.setPriorityClass(priority::REALTIME_PRIORITY_CLASS);
  p_.process.setThreadPriority(priority::THREAD_PRIORITY_HIGHEST);
  StartCommThread();
}

void clsBoschECU::TaskTimerProc() {
  p_.loop.cancel(g_.gTaskTimerID);
  g_.gTaskTimerID = 0;
  clsBoschECU* obj = g_.gTaskObject;
  if (!obj) return;
  obj->RunTask(false);
  g_.gTaskObject = nullptr;
}

void clsBoschECU::ecuLogTime() {
  if (form()) form()->tmrKeepAlive_Timer();
}

// ---- Internal operations ----

void clsBoschECU::ResetIds() {
  g_.gEcuIds = {kUnknownId, kUnknownId, kUnknownId};
}

void clsBoschECU::RaiseCommStatus(std::int32_t signal) {
  raise([&](__clsBoschECU& s) { s.CommStatus(signal); });
}

void clsBoschECU::RaiseNewFaults(const std::string& faultCodes) {
  const std::int32_t stamp = now();
  const std::int16_t item = g_.gCurItem;
  raise([&](__clsBoschECU& s) { s.NewFaults(item, stamp, faultCodes); });
}

void clsBoschECU::RaiseFaultsCleared(bool success) {
  raise([&](__clsBoschECU& s) { s.FaultsCleared(success); });
}

void clsBoschECU::RaiseCommandComplete(bool success) {
  raise([&](__clsBoschECU& s) { s.CommandComplete(success); });
}

void clsBoschECU::applyClientChoices(frmCommThread& f) {
  f.ecuDevice = g_.gEcuDevice;
  f.mbDebugMode = g_.gDebugMode;
  f.mbTimingMode = g_.gTimingMode;
  if (g_.gClientName.empty()) return;
  f.msClientName = g_.gClientName;
  f.Caption = "Client: " + g_.gClientName;
}

void clsBoschECU::StartCommThread() {
  try {
    auto form = std::make_unique<frmCommThread>(p_, g_);
    frmCommThread* f = form.get();
    g_.loadedForms.push_back(std::move(form));
    g_.frmHidden = f;
    f->Form_Load();
    f->Caption = "HdnCommThd-ID: " + std::to_string(p_.process.threadId());
    // What the client chose before the form was loaded applies to the form too: the client
    // reads back what it set, so the form must work with it.
    applyClientChoices(*f);
    f->objBoschECU = this;
    ecuFlashMode = flashIdle;
    g_.gEcuState = ecuReady;
    g_.gServerReady = true;
    RaiseCommStatus(ecuReady);
  } catch (const std::exception& e) {
    if (g_.frmHidden) g_.frmHidden->DebugAlert(16, ErrFromException(e));
  }
}

}  // namespace quorvan

#include "host/server/EcuBusObject.h"

#include <fmt/format.h>

#include <tuple>
#include <type_traits>

#include "client/InfoDump.h"
#include "host/common/BusNames.h"
#include "host/common/TextMapping.h"
#include "host/common/VariantMapping.h"
#include "runtime/frmCommThread.h"

namespace quorvan::host {

namespace {
// PortsFree probes each port in turn; a range wider than this is a mistake.
constexpr int kMaxPortsPerCall = 256;
}  // namespace

EcuBusObject::EcuBusObject(sdbus::IConnection& connection, clsBoschECU& ecu, MessageLoop& loop,
                           ConnectionWindows& windows)
    : AdaptorInterfaces(connection, kObjectPath),
      ecu_(ecu),
      loop_(loop),
      clients_(connection, windows, [this](const std::string& owner) { windowGone(owner); }) {
  announceAll();
  registerAdaptor();
  ecu_.addSink(this);
}

EcuBusObject::~EcuBusObject() {
  ecu_.removeSink(this);
  unregisterAdaptor();
}

// ---- Calls ----

template <typename... Out, typename Work>
void EcuBusObject::defer(sdbus::Result<Out...>&& result, Work work) {
  auto call = std::make_shared<sdbus::Result<Out...>>(std::move(result));
  pending_.insert(call);
  callWaiting_ = true;
  loop_.post([this, weak = std::weak_ptr(call), work = std::move(work)]() mutable {
    auto call = weak.lock();
    if (!call) return;  // the object has gone
    pending_.erase(call);
    callWaiting_ = false;
    runCall(*call, work);
  });
}

template <typename... Out, typename Work>
void EcuBusObject::deferChange(sdbus::Result<Out...>&& result, Work work) {
  // The caller is known only while its message is being handled.
  defer(std::move(result), [this, caller = callerName(), work = std::move(work)]() mutable {
    inCharge_.admit(caller);
    return work();
  });
}

template <typename... Out, typename Work>
void EcuBusObject::runCall(const sdbus::Result<Out...>& call, Work& work) {
  using Value = std::conditional_t<sizeof...(Out) == 0, std::tuple<>, std::tuple<Out...>>;
  std::optional<Value> value;
  std::optional<sdbus::Error> failure;
  try {
    if constexpr (sizeof...(Out) == 0) {
      work();
      value.emplace();
    } else {
      value.emplace(work());
    }
  } catch (const ProcessEnd&) {
    throw;  // to the top of the loop; the call is not answered
  } catch (...) {
    failure = ToBusError(std::current_exception());
  }
  if (failure) {
    call.returnError(*failure);
  } else {
    std::apply([&](const auto&... results) { call.returnResults(results...); }, *value);
  }
}

void EcuBusObject::TellClient(sdbus::Result<>&& result, std::string note) {
  deferChange(std::move(result), [this, note] { ecu_.TellClient(TextToBytes(note)); });
}

void EcuBusObject::AddItem(sdbus::Result<>&& result, int16_t itemNum, int32_t addr, int16_t size,
                           int32_t kind) {
  deferChange(std::move(result), [=, this] { ecu_.AddItem(itemNum, addr, size, kind); });
}

void EcuBusObject::Watch(sdbus::Result<>&& result, int16_t itemNum, int16_t priority) {
  deferChange(std::move(result), [=, this] { ecu_.Watch(itemNum, priority); });
}

void EcuBusObject::ClearItems(sdbus::Result<>&& result) {
  deferChange(std::move(result), [this] { ecu_.ClearItems(); });
}

void EcuBusObject::ClearFaults(sdbus::Result<>&& result) {
  deferChange(std::move(result), [this] { ecu_.ClearFaults(); });
}

void EcuBusObject::PortsFree(sdbus::Result<std::vector<bool>>&& result, int16_t firstPort,
                             int16_t lastPort) {
  deferChange(std::move(result), [=, this] {
    const int count = lastPort - firstPort + 1;
    if (count < 1 || count > kMaxPortsPerCall) {
      throw BadArgument(
          fmt::format("ports {}..{}: give a first port not above the last, and "
                      "at most {} ports",
                      firstPort, lastPort, kMaxPortsPerCall));
    }
    std::vector<bool> freePorts(static_cast<std::size_t>(count), false);
    ecu_.PortsFree(firstPort, freePorts);
    return freePorts;
  });
}

void EcuBusObject::MellowOut(sdbus::Result<>&& result) {
  deferChange(std::move(result), [this] { ecu_.MellowOut(); });
}

void EcuBusObject::InitComm(sdbus::Result<>&& result, int16_t portNum) {
  deferChange(std::move(result), [=, this] { ecu_.InitComm(portNum); });
}

void EcuBusObject::command(sdbus::Result<>&& result, int16_t cmdOp) {
  deferChange(std::move(result), [=, this] { ecu_.command(cmdOp); });
}

void EcuBusObject::GetInfo(sdbus::Result<std::string>&& result, int16_t index) {
  auto info = [=, this] { return BytesToText(ecu_.GetInfo(index)); };
  if (InfoDumpTakesLines(index)) {
    deferChange(std::move(result), info);
  } else {
    defer(std::move(result), info);
  }
}

void EcuBusObject::FlashIdent(sdbus::Result<sdbus::Variant>&& result) {
  deferChange(std::move(result), [this] { return ToBusVariant(ecu_.FlashIdent()); });
}

void EcuBusObject::FlashInit(sdbus::Result<int16_t>&& result) {
  deferChange(std::move(result), [this] { return ecu_.FlashInit(); });
}

void EcuBusObject::FlashReadCalText(sdbus::Result<>&& result) {
  deferChange(std::move(result), [this] { ecu_.FlashReadCalText(); });
}

void EcuBusObject::FlashStatus(sdbus::Result<int32_t>&& result) {
  defer(std::move(result), [this] { return ecu_.FlashStatus(); });
}

void EcuBusObject::FlashWrite(sdbus::Result<>&& result, std::vector<uint8_t> dataBlock) {
  deferChange(std::move(result), [this, block = std::string(dataBlock.begin(), dataBlock.end())] {
    ecu_.FlashWrite(block);
  });
}

void EcuBusObject::FlashVerify(sdbus::Result<>&& result, int32_t targetValue) {
  deferChange(std::move(result), [=, this] { ecu_.FlashVerify(targetValue); });
}

void EcuBusObject::FlashAbort(sdbus::Result<>&& result) {
  deferChange(std::move(result), [this] { ecu_.FlashAbort(); });
}

void EcuBusObject::PacketNotify(sdbus::Result<>&& result, sdbus::Variant rawInfo) {
  // Converted here, while the message is still ours to read.
  std::optional<Variant> value;
  std::exception_ptr refused;
  try {
    value = FromBusVariant(rawInfo);
  } catch (...) {
    refused = std::current_exception();
  }
  deferChange(std::move(result), [this, value, refused] {
    if (refused) std::rethrow_exception(refused);
    ecu_.PacketNotify(*value);
  });
}

void EcuBusObject::RunTask(sdbus::Result<>&& result, bool asynch) {
  deferChange(std::move(result), [=, this] { ecu_.RunTask(asynch); });
}

void EcuBusObject::ecuLogTime(sdbus::Result<>&& result) {
  defer(std::move(result), [this] { ecu_.ecuLogTime(); });
}

// ---- Properties ----

int16_t EcuBusObject::ecuActive() {
  return guarded([&] { return ecu_.ecuActive; });
}
void EcuBusObject::ecuActive(const int16_t& value) {
  change([&] { ecu_.ecuActive = value; });
}
int32_t EcuBusObject::ecuFlashMode() {
  return guarded([&] { return ecu_.ecuFlashMode; });
}
void EcuBusObject::ecuFlashMode(const int32_t& value) {
  change([&] { ecu_.ecuFlashMode = value; });
}
std::string EcuBusObject::ecuResults() {
  return guarded([&] { return BytesToText(ecu_.ecuResults); });
}
void EcuBusObject::ecuResults(const std::string& value) {
  change([&] { ecu_.ecuResults = TextToBytes(value); });
}
bool EcuBusObject::ecuGetCalText() {
  return guarded([&] { return ecu_.ecuGetCalText; });
}
void EcuBusObject::ecuGetCalText(const bool& value) {
  change([&] { ecu_.ecuGetCalText = value; });
}
int16_t EcuBusObject::NumActive() {
  return guarded([&] { return ecu_.NumActive(); });
}
int32_t EcuBusObject::ThreadID() {
  return guarded([&] { return ecu_.ThreadID(); });
}
std::string EcuBusObject::idCustomer() {
  return guarded([&] { return BytesToText(ecu_.idCustomer()); });
}
std::string EcuBusObject::idSoftware() {
  return guarded([&] { return BytesToText(ecu_.idSoftware()); });
}
std::string EcuBusObject::idHardware() {
  return guarded([&] { return BytesToText(ecu_.idHardware()); });
}
std::string EcuBusObject::ClientName() {
  return guarded([&] { return BytesToText(ecu_.ClientName()); });
}
void EcuBusObject::ClientName(const std::string& value) {
  change([&] {
    const std::string name = TextToBytes(value);
    ecu_.setClientName(name);
    clients_.show(callerName(), name);
    inCharge_.named(callerName(), name);
  });
}
bool EcuBusObject::BaseTimingMode() {
  return guarded([&] { return ecu_.BaseTimingMode(); });
}
void EcuBusObject::BaseTimingMode(const bool& value) {
  change([&] { ecu_.setBaseTimingMode(value); });
}
int32_t EcuBusObject::Device() {
  return guarded([&] { return ecu_.Device(); });
}
void EcuBusObject::Device(const int32_t& value) {
  change([&] { ecu_.setDevice(value); });
}
bool EcuBusObject::DebugMode() {
  return guarded([&] { return ecu_.DebugMode(); });
}
void EcuBusObject::DebugMode(const bool& value) {
  change([&] { ecu_.setDebugMode(value); });
}
int16_t EcuBusObject::portNum() {
  return guarded([&] { return ecu_.portNum(); });
}
bool EcuBusObject::Pullup() {
  return guarded([&] { return ecu_.Pullup(); });
}
void EcuBusObject::Pullup(const bool& value) {
  change([&] { ecu_.setPullup(value); });
}
sdbus::Variant EcuBusObject::Results() {
  return guarded([&] { return ToBusVariant(ecu_.Results()); });
}
int32_t EcuBusObject::State() {
  return guarded([&] { return ecu_.State(); });
}
bool EcuBusObject::Busy() {
  return guarded([&] { return ecu_.Busy(); });
}
void EcuBusObject::Busy(const bool& value) {
  change([&] { ecu_.setBusy(value); });
}
bool EcuBusObject::Ready() {
  return guarded([&] { return ecu_.Ready(); });
}

void EcuBusObject::windowGone(const std::string& owner) {
  inCharge_.gone(owner);
  loop_.post([this, alive = std::weak_ptr(alive_)] {
    if (!alive.lock()) return;
    if (frmCommThread* form = ecu_.globals().frmHidden) form->DieIfNoClients();
  });
}

std::string EcuBusObject::callerName() const {
  const sdbus::Message* message = getObject().getCurrentlyProcessedMessage();
  return message ? message->getSender() : std::string();
}

// ---- Property announcements ----

void EcuBusObject::announceAll() {
  using V = PropertyAnnouncer::Value;
  auto& e = ecu_;
  auto n = [](auto v) { return V{static_cast<std::int32_t>(v)}; };
  announcer_.add("ecuActive", [&e, n] { return n(e.ecuActive); });
  announcer_.add("ecuFlashMode", [&e, n] { return n(e.ecuFlashMode); });
  announcer_.add("ecuResults", [&e] { return V{e.ecuResults}; });
  announcer_.add("ecuGetCalText", [&e] { return V{e.ecuGetCalText}; });
  announcer_.add("NumActive", [&e, n] { return n(e.NumActive()); });
  announcer_.add("idCustomer", [&e] { return V{e.idCustomer()}; });
  announcer_.add("idSoftware", [&e] { return V{e.idSoftware()}; });
  announcer_.add("idHardware", [&e] { return V{e.idHardware()}; });
  announcer_.add("ClientName", [&e] { return V{e.ClientName()}; });
  announcer_.add("BaseTimingMode", [&e] { return V{e.BaseTimingMode()}; });
  announcer_.add("Device", [&e, n] { return n(e.Device()); });
  announcer_.add("DebugMode", [&e] { return V{e.DebugMode()}; });
  announcer_.add("portNum", [&e, n] { return n(e.portNum()); });
  announcer_.add("Results", [&e] { return V{e.ecuResults}; });
  announcer_.add("Busy", [&e] { return V{e.Busy()}; });
  announcer_.add("Ready", [&e] { return V{e.Ready()}; });
}

void EcuBusObject::announceChanges() {
  const std::vector<std::string> changed = announcer_.changes();
  if (changed.empty()) return;
  sendEvent("PropertiesChanged",
            [&] { emitPropertiesChangedSignal(Adaptor::INTERFACE_NAME, changed); });
}

void EcuBusObject::afterDispatch() {
  clients_.forgetGone();
  if (end_) {
    const ProcessEnd end = *end_;
    end_.reset();
    throw end;
  }
}

// ---- Events ----

template <typename Emit>
void EcuBusObject::sendEvent(const char* name, Emit emit) {
  try {
    emit();
  } catch (const sdbus::Error& e) {
    fmt::print(stderr, "EcuQuorvanBT: could not send {}: {}\n", name, e.getMessage());
  }
}

void EcuBusObject::CommStatus(std::int32_t signal) {
  sendEvent("CommStatus", [&] { emitCommStatus(signal); });
}

void EcuBusObject::NewData(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData) {
  sendEvent("NewData", [&] { emitNewData(itemNum, timeStamp, ToBusVariant(rawData)); });
}

void EcuBusObject::NewFaults(std::int16_t itemNum, std::int32_t timeStamp,
                             const std::string& faultCodes) {
  sendEvent("NewFaults", [&] { emitNewFaults(itemNum, timeStamp, BytesToText(faultCodes)); });
}

void EcuBusObject::NewFlags(std::int16_t itemNum, std::int32_t timeStamp, std::int32_t rawFlags) {
  sendEvent("NewFlags", [&] { emitNewFlags(itemNum, timeStamp, rawFlags); });
}

void EcuBusObject::FaultsCleared(bool success) {
  sendEvent("FaultsCleared", [&] { emitFaultsCleared(success); });
}

void EcuBusObject::CommandComplete(bool success) {
  sendEvent("CommandComplete", [&] { emitCommandComplete(success); });
}

void EcuBusObject::DamnIt(const std::string& note) {
  sendEvent("DamnIt", [&] { emitDamnIt(BytesToText(note)); });
}

}  // namespace quorvan::host

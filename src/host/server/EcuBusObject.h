#pragma once
// The client class on the bus: /org/quorvan/EcuQuorvanBT1 with the interface
// org.quorvan.EcuQuorvanBT1.clsBoschECU. Properties are read and written at once; method
// calls are queued on the message loop and run there one by one, outside sd-bus, so a
// call may wait on the line, let another call run inside that wait, or end the process
// by unwinding to the top of the loop. Events go out as signals. Once a client has named
// itself, only its connection may change the server (see ClientInCharge).
#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "client/clsBoschECU.h"
#include "dbus/EcuQuorvanBT1Adaptor.h"
#include "host/server/BusErrors.h"
#include "host/server/ClientConnections.h"
#include "host/server/ClientInCharge.h"
#include "host/server/PropertyAnnouncer.h"
#include "platform/MessageLoop.h"

namespace quorvan::host {

class EcuBusObject final
    : public sdbus::AdaptorInterfaces<org::quorvan::EcuQuorvanBT1::clsBoschECU_adaptor,
                                      sdbus::Properties_adaptor>,
      public __clsBoschECU {
 public:
  using Adaptor = org::quorvan::EcuQuorvanBT1::clsBoschECU_adaptor;

  EcuBusObject(sdbus::IConnection& connection, clsBoschECU& ecu, MessageLoop& loop,
               ConnectionWindows& windows);
  ~EcuBusObject() override;
  EcuBusObject(const EcuBusObject&) = delete;
  EcuBusObject& operator=(const EcuBusObject&) = delete;

  // A method call waits to run on the loop. The bus hands over no further message until it
  // has run, so that calls and property accesses take effect in the order they came.
  bool callWaiting() const { return callWaiting_; }
  // Sends PropertiesChanged for the values changed since the last look.
  void announceChanges();
  // Housekeeping between two looks at the bus; rethrows a process end that a handler
  // called by sd-bus had to keep.
  void afterDispatch();

  // __clsBoschECU: the events become signals.
  void CommStatus(std::int32_t signal) override;
  void NewData(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData) override;
  void NewFaults(std::int16_t itemNum, std::int32_t timeStamp,
                 const std::string& faultCodes) override;
  void NewFlags(std::int16_t itemNum, std::int32_t timeStamp, std::int32_t rawFlags) override;
  void FaultsCleared(bool success) override;
  void CommandComplete(bool success) override;
  void DamnIt(const std::string& note) override;

 private:
  // Methods
  void TellClient(sdbus::Result<>&& result, std::string note) override;
  void AddItem(sdbus::Result<>&& result, int16_t itemNum, int32_t addr, int16_t size,
               int32_t kind) override;
  void Watch(sdbus::Result<>&& result, int16_t itemNum, int16_t priority) override;
  void ClearItems(sdbus::Result<>&& result) override;
  void ClearFaults(sdbus::Result<>&& result) override;
  void PortsFree(sdbus::Result<std::vector<bool>>&& result, int16_t firstPort,
                 int16_t lastPort) override;
  void MellowOut(sdbus::Result<>&& result) override;
  void InitComm(sdbus::Result<>&& result, int16_t portNum) override;
  void command(sdbus::Result<>&& result, int16_t cmdOp) override;
  void GetInfo(sdbus::Result<std::string>&& result, int16_t index) override;
  void FlashIdent(sdbus::Result<sdbus::Variant>&& result) override;
  void FlashInit(sdbus::Result<int16_t>&& result) override;
  void FlashReadCalText(sdbus::Result<>&& result) override;
  void FlashStatus(sdbus::Result<int32_t>&& result) override;
  void FlashWrite(sdbus::Result<>&& result, std::vector<uint8_t> dataBlock) override;
  void FlashVerify(sdbus::Result<>&& result, int32_t targetValue) override;
  void FlashAbort(sdbus::Result<>&& result) override;
  void PacketNotify(sdbus::Result<>&& result, sdbus::Variant rawInfo) override;
  void RunTask(sdbus::Result<>&& result, bool asynch) override;
  void ecuLogTime(sdbus::Result<>&& result) override;

  // Properties
  int16_t ecuActive() override;
  void ecuActive(const int16_t& value) override;
  int32_t ecuFlashMode() override;
  void ecuFlashMode(const int32_t& value) override;
  std::string ecuResults() override;
  void ecuResults(const std::string& value) override;
  bool ecuGetCalText() override;
  void ecuGetCalText(const bool& value) override;
  int16_t NumActive() override;
  int32_t ThreadID() override;
  std::string idCustomer() override;
  std::string idSoftware() override;
  std::string idHardware() override;
  std::string ClientName() override;
  void ClientName(const std::string& value) override;
  bool BaseTimingMode() override;
  void BaseTimingMode(const bool& value) override;
  int32_t Device() override;
  void Device(const int32_t& value) override;
  bool DebugMode() override;
  void DebugMode(const bool& value) override;
  int16_t portNum() override;
  bool Pullup() override;
  void Pullup(const bool& value) override;
  sdbus::Variant Results() override;
  int32_t State() override;
  bool Busy() override;
  void Busy(const bool& value) override;
  bool Ready() override;

  template <typename Fn>
  auto guarded(Fn&& fn) -> decltype(fn()) {
    return RunForBus(std::forward<Fn>(fn), end_);
  }
  // A property write: refused unless the caller may change the server.
  template <typename Fn>
  void change(Fn&& fn) {
    guarded([&] {
      inCharge_.admit(callerName());
      fn();
    });
  }
  // Queues `work` on the loop; its value (if any) or failure becomes the reply.
  template <typename... Out, typename Work>
  void defer(sdbus::Result<Out...>&& result, Work work);
  // Likewise for a call that changes the server: refused, when it comes to run, unless
  // the caller may change it.
  template <typename... Out, typename Work>
  void deferChange(sdbus::Result<Out...>&& result, Work work);
  template <typename... Out, typename Work>
  void runCall(const sdbus::Result<Out...>& call, Work& work);
  // Sends a signal; a bus that cannot take it must not fail the handler that raised it.
  template <typename Emit>
  void sendEvent(const char* name, Emit emit);
  void announceAll();
  std::string callerName() const;
  // A client's window has gone with its connection: that client is no longer in charge,
  // and the presence check runs at once, from the loop, so a server whose client vanished
  // ends now rather than at some later check.
  void windowGone(const std::string& owner);

  clsBoschECU& ecu_;
  MessageLoop& loop_;
  ClientInCharge inCharge_;
  ClientConnections clients_;
  PropertyAnnouncer announcer_;
  std::optional<ProcessEnd> end_;
  bool callWaiting_ = false;
  // Replies not yet given. They hold messages of the connection, so they go with this
  // object, before the connection.
  std::set<std::shared_ptr<void>> pending_;
  // Posted work cannot be taken back: it checks that the object still exists.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorvan::host

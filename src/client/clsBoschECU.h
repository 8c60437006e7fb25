#pragma once
// The class a client program sees. It holds almost no logic: each member stores a
// request in state shared with the comm form, enables one of the form's timers or calls
// one of its procedures. The form's handlers do the work later on the same thread and
// report back through the events.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/Enums.h"
#include "client/Globals.h"
#include "client/Variant.h"
#include "platform/Platform.h"

namespace quorvan {

class Family;

// The event interface (connection point) of the class.
class __clsBoschECU {  // NOLINT(bugprone-reserved-identifier): the published name
 public:
  virtual ~__clsBoschECU() = default;
  virtual void CommStatus(std::int32_t signal) = 0;
  virtual void NewData(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData) = 0;
  virtual void NewFaults(std::int16_t itemNum, std::int32_t timeStamp,
                         const std::string& faultCodes) = 0;
  virtual void NewFlags(std::int16_t itemNum, std::int32_t timeStamp, std::int32_t rawFlags) = 0;
  virtual void FaultsCleared(bool success) = 0;
  virtual void CommandComplete(bool success) = 0;
  virtual void DamnIt(const std::string& note) = 0;
};

// The error a client gets for an item number outside the watch table.
class WatchTableError : public std::runtime_error {
 public:
  static constexpr std::uint32_t kNumber = 0x80040001u;
  static constexpr const char* kSource = "MSE1";
  explicit WatchTableError(const std::string& description) : std::runtime_error(description) {}
  std::uint32_t number() const { return kNumber; }
  const char* source() const { return kSource; }
};

class clsBoschECU {
 public:
  clsBoschECU(Platform& platform, modGlobals& globals);
  clsBoschECU(const clsBoschECU&) = delete;
  clsBoschECU& operator=(const clsBoschECU&) = delete;

  void addSink(__clsBoschECU* sink);
  void removeSink(__clsBoschECU* sink);

  // Public variables (read and written by clients as properties).
  std::int16_t ecuActive = 0;
  std::int32_t ecuFlashMode = flashIdle;
  std::string ecuResults;
  bool ecuGetCalText = false;

  // Properties.
  bool Ready() const { return g_.gServerReady; }
  bool Busy() const { return g_.gBusy; }
  void setBusy(bool busy) { g_.gBusy = busy; }
  std::int32_t State() const { return g_.gEcuState; }
  Variant Results() const { return Variant(ecuResults); }
  bool Pullup();
  void setPullup(bool on);
  std::int16_t portNum() const;
  bool DebugMode() const { return g_.gDebugMode; }
  void setDebugMode(bool on);
  std::int32_t Device() const { return g_.gEcuDevice; }
  void setDevice(std::int32_t device);
  bool BaseTimingMode() const { return g_.gTimingMode; }
  void setBaseTimingMode(bool on);
  const std::string& ClientName() const { return g_.gClientName; }
  void setClientName(const std::string& name);
  const std::string& idHardware() const { return g_.gEcuIds[0]; }
  const std::string& idSoftware() const { return g_.gEcuIds[1]; }
  const std::string& idCustomer() const { return g_.gEcuIds[2]; }
  std::int32_t ThreadID() const;
  std::int16_t NumActive() const;

  // Methods.
  void TellClient(const std::string& note);
  void AddItem(std::int16_t itemNum, std::int32_t addr, std::int16_t size, std::int32_t kind);
  void Watch(std::int16_t itemNum, std::int16_t Priority);
  void ClearItems();
  void ClearFaults();
  // freePorts[i] answers for port firstPort + i.
  void PortsFree(std::int16_t firstPort, std::vector<bool>& freePorts);
  void MellowOut();
  void InitComm(std::int16_t portNum);
  void command(std::int16_t cmdOp);
  std::string GetInfo(std::int16_t index);
  Variant FlashIdent();
  std::int16_t FlashInit();
  void FlashReadCalText();
  std::int32_t FlashStatus() const { return ecuFlashMode; }
  void FlashWrite(const std::string& dataBlock);
  void FlashVerify(std::int32_t targetValue);
  void FlashAbort();
  void PacketNotify(const Variant& rawInfo);
  void RunTask(bool asynch);
  void ecuLogTime();

  // Internal operations used by the comm form.
  void ResetIds();
  void RaiseCommStatus(std::int32_t signal);
  void RaiseNewFaults(const std::string& faultCodes);
  void RaiseFaultsCleared(bool success);
  void RaiseCommandComplete(bool success);
  void StartCommThread();

  modGlobals& globals() { return g_; }
  Platform& platform() { return p_; }

 private:
  frmCommThread* form() const { return g_.frmHidden; }
  // The family of the client's device (null before the comm form is loaded).
  Family* family() const;
  std::int32_t now() const;
  void sendFlashBusyNote();
  void applyClientChoices(frmCommThread& f);
  bool blockFits(const std::string& dataBlock);
  void TaskTimerProc();
  template <typename Fn>
  void raise(Fn fn);

  Platform& p_;
  modGlobals& g_;
  std::vector<__clsBoschECU*> sinks_;
  std::int16_t writeCount_ = 0;
};

}  // namespace quorvan

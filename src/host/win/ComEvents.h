#pragma once
// The connection point of the source interface __clsBoschECU. Clients advise an
// IDispatch sink; each event of the class is invoked on every sink with the event's
// dispatch id and its arguments by reference, on the server's one thread. A sink whose
// client has gone is dropped; a sink that fails otherwise keeps its place.
#include <map>

// The engine's headers first (see ComBoschECU.h).
#include "client/clsBoschECU.h"

// windows.h first: the other system headers need it.
#include <windows.h>

#include <ocidl.h>

namespace quorvan::host::win {

class EventPoint final : public IConnectionPoint, public quorvan::__clsBoschECU {
 public:
  // `container` owns this point: its life holds ours.
  explicit EventPoint(IConnectionPointContainer& container) : container_(container) {}
  ~EventPoint() override;
  EventPoint(const EventPoint&) = delete;
  EventPoint& operator=(const EventPoint&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }
  // IConnectionPoint
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

  // The class's events.
  void CommStatus(std::int32_t signal) override;
  void NewData(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData) override;
  void NewFaults(std::int16_t itemNum, std::int32_t timeStamp,
                 const std::string& faultCodes) override;
  void NewFlags(std::int16_t itemNum, std::int32_t timeStamp, std::int32_t rawFlags) override;
  void FaultsCleared(bool success) override;
  void CommandComplete(bool success) override;
  void DamnIt(const std::string& note) override;

  // Releases every sink (the server ends).
  void dropAll();

 private:
  // Invokes `dispid` on every sink with `args` (in the order of the event's parameters).
  void raise(DISPID dispid, VARIANT* args, UINT count);

  IConnectionPointContainer& container_;
  std::map<DWORD, IDispatch*> sinks_;
  DWORD nextCookie_ = 1;
};

}  // namespace quorvan::host::win

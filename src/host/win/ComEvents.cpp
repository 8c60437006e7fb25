#include "host/win/ComEvents.h"

#include <olectl.h>

#include <algorithm>
#include <vector>

#include "EcuQuorvanBT.h"
#include "host/win/ComConvert.h"

namespace quorvan::host::win {

namespace {

// A by-reference argument over a value of ours.
template <typename T>
VARIANT ByRef(VARTYPE type, T* value) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = static_cast<VARTYPE>(type | VT_BYREF);
  V_BYREF(&v) = value;
  return v;
}

}  // namespace

EventPoint::~EventPoint() {
  dropAll();
}

HRESULT EventPoint::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT EventPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = DIID___clsBoschECU;
  return S_OK;
}

HRESULT EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = &container_;
  container_.AddRef();
  return S_OK;
}

HRESULT EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  IDispatch* dispatch = nullptr;
  if (FAILED(sink->QueryInterface(DIID___clsBoschECU, reinterpret_cast<void**>(&dispatch))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  *cookie = nextCookie_++;
  sinks_.emplace(*cookie, dispatch);
  return S_OK;
}

HRESULT EventPoint::Unadvise(DWORD cookie) {
  auto it = sinks_.find(cookie);
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  IDispatch* sink = it->second;
  sinks_.erase(it);
  sink->Release();
  return S_OK;
}

HRESULT EventPoint::EnumConnections(IEnumConnections** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

void EventPoint::dropAll() {
  auto sinks = std::exchange(sinks_, {});
  for (auto& [cookie, sink] : sinks) sink->Release();
}

void EventPoint::raise(DISPID dispid, VARIANT* args, UINT count) {
  // Arguments go last first; a sink may advise or unadvise from inside the call.
  std::vector<VARIANT> reversed(args, args + count);
  std::reverse(reversed.begin(), reversed.end());
  DISPPARAMS params{reversed.data(), nullptr, count, 0};
  std::vector<DWORD> cookies;
  for (const auto& [cookie, sink] : sinks_) cookies.push_back(cookie);
  for (const DWORD cookie : cookies) {
    auto it = sinks_.find(cookie);
    if (it == sinks_.end()) continue;
    IDispatch* sink = it->second;
    sink->AddRef();
    const HRESULT hr = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    nullptr, nullptr, nullptr);
    sink->Release();
    const bool gone =
        hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE ||
        hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == CO_E_OBJNOTCONNECTED;
    if (gone) Unadvise(cookie);
  }
}

void EventPoint::CommStatus(std::int32_t signal) {
  LONG s = signal;
  VARIANT args[] = {ByRef(VT_I4, &s)};
  raise(1, args, 1);
}

void EventPoint::NewData(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData) {
  SHORT item = itemNum;
  LONG stamp = timeStamp;
  VARIANT data;
  VariantOf(rawData, &data);
  VARIANT args[] = {ByRef(VT_I2, &item), ByRef(VT_I4, &stamp), ByRef(VT_VARIANT, &data)};
  raise(2, args, 3);
  ::VariantClear(&data);
}

void EventPoint::NewFaults(std::int16_t itemNum, std::int32_t timeStamp,
                           const std::string& faultCodes) {
  SHORT item = itemNum;
  LONG stamp = timeStamp;
  BSTR codes = BstrOfBytes(faultCodes);
  VARIANT args[] = {ByRef(VT_I2, &item), ByRef(VT_I4, &stamp), ByRef(VT_BSTR, &codes)};
  raise(3, args, 3);
  ::SysFreeString(codes);
}

void EventPoint::NewFlags(std::int16_t itemNum, std::int32_t timeStamp, std::int32_t rawFlags) {
  SHORT item = itemNum;
  LONG stamp = timeStamp;
  LONG flags = rawFlags;
  VARIANT args[] = {ByRef(VT_I2, &item), ByRef(VT_I4, &stamp), ByRef(VT_I4, &flags)};
  raise(4, args, 3);
}

void EventPoint::FaultsCleared(bool success) {
  VARIANT_BOOL b = BoolOf(success);
  VARIANT args[] = {ByRef(VT_BOOL, &b)};
  raise(5, args, 1);
}

void EventPoint::CommandComplete(bool success) {
  VARIANT_BOOL b = BoolOf(success);
  VARIANT args[] = {ByRef(VT_BOOL, &b)};
  raise(6, args, 1);
}

void EventPoint::DamnIt(const std::string& note) {
  BSTR text = BstrOfBytes(note);
  VARIANT args[] = {ByRef(VT_BSTR, &text)};
  raise(7, args, 1);
  ::SysFreeString(text);
}

}  // namespace quorvan::host::win

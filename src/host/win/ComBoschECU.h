#pragma once
// The class clsBoschECU as a COM object: the dual interface _clsBoschECU over the type
// library (IDispatch by its dispatch ids), and the connection point of its events. The
// process has one engine and serves one client: every object the class factory hands
// out is this one.
//
// Calls run on the server's one thread, inside the message loop's dispatch of window
// messages, so a call may wait on the line and let another call run inside that wait.
// The process end unwinds only as far as the call, which then returns; the loop's pump
// carries the end on to the top of the loop (see takeEnd).
#include <functional>
#include <optional>

// The engine's headers come before the system's, whose macros (REALTIME_PRIORITY_CLASS...)
// would otherwise replace the engine's names.
#include "client/clsBoschECU.h"
#include "host/win/ComEvents.h"

// windows.h first: the other system headers need it.
#include <windows.h>

#include <ocidl.h>

#include "EcuQuorvanBT.h"

namespace quorvan::host::win {

class ComBoschECU final : public _clsBoschECU, public IConnectionPointContainer {
 public:
  // `typeInfo` describes _clsBoschECU. `lastReleased` runs (from the loop) when no client
  // holds the object any more.
  ComBoschECU(clsBoschECU& ecu, ITypeInfo* typeInfo, MessageLoop& loop,
              std::function<void()> lastReleased);
  ~ComBoschECU();
  ComBoschECU(const ComBoschECU&) = delete;
  ComBoschECU& operator=(const ComBoschECU&) = delete;

  // The process end a call met, once.
  std::optional<ProcessEnd> takeEnd() { return std::exchange(end_, std::nullopt); }
  // Drops the clients' sinks and cuts the clients off (the server ends).
  void disconnect();

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argError) override;
  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

  // _clsBoschECU
  HRESULT STDMETHODCALLTYPE get_ecuActive(short* value) override;
  HRESULT STDMETHODCALLTYPE put_ecuActive(short value) override;
  HRESULT STDMETHODCALLTYPE get_ecuFlashMode(::FlashModes* value) override;
  HRESULT STDMETHODCALLTYPE put_ecuFlashMode(::FlashModes value) override;
  HRESULT STDMETHODCALLTYPE get_ecuResults(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE put_ecuResults(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_ecuGetCalText(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_ecuGetCalText(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE get_NumActive(short* value) override;
  HRESULT STDMETHODCALLTYPE get_ThreadID(LONG* value) override;
  HRESULT STDMETHODCALLTYPE get_idCustomer(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_idSoftware(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_idHardware(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_ClientName(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE put_ClientName(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_BaseTimingMode(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_BaseTimingMode(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE get_Device(::ecuDevices* value) override;
  HRESULT STDMETHODCALLTYPE put_Device(::ecuDevices* value) override;
  HRESULT STDMETHODCALLTYPE get_DebugMode(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_DebugMode(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE get_portNum(short* value) override;
  HRESULT STDMETHODCALLTYPE get_Pullup(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_Pullup(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE get_Results(VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE get_State(::ecuStatus* value) override;
  HRESULT STDMETHODCALLTYPE get_Busy(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_Busy(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE get_Ready(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE TellClient(BSTR* note) override;
  HRESULT STDMETHODCALLTYPE AddItem(short* itemNum, LONG* addr, short size,
                                    ::ecuKind* kind) override;
  HRESULT STDMETHODCALLTYPE Watch(short* itemNum, short* Priority) override;
  HRESULT STDMETHODCALLTYPE ClearItems() override;
  HRESULT STDMETHODCALLTYPE ClearFaults() override;
  HRESULT STDMETHODCALLTYPE PortsFree(SAFEARRAY** freePorts) override;
  HRESULT STDMETHODCALLTYPE MellowOut() override;
  HRESULT STDMETHODCALLTYPE InitComm(short* portNum) override;
  HRESULT STDMETHODCALLTYPE command(short* cmdOp) override;
  HRESULT STDMETHODCALLTYPE GetInfo(short* index, BSTR* info) override;
  HRESULT STDMETHODCALLTYPE FlashIdent(VARIANT* ident) override;
  HRESULT STDMETHODCALLTYPE FlashInit(short* blockSize) override;
  HRESULT STDMETHODCALLTYPE FlashReadCalText() override;
  HRESULT STDMETHODCALLTYPE FlashStatus(::FlashModes* mode) override;
  HRESULT STDMETHODCALLTYPE FlashWrite(BSTR* dataBlock) override;
  HRESULT STDMETHODCALLTYPE FlashVerify(LONG* targetValue) override;
  HRESULT STDMETHODCALLTYPE FlashAbort() override;
  HRESULT STDMETHODCALLTYPE PacketNotify(VARIANT* rawInfo) override;
  HRESULT STDMETHODCALLTYPE RunTask(VARIANT_BOOL asynch) override;
  HRESULT STDMETHODCALLTYPE ecuLogTime() override;

 private:
  // Runs `work` as one call: a watch-table error becomes the class's COM error, any
  // other failure E_FAIL, and the process end is kept for the loop.
  template <typename Work>
  HRESULT call(Work&& work);
  // Reads an out-parameter: E_POINTER when there is none.
  template <typename T, typename Get>
  HRESULT read(T* out, Get&& get);

  clsBoschECU& ecu_;
  ITypeInfo* typeInfo_;
  MessageLoop& loop_;
  std::function<void()> lastReleased_;
  EventPoint events_;
  ULONG refs_ = 0;
  std::optional<ProcessEnd> end_;
};

}  // namespace quorvan::host::win

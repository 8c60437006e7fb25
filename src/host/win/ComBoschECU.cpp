#include "host/win/ComBoschECU.h"

#include <olectl.h>

#include <exception>
#include <vector>

#include "host/win/ComConvert.h"

namespace quorvan::host::win {

namespace {

void SetClassError(const WatchTableError& e) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(::CreateErrorInfo(&create))) return;
  const std::wstring source = WideOfBytes(e.source());
  const std::wstring text = WideOfBytes(e.what());
  create->SetGUID(IID__clsBoschECU);
  create->SetSource(const_cast<LPOLESTR>(source.c_str()));
  create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    ::SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

bool IsTrue(const VARIANT_BOOL* b) {
  return b && *b != VARIANT_FALSE;
}

}  // namespace

ComBoschECU::ComBoschECU(clsBoschECU& ecu, ITypeInfo* typeInfo, MessageLoop& loop,
                         std::function<void()> lastReleased)
    : ecu_(ecu),
      typeInfo_(typeInfo),
      loop_(loop),
      lastReleased_(std::move(lastReleased)),
      events_(*this) {
  typeInfo_->AddRef();
  ecu_.addSink(&events_);
}

ComBoschECU::~ComBoschECU() {
  ecu_.removeSink(&events_);
  typeInfo_->Release();
}

void ComBoschECU::disconnect() {
  events_.dropAll();
  ::CoDisconnectObject(static_cast<_clsBoschECU*>(this), 0);
}

template <typename Work>
HRESULT ComBoschECU::call(Work&& work) {
  try {
    work();
    return S_OK;
  } catch (const ProcessEnd& end) {
    end_ = end;
    return S_OK;
  } catch (const WatchTableError& e) {
    SetClassError(e);
    return static_cast<HRESULT>(WatchTableError::kNumber);
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

template <typename T, typename Get>
HRESULT ComBoschECU::read(T* out, Get&& get) {
  if (!out) return E_POINTER;
  return call([&] { *out = get(); });
}

// ---- IUnknown, IDispatch, IConnectionPointContainer ----

HRESULT ComBoschECU::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__clsBoschECU) {
    *out = static_cast<_clsBoschECU*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG ComBoschECU::AddRef() {
  return ++refs_;
}

ULONG ComBoschECU::Release() {
  if (refs_ == 0) return 0;
  if (--refs_ == 0 && lastReleased_) {
    // From the loop, and only if no client has taken the object again meanwhile.
    loop_.post([this] {
      if (refs_ == 0) lastReleased_();
    });
  }
  return refs_;
}

HRESULT ComBoschECU::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT ComBoschECU::GetTypeInfo(UINT index, LCID /*lcid*/, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  typeInfo_->AddRef();
  *out = typeInfo_;
  return S_OK;
}

HRESULT ComBoschECU::GetIDsOfNames(REFIID /*riid*/, LPOLESTR* names, UINT count, LCID /*lcid*/,
                                   DISPID* ids) {
  return ::DispGetIDsOfNames(typeInfo_, names, count, ids);
}

HRESULT ComBoschECU::Invoke(DISPID id, REFIID /*riid*/, LCID /*lcid*/, WORD flags,
                            DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                            UINT* argError) {
  return ::DispInvoke(static_cast<_clsBoschECU*>(this), typeInfo_, id, flags, params, result,
                      exception, argError);
}

HRESULT ComBoschECU::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT ComBoschECU::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid != DIID___clsBoschECU) return CONNECT_E_NOCONNECTION;
  *out = &events_;
  events_.AddRef();
  return S_OK;
}

// ---- Public variables ----

HRESULT ComBoschECU::get_ecuActive(short* value) {
  return read(value, [&] { return ecu_.ecuActive; });
}
HRESULT ComBoschECU::put_ecuActive(short value) {
  return call([&] { ecu_.ecuActive = value; });
}
HRESULT ComBoschECU::get_ecuFlashMode(::FlashModes* value) {
  return read(value, [&] { return static_cast<::FlashModes>(ecu_.ecuFlashMode); });
}
HRESULT ComBoschECU::put_ecuFlashMode(::FlashModes value) {
  return call([&] { ecu_.ecuFlashMode = value; });
}
HRESULT ComBoschECU::get_ecuResults(BSTR* value) {
  return read(value, [&] { return BstrOfBytes(ecu_.ecuResults); });
}
HRESULT ComBoschECU::put_ecuResults(BSTR value) {
  return call([&] { ecu_.ecuResults = BytesOfBstr(value); });
}
HRESULT ComBoschECU::get_ecuGetCalText(VARIANT_BOOL* value) {
  return read(value, [&] { return BoolOf(ecu_.ecuGetCalText); });
}
HRESULT ComBoschECU::put_ecuGetCalText(VARIANT_BOOL value) {
  return call([&] { ecu_.ecuGetCalText = value != VARIANT_FALSE; });
}

// ---- Properties ----

HRESULT ComBoschECU::get_NumActive(short* value) {
  return read(value, [&] { return ecu_.NumActive(); });
}
HRESULT ComBoschECU::get_ThreadID(LONG* value) {
  return read(value, [&] { return ecu_.ThreadID(); });
}
HRESULT ComBoschECU::get_idCustomer(BSTR* value) {
  return read(value, [&] { return BstrOfBytes(ecu_.idCustomer()); });
}
HRESULT ComBoschECU::get_idSoftware(BSTR* value) {
  return read(value, [&] { return BstrOfBytes(ecu_.idSoftware()); });
}
HRESULT ComBoschECU::get_idHardware(BSTR* value) {
  return read(value, [&] { return BstrOfBytes(ecu_.idHardware()); });
}
HRESULT ComBoschECU::get_ClientName(BSTR* value) {
  return read(value, [&] { return BstrOfBytes(ecu_.ClientName()); });
}
HRESULT ComBoschECU::put_ClientName(BSTR* value) {
  if (!value) return E_POINTER;
  return call([&] { ecu_.setClientName(BytesOfBstr(*value)); });
}
HRESULT ComBoschECU::get_BaseTimingMode(VARIANT_BOOL* value) {
  return read(value, [&] { return BoolOf(ecu_.BaseTimingMode()); });
}
HRESULT ComBoschECU::put_BaseTimingMode(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  return call([&] { ecu_.setBaseTimingMode(IsTrue(value)); });
}
HRESULT ComBoschECU::get_Device(::ecuDevices* value) {
  return read(value, [&] { return static_cast<::ecuDevices>(ecu_.Device()); });
}
HRESULT ComBoschECU::put_Device(::ecuDevices* value) {
  if (!value) return E_POINTER;
  return call([&] { ecu_.setDevice(*value); });
}
HRESULT ComBoschECU::get_DebugMode(VARIANT_BOOL* value) {
  return read(value, [&] { return BoolOf(ecu_.DebugMode()); });
}
HRESULT ComBoschECU::put_DebugMode(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  return call([&] { ecu_.setDebugMode(IsTrue(value)); });
}
HRESULT ComBoschECU::get_portNum(short* value) {
  return read(value, [&] { return ecu_.portNum(); });
}
HRESULT ComBoschECU::get_Pullup(VARIANT_BOOL* value) {
  return read(value, [&] { return BoolOf(ecu_.Pullup()); });
}
HRESULT ComBoschECU::put_Pullup(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  return call([&] { ecu_.setPullup(IsTrue(value)); });
}
HRESULT ComBoschECU::get_Results(VARIANT* value) {
  if (!value) return E_POINTER;
  return call([&] { VariantOf(ecu_.Results(), value); });
}
HRESULT ComBoschECU::get_State(::ecuStatus* value) {
  return read(value, [&] { return static_cast<::ecuStatus>(ecu_.State()); });
}
HRESULT ComBoschECU::get_Busy(VARIANT_BOOL* value) {
  return read(value, [&] { return BoolOf(ecu_.Busy()); });
}
HRESULT ComBoschECU::put_Busy(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  return call([&] { ecu_.setBusy(IsTrue(value)); });
}
HRESULT ComBoschECU::get_Ready(VARIANT_BOOL* value) {
  return read(value, [&] { return BoolOf(ecu_.Ready()); });
}

// ---- Methods ----

HRESULT ComBoschECU::TellClient(BSTR* note) {
  if (!note) return E_POINTER;
  return call([&] { ecu_.TellClient(BytesOfBstr(*note)); });
}
HRESULT ComBoschECU::AddItem(short* itemNum, LONG* addr, short size, ::ecuKind* kind) {
  if (!itemNum || !addr || !kind) return E_POINTER;
  return call([&] { ecu_.AddItem(*itemNum, *addr, size, *kind); });
}
HRESULT ComBoschECU::Watch(short* itemNum, short* Priority) {
  if (!itemNum || !Priority) return E_POINTER;
  return call([&] { ecu_.Watch(*itemNum, *Priority); });
}
HRESULT ComBoschECU::ClearItems() {
  return call([&] { ecu_.ClearItems(); });
}
HRESULT ComBoschECU::ClearFaults() {
  return call([&] { ecu_.ClearFaults(); });
}

// The caller's array says which ports to look at (its index range) and receives the
// answers.
HRESULT ComBoschECU::PortsFree(SAFEARRAY** freePorts) {
  if (!freePorts || !*freePorts) return E_POINTER;
  SAFEARRAY* array = *freePorts;
  VARTYPE type = VT_EMPTY;
  if (::SafeArrayGetDim(array) != 1 || FAILED(::SafeArrayGetVartype(array, &type)) ||
      type != VT_BOOL) {
    return E_INVALIDARG;
  }
  LONG lo = 0;
  LONG hi = -1;
  ::SafeArrayGetLBound(array, 1, &lo);
  ::SafeArrayGetUBound(array, 1, &hi);
  if (lo < 0 || hi > 0x7FFF) return E_INVALIDARG;
  std::vector<bool> answers(static_cast<std::size_t>(hi - lo + 1), false);
  const HRESULT hr = call([&] { ecu_.PortsFree(static_cast<std::int16_t>(lo), answers); });
  for (LONG i = lo; i <= hi; ++i) {
    VARIANT_BOOL b = BoolOf(answers[static_cast<std::size_t>(i - lo)]);
    ::SafeArrayPutElement(array, &i, &b);
  }
  return hr;
}

HRESULT ComBoschECU::MellowOut() {
  return call([&] { ecu_.MellowOut(); });
}
HRESULT ComBoschECU::InitComm(short* portNum) {
  if (!portNum) return E_POINTER;
  return call([&] { ecu_.InitComm(*portNum); });
}
HRESULT ComBoschECU::command(short* cmdOp) {
  if (!cmdOp) return E_POINTER;
  return call([&] { ecu_.command(*cmdOp); });
}
HRESULT ComBoschECU::GetInfo(short* index, BSTR* info) {
  if (!index || !info) return E_POINTER;
  return call([&] { *info = BstrOfBytes(ecu_.GetInfo(*index)); });
}
HRESULT ComBoschECU::FlashIdent(VARIANT* ident) {
  if (!ident) return E_POINTER;
  return call([&] { VariantOf(ecu_.FlashIdent(), ident); });
}
HRESULT ComBoschECU::FlashInit(short* blockSize) {
  return read(blockSize, [&] { return ecu_.FlashInit(); });
}
HRESULT ComBoschECU::FlashReadCalText() {
  return call([&] { ecu_.FlashReadCalText(); });
}
HRESULT ComBoschECU::FlashStatus(::FlashModes* mode) {
  return read(mode, [&] { return static_cast<::FlashModes>(ecu_.FlashStatus()); });
}
HRESULT ComBoschECU::FlashWrite(BSTR* dataBlock) {
  if (!dataBlock) return E_POINTER;
  return call([&] { ecu_.FlashWrite(BytesOfBstr(*dataBlock)); });
}
HRESULT ComBoschECU::FlashVerify(LONG* targetValue) {
  if (!targetValue) return E_POINTER;
  return call([&] { ecu_.FlashVerify(*targetValue); });
}
HRESULT ComBoschECU::FlashAbort() {
  return call([&] { ecu_.FlashAbort(); });
}
HRESULT ComBoschECU::PacketNotify(VARIANT* rawInfo) {
  if (!rawInfo) return E_POINTER;
  Variant value;
  if (FAILED(VariantFrom(*rawInfo, value))) return DISP_E_TYPEMISMATCH;
  return call([&] { ecu_.PacketNotify(value); });
}
HRESULT ComBoschECU::RunTask(VARIANT_BOOL asynch) {
  return call([&] { ecu_.RunTask(asynch != VARIANT_FALSE); });
}
HRESULT ComBoschECU::ecuLogTime() {
  return call([&] { ecu_.ecuLogTime(); });
}

}  // namespace quorvan::host::win

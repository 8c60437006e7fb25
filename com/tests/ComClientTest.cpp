// A COM client of the registered server, as an existing Windows client binds to it: it
// creates the class by its ProgID, checks every member's dispatch id by name, connects
// to the events, and runs a Visteon identification and watch session against the
// controller on the given COM port (ecusim --pid 0C=1AF8 --pid 05=5A). It shows a
// top-level window of class "ThunderRT6FormDC" as its main window, which the server's
// presence check looks for; when the window and the last reference have gone, the
// server ends. One line per check; exit code 0 when all passed.
//
//   ComClientTest.exe PORT
// windows.h first: the other system headers need it.
#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "EcuQuorvanBT.h"

namespace {

constexpr const wchar_t* kProgId = L"EcuQuorvanBT.clsBoschECU";
constexpr const wchar_t* kCaption = L"Quorvan COM client test";

struct Member {
  const wchar_t* name;
  DISPID id;
};

// The dispatch ids compiled into existing clients.
constexpr Member kMembers[] = {
    {L"ecuActive", 0x40030000},      {L"ecuFlashMode", 0x40030001},
    {L"ecuResults", 0x40030002},     {L"ecuGetCalText", 0x40030003},
    {L"NumActive", 0x68030000},      {L"ThreadID", 0x68030001},
    {L"idCustomer", 0x68030002},     {L"idSoftware", 0x68030003},
    {L"idHardware", 0x68030004},     {L"ClientName", 0x68030005},
    {L"BaseTimingMode", 0x68030006}, {L"Device", 0x68030007},
    {L"DebugMode", 0x68030008},      {L"portNum", 0x68030009},
    {L"Pullup", 0x6803000A},         {L"Results", 0x6803000B},
    {L"State", 0x6803000C},          {L"Busy", 0x6803000D},
    {L"Ready", 0x6803000E},          {L"TellClient", 0x6003000F},
    {L"AddItem", 0x60030013},        {L"Watch", 0x60030014},
    {L"ClearItems", 0x60030015},     {L"ClearFaults", 0x60030016},
    {L"PortsFree", 0x60030017},      {L"MellowOut", 0x60030018},
    {L"InitComm", 0x60030019},       {L"command", 0x6003001A},
    {L"GetInfo", 0x6003001B},        {L"FlashIdent", 0x6003001C},
    {L"FlashInit", 0x6003001D},      {L"FlashReadCalText", 0x6003001E},
    {L"FlashStatus", 0x6003001F},    {L"FlashWrite", 0x60030020},
    {L"FlashVerify", 0x60030021},    {L"FlashAbort", 0x60030022},
    {L"PacketNotify", 0x60030023},   {L"RunTask", 0x60030028},
    {L"ecuLogTime", 0x60030029},
};

constexpr Member kEvents[] = {
    {L"CommStatus", 1},    {L"NewData", 2},         {L"NewFaults", 3}, {L"NewFlags", 4},
    {L"FaultsCleared", 5}, {L"CommandComplete", 6}, {L"DamnIt", 7},
};

constexpr const char* kVisteonIds[] = {"Visteon Controller", "PVM-100 (BE 1F B8 10)",
                                       "Victory Motorcycle"};

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (const wchar_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return s;
}

std::string Hex(long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(v));
  return buf;
}

// The events as they come: statuses in order, data values by item.
class Sink final : public IDispatch {
 public:
  std::vector<long> statuses;
  std::map<short, std::set<long>> data;
  std::vector<std::string> notes;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID___clsBoschECU) {
      *out = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    // Arguments come last first, each by reference.
    auto arg = [p](UINT i) -> VARIANT& { return p->rgvarg[p->cArgs - 1 - i]; };
    if (id == 1 && p->cArgs == 1) {
      statuses.push_back(*V_I4REF(&arg(0)));
    } else if (id == 2 && p->cArgs == 3) {
      VARIANT value;
      ::VariantInit(&value);
      if (SUCCEEDED(::VariantCopyInd(&value, V_VARIANTREF(&arg(2)))) &&
          SUCCEEDED(::VariantChangeType(&value, &value, 0, VT_I4))) {
        data[*V_I2REF(&arg(0))].insert(V_I4(&value));
      }
      ::VariantClear(&value);
    } else if (id == 7 && p->cArgs == 1) {
      notes.push_back(Narrow(*V_BSTRREF(&arg(0))));
    }
    return S_OK;
  }
};

// Serves this thread's messages (the server's event calls among them) until `done`
// holds or `ms` have passed.
bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    MSG m;
    while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&m);
      ::DispatchMessageW(&m);
    }
    if (done()) return true;
    if (::GetTickCount() - start >= ms) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

class Client {
 public:
  explicit Client(IDispatch* ecu) : ecu_(ecu) {}

  DISPID id(const wchar_t* name) {
    DISPID d = DISPID_UNKNOWN;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    ecu_->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &d);
    return d;
  }
  // Calls a method or reads a property; `args` in the order of the parameters.
  HRESULT invoke(const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS p{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
      p.rgdispidNamedArgs = &put;
      p.cNamedArgs = 1;
    }
    if (result) ::VariantInit(result);
    return ecu_->Invoke(id(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &p, result, nullptr,
                        nullptr);
  }
  std::string text(const wchar_t* name) {
    VARIANT v;
    if (FAILED(invoke(name, DISPATCH_PROPERTYGET, {}, &v)) || V_VT(&v) != VT_BSTR) return "?";
    std::string s;
    for (UINT i = 0; i < ::SysStringLen(V_BSTR(&v)); ++i)
      s.push_back(static_cast<char>(V_BSTR(&v)[i]));
    ::VariantClear(&v);
    return s;
  }
  HRESULT method(const wchar_t* name, std::vector<VARIANT> args = {}) {
    return invoke(name, DISPATCH_METHOD, std::move(args), nullptr);
  }
  // A method call that fails with the class's own error: its number and source.
  std::pair<long, std::string> error(const wchar_t* name, std::vector<VARIANT> args) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS p{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    EXCEPINFO e{};
    const HRESULT hr = ecu_->Invoke(id(name), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &p,
                                    nullptr, &e, nullptr);
    if (hr != DISP_E_EXCEPTION) return {hr, ""};
    if (e.pfnDeferredFillIn) e.pfnDeferredFillIn(&e);
    std::pair<long, std::string> got{e.scode, e.bstrSource ? Narrow(e.bstrSource) : ""};
    ::SysFreeString(e.bstrSource);
    ::SysFreeString(e.bstrDescription);
    ::SysFreeString(e.bstrHelpFile);
    return got;
  }

 private:
  IDispatch* ecu_;
};

template <typename T>
VARIANT Ref(VARTYPE type, T* value) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = static_cast<VARTYPE>(type | VT_BYREF);
  V_BYREF(&v) = value;
  return v;
}

VARIANT Value(VARTYPE type, long n) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = n;
  ::VariantChangeType(&v, &v, 0, type);
  return v;
}

HWND ShowMainWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ::DefWindowProcW;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"ThunderRT6FormDC";
  ::RegisterClassW(&wc);
  return ::CreateWindowExW(0, wc.lpszClassName, kCaption, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                           nullptr, nullptr, wc.hInstance, nullptr);
}

void CheckDispatchIds(Client& client, IDispatch* ecu) {
  for (const Member& m : kMembers) {
    const DISPID got = client.id(m.name);
    Check(got == m.id, "dispatch id of " + Narrow(m.name) + " " + Hex(got));
  }
  Check(client.id(L"idhardware") == 0x68030004, "names are found whatever their case");
  DISPID unknown = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"NoSuchMember");
  Check(ecu->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &unknown) == DISP_E_UNKNOWNNAME,
        "an unknown name is refused");
  // The events' ids, from the registered type library.
  ITypeLib* lib = nullptr;
  ITypeInfo* events = nullptr;
  const bool loaded = SUCCEEDED(::LoadRegTypeLib(LIBID_EcuQuorvanBT, 1, 1, 0x409, &lib)) &&
                      SUCCEEDED(lib->GetTypeInfoOfGuid(DIID___clsBoschECU, &events));
  Check(loaded, "the registered type library describes __clsBoschECU");
  if (!loaded) return;
  for (const Member& m : kEvents) {
    MEMBERID got = MEMBERID_NIL;
    LPOLESTR n = const_cast<LPOLESTR>(m.name);
    events->GetIDsOfNames(&n, 1, &got);
    Check(got == m.id, "dispatch id of the event " + Narrow(m.name) + " " + Hex(got));
  }
  events->Release();
  lib->Release();
}

void RunSession(Client& client, Sink& sink, short port) {
  Check(SUCCEEDED(client.method(L"RunTask", {Value(VT_BOOL, 0)})), "RunTask");
  PumpUntil([&] { return !sink.statuses.empty(); }, 5000);
  Check(sink.statuses == std::vector<long>{0}, "CommStatus(ecuReady) after RunTask");
  BSTR caption = ::SysAllocString(kCaption);
  long device = 4;  // ecuVisteon
  Check(SUCCEEDED(
            client.invoke(L"ClientName", DISPATCH_PROPERTYPUT, {Ref(VT_BSTR, &caption)}, nullptr)),
        "ClientName put");
  ::SysFreeString(caption);
  Check(SUCCEEDED(client.invoke(L"Device", DISPATCH_PROPERTYPUT, {Ref(VT_I4, &device)}, nullptr)),
        "Device put");
  Check(client.text(L"ClientName") == Narrow(kCaption), "ClientName reads back");
  Check(SUCCEEDED(client.method(L"InitComm", {Ref(VT_I2, &port)})),
        "InitComm(" + std::to_string(port) + ")");
  PumpUntil([&] { return sink.statuses.size() >= 3; }, 20000);
  Check(sink.statuses == std::vector<long>{0, 6, 7},
        "CommStatus ecuInitializing, then ecuCommOK (" + std::to_string(sink.statuses.size()) +
            " statuses)");
  Check(client.text(L"idHardware") == kVisteonIds[0], "idHardware " + client.text(L"idHardware"));
  Check(client.text(L"idSoftware") == kVisteonIds[1], "idSoftware " + client.text(L"idSoftware"));
  Check(client.text(L"idCustomer") == kVisteonIds[2], "idCustomer " + client.text(L"idCustomer"));

  struct Item {
    short num;
    long addr;
    short size;
  } items[] = {{1, 0x010C, 2}, {2, 0x0105, 1}, {3, 0x0111, 1}};
  for (Item& it : items) {
    long kind = 2;  // ecuData
    short priority = 1;
    Check(SUCCEEDED(client.method(L"AddItem", {Ref(VT_I2, &it.num), Ref(VT_I4, &it.addr),
                                               Value(VT_I2, it.size), Ref(VT_I4, &kind)})) &&
              SUCCEEDED(client.method(L"Watch", {Ref(VT_I2, &it.num), Ref(VT_I2, &priority)})),
          "AddItem and Watch item " + std::to_string(it.num));
  }
  short outside = 9999;
  short priority = 1;
  const auto refused = client.error(L"Watch", {Ref(VT_I2, &outside), Ref(VT_I2, &priority)});
  Check(refused.first == static_cast<long>(0x80040001) && refused.second == "MSE1",
        "an item number outside the watch table fails with 0x80040001 from MSE1 (" +
            Hex(refused.first) + " " + refused.second + ")");
  PumpUntil([&] { return sink.data[3].size() >= 2 && !sink.data[1].empty(); }, 20000);
  Check(sink.data[1] == std::set<long>{0x1AF8}, "NewData: engine speed 0x1AF8");
  Check(sink.data[2] == std::set<long>{0x5A}, "NewData: coolant temperature 0x5A");
  Check(sink.data[3].size() >= 2, "NewData: the throttle position drifts (" +
                                      std::to_string(sink.data[3].size()) + " values)");
  BSTR note = ::SysAllocString(L"hello");
  client.method(L"TellClient", {Ref(VT_BSTR, &note)});
  ::SysFreeString(note);
  PumpUntil([&] { return !sink.notes.empty(); }, 5000);
  Check(sink.notes == std::vector<std::string>{"hello"}, "TellClient comes back as DamnIt");
}

int Run(short port) {
  HWND window = ShowMainWindow();
  Check(window != nullptr, "the client's main window exists");
  CLSID clsid{};
  if (FAILED(::CLSIDFromProgID(kProgId, &clsid))) {
    Check(false, "the ProgID is registered");
    return 1;
  }
  IDispatch* ecu = nullptr;
  const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                        reinterpret_cast<void**>(&ecu));
  Check(SUCCEEDED(hr), "CoCreateInstance " + Hex(hr));
  if (FAILED(hr)) return 1;
  Client client(ecu);
  CheckDispatchIds(client, ecu);

  Sink sink;
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  const bool advised = SUCCEEDED(ecu->QueryInterface(IID_IConnectionPointContainer,
                                                     reinterpret_cast<void**>(&container))) &&
                       SUCCEEDED(container->FindConnectionPoint(DIID___clsBoschECU, &point)) &&
                       SUCCEEDED(point->Advise(&sink, &cookie));
  Check(advised, "connected to the events");
  if (advised) RunSession(client, sink, port);

  // The client leaves as a real one does: port closed, window gone, references released.
  short closePort = -1;
  client.method(L"InitComm", {Ref(VT_I2, &closePort)});
  if (point) {
    point->Unadvise(cookie);
    point->Release();
  }
  if (container) container->Release();
  ::DestroyWindow(window);
  ecu->Release();
  return failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ComClientTest PORT\n");
    return 2;
  }
  const short port = static_cast<short>(std::wcstol(argv[1], nullptr, 10));
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const int code = Run(port);
  ::CoUninitialize();
  std::printf("%s\n", code == 0 ? "COM client test passed" : "COM client test FAILED");
  return code;
}

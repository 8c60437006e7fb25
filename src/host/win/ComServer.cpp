#include "host/win/ComServer.h"

#include <cwctype>

// The engine's headers first (see ComBoschECU.h).
#include "app/Families.h"
#include "runtime/frmCommThread.h"

#include "host/win/ComBoschECU.h"
#include "host/win/ComRegistration.h"
#include "platform/Win32Clock.h"
#include "platform/Win32Serial.h"
#include "platform/Win32System.h"

// windows.h first: the other system headers need it.
#include <windows.h>

#include <objbase.h>

#include "EcuQuorvanBT.h"

namespace quorvan::host::win {

namespace {

// Hands out the one object.
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(ComBoschECU& object) : object_(object) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives as long as the server
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    return object_.QueryInterface(riid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      object_.AddRef();
    } else {
      object_.Release();
    }
    return S_OK;
  }

 private:
  ComBoschECU& object_;
};

// Dispatches the window messages queued for this thread (COM calls among them). Runs
// at every turn of the loop, so calls are served inside yielding waits too.
void PumpMessages(MessageLoop& loop, ComBoschECU& object) {
  MSG m;
  while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      loop.quit();
      return;
    }
    ::TranslateMessage(&m);
    ::DispatchMessageW(&m);
    if (auto end = object.takeEnd()) throw *end;
  }
}

void Say(const std::wstring& line, DWORD stream) {
  const std::wstring text = line + L"\r\n";
  HANDLE h = ::GetStdHandle(stream);
  if (!h || h == INVALID_HANDLE_VALUE) return;
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n,
                        nullptr, nullptr);
  DWORD written = 0;
  ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int Fail(const std::wstring& what, HRESULT hr) {
  wchar_t code[16];
  ::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  Say(L"EcuQuorvanBT: " + what + L" (" + code + L")", STD_ERROR_HANDLE);
  return 1;
}

// The type information of _clsBoschECU, from the library in this program.
HRESULT LoadInterfaceInfo(ITypeInfo** out) {
  ITypeLib* typeLib = nullptr;
  HRESULT hr = LoadOwnTypeLib(&typeLib);
  if (FAILED(hr)) return hr;
  hr = typeLib->GetTypeInfoOfGuid(IID__clsBoschECU, out);
  typeLib->Release();
  return hr;
}

int ServeOn(ITypeInfo* typeInfo) {
  Win32Clock clock;
  MessageLoop loop(clock);
  Win32SerialBackend serial(loop);
  Win32WindowDirectory windows;
  modGlobals globals;
  globals.makeFamilies = MakeFamilyTable;
  Win32Alerts alerts([&globals] { return globals.gDebugMode; });
  DriveC driveC("C:\\");
  Win32ProcessControl process;
  Platform platform{clock, loop, serial, windows, alerts, driveC, process};
  clsBoschECU ecu(platform, globals);
  // When no client holds the class any more, the presence check runs at once; a server
  // whose comm form was never started has nobody to serve and ends.
  ComBoschECU object(ecu, typeInfo, loop, [&globals] {
    if (frmCommThread* form = globals.frmHidden) {
      form->DieIfNoClients();
    } else {
      throw ProcessEnd{0};
    }
  });
  ClassFactory factory(object);
  DWORD cookie = 0;
  const HRESULT hr = ::CoRegisterClassObject(CLSID_clsBoschECU, &factory, CLSCTX_LOCAL_SERVER,
                                             REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) return Fail(L"cannot register the class object", hr);
  const auto hook = loop.addPrepareHook([&] { PumpMessages(loop, object); });
  int code = 0;
  try {
    loop.run();
  } catch (const ProcessEnd& end) {
    code = end.exitCode;
  }
  loop.removePrepareHook(hook);
  ::CoRevokeClassObject(cookie);
  object.disconnect();
  return code;
}

int Serve() {
  HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail(L"cannot start COM", hr);
  ITypeInfo* typeInfo = nullptr;
  int code = 1;
  if (FAILED(hr = LoadInterfaceInfo(&typeInfo))) {
    Fail(L"cannot load the type library", hr);
  } else {
    code = ServeOn(typeInfo);
    typeInfo->Release();
  }
  ::CoUninitialize();
  return code;
}

// "/RegServer", "-regserver"...: the switch's name in lower case, else nothing.
std::wstring SwitchName(const std::wstring& arg) {
  if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) return {};
  std::wstring name;
  for (const wchar_t c : arg.substr(1)) name.push_back(static_cast<wchar_t>(std::towlower(c)));
  return name;
}

}  // namespace

int ServerMain(const std::vector<std::wstring>& args) {
  for (const auto& arg : args) {
    const std::wstring name = SwitchName(arg);
    if (name != L"regserver" && name != L"unregserver") continue;
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    std::wstring report;
    const HRESULT hr = name == L"regserver" ? RegisterServer(report) : UnregisterServer(report);
    ::CoUninitialize();
    if (FAILED(hr)) return Fail(report, hr);
    Say(report, STD_OUTPUT_HANDLE);
    return 0;
  }
  return Serve();
}

}  // namespace quorvan::host::win

#include "host/win/ComRegistration.h"

#include <oleauto.h>

#include <vector>

#include "EcuQuorvanBT.h"

namespace quorvan::host::win {

namespace {

constexpr WORD kMajor = 1;
constexpr WORD kMinor = 1;
constexpr LCID kLanguage = 0x409;

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ClassKey() {
  return L"CLSID\\" + GuidText(CLSID_clsBoschECU);
}

// Sets the default value (empty name) or a named value of HKCR\<key>.
HRESULT SetText(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h = nullptr;
  LSTATUS s = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                &h, nullptr);
  if (s != ERROR_SUCCESS) return HRESULT_FROM_WIN32(s);
  s = ::RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(h);
  return HRESULT_FROM_WIN32(s);
}

HRESULT DeleteTree(const std::wstring& key) {
  const LSTATUS s = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND) {
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    return S_OK;
  }
  return HRESULT_FROM_WIN32(s);
}

std::wstring Name(ITypeInfo* info) {
  BSTR name = nullptr;
  if (FAILED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr))) return {};
  std::wstring s(name, ::SysStringLen(name));
  ::SysFreeString(name);
  return s;
}

}  // namespace

std::wstring ExePath() {
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

HRESULT LoadOwnTypeLib(ITypeLib** out) {
  return ::LoadTypeLibEx(ExePath().c_str(), REGKIND_NONE, out);
}

std::wstring ProgIdOf(ITypeLib* typeLib) {
  BSTR library = nullptr;
  if (FAILED(typeLib->GetDocumentation(-1, &library, nullptr, nullptr, nullptr))) return {};
  std::wstring progId(library, ::SysStringLen(library));
  ::SysFreeString(library);
  ITypeInfo* coclass = nullptr;
  if (FAILED(typeLib->GetTypeInfoOfGuid(CLSID_clsBoschECU, &coclass))) return {};
  progId += L"." + Name(coclass);
  coclass->Release();
  return progId;
}

HRESULT RegisterServer(std::wstring& report) {
  const std::wstring exe = ExePath();
  ITypeLib* typeLib = nullptr;
  HRESULT hr = ::LoadTypeLibEx(exe.c_str(), REGKIND_REGISTER, &typeLib);
  if (FAILED(hr)) {
    report = L"cannot register the type library of " + exe;
    return hr;
  }
  const std::wstring progId = ProgIdOf(typeLib);
  typeLib->Release();
  const std::wstring clsid = GuidText(CLSID_clsBoschECU);
  const std::wstring key = ClassKey();
  const std::wstring className = progId.substr(progId.find(L'.') + 1);
  const std::pair<std::wstring, std::wstring> values[] = {
      {key, className},
      {key + L"\\LocalServer32", L"\"" + exe + L"\""},
      {key + L"\\ProgID", progId},
      {key + L"\\TypeLib", GuidText(LIBID_EcuQuorvanBT)},
      {key + L"\\Version", std::to_wstring(kMajor) + L"." + std::to_wstring(kMinor)},
      {progId, className},
      {progId + L"\\CLSID", clsid},
  };
  for (const auto& [k, v] : values) {
    if (FAILED(hr = SetText(k, nullptr, v))) {
      report = L"cannot write HKEY_CLASSES_ROOT\\" + k;
      return hr;
    }
  }
  report = L"Registered " + progId + L" " + clsid + L" served by " + exe;
  return S_OK;
}

HRESULT UnregisterServer(std::wstring& report) {
  std::wstring progId;
  ITypeLib* typeLib = nullptr;
  if (SUCCEEDED(LoadOwnTypeLib(&typeLib))) {
    progId = ProgIdOf(typeLib);
    typeLib->Release();
  }
  // A type library that is not registered is no failure here.
  (void)::UnRegisterTypeLib(LIBID_EcuQuorvanBT, kMajor, kMinor, kLanguage, SYS_WIN64);
  HRESULT hr = DeleteTree(ClassKey());
  if (SUCCEEDED(hr) && !progId.empty()) hr = DeleteTree(progId);
  report = SUCCEEDED(hr) ? L"Removed " + progId + L" " + GuidText(CLSID_clsBoschECU)
                         : L"cannot remove the keys of " + progId;
  return hr;
}

}  // namespace quorvan::host::win

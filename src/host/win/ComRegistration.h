#pragma once
// The server's self-registration: /RegServer writes its type library and the class's
// keys (CLSID with LocalServer32, ProgID, TypeLib and Version; the ProgID with its
// CLSID), /UnRegServer removes them. The ProgID is the library's name, a point and the
// class's name, as the type library gives them.
#include <oaidl.h>
#include <windows.h>

#include <string>

namespace quorvan::host::win {

// This program's full path.
std::wstring ExePath();
// The type library embedded in this program.
HRESULT LoadOwnTypeLib(ITypeLib** out);
// "EcuQuorvanBT.clsBoschECU", from the type library.
std::wstring ProgIdOf(ITypeLib* typeLib);

// Both return S_OK or the first failure; `report` receives one line about what was done.
HRESULT RegisterServer(std::wstring& report);
HRESULT UnregisterServer(std::wstring& report);

}  // namespace quorvan::host::win

// The ECU communications server as a Windows COM local server.
// windows.h first: the other system headers need it.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "host/win/ComServer.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::wstring> args;
  for (int i = 1; argv && i < argc; ++i) args.emplace_back(argv[i]);
  if (argv) ::LocalFree(argv);
  return quorvan::host::win::ServerMain(args);
}

#pragma once
// The Windows COM local server EcuQuorvanBT.exe:
//   /RegServer     registers the server (see ComRegistration.h)
//   /UnRegServer   removes the registration
//   -Embedding     (as COM starts it) or no argument: serves
// It serves its one client until the presence check ends it (DieGracefully), or, when no
// comm form was ever started, until the last client has released the class.
#include <string>
#include <vector>

namespace quorvan::host::win {

int ServerMain(const std::vector<std::wstring>& args);

}  // namespace quorvan::host::win

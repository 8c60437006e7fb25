#pragma once
// Process-wide state shared by the client class and the comm form.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/Enums.h"
#include "client/WatchTable.h"
#include "runtime/FamilyTable.h"

namespace quorvan {

class frmCommThread;
class clsBoschECU;

inline constexpr const char* kUnknownId = "UNKNOWN";

struct modGlobals {
  // The comm form; a second RunTask starts a second form and leaves the first loaded.
  frmCommThread* frmHidden = nullptr;
  std::vector<std::unique_ptr<frmCommThread>> loadedForms;

  clsBoschECU* gTaskObject = nullptr;
  std::uint64_t gTaskTimerID = 0;

  bool gServerReady = false;
  std::int32_t gEcuState = ecuReady;
  bool gBusy = false;
  bool gDebugMode = false;
  bool gTimingMode = false;
  std::string gClientName;
  std::int32_t gEcuDevice = 0;
  std::array<std::string, 3> gEcuIds{kUnknownId, kUnknownId, kUnknownId};
  bool gFlashAbort = false;

  // Watch table.
  WatchTableArray ecuWatchTable{};
  std::int16_t gMaxItem = 0;
  std::int16_t gCurItem = 0;
  std::int16_t gPollCycle = 0;

  // Initialisation breadcrumb and the run status of the free-running loops.
  std::string gInitStep;
  bool gFichtRunning = false;
  bool gMbeRunning = false;

  // Builds the families of each comm form; set when the server is put together. Without
  // it every device value is "not served".
  FamilyTableFactory makeFamilies;

  modGlobals();
  ~modGlobals();
  modGlobals(const modGlobals&) = delete;
  modGlobals& operator=(const modGlobals&) = delete;
};

}  // namespace quorvan

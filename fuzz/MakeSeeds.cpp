// Writes the session targets' seeds: what each family's simulated controller said in a
// session, for a few sets of client choices. Usage: make_fuzz_seeds CORPUS_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "Session.h"

int main(int argc, char** argv) {
  using namespace quorvan::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds CORPUS_DIR\n");
    return 2;
  }
  const std::filesystem::path corpus = argv[1];
  const std::uint8_t choiceSets[] = {
      0,
      choice::kDebugTrace | choice::kClearFaults | choice::kCommand,
      choice::kRestartLink | choice::kFlashSteps,
  };
  for (const SessionFamily& family : SessionFamilies()) {
    const auto dir = corpus / family.target;
    std::filesystem::create_directories(dir);
    for (const std::uint8_t choices : choiceSets) {
      char name[32];
      std::snprintf(name, sizeof name, "simulated-%02x", choices);
      std::ofstream(dir / name, std::ios::binary) << RecordSession(family, choices);
    }
  }
  return 0;
}

// Every seed of the fuzz corpora and every input that once made a fuzz target fail runs
// through its target again: the faults found stay mended, and the sanitizer build
// exercises the corpora too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzTargets.h"

namespace quorvan::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = QUORVAN_FUZZ_DIR;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The inputs kept for a target under one folder (corpus or regressions).
std::vector<fs::path> InputsOf(const char* folder, const FuzzTarget& target) {
  std::vector<fs::path> files;
  const fs::path dir = kFuzzDir / folder / target.name;
  if (!fs::is_directory(dir)) return files;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

int Replay(const char* folder) {
  int inputs = 0;
  for (const FuzzTarget& target : FuzzTargets()) {
    for (const fs::path& file : InputsOf(folder, target)) {
      SCOPED_TRACE(file.string());
      target.run(ReadFile(file));
      ++inputs;
    }
  }
  return inputs;
}

TEST(FuzzReplay, EveryTargetHasSeeds) {
  for (const FuzzTarget& target : FuzzTargets()) {
    EXPECT_FALSE(InputsOf("corpus", target).empty()) << target.name;
  }
}

TEST(FuzzReplay, TheCorporaRunThrough) {
  EXPECT_GT(Replay("corpus"), 0);
}

TEST(FuzzReplay, InputsThatOnceFailedRunThrough) {
  Replay("regressions");
}

}  // namespace
}  // namespace quorvan::fuzz

#include "host/cli/DemoDirectory.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

namespace quorvan::host {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = "quorvan-demo-";

// The pid a demo directory's name carries ("quorvan-demo-<pid>-XXXXXX").
std::optional<pid_t> ownerOf(const std::string& name) {
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  long pid = 0;
  std::size_t i = kPrefix.size();
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < 1'000'000'000; ++i) {
    pid = pid * 10 + (name[i] - '0');
  }
  if (i == kPrefix.size() || i >= name.size() || name[i] != '-' || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

// A process we may not signal runs all the same.
bool isRunning(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

bool isOwnDirectory(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace

void RemoveDeadDemoDirectories(const fs::path& parent) {
  std::error_code ec;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    const auto owner = ownerOf(it->path().filename().string());
    if (!owner || isRunning(*owner) || !isOwnDirectory(it->path())) continue;
    std::error_code ignored;
    fs::remove_all(it->path(), ignored);
  }
}

fs::path DemoDirectory::TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? fs::path(tmp) : fs::path("/tmp");
}

DemoDirectory::DemoDirectory(const fs::path& parent) {
  RemoveDeadDemoDirectories(parent);
  std::string pattern =
      (parent / (std::string(kPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "making a temporary directory");
  }
  path_ = pattern;
}

DemoDirectory::~DemoDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

}  // namespace quorvan::host

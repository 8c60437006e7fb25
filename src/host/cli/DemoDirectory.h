#pragma once
// The demo's directory of its own: "quorvan-demo-<pid>-XXXXXX" under $TMPDIR (its private
// bus, the simulator's output, the server's registration). A demo removes it when it ends;
// one killed outright cannot, and the pid in the name tells the next demo that its owner
// is gone.
#include <filesystem>

namespace quorvan::host {

class DemoDirectory {
 public:
  // Made in `parent` after removing what dead demos left there. Throws std::system_error.
  explicit DemoDirectory(const std::filesystem::path& parent = TempRoot());
  // Removes it with everything in it.
  ~DemoDirectory();
  DemoDirectory(const DemoDirectory&) = delete;
  DemoDirectory& operator=(const DemoDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // $TMPDIR, else /tmp.
  static std::filesystem::path TempRoot();

 private:
  std::filesystem::path path_;
};

// Removes the demo directories in `parent` whose demo has ended: those of this user whose
// name carries the pid of a process that no longer runs.
void RemoveDeadDemoDirectories(const std::filesystem::path& parent);

}  // namespace quorvan::host

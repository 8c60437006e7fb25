#pragma once
// "Drive C": the directory that receives the trace-back and info files. It is
// $QUORVAN_DRIVE_C, else ~/.local/state/quorvan.
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace quorvan {

class DriveC {
 public:
  explicit DriveC(std::filesystem::path dir) : dir_(std::move(dir)) {}
  static DriveC fromEnvironment();

  const std::filesystem::path& dir() const { return dir_; }
  // Appends text to the named file (created if absent, directory too). Returns what
  // went wrong (a directory that cannot be made, a file that cannot be opened, a full
  // disk), or no error.
  std::error_code tryAppend(const std::string& fileName, const std::string& text) const;
  // The same, throwing std::system_error on failure.
  void append(const std::string& fileName, const std::string& text) const;

  // Runs before each write; tests use it to stand for a slow disk.
  std::function<void()> beforeWrite;

 private:
  std::filesystem::path dir_;
};

}  // namespace quorvan

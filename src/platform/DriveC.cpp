#include "platform/DriveC.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace quorvan {

DriveC DriveC::fromEnvironment() {
  if (const char* d = std::getenv("QUORVAN_DRIVE_C"); d && *d) return DriveC(d);
  const char* home = std::getenv("HOME");
  return DriveC(std::filesystem::path(home && *home ? home : ".") / ".local/state/quorvan");
}

void DriveC::append(const std::string& fileName, const std::string& text) const {
  std::filesystem::create_directories(dir_);
  std::ofstream out(dir_ / fileName, std::ios::binary | std::ios::app);
  if (!out) throw std::system_error(errno ? errno : EIO, std::generic_category(), fileName);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) throw std::system_error(EIO, std::generic_category(), fileName);
}

}  // namespace quorvan

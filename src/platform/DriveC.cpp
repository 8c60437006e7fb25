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

std::error_code DriveC::tryAppend(const std::string& fileName, const std::string& text) const {
  if (beforeWrite) beforeWrite();
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  if (ec) return ec;
  errno = 0;
  std::ofstream out(dir_ / fileName, std::ios::binary | std::ios::app);
  if (!out) return {errno ? errno : EIO, std::generic_category()};
  errno = 0;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();  // a full disk shows here, when the buffer is written
  if (!out) return {errno ? errno : EIO, std::generic_category()};
  return {};
}

void DriveC::append(const std::string& fileName, const std::string& text) const {
  if (const std::error_code ec = tryAppend(fileName, text)) throw std::system_error(ec, fileName);
}

}  // namespace quorvan

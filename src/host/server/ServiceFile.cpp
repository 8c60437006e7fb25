#include "host/server/ServiceFile.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "host/common/BusNames.h"

namespace quorvan::host {

namespace {

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  throw std::runtime_error("cannot tell the home directory (HOME is not set)");
}

// The bus splits Exec= like a shell: quote a path that holds anything but plain
// characters.
std::string quotedForExec(const std::string& path) {
  if (path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                             "0123456789/._+-") == std::string::npos) {
    return path;
  }
  std::string quoted = "'";
  for (const char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::filesystem::path ServiceDirectory(const std::optional<std::string>& xdgDataHome,
                                       const std::filesystem::path& home) {
  std::filesystem::path data;
  if (xdgDataHome && std::filesystem::path(*xdgDataHome).is_absolute()) {
    data = *xdgDataHome;
  } else {
    data = home / ".local" / "share";
  }
  return data / "dbus-1" / "services";
}

std::filesystem::path ServiceDirectoryFromEnvironment() {
  std::optional<std::string> xdg;
  if (const char* v = std::getenv("XDG_DATA_HOME"); v && *v) xdg = v;
  const bool xdgUsable = xdg && std::filesystem::path(*xdg).is_absolute();
  return ServiceDirectory(xdg, xdgUsable ? std::filesystem::path() : homeDirectory());
}

std::string ServiceFileText(const std::filesystem::path& executable) {
  return std::string("[D-BUS Service]\nName=") + kBusName +
         "\nExec=" + quotedForExec(executable.string()) + "\n";
}

std::filesystem::path WriteServiceFile(const std::filesystem::path& directory,
                                       const std::filesystem::path& executable) {
  std::filesystem::create_directories(directory);
  const auto file = directory / kServiceFileName;
  const auto temp = directory / (std::string(kServiceFileName) + ".new");
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << ServiceFileText(executable);
    if (!out.flush()) throw std::runtime_error("cannot write " + temp.string());
  }
  // Renamed into place: the bus never reads a half-written file.
  std::filesystem::rename(temp, file);
  return file;
}

bool RemoveServiceFile(const std::filesystem::path& directory) {
  return std::filesystem::remove(directory / kServiceFileName);
}

}  // namespace quorvan::host

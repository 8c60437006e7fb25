#include "platform/PortsDirectory.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace quorvan {

namespace fs = std::filesystem;

namespace {

// The port number named by a "com<n>" file name, or 0.
int portOfName(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "com") != 0 || name[3] == '0') return 0;
  int n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 99'999'999) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

bool entryExists(const fs::path& p) {
  std::error_code ec;
  return fs::symlink_status(p, ec).type() != fs::file_type::not_found && !ec;
}

// A symbolic link whose target is missing.
bool isDangling(const fs::path& p) {
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(p, ec))) return false;
  return !fs::exists(fs::status(p, ec));
}

}  // namespace

PortsDirectory PortsDirectory::fromEnvironment() {
  if (const char* d = std::getenv("QUORVAN_PORTS"); d && *d) return PortsDirectory(d);
  const char* home = std::getenv("HOME");
  return PortsDirectory(fs::path(home && *home ? home : ".") / ".local/share/quorvan/ports");
}

std::string PortsDirectory::linkName(int portNumber) {
  return "com" + std::to_string(portNumber);
}

std::optional<PortsDirectory::Location> PortsDirectory::locate(int portNumber) const {
  if (portNumber < 1) return std::nullopt;
  const fs::path link = dir_ / linkName(portNumber);
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(link, ec);
  if (!ec && fs::is_symlink(st)) {
    fs::path target = fs::read_symlink(link, ec);
    if (!ec) return Location{target.is_absolute() ? target : dir_ / target, Source::Link};
  } else if (!ec && st.type() != fs::file_type::not_found) {
    // A device node (or anything else) placed there under that name.
    return Location{link, Source::Entry};
  }
  return Location{devDir_ / ("ttyUSB" + std::to_string(portNumber - 1)), Source::TtyUsb};
}

std::optional<fs::path> PortsDirectory::resolve(int portNumber) const {
  const auto where = locate(portNumber);
  if (!where) return std::nullopt;
  return where->device;
}

std::string PortsDirectory::describe(int portNumber) const {
  const auto where = locate(portNumber);
  if (!where) return "invalid port number " + std::to_string(portNumber) + " (ports count from 1)";
  std::string origin = "port " + std::to_string(portNumber);
  if (where->source != Source::Entry) {
    origin += (where->source == Source::Link ? ": link " : ": no link ") + linkName(portNumber) +
              " in " + dir_.string();
  }
  return where->device.string() + " (" + origin + ")";
}

std::vector<int> PortsDirectory::linkedPorts() const {
  std::vector<int> ports;
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    if (const int n = portOfName(it->path().filename().string()); n > 0) ports.push_back(n);
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

int PortsDirectory::firstFreePort(int from) const {
  for (int n = std::max(from, 1);; ++n) {
    const fs::path link = dir_ / linkName(n);
    if (entryExists(link) && !isDangling(link)) continue;
    if (entryExists(devDir_ / ("ttyUSB" + std::to_string(n - 1)))) continue;
    return n;
  }
}

int PortsDirectory::publish(const fs::path& device) const {
  fs::create_directories(dir_);
  for (int n = firstFreePort(1);; n = firstFreePort(n + 1)) {
    const fs::path link = dir_ / linkName(n);
    if (isDangling(link)) {
      publishAs(n, device);
      return n;
    }
    std::error_code ec;
    fs::create_symlink(device, link, ec);
    if (!ec) return n;
    if (ec != std::errc::file_exists) {
      throw fs::filesystem_error("cannot publish serial port", device, link, ec);
    }
    // Someone else took that name meanwhile: try the next one.
  }
}

void PortsDirectory::publishAs(int portNumber, const fs::path& device) const {
  if (portNumber < 1) {
    throw fs::filesystem_error("invalid port number " + std::to_string(portNumber),
                               std::make_error_code(std::errc::invalid_argument));
  }
  fs::create_directories(dir_);
  // Made under a temporary name and renamed over the old one, so the name never
  // points nowhere.
  const fs::path link = dir_ / linkName(portNumber);
  const fs::path tmp = dir_ / ("." + linkName(portNumber) + ".tmp" + std::to_string(::getpid()));
  std::error_code ec;
  fs::remove(tmp, ec);
  fs::create_symlink(device, tmp);
  fs::rename(tmp, link, ec);
  if (ec) {
    fs::remove(tmp);
    throw fs::filesystem_error("cannot publish serial port", device, link, ec);
  }
}

bool PortsDirectory::unpublish(int portNumber) const {
  if (portNumber < 1) return false;
  const fs::path link = dir_ / linkName(portNumber);
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(link, ec))) return false;
  return fs::remove(link, ec);
}

}  // namespace quorvan

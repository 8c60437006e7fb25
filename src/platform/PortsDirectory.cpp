#include "platform/PortsDirectory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "platform/UniqueFd.h"

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

[[noreturn]] void failOn(const fs::path& record, int err) {
  throw fs::filesystem_error("cannot take the port's owner record", record,
                             std::error_code(err, std::generic_category()));
}

// Whether `fd` is still the file at `path`: its owner may have removed it, and another
// may have made a new one there, between our open and our lock.
bool isStillAt(int fd, const fs::path& path) {
  struct stat opened {};
  struct stat there {};
  return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &there) == 0 &&
         opened.st_dev == there.st_dev && opened.st_ino == there.st_ino;
}

// The owner record at `record`, opened (made when missing; `made` says so) and locked
// for this process; nothing when a live owner holds it.
std::optional<UniqueFd> lockRecord(const fs::path& record, bool& made) {
  for (;;) {
    made = true;
    int fd = ::open(record.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
      made = false;
      fd = ::open(record.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) continue;  // its owner removed it just now
    }
    if (fd < 0) failOn(record, errno);
    UniqueFd locked(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return std::nullopt;
      failOn(record, errno);
    }
    if (isStillAt(fd, record)) return std::optional<UniqueFd>(std::in_place, locked.release());
  }
}

// The device an owner record names: "PID\nDEVICE\n".
std::optional<fs::path> recordedDevice(int fd) {
  std::string text;
  std::array<char, 512> buffer{};
  ssize_t n = 0;
  while ((n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
  const std::size_t first = text.find('\n');
  const std::size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  if (second == std::string::npos || second == first + 1) return std::nullopt;
  return fs::path(text.substr(first + 1, second - first - 1));
}

void writeRecord(int fd, const fs::path& record, const fs::path& device) {
  const std::string text = std::to_string(::getpid()) + "\n" + device.string() + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    failOn(record, errno);
  }
}

// What the owner record of a port says, looked at without claiming the port.
struct OwnerLook {
  bool live = false;
  std::optional<fs::path> deadOwners;  // the device a dead owner linked
};

OwnerLook lookAtOwner(const fs::path& record) {
  const UniqueFd fd(::open(record.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return {};
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) return {true, std::nullopt};
  return {false, recordedDevice(fd.get())};
}

}  // namespace

PortClaim::PortClaim(int number, fs::path link, fs::path record, fs::path device, int lockFd)
    : number_(number),
      link_(std::move(link)),
      record_(std::move(record)),
      device_(std::move(device)),
      lockFd_(lockFd) {}

PortClaim::PortClaim(PortClaim&& other) noexcept
    : number_(other.number_),
      link_(std::move(other.link_)),
      record_(std::move(other.record_)),
      device_(std::move(other.device_)),
      lockFd_(std::exchange(other.lockFd_, -1)) {}

PortClaim::~PortClaim() {
  if (lockFd_ < 0) return;
  std::error_code ec;
  if (fs::read_symlink(link_, ec) == device_ && !ec) fs::remove(link_, ec);
  // Removed while still locked: a claim that opened it meanwhile sees that and retries.
  fs::remove(record_, ec);
  ::close(lockFd_);
}

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

fs::path PortsDirectory::recordOf(int portNumber) const {
  return dir_ / ("." + linkName(portNumber) + ".owner");
}

bool PortsDirectory::mayLink(int portNumber, const std::optional<fs::path>& deadOwners) const {
  if (entryExists(devDir_ / ("ttyUSB" + std::to_string(portNumber - 1)))) return false;
  const fs::path link = dir_ / linkName(portNumber);
  if (!entryExists(link) || isDangling(link)) return true;
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(link, ec))) return false;
  // A live link is replaced only when a dead owner's record says it made it.
  return deadOwners && fs::read_symlink(link, ec) == *deadOwners && !ec;
}

int PortsDirectory::firstFreePort(int from) const {
  for (int n = std::max(from, 1);; ++n) {
    const OwnerLook owner = lookAtOwner(recordOf(n));
    if (!owner.live && mayLink(n, owner.deadOwners)) return n;
  }
}

std::optional<PortClaim> PortsDirectory::claim(int portNumber, const fs::path& device) const {
  if (portNumber < 1) return std::nullopt;
  fs::create_directories(dir_);
  const fs::path record = recordOf(portNumber);
  bool made = false;
  std::optional<UniqueFd> lock = lockRecord(record, made);
  if (!lock) return std::nullopt;
  std::error_code ec;
  if (!mayLink(portNumber, made ? std::nullopt : recordedDevice(lock->get()))) {
    fs::remove(record, ec);  // nobody's record: we hold its lock
    return std::nullopt;
  }
  try {
    writeRecord(lock->get(), record, device);
    publishAs(portNumber, device);
  } catch (...) {
    fs::remove(record, ec);
    throw;
  }
  return PortClaim(portNumber, dir_ / linkName(portNumber), record, device, lock->release());
}

PortClaim PortsDirectory::publish(const fs::path& device) const {
  for (int n = 1;; ++n) {
    if (auto claimed = claim(n, device)) return std::move(*claimed);
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

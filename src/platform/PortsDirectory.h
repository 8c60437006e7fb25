#pragma once
// Port numbers on POSIX. Port n is the device named by the link "com<n>" in the ports
// directory ($QUORVAN_PORTS, default ~/.local/share/quorvan/ports) when that link
// exists, else /dev/ttyUSB<n-1>. The simulator publishes its pseudo-terminal here by
// creating such a link, and removes it when it ends.
//
// A process that is killed cannot remove its link. So a publisher claims its port: beside
// the link it keeps an owner record ".com<n>.owner" (its pid and the device it linked)
// locked for as long as it runs. The kernel drops the lock when the process ends, however
// it ends: a record nobody holds was left by a dead owner, and its link may be replaced.
// A live owner's link never is, nor a link that no record accounts for (one made by hand
// for an adapter).
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorvan {

// A port this process has published: the link and its locked owner record. Dropping it
// removes both (the link only while it still names this device).
class PortClaim {
 public:
  PortClaim(PortClaim&& other) noexcept;
  PortClaim& operator=(PortClaim&&) = delete;
  PortClaim(const PortClaim&) = delete;
  PortClaim& operator=(const PortClaim&) = delete;
  ~PortClaim();

  int number() const { return number_; }
  // The link "com<n>" in the ports directory.
  const std::filesystem::path& link() const { return link_; }

 private:
  friend class PortsDirectory;
  PortClaim(int number, std::filesystem::path link, std::filesystem::path record,
            std::filesystem::path device, int lockFd);

  int number_;
  std::filesystem::path link_;
  std::filesystem::path record_;
  std::filesystem::path device_;
  int lockFd_;
};

class PortsDirectory {
 public:
  // devDir is where the fallback /dev/ttyUSB<n-1> devices live (tests point it
  // elsewhere).
  explicit PortsDirectory(std::filesystem::path dir, std::filesystem::path devDir = "/dev")
      : dir_(std::move(dir)), devDir_(std::move(devDir)) {}
  // $QUORVAN_PORTS when set and non-empty, else $HOME/.local/share/quorvan/ports.
  static PortsDirectory fromEnvironment();

  const std::filesystem::path& dir() const { return dir_; }
  const std::filesystem::path& devDir() const { return devDir_; }

  // "com7" for 7.
  static std::string linkName(int portNumber);

  // The device of port n: the target of the link "com<n>" (relative targets taken
  // from the ports directory) when the link exists, even when it dangles; else
  // <devDir>/ttyUSB<n-1>. Nothing for port numbers below 1. Does not check that the
  // device exists.
  std::optional<std::filesystem::path> resolve(int portNumber) const;
  // The device of port n and why that one, for texts about the port:
  // "/dev/ttyUSB98 (port 99: no link com99 in /home/x/.local/share/quorvan/ports)".
  // Port numbers below 1: "invalid port number 0 (ports count from 1)".
  std::string describe(int portNumber) const;

  // Port numbers that have a "com<n>" entry in the ports directory, ascending.
  std::vector<int> linkedPorts() const;

  // The first port number from `from` up that is free for a new link: nothing named
  // "com<n>" but a stale link (one that dangles, or one whose owner is dead), and no
  // <devDir>/ttyUSB<n-1> that the link would hide. Looking takes a dead owner's lock for
  // a moment: a claim made at that very moment may find the port taken.
  int firstFreePort(int from = 1) const;

  // Claims port n for `device` (creating the directory if needed): the link "com<n>" is
  // made, or a stale one replaced. Nothing when the port is not free (see firstFreePort),
  // or someone claims it at the same time. Throws std::filesystem::filesystem_error.
  std::optional<PortClaim> claim(int portNumber, const std::filesystem::path& device) const;
  // Claims the first port number that is free for `device`.
  PortClaim publish(const std::filesystem::path& device) const;
  // Makes "com<n>" point at `device`, replacing whatever link had that name. No owner is
  // recorded: a link made this way stays until it is unpublished.
  void publishAs(int portNumber, const std::filesystem::path& device) const;
  // Removes the link "com<n>"; true when one was removed. Only symbolic links are
  // removed, never another kind of file.
  bool unpublish(int portNumber) const;

 private:
  // Where the device of a port was found.
  enum class Source { Link, Entry, TtyUsb };
  struct Location {
    std::filesystem::path device;
    Source source;
  };
  std::optional<Location> locate(int portNumber) const;
  // Whether a new link may be put at "com<n>", the device a dead owner's record names
  // being given (when there is such a record).
  bool mayLink(int portNumber, const std::optional<std::filesystem::path>& deadOwners) const;
  std::filesystem::path recordOf(int portNumber) const;

  std::filesystem::path dir_;
  std::filesystem::path devDir_;
};

}  // namespace quorvan

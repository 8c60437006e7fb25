#pragma once
// Port numbers on POSIX. Port n is the device named by the link "com<n>" in the ports
// directory ($QUORVAN_PORTS, default ~/.local/share/quorvan/ports) when that link
// exists, else /dev/ttyUSB<n-1>. The simulator publishes its pseudo-terminal here by
// creating such a link, and removes it when it ends.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorvan {

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

  // The first port number from `from` up that is free for a new link: no live
  // "com<n>" link (a dangling one, left by a simulator that died, counts as free)
  // and no <devDir>/ttyUSB<n-1> that the link would hide.
  int firstFreePort(int from = 1) const;

  // Publishes `device` under the first free port number (creating the directory if
  // needed) and returns that number. A stale dangling link is replaced; a link made by
  // someone else meanwhile is skipped. Throws std::filesystem::filesystem_error.
  int publish(const std::filesystem::path& device) const;
  // Makes "com<n>" point at `device`, replacing whatever link had that name.
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

  std::filesystem::path dir_;
  std::filesystem::path devDir_;
};

}  // namespace quorvan

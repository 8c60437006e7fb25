#pragma once
// A pseudo-terminal whose slave end stands for a serial port: the server opens the slave
// as it would an adapter, and the simulator works the master. The master is in packet
// mode and the slave carries EXTPROC, so every change the server makes to the port's
// settings (its bit rate) is announced on the master; the slave is held open here, so the
// master neither hangs up nor loses the settings while the server has the port closed.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvan::sim {

class PtyTerminal {
 public:
  // Opens the pair: both ends raw 8N1, the master non-blocking. Throws std::system_error.
  PtyTerminal();
  ~PtyTerminal();
  PtyTerminal(const PtyTerminal&) = delete;
  PtyTerminal& operator=(const PtyTerminal&) = delete;

  int masterFd() const { return master_; }
  // The device the server opens (/dev/pts/N).
  const std::filesystem::path& slavePath() const { return slavePath_; }

  // The bit rate the slave is set to (the server's transmit rate).
  std::uint32_t slaveBitRate() const;
  // The slave asks for line errors to be marked in its input (PARMRK and INPCK, raw 8N1).
  // EXTPROC makes the kernel pass the master's bytes on unprocessed, so whoever writes
  // the master has to do that marking.
  bool slaveMarksLineErrors() const;

  // What one read of the master gave.
  struct Packet {
    std::string data;              // bytes the server wrote
    bool settingsChanged = false;  // the server changed the port's settings
  };
  // One packet, or nothing when none is waiting. Throws std::system_error.
  std::optional<Packet> read();

  // Hands bytes to the server's receiver; returns how many it took (fewer when its
  // buffer is full). Throws std::system_error.
  std::size_t write(std::string_view bytes);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::filesystem::path slavePath_;
};

}  // namespace quorvan::sim

#pragma once
// The server's end of a SimLine behind a pseudo-terminal, for running the simulated world
// in real time against a server that opens the terminal's slave as its serial port:
//
//   server -- pty slave | pty master -- PtyBridge (ServerEnd) -- SimLine -- controller
//
// Bytes the server writes go on the line as the server's, at the bit rate the server has
// set on the slave, and everything the line delivers to the server's end (its own echo
// and the controller's bytes) is handed to the server's receiver. Bytes heard at another
// rate than the server's arrive as the garbage a UART would make of them.
//
// A pseudo-terminal carries bytes and settings only: no break, no modem lines. The
// server's break therefore never reaches the line (a controller woken by one needs
// another cue, see Mse10Config::wakeOnQuiet). What the line does to the server's
// receiver still shows: the kernel hands our bytes to the server unprocessed (EXTPROC),
// so the bridge marks framing errors, breaks and data bytes 0xFF itself, the way the
// kernel would under the server's settings (PARMRK). A rate change is announced ahead of
// bytes the server wrote before it but the bridge had not read yet; those go out at the
// new rate, as bytes still in a UART's transmit buffer do.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/MessageLoop.h"
#include "sim/PtyTerminal.h"
#include "sim/SimEnds.h"

namespace quorvan::sim {

class PtyBridge final : public ServerEnd {
 public:
  // Opens a pseudo-terminal and joins it to `port` (normally a SimLine) as its server
  // end, watched from `loop`. Both must outlive the bridge. Throws std::system_error.
  PtyBridge(MessageLoop& loop, PortPeer& port);
  ~PtyBridge() override;
  PtyBridge(const PtyBridge&) = delete;
  PtyBridge& operator=(const PtyBridge&) = delete;

  // The device the server opens.
  const std::filesystem::path& devicePath() const { return pty_.slavePath(); }
  // From now on the bit rate `seen` on the terminal counts as `meant` (a serial driver
  // that applies another rate than it was asked for).
  void aliasBitRate(std::uint32_t seen, std::uint32_t meant);
  // Bytes for the server that its full receive buffer could not take.
  std::size_t droppedBytes() const { return dropped_; }

  // ServerEnd
  std::uint32_t rxBitRate() const override { return bitRate_; }
  void onWireByte(const RxByte& byte) override;
  // A break is marked in the input; other line events have no way to the server.
  void onLineEvent(int commEvent) override;

 private:
  void onReadable();
  void takeSettings();
  void deliver(const std::string& bytes);

  MessageLoop& loop_;
  PortPeer& port_;
  PtyTerminal pty_;
  std::uint32_t bitRate_ = 0;
  std::uint32_t aliasSeen_ = 0;
  std::uint32_t aliasMeant_ = 0;
  bool marking_ = false;  // the server has line errors marked in its input
  std::size_t dropped_ = 0;
  MessageLoop::WatchId watch_ = 0;
};

}  // namespace quorvan::sim

#include "sim/SimModem.h"

#include <cctype>

namespace quorvan::sim {

namespace {

constexpr std::size_t kMaxCommand = 64;

bool IsAttention(const std::string& command) {
  return command.size() == 2 && std::toupper(static_cast<unsigned char>(command[0])) == 'A' &&
         std::toupper(static_cast<unsigned char>(command[1])) == 'T';
}

}  // namespace

void SimModem::transmitFromServer(const std::string& bytes, std::uint32_t bitRate) {
  for (const char c : bytes) {
    const FrameSlot slot = toModem_.next(events_.nowUs(), bitRate);
    events_.at(slot.endUs, [this, c, bitRate] { hear(c, bitRate); });
  }
}

void SimModem::hear(char c, std::uint32_t bitRate) {
  if (c == '\n') return;  // modems ignore line feeds between commands
  if (c != '\r') {
    if (command_.size() < kMaxCommand) command_.push_back(c);
    return;
  }
  const bool answer = IsAttention(command_);
  command_.clear();
  if (answer) events_.after(replyDelayUs_, [this, bitRate] { sendReply(bitRate); });
}

void SimModem::sendReply(std::uint32_t bitRate) {
  for (const char c : reply_) {
    const FrameSlot slot = toServer_.next(events_.nowUs(), bitRate);
    events_.at(slot.endUs, [this, c, bitRate, end = slot.endUs] {
      if (server_ == nullptr) return;
      server_->onWireByte(
          DecodeFrame(static_cast<std::uint8_t>(c), bitRate, server_->rxBitRate(), end));
    });
  }
}

}  // namespace quorvan::sim

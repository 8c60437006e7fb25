#pragma once
// The Visteon controller's reprogrammable flash region and the receiver that collects one
// block of it from transfer-data requests.
#include <cstdint>
#include <string>
#include <string_view>

#include "kline/VisteonImage.h"

namespace quorvan::sim::visteon {

inline constexpr auto kFlashBlockSize = static_cast<std::uint32_t>(kVisteonFlashBlockSize);
inline constexpr std::uint32_t kFlashBaseAddress = 0x1C8000;  // block 33

// Flash memory: erasing sets bytes to 0xFF, programming can only clear bits (a block
// written without an erase keeps the AND of old and new contents).
class FlashMemory {
 public:
  FlashMemory(std::uint32_t baseAddress, std::size_t blocks);

  std::uint32_t base() const { return base_; }
  std::uint32_t end() const { return base_ + static_cast<std::uint32_t>(bytes_.size()); }
  std::size_t blocks() const { return bytes_.size() / kFlashBlockSize; }
  const std::string& bytes() const { return bytes_; }

  // Replaces the contents from the region's start (as a programmer on the bench would);
  // bytes beyond the region are ignored, the rest of the region is kept.
  void load(std::string_view image);
  bool isBlockStart(std::uint32_t address) const;
  // The first `count` blocks become blank (an erase runs from the region's start).
  void eraseBlocks(std::size_t count);
  void eraseAll() { eraseBlocks(blocks()); }
  void program(std::uint32_t address, std::string_view data);
  // 16-bit sum of every byte of the region.
  std::uint16_t sum() const;

 private:
  std::uint32_t base_;
  std::string bytes_;
};

// One block's transfer data: kFlashBlockSize data bytes, then their 16-bit sum, most
// significant byte first.
class BlockReceiver {
 public:
  // A download request opens a block at address; a transfer exit closes it.
  void open(std::uint32_t address);
  void close() { accepting_ = false; }
  void clear() { *this = BlockReceiver(); }

  bool accepting() const { return accepting_; }
  void add(std::string_view bytes);
  std::size_t packets() const { return packets_; }
  std::uint32_t address() const { return address_; }
  std::string_view data() const { return std::string_view(received_).substr(0, kFlashBlockSize); }
  // Exactly the block and its sum arrived, and the sum matches the data.
  bool whole() const;

 private:
  std::uint32_t address_ = 0;
  bool accepting_ = false;
  std::size_t packets_ = 0;
  std::string received_;
};

}  // namespace quorvan::sim::visteon

#include "sim/VisteonFlash.h"

#include <algorithm>

namespace quorvan::sim::visteon {

namespace {

constexpr std::size_t kSumBytes = 2;

unsigned sumOf(std::string_view bytes) {
  unsigned sum = 0;
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return sum & 0xFFFF;
}

// Factory contents: a calibration-like pattern with no blank stretches, so an erase
// and a rewrite are both visible.
std::string factoryImage(std::size_t size) {
  std::string image(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    image[i] = static_cast<char>((i * 37 + (i >> 10) * 11 + 0x21) % 0xFF);
  }
  return image;
}

}  // namespace

FlashMemory::FlashMemory(std::uint32_t baseAddress, std::size_t blocks)
    : base_(baseAddress), bytes_(factoryImage(blocks * kFlashBlockSize)) {}

void FlashMemory::load(std::string_view image) {
  const std::size_t n = std::min(image.size(), bytes_.size());
  bytes_.replace(0, n, image.substr(0, n));
}

bool FlashMemory::isBlockStart(std::uint32_t address) const {
  return address >= base_ && address < end() && (address - base_) % kFlashBlockSize == 0;
}

void FlashMemory::eraseBlocks(std::size_t count) {
  const std::size_t n = std::min(count, blocks()) * kFlashBlockSize;
  std::fill_n(bytes_.begin(), n, '\xFF');
}

void FlashMemory::program(std::uint32_t address, std::string_view data) {
  if (address < base_ || address >= end()) return;
  const std::size_t at = address - base_;
  const std::size_t n = std::min(data.size(), bytes_.size() - at);
  for (std::size_t i = 0; i < n; ++i) bytes_[at + i] = static_cast<char>(bytes_[at + i] & data[i]);
}

std::uint16_t FlashMemory::sum() const {
  return static_cast<std::uint16_t>(sumOf(bytes_));
}

void BlockReceiver::open(std::uint32_t address) {
  clear();
  address_ = address;
  accepting_ = true;
}

void BlockReceiver::add(std::string_view bytes) {
  if (!accepting_) return;
  ++packets_;
  received_.append(bytes);
}

bool BlockReceiver::whole() const {
  if (received_.size() != kFlashBlockSize + kSumBytes) return false;
  const auto hi = static_cast<unsigned char>(received_[kFlashBlockSize]);
  const auto lo = static_cast<unsigned char>(received_[kFlashBlockSize + 1]);
  return sumOf(data()) == ((unsigned{hi} << 8) | lo);
}

}  // namespace quorvan::sim::visteon

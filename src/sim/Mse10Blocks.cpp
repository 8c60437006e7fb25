#include "sim/Mse10Blocks.h"

#include <algorithm>

namespace quorvan::sim::mse10 {

std::string Payload(std::uint8_t title, std::string_view data) {
  std::string payload(1, static_cast<char>(title));
  payload.append(data);
  return payload;
}

std::string MakeBlock(std::uint8_t counter, std::string_view payload) {
  const std::string_view kept = payload.substr(0, std::min(payload.size(), kMaxData + 1));
  std::string block;
  block.push_back(static_cast<char>(kept.size() + 2));
  block.push_back(static_cast<char>(counter));
  block.append(kept);
  block.push_back(static_cast<char>(kEndByte));
  return block;
}

std::string PayloadOf(std::string_view block) {
  if (block.size() < kMinLength + 1) return {};
  return std::string(block.substr(2, block.size() - 3));
}

}  // namespace quorvan::sim::mse10

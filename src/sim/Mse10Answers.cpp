// What the MSE 1.0 controller answers to each tester block.
#include "sim/Mse10Ecu.h"

namespace quorvan::sim {

using mse10::ByteAt;
using mse10::Payload;
namespace title = mse10::title;

std::string Mse10Ecu::answerFor(const std::string& block) {
  const std::uint8_t t = ByteAt(block, 2);
  const std::string_view data = std::string_view(block).substr(3, block.size() - 4);
  // A refused block changes nothing, not even a running answer.
  if (takeNak(t)) return Payload(title::kNak);
  if (t != title::kAck) pending_.clear();
  switch (t) {
    case title::kAck:
      return nextPending();
    case title::kReadMemory:
      return readMemory(data);
    case title::kReadFaults:
      return readFaults();
    case title::kClearFaults:
      faults_.clear();
      return Payload(title::kAck);
    case title::kCommand:
      return Payload(title::kAck);
    case title::kTimingMode:
      return Payload(title::kSingleByte, std::string(1, static_cast<char>(timingValue_)));
    default:
      return Payload(title::kNak);
  }
}

bool Mse10Ecu::takeNak(std::uint8_t t) {
  if (injections_.naks == 0) return false;
  if (injections_.nakTitle != kAnyTitle && injections_.nakTitle != t) return false;
  if (injections_.naks > 0) --injections_.naks;
  return true;
}

std::string Mse10Ecu::nextPending() {
  if (pending_.empty()) return Payload(title::kAck);
  std::string payload = std::move(pending_.front());
  pending_.pop_front();
  return payload;
}

std::string Mse10Ecu::readMemory(std::string_view data) const {
  if (data.size() != 3) return Payload(title::kNak);
  const std::size_t size = ByteAt(data, 0);
  if (size == 0 || size > mse10::kMaxData) return Payload(title::kNak);
  const auto address = static_cast<std::uint16_t>(ByteAt(data, 1) << 8 | ByteAt(data, 2));
  return Payload(title::kMemoryData, memory(address, size));
}

std::string Mse10Ecu::readFaults() {
  for (const Fault& fault : faults_) {
    pending_.push_back(Payload(title::kFaultCode, std::string(fault.begin(), fault.end())));
  }
  pending_.push_back(Payload(title::kAck));  // the end of the list
  return nextPending();
}

}  // namespace quorvan::sim

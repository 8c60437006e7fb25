#include "sim/SimEcu.h"

#include <algorithm>

namespace quorvan::sim {

SimEcu::SimEcu(SimLine& line, std::uint32_t bitRate)
    : line_(line), bitRate_(bitRate), actions_(line.scheduler()) {
  line_.attachVehicle(this);
}

SimEcu::~SimEcu() {
  line_.attachVehicle(nullptr);
}

void SimEcu::onVehiclePower(bool on) {
  if (on) {
    onPowerRestored();
    return;
  }
  actions_.cancelAll();
  onPowerLost();
}

void ReplyEcu::answer(std::string request, std::string reply, std::uint64_t delayUs) {
  longestRequest_ = std::max(longestRequest_, request.size());
  answers_.push_back({std::move(request), std::move(reply), delayUs});
}

void ReplyEcu::onWireByte(const RxByte& byte) {
  heard_.push_back(byte);
  if (!byte.decoded()) {
    pending_.clear();
    return;
  }
  pending_.push_back(static_cast<char>(byte.value));
  if (pending_.size() > longestRequest_) pending_.erase(0, pending_.size() - longestRequest_);
  for (const Answer& a : answers_) {
    if (!pending_.ends_with(a.request)) continue;
    pending_.clear();
    after(a.delayUs, [this, reply = a.reply] { send(reply); });
    return;
  }
}

void ReplyEcu::onPowerLost() {
  ++powerLosses_;
  pending_.clear();
}

}  // namespace quorvan::sim

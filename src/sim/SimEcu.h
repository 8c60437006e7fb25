#pragma once
// Base of the controller models on the vehicle end of a SimLine. A model hears each
// byte the server puts on the live wire (RxByte::decoded() says whether it was
// decoded cleanly at the model's bit rate) and each line-level change, sends bytes
// at its bit rate and schedules its own timed actions. Losing power cancels those
// actions and whatever the model had queued for the wire; models reset their
// protocol state in onPowerLost and boot in onPowerRestored.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/EventGroup.h"
#include "sim/SimEnds.h"
#include "sim/SimLine.h"

namespace quorvan::sim {

class SimEcu : public VehicleEnd {
 public:
  // Attaches itself to the vehicle end of the line for its lifetime.
  SimEcu(SimLine& line, std::uint32_t bitRate);
  ~SimEcu() override;
  SimEcu(const SimEcu&) = delete;
  SimEcu& operator=(const SimEcu&) = delete;

  std::uint32_t rxBitRate() const final { return bitRate_; }
  void setBitRate(std::uint32_t bitRate) { bitRate_ = bitRate; }
  bool powered() const { return line_.vehiclePowered(); }

  void onLineLevel(bool /*low*/, std::uint64_t /*atUs*/) override {}
  void onVehiclePower(bool on) final;

 protected:
  void send(const std::string& bytes) { line_.sendFromVehicle(bytes, bitRate_); }
  EventGroup::Handle after(std::uint64_t delayUs, std::function<void()> fn) {
    return actions_.after(delayUs, std::move(fn));
  }
  void cancel(EventGroup::Handle action) { actions_.cancel(action); }
  std::uint64_t nowUs() { return actions_.nowUs(); }
  SimLine& line() { return line_; }

  virtual void onPowerLost() {}
  virtual void onPowerRestored() {}

 private:
  SimLine& line_;
  std::uint32_t bitRate_;
  EventGroup actions_;
};

// A trivial controller for testing the wire: answers each known request with its
// reply after a delay (from the end of the request's last byte to the start of the
// reply), and remembers everything it heard.
class ReplyEcu final : public SimEcu {
 public:
  explicit ReplyEcu(SimLine& line, std::uint32_t bitRate = 10400) : SimEcu(line, bitRate) {}

  void answer(std::string request, std::string reply, std::uint64_t delayUs);

  const std::vector<RxByte>& heard() const { return heard_; }
  const std::vector<LevelChange>& levels() const { return levels_; }
  int powerLosses() const { return powerLosses_; }

  void onWireByte(const RxByte& byte) override;
  void onLineLevel(bool low, std::uint64_t atUs) override { levels_.push_back({low, atUs}); }

 private:
  struct Answer {
    std::string request;
    std::string reply;
    std::uint64_t delayUs;
  };
  void onPowerLost() override;

  std::vector<Answer> answers_;
  std::size_t longestRequest_ = 0;
  std::string pending_;  // the latest cleanly decoded bytes, as many as the longest request
  std::vector<RxByte> heard_;
  std::vector<LevelChange> levels_;
  int powerLosses_ = 0;
};

}  // namespace quorvan::sim

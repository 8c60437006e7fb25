#pragma once
// A controller that plays a script on the vehicle end of the wire: it waits for the
// 5-baud address, sends bytes after given gaps and expects the server's bytes in
// order. Where the server leaves the script the controller notes it and goes on, so a
// test can say exactly which byte the server put on the wire and when.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim/SimEcu.h"
#include "trace/Text.h"

namespace quorvan::testing {

inline constexpr std::uint32_t kMse10BitRate = 9600;
// The controller's usual gap between hearing a byte and sending the next one.
inline constexpr std::uint64_t kEcuGapUs = 2'000;

inline std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

inline std::uint8_t Complement(std::uint8_t b) {
  return static_cast<std::uint8_t>(255 - b);
}

class ScriptedEcu final : public sim::SimEcu {
 public:
  explicit ScriptedEcu(sim::SimLine& line) : SimEcu(line, kMse10BitRate) {}

  // Waits for the end of the 5-baud address (the line back high after its last low
  // bit); the next step's gap counts from the end of the stop bit.
  ScriptedEcu& awaitWakeUp() {
    steps_.push_back({Step::Kind::WakeUp, 0, 0});
    return *this;
  }
  // Sends b gapUs after the previous step ended (0: right behind the previous byte).
  ScriptedEcu& send(std::uint8_t b, std::uint64_t gapUs = kEcuGapUs) {
    steps_.push_back({Step::Kind::Send, b, gapUs});
    return *this;
  }
  ScriptedEcu& sendAll(const std::string& bytes, std::uint64_t gapUs = kEcuGapUs) {
    for (char c : bytes) send(static_cast<std::uint8_t>(c), gapUs);
    return *this;
  }
  // The server's next byte.
  ScriptedEcu& expect(std::uint8_t b) {
    steps_.push_back({Step::Kind::Expect, b, 0});
    return *this;
  }
  // Does nothing for gapUs.
  ScriptedEcu& pause(std::uint64_t gapUs) {
    steps_.push_back({Step::Kind::Pause, 0, gapUs});
    return *this;
  }
  // Runs fn when the script gets there (e.g. to keep the server busy at that moment).
  ScriptedEcu& call(std::function<void()> fn) {
    steps_.push_back({Step::Kind::Call, 0, 0, std::move(fn)});
    return *this;
  }

  // A block of the controller's (without its end byte): each byte sent and its
  // complement expected, then the end byte.
  ScriptedEcu& ecuBlock(const std::string& block, std::uint64_t gapUs = kEcuGapUs) {
    for (char c : block) {
      const auto b = static_cast<std::uint8_t>(c);
      send(b, gapUs).expect(Complement(b));
    }
    return send(0x03, gapUs);
  }
  // A block of the server's (without its end byte): each byte expected and answered
  // with its complement, then the end byte expected.
  ScriptedEcu& serverBlock(const std::string& block, std::uint64_t gapUs = kEcuGapUs) {
    for (char c : block) {
      const auto b = static_cast<std::uint8_t>(c);
      expect(b).send(Complement(b), gapUs);
    }
    return expect(0x03);
  }
  // The six bytes of the wake-up answer, one receive event each.
  ScriptedEcu& prologAnswer(std::uint64_t gapUs = 10'000) {
    return sendAll(Bytes({0x55, 0x01, 0x8A, 0x00, 0x00, 0x00}), gapUs);
  }

  bool finished() const { return next_ >= steps_.size(); }
  // Where the server left the script: "step 12: expected FC, heard FD".
  const std::vector<std::string>& mismatches() const { return mismatches_; }
  // Every byte heard from the server after the wake-up, in order.
  const std::string& heard() const { return heard_; }

  void onLineLevel(bool low, std::uint64_t atUs) override {
    if (low) {
      lowSinceUs_ = atUs;
      return;
    }
    // The address 0x10 ends with three low data bits (600 ms) before the stop bit.
    const std::uint64_t lowUs = atUs - lowSinceUs_;
    if (lowUs < 550'000 || lowUs > 650'000 || !waiting(Step::Kind::WakeUp)) return;
    ++next_;
    after(kStopBitUs, [this] { run(); });
  }

  void onWireByte(const sim::RxByte& byte) override {
    if (!awake_) return;  // the cable-detect packet before the address
    heard_.push_back(static_cast<char>(byte.value));
    if (!waiting(Step::Kind::Expect)) return;
    const Step& step = steps_[next_];
    if (!byte.decoded() || byte.value != step.byte) {
      mismatches_.push_back("step " + std::to_string(next_) + ": expected " + Hex(step.byte) +
                            ", heard " + Hex(byte.value));
    }
    ++next_;
    run();
  }

 private:
  static constexpr std::uint64_t kStopBitUs = 200'000;

  struct Step {
    enum class Kind { WakeUp, Send, Expect, Pause, Call };
    Kind kind;
    std::uint8_t byte;
    std::uint64_t gapUs;
    std::function<void()> fn = {};
  };

  bool waiting(Step::Kind kind) const { return !finished() && steps_[next_].kind == kind; }

  // Plays the steps from next_ until one has to wait for the server.
  void run() {
    awake_ = true;
    if (finished()) return;
    const Step step = steps_[next_];
    if (step.kind == Step::Kind::Send) {
      after(step.gapUs, [this, b = step.byte] {
        SimEcu::send(std::string(1, static_cast<char>(b)));
        ++next_;
        run();
      });
    } else if (step.kind == Step::Kind::Call) {
      ++next_;
      step.fn();
      run();
    } else if (step.kind == Step::Kind::Pause) {
      after(step.gapUs, [this] {
        ++next_;
        run();
      });
    }
  }

  std::vector<Step> steps_;
  std::size_t next_ = 0;
  std::uint64_t lowSinceUs_ = 0;
  bool awake_ = false;
  std::string heard_;
  std::vector<std::string> mismatches_;
};

}  // namespace quorvan::testing

#pragma once
// A client with a script drawn from the seed: it watches and redefines items, clears
// faults, sends commands, closes and reopens the link, reflashes and aborts, each at a
// random instant. Its calls are queued on the server's message loop, as calls from the
// bus are, so they may arrive in the middle of any exchange.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "Checker.h"
#include "Rng.h"
#include "SwarmFamily.h"
#include "Truth.h"
#include "support/ServerWorld.h"

namespace quorvan::swarm {

class SwarmClient {
 public:
  // Every call of the client is answered within this much virtual time.
  static constexpr std::uint64_t kAnswerBoundUs = 5'000'000;

  SwarmClient(testing::ServerWorld& server, SwarmFamily& family, Truth& truth, Checker& checker,
              Rng& rng);

  // Connects and watches a first item, then acts at random instants until untilUs.
  void start(std::uint64_t untilUs);
  // The client's part of the calm that ends a run: its reflash aborted, the link open
  // and at least one item watched.
  void settle();
  bool gone() const { return gone_; }
  // Items watched at a nonzero rate with a slot of data.
  std::vector<std::int16_t> watchedDataItems() const;

 private:
  struct Item {
    int slot = kNoSlot;
    std::int16_t priority = 0;
  };
  struct FlashSession {
    std::string image;
    std::size_t nextBlock = 0;
    std::vector<FlashWrite> writes;
    std::uint64_t stepStartUs = 0;  // when the step being waited for was asked
  };

  // Queues fn on the loop at atUs and checks that it runs in time.
  void call(std::uint64_t atUs, std::function<void()> fn);
  void scheduleNextAction();
  void act();

  void defineItem(std::int16_t item, int slot);
  void watch(std::int16_t item, std::int16_t priority);
  void watchSomething();
  void openLink();
  void closeLink();
  void startFlash();
  void followFlash();
  void flashNextStep();
  void endFlash(bool abort);
  void identify();
  void identifyWhenIdle();
  void proveByIdent();
  void followIdent();
  void leave();

  testing::ServerWorld& server_;
  SwarmFamily& family_;
  Truth& truth_;
  Checker& checker_;
  Rng& rng_;
  double meanGapMs_ = 1000;
  double leaveChance_ = 0;
  std::uint64_t untilUs_ = 0;
  bool linkOpen_ = false;
  bool gone_ = false;
  std::map<std::int16_t, Item> items_;
  std::optional<FlashSession> flash_;
};

}  // namespace quorvan::swarm

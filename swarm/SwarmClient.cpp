#include "SwarmClient.h"

#include <fmt/format.h>

#include "client/Enums.h"

namespace quorvan::swarm {

namespace {
constexpr std::int16_t kItems = 5;  // client item numbers 1..kItems
constexpr std::uint64_t kFlashPollUs = 100'000;
constexpr std::uint64_t kIdentRetryUs = 1'000'000;
// A client gives up on a reflash step that stays busy this long (an erase takes 20 s).
constexpr std::uint64_t kFlashStepPatienceUs = 60'000'000;
const char* const kCaption = "Swarm";
}  // namespace

SwarmClient::SwarmClient(testing::ServerWorld& server, SwarmFamily& family, Truth& truth,
                         Checker& checker, Rng& rng)
    : server_(server), family_(family), truth_(truth), checker_(checker), rng_(rng) {
  meanGapMs_ = static_cast<double>(rng_.between(300, 8000));
  leaveChance_ = rng_.chance(0.1) ? 0.01 : 0.0;
  checker_.serverIdentity = [this] {
    return server_.ecu.idHardware() + "/" + server_.ecu.idSoftware() + "/" +
           server_.ecu.idCustomer();
  };
}

void SwarmClient::call(std::uint64_t atUs, std::function<void()> fn) {
  server_.loop.schedule(atUs, [this, atUs, fn = std::move(fn)] {
    const std::uint64_t late = server_.clock.nowUs() - atUs;
    if (late > kAnswerBoundUs) {
      checker_.violation(fmt::format("a client call waited {} ms for the server", late / 1000));
    }
    if (!gone_) fn();
  });
}

void SwarmClient::start(std::uint64_t untilUs) {
  untilUs_ = untilUs;
  server_.start();
  server_.nameClient(kCaption);
  server_.ecu.setDebugMode(rng_.chance(0.5));
  server_.ecu.setDevice(family_.device());
  watchSomething();
  openLink();
  scheduleNextAction();
}

void SwarmClient::scheduleNextAction() {
  const std::uint64_t at = server_.clock.nowUs() + rng_.gapUs(meanGapMs_);
  if (at < untilUs_) call(at, [this] { act(); });
}

void SwarmClient::act() {
  const std::int64_t roll = rng_.between(0, 99);
  const auto item = static_cast<std::int16_t>(rng_.between(1, kItems));
  if (roll < 30) {
    watch(item, static_cast<std::int16_t>(rng_.between(0, 3)));
  } else if (roll < 42) {
    const bool faults = rng_.chance(0.2);
    defineItem(item, faults ? kFaultSlot
                            : static_cast<int>(rng_.between(
                                  0, static_cast<std::int64_t>(family_.slots().size()) - 1)));
  } else if (roll < 52) {
    checker_.journal("client: ClearFaults");
    server_.ecu.ClearFaults();
  } else if (roll < 60 && !family_.commands().empty()) {
    family_.randomiseCommandResults(rng_);
    checker_.commandAsked(server_.clock.nowUs());
    const std::int16_t code = rng_.pick(family_.commands());
    checker_.journal(fmt::format("client: command({})", code));
    server_.ecu.command(code);
  } else if (roll < 66) {
    openLink();  // also a restart of an open link
  } else if (roll < 70) {
    closeLink();
    call(server_.clock.nowUs() + rng_.gapUs(5000), [this] { openLink(); });
  } else if (roll < 78 && family_.flashBytes() > 0 && !flash_) {
    startFlash();
  } else if (roll < 81 && flash_) {
    endFlash(true);
  } else if (roll >= 81 && roll < 86 && !flash_ && !family_.identity().empty()) {
    identify();
  } else if (rng_.chance(leaveChance_)) {
    leave();
    return;
  }
  scheduleNextAction();
}

void SwarmClient::defineItem(std::int16_t item, int slot) {
  auto& history = truth_.itemSlot[item];
  history.set(server_.clock.nowUs(), slot);
  items_[item].slot = slot;
  items_[item].priority = 0;  // a definition stops the item's polling until it is watched
  checker_.journal(fmt::format("client: AddItem({}) as slot {}", item, slot));
  if (slot == kFaultSlot) {
    server_.ecu.AddItem(item, family_.faultAddress(), 1, ecuFaults);
  } else {
    const ItemSlot& s = family_.slots()[static_cast<std::size_t>(slot)];
    server_.ecu.AddItem(item, s.address, s.size, ecuData);
  }
}

void SwarmClient::watch(std::int16_t item, std::int16_t priority) {
  if (items_[item].slot == kNoSlot) defineItem(item, 0);
  items_[item].priority = priority;
  checker_.journal(fmt::format("client: Watch({}, {})", item, priority));
  server_.ecu.Watch(item, priority);
}

void SwarmClient::watchSomething() {
  for (const auto& [item, state] : items_) {
    if (state.slot >= 0 && state.priority > 0) return;
  }
  defineItem(
      1, static_cast<int>(rng_.between(0, static_cast<std::int64_t>(family_.slots().size()) - 1)));
  watch(1, 1);
}

std::vector<std::int16_t> SwarmClient::watchedDataItems() const {
  std::vector<std::int16_t> out;
  for (const auto& [item, state] : items_) {
    if (state.slot >= 0 && state.priority > 0) out.push_back(item);
  }
  return out;
}

void SwarmClient::openLink() {
  linkOpen_ = true;
  checker_.journal("client: InitComm(1)");
  server_.ecu.InitComm(1);
}

void SwarmClient::closeLink() {
  linkOpen_ = false;
  checker_.journal("client: InitComm(-1)");
  server_.ecu.InitComm(-1);
}

void SwarmClient::startFlash() {
  FlashSession session;
  session.image = rng_.bytes(family_.flashBytes());
  flash_ = std::move(session);
  checker_.flashStep = FlashStep{FlashStep::Kind::Init, 0, {}};
  checker_.journal("client: FlashInit");
  flash_->stepStartUs = server_.clock.nowUs();
  const auto blockSize = static_cast<std::size_t>(server_.ecu.FlashInit());
  flash_->writes = family_.flashWrites(flash_->image, blockSize);
  call(server_.clock.nowUs() + kFlashPollUs, [this] { followFlash(); });
}

// Looks at the flash status as a client polls it, and takes the next step once the
// last one is done.
void SwarmClient::followFlash() {
  if (!flash_) return;
  const std::int32_t status = server_.ecu.FlashStatus();
  if (status == flashBusy && server_.clock.nowUs() - flash_->stepStartUs > kFlashStepPatienceUs) {
    endFlash(true);
  } else if (status == flashBusy) {
    call(server_.clock.nowUs() + kFlashPollUs, [this] { followFlash(); });
  } else if (status == flashReady) {
    flashNextStep();
  } else {
    endFlash(rng_.chance(0.5));
  }
}

void SwarmClient::flashNextStep() {
  FlashSession& s = *flash_;
  if (checker_.flashStep && checker_.flashStep->kind == FlashStep::Kind::Verify) {
    endFlash(false);
    return;
  }
  if (s.nextBlock < s.writes.size()) {
    const FlashWrite& w = s.writes[s.nextBlock];
    checker_.flashStep = FlashStep{FlashStep::Kind::Write, s.nextBlock, w.data, w.offset};
    ++s.nextBlock;
    s.stepStartUs = server_.clock.nowUs();
    checker_.journal(fmt::format("client: FlashWrite(block {})", s.nextBlock - 1));
    server_.ecu.FlashWrite(w.data);
  } else {
    checker_.flashStep = FlashStep{FlashStep::Kind::Verify, 0, s.image};
    checker_.journal("client: FlashVerify");
    s.stepStartUs = server_.clock.nowUs();
    server_.ecu.FlashVerify(family_.verifySum(s.image));
  }
  call(server_.clock.nowUs() + kFlashPollUs, [this] { followFlash(); });
}

void SwarmClient::endFlash(bool abort) {
  if (abort) {
    checker_.journal("client: FlashAbort");
    server_.ecu.FlashAbort();
  }
  flash_.reset();
}

void SwarmClient::identify() {
  checker_.flashStep = FlashStep{FlashStep::Kind::Ident, 0, {}};
  checker_.journal("client: FlashIdent");
  server_.ecu.FlashIdent();
}

// An identification asked while the server still holds the abort would replace it: it
// waits until the server is idle.
void SwarmClient::identifyWhenIdle() {
  if (server_.ecu.FlashStatus() != flashIdle) {
    call(server_.clock.nowUs() + kFlashPollUs, [this] { identifyWhenIdle(); });
    return;
  }
  proveByIdent();
}

// Identifies the controller, and again a while after each failure (a byte the line
// spoilt just before the calm may still fail one), until it succeeds.
void SwarmClient::proveByIdent() {
  identify();
  call(server_.clock.nowUs() + kFlashPollUs, [this] { followIdent(); });
}

void SwarmClient::followIdent() {
  const std::int32_t status = server_.ecu.FlashStatus();
  if (status == flashBusy) {
    call(server_.clock.nowUs() + kFlashPollUs, [this] { followIdent(); });
  } else if (status != flashReady) {
    call(server_.clock.nowUs() + kIdentRetryUs, [this] { proveByIdent(); });
  }
}

void SwarmClient::leave() {
  gone_ = true;
  checker_.journal("client: leaves");
  server_.windows.remove(kClientWindowClass, kCaption);
}

void SwarmClient::settle() {
  if (gone_) return;
  // A reflash left failed or unfinished holds the server in its session until aborted.
  if (flash_ || server_.ecu.FlashStatus() != flashIdle) {
    flash_.emplace();
    endFlash(true);
  }
  if (!linkOpen_) openLink();
  watchSomething();
  if (!family_.pollsItems()) identifyWhenIdle();
}

}  // namespace quorvan::swarm

#include "Checker.h"

#include <fmt/format.h>

#include <algorithm>
#include <variant>

#include "client/Enums.h"

namespace quorvan::swarm {

namespace {
constexpr std::size_t kMaxViolations = 20;  // the first ones say what went wrong

std::string flashStepName(const FlashStep& step) {
  switch (step.kind) {
    case FlashStep::Kind::Init:
      return "FlashInit";
    case FlashStep::Kind::Write:
      return fmt::format("FlashWrite of block {}", step.block);
    case FlashStep::Kind::Verify:
      return "FlashVerify";
    case FlashStep::Kind::Ident:
      return "FlashIdent";
  }
  return "?";
}
}  // namespace

void Checker::violation(const std::string& what) {
  if (violations_.empty() && onFirstViolation) onFirstViolation();
  if (violations_.size() < kMaxViolations) {
    violations_.push_back(fmt::format("at {:.3f} s: {}", static_cast<double>(nowUs()) / 1e6, what));
  }
}

void Checker::journal(const std::string& what) {
  journalAt(nowUs(), what);
}

void Checker::journalAt(std::uint64_t us, const std::string& what) {
  if (keepJournal_)
    journal_.push_back(fmt::format("{:10.3f} {}", static_cast<double>(us) / 1e6, what));
}

void Checker::syncFaults() {
  const std::string text = family_.faultText(family_.faults());
  if (truth_.faultText.empty() || truth_.faultText.now() != text) {
    truth_.faultText.set(nowUs(), text);
  }
}

std::uint64_t Checker::lastDataUs(std::int16_t item) const {
  const auto it = lastData_.find(item);
  return it == lastData_.end() ? 0 : it->second;
}

void Checker::CommStatus(std::int32_t signal) {
  journal(fmt::format("CommStatus({})", signal));
  lastStatus_ = signal;
}

bool Checker::slotHeld(int slot, std::int64_t value, std::uint64_t fromUs,
                       std::uint64_t toUs) const {
  if (slot < 0 || static_cast<std::size_t>(slot) >= truth_.values.size()) return false;
  return truth_.values[static_cast<std::size_t>(slot)].heldDuring(value, fromUs, toUs);
}

void Checker::NewData(std::int16_t itemNum, std::int32_t, const Variant& rawData) {
  const std::uint64_t to = nowUs();
  const std::uint64_t from = to > kReadWindowUs ? to - kReadWindowUs : 0;
  const auto* number = std::get_if<std::int32_t>(&rawData.value);
  journal(fmt::format("NewData({}, {})", itemNum, number ? std::to_string(*number) : "?"));
  if (number == nullptr) {
    violation(fmt::format("NewData({}) delivered something that is not a number", itemNum));
    return;
  }
  bool held = false;
  if (const auto it = truth_.itemSlot.find(itemNum); it != truth_.itemSlot.end()) {
    it->second.forEachDuring(from, to,
                             [&](int slot) { held = held || slotHeld(slot, *number, from, to); });
  }
  if (!held) {
    violation(fmt::format("NewData({}, {}) is no value the controller held for that item", itemNum,
                          *number));
  }
  lastData_[itemNum] = to;
}

void Checker::NewFaults(std::int16_t itemNum, std::int32_t, const std::string& faultCodes) {
  journal(fmt::format("NewFaults({}, \"{}\")", itemNum, faultCodes));
  syncFaults();
  const std::uint64_t to = nowUs();
  const std::uint64_t from = to > kReadWindowUs ? to - kReadWindowUs : 0;
  if (!family_.faultTextHeld(faultCodes, truth_.faultText, from, to)) {
    violation(fmt::format("NewFaults({}, \"{}\") is not the controller's list (\"{}\")", itemNum,
                          faultCodes, truth_.faultText.now()));
  }
  lastData_[itemNum] = to;
}

void Checker::FaultsCleared(bool success) {
  journal(fmt::format("FaultsCleared({})", success));
  syncFaults();
  const std::uint64_t to = nowUs();
  const std::uint64_t from = to > kReadWindowUs ? to - kReadWindowUs : 0;
  const std::optional<bool> byParts = family_.faultsClearedDuring(from, to);
  if (success &&
      !(byParts ? *byParts : truth_.faultText.heldDuring(family_.faultText({}), from, to))) {
    violation("FaultsCleared(True) although the controller's list was not cleared");
  }
}

void Checker::CommandComplete(bool success) {
  journal(fmt::format("CommandComplete({})", success));
  if (success && !family_.commandRanSince(commandAskedUs_)) {
    violation("CommandComplete(True) for a command the controller did not run");
  }
  commandPending_ = false;
}

void Checker::DamnIt(const std::string& note) {
  journal(fmt::format("DamnIt({})", note));
  if (note == "flashStatus=" + std::to_string(flashReady)) checkFlashReady();
}

void Checker::checkFlashReady() {
  if (!flashStep) return;
  const std::string flash = family_.flash();
  bool done = false;
  switch (flashStep->kind) {
    case FlashStep::Kind::Init:
      done = !family_.erasing() &&
             std::all_of(flash.begin(), flash.end(), [](char c) { return c == '\xFF'; });
      break;
    case FlashStep::Kind::Write:
      done = flash.compare(flashStep->offset, flashStep->data.size(), flashStep->data) == 0;
      break;
    case FlashStep::Kind::Verify:
      done = flash == flashStep->data;
      break;
    case FlashStep::Kind::Ident:
      done = serverIdentity && serverIdentity() == family_.identity();
      if (done) lastIdentUs_ = nowUs();
      break;
  }
  if (!done)
    violation(flashStepName(*flashStep) + " reported flashReady, but the controller did not do it");
}

}  // namespace quorvan::swarm

#include "runtime/FamilyTable.h"

#include <algorithm>
#include <string>

#include "runtime/FlashSession.h"
#include "runtime/frmCommThread.h"

namespace quorvan {

namespace {

// The row for device values that no family serves: the port is opened and the bytes it
// receives are kept for whoever asks (the modem probe of the port scan does), but nothing
// is sent to a controller.
class NotServedFamily final : public Family {
 public:
  NotServedFamily()
      : Family(FamilyInfo{.name = "not served",
                          .wakeUp = WakeUp::None,
                          .handOver = HandOver::AfterOpen,
                          .served = false}) {}

  // A client that chooses a served device later is picked up by the next watchdog run.
  void Start(frmCommThread& f) override {
    LeaveToWatchdog(f, "-- Device " + std::to_string(f.ecuDevice) + " is not served by this build");
  }
};

}  // namespace

void LeaveToWatchdog(frmCommThread& f, const std::string& why) {
  f.LogIt(why);
  f.tmrWatchDog.setEnabled(true);
}

void Family::Receive(frmCommThread& f) {
  f.AppendInput();
}

void Family::SampleRateTick(frmCommThread& f) {
  f.TraceSampleTick();
  f.tmrSampleRate.setEnabled(false);
  RefuseFlashRequest(f, info_.name);
}

FamilyTable::FamilyTable() : notServed_(std::make_unique<NotServedFamily>()) {}
FamilyTable::FamilyTable(FamilyTable&&) noexcept = default;
FamilyTable& FamilyTable::operator=(FamilyTable&&) noexcept = default;
FamilyTable::~FamilyTable() = default;

void FamilyTable::add(std::initializer_list<std::int32_t> devices, std::unique_ptr<Family> family) {
  rows_.push_back(Row{std::vector<std::int32_t>(devices), std::move(family)});
}

Family& FamilyTable::forDevice(std::int32_t device) const {
  for (const Row& row : rows_) {
    if (std::find(row.devices.begin(), row.devices.end(), device) != row.devices.end()) {
      return *row.family;
    }
  }
  return *notServed_;
}

std::vector<Family*> FamilyTable::all() const {
  std::vector<Family*> out;
  for (const Row& row : rows_) out.push_back(row.family.get());
  out.push_back(notServed_.get());
  return out;
}

}  // namespace quorvan

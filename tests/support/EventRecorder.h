#pragma once
// Records the events a client receives, in order, as readable lines.
#include <string>
#include <vector>

#include "client/clsBoschECU.h"

namespace quorvan::testing {

struct RecordedData {
  std::int16_t itemNum;
  std::int32_t timeStamp;
  Variant value;
};

// Flags arrive as a plain number, not as a Variant.
struct RecordedFlags {
  std::int16_t itemNum;
  std::int32_t timeStamp;
  std::int32_t rawFlags;
};

class EventRecorder : public __clsBoschECU {
 public:
  void CommStatus(std::int32_t signal) override {
    statuses.push_back(signal);
    log.push_back("CommStatus(" + std::to_string(signal) + ")");
  }
  void NewData(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData) override {
    data.push_back({itemNum, timeStamp, rawData});
    log.push_back("NewData(" + std::to_string(itemNum) + ")");
  }
  void NewFaults(std::int16_t itemNum, std::int32_t, const std::string& faultCodes) override {
    faults.push_back(faultCodes);
    log.push_back("NewFaults(" + std::to_string(itemNum) + "," + faultCodes + ")");
  }
  void NewFlags(std::int16_t itemNum, std::int32_t timeStamp, std::int32_t rawFlags) override {
    flags.push_back({itemNum, timeStamp, rawFlags});
    log.push_back("NewFlags(" + std::to_string(itemNum) + "," + std::to_string(rawFlags) + ")");
  }
  void FaultsCleared(bool success) override {
    cleared.push_back(success);
    log.push_back(std::string("FaultsCleared(") + (success ? "True" : "False") + ")");
  }
  void CommandComplete(bool success) override {
    completed.push_back(success);
    log.push_back(std::string("CommandComplete(") + (success ? "True" : "False") + ")");
  }
  void DamnIt(const std::string& note) override {
    notes.push_back(note);
    log.push_back("DamnIt(" + note + ")");
  }

  std::vector<std::int32_t> statuses;
  std::vector<RecordedData> data;
  std::vector<RecordedFlags> flags;
  std::vector<std::string> faults;
  std::vector<bool> cleared;
  std::vector<bool> completed;
  std::vector<std::string> notes;
  std::vector<std::string> log;
};

}  // namespace quorvan::testing

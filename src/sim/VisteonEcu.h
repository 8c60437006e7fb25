#pragma once
// The Visteon engine controller of Victory motorcycles on the vehicle end of a SimLine.
//
// It takes the tester's request packets off the wire (a request ends at a pause of a
// few byte times; transfer-data packets, which the tester sends back to back, are taken
// as soon as their stated length is in), checks them, and answers after its reply delay:
//  - SAE J1979 services: current data by PID (PID 0x00 is the identification: four
//    software-id bytes), freeze frame 0, stored faults (three codes per packet, the list
//    ends with a 0000 code), clear faults;
//  - diagnostic session 0x10 / 0x20 and its routines 0x00, 0x02, 0x03;
//  - the reflash protocol: ping, prepare, seed and key (then 57600 bit/s), erase, one
//    1 kB block at a time (download, transfer data, transfer exit, block check), verify
//    by the 16-bit sum of the region, and the calibration-text upload.
// Its flash region really changes under a reflash. Bytes it cannot decode are dropped
// with the request they belong to; at the reflash rate they mean the tester went back
// to 10400 bit/s, and so does the controller, its reflash session ended. A reset or a
// power loss ends everything but the memory (flash, faults, values), and the controller
// is deaf while it boots.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/EventGroup.h"
#include "sim/SimEcu.h"
#include "sim/VisteonFlash.h"
#include "sim/VisteonInjections.h"
#include "sim/VisteonPackets.h"

namespace quorvan::sim {

struct VisteonConfig {
  std::uint64_t replyDelayUs = 25'000;             // from the request's last byte to the reply
  std::uint64_t eraseTimeUs = 3'000'000;           // the whole flash region
  std::size_t flashBlocks = kVisteonRegionBlocks;  // of 1 kB, from block 33 at 0x1C8000
  std::uint64_t bootTimeUs = 100'000;              // deaf after a reset or a power-up
  std::uint32_t randomSeed = 0x5EED;               // security seeds: every run is the same run
};

class VisteonEcu final : public SimEcu {
 public:
  static constexpr std::uint32_t kBaseBitRate = 10400;
  static constexpr std::uint32_t kReflashBitRate = 57600;
  static constexpr std::size_t kCalTextPackets = 43;
  static constexpr std::size_t kCalTextPiece = 6;
  static constexpr std::size_t kCalTextSize = kCalTextPackets * kCalTextPiece;

  // Receives one line per answered request, e.g. "01 0C -> 41 0C 1A F8".
  using ExchangeLog = std::function<void(const std::string&)>;

  explicit VisteonEcu(SimLine& line, VisteonConfig config = {});

  // What it answers with.
  void setSoftwareId(std::string_view fourBytes);
  const std::string& softwareId() const { return softwareId_; }
  void setPid(std::uint8_t pid, std::uint16_t value) { pids_[pid] = value; }
  void removePid(std::uint8_t pid) { pids_.erase(pid); }
  std::optional<std::uint16_t> pid(std::uint8_t pid) const;
  void setFreezeFrame(std::uint8_t pid, std::uint16_t value) { freezeFrame_[pid] = value; }
  std::optional<std::uint16_t> freezeFrame(std::uint8_t pid) const;
  void setFaults(std::vector<std::uint16_t> codes) { faults_ = std::move(codes); }
  const std::vector<std::uint16_t>& faults() const { return faults_; }
  // Last byte of a routine's result: diagnostic routines 0x00, 0x02, 0x03, prepare 0xA0,
  // erase 0xA1 (nonzero: the erase fails and leaves the flash as it was). Default 0.
  void setRoutineResult(std::uint8_t routine, std::uint8_t result);
  // Blank-padded or cut to kCalTextSize characters.
  void setCalibrationText(std::string_view text);
  const std::string& calibrationText() const { return calText_; }

  const visteon::FlashMemory& flash() const { return flash_; }
  void loadFlash(std::string_view image) { flash_.load(image); }

  void setReplyDelayUs(std::uint64_t us) { config_.replyDelayUs = us; }
  void setEraseTimeUs(std::uint64_t us) { config_.eraseTimeUs = us; }

  // What it is doing.
  bool unlocked() const { return session_.unlocked; }
  bool erasing() const { return session_.erase == EraseState::Running; }
  bool inDiagnosticSession() const { return session_.diagnostic; }
  bool booting() { return nowUs() < awakeAtUs_; }
  // Packets heard with a wrong checksum, wrong addresses or no sense; ignored.
  std::size_t badPackets() const { return badPackets_; }
  // Resets and power losses so far.
  int restarts() const { return restarts_; }

  // Misbehaviour, switched on at any time. service is a service byte or
  // visteon::kAnyService; times a count or visteon::kForever.
  void injectNegative(int service, std::uint8_t code, int times = 1);
  void injectBusy(int service, int times = 1);
  void injectRoutineNotComplete(int service, int times = 1);
  void injectSilence(int service, int times = 1);
  void injectLateReply(int service, std::uint64_t lateUs, int times = 1);
  // Reply packet `packet` (0: the first) starts with 0x20, which no reply format has.
  void injectGarbledReply(int service, std::size_t packet = 0, int times = 1);
  // The last data byte of reply packet `packet` is spoilt on the way, as line noise
  // would: the checksum no longer fits it.
  void injectCorruptedReply(int service, std::size_t packet = 0, int times = 1);
  // The reply stops after keepBytes bytes of packet `packet`.
  void injectTruncatedReply(int service, std::size_t keepBytes, std::size_t packet = 0,
                            int times = 1);
  // Resets after the count-th transfer packet of a block has been taken in (once).
  void resetAfterTransferPackets(std::size_t count) { resetAfterTransfers_ = count; }
  void clearInjections();
  void reset();

  void setExchangeLog(ExchangeLog log) { log_ = std::move(log); }

  void onWireByte(const RxByte& byte) override;

 private:
  // One request being served: its reply is due at replyAtUs at the earliest.
  struct Exchange {
    visteon::Request request;
    std::uint64_t replyAtUs = 0;
  };
  struct Answer {
    std::vector<std::string> packets;           // data of each reply packet, sent back to back
    std::function<void()> afterSent = nullptr;  // runs once the reply is on its way
  };
  using MaybeAnswer = std::optional<Answer>;
  static Answer negative(std::uint8_t service, std::uint8_t code);

  enum class EraseState { Idle, Running, Done };

  // What the controller holds of the tester's session; lost on a reset.
  struct Session {
    bool diagnostic = false;
    std::optional<std::uint8_t> prepareRandom;
    std::optional<std::string> seed;
    bool unlocked = false;
    EraseState erase = EraseState::Idle;
    std::uint64_t eraseStartUs = 0;
    std::uint64_t eraseTimeUs = 0;
    std::uint8_t eraseResult = 0;
    std::optional<Exchange> eraseResultAsked;  // 32 A1 heard while erasing
    visteon::BlockReceiver block;
    std::optional<bool> blockVerdict;
    std::optional<std::uint16_t> verifySum;
  };

  // Bytes of the request being heard.
  struct Receiver {
    std::string bytes;
    std::uint64_t lastByteUs = 0;
    bool endWatched = false;
  };

  // Receiving and answering (VisteonEcu.cpp).
  void onPowerLost() override;
  void onPowerRestored() override;
  void endSession();
  void watchForRequestEnd();
  void onPause();
  void takePacket(std::string_view packet, std::uint64_t lastByteUs);
  void serve(Exchange exchange);
  MaybeAnswer answerFor(const Exchange& exchange);
  void sendReply(const Exchange& exchange, Answer answer,
                 std::optional<visteon::Misbehaviour> onWire = std::nullopt);
  void logExchange(const visteon::Request& request, const std::vector<std::string>& packets);
  std::uint8_t routineResult(std::uint8_t routine) const;

  // SAE J1979 and diagnostic services (VisteonEcu.cpp).
  MaybeAnswer currentData(const std::string& data) const;
  MaybeAnswer freezeFrameData(const std::string& data) const;
  Answer storedFaults() const;
  Answer clearFaults();
  Answer startRoutine(const std::string& data);
  MaybeAnswer stopRoutine(const Exchange& exchange);
  Answer diagnosticRoutine(std::uint8_t routine) const;

  // Reflash services (VisteonReflash.cpp).
  Answer prepare(const std::string& data);
  Answer securityAccess(const std::string& data);
  Answer sendSeed();
  Answer checkKey(const std::string& data);
  Answer startErase();
  MaybeAnswer eraseResult(const Exchange& exchange);
  void finishErase();
  void interruptErase();
  Answer requestDownload(const std::string& data);
  void transferData(const std::string& data);
  Answer transferExit();
  Answer startBlockCheck();
  Answer blockCheckResult() const;
  Answer startVerify(const std::string& data);
  Answer verifyResult() const;
  Answer uploadCalText(const std::string& data) const;

  VisteonConfig config_;
  EventGroup timers_;
  std::mt19937 random_;
  visteon::FlashMemory flash_;
  std::string softwareId_;
  std::map<std::uint8_t, std::uint16_t> pids_;
  std::map<std::uint8_t, std::uint16_t> freezeFrame_;
  std::vector<std::uint16_t> faults_;
  std::map<std::uint8_t, std::uint8_t> routineResults_;
  std::string calText_;

  Session session_;
  Receiver receiver_;
  std::uint64_t awakeAtUs_ = 0;
  std::size_t badPackets_ = 0;
  int restarts_ = 0;
  visteon::Injections injections_;
  std::optional<std::size_t> resetAfterTransfers_;
  ExchangeLog log_;
};

}  // namespace quorvan::sim

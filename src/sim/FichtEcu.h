#pragma once
// A Ficht engine management module (marine EMM) on the vehicle end of a SimLine.
//
// It takes the tester's frames off the wire (0x01, payload, checksum; a read is
// 01 n addrHi addrLo cs, a write 01 (0x80 + n) addrHi addrLo n bytes cs) and answers
// after its reply delay: a read with 01 n data cs, a write with 01 status cs (the number
// of bytes written; 0x80 refuses). Bytes before a lead byte, frames with a wrong checksum
// and frames cut off by a pause are dropped unanswered.
//
// What it holds:
//  - its identification at the addresses the tester reads it from: 1 the software version
//    (3 bytes, most significant first), 2 five bytes ending in the version letter,
//    115 the map version (8 characters), 110 the model (15 characters), 92 a status byte
//    (the tester's keep-alive);
//  - its fault history, four pages of eight records (addresses 93, 107, 108, 109), each
//    record 4 bytes: fault number, count, 16-bit time, most significant first;
//  - its current faults, a 32-byte bitmap at 118 (bit b of byte k: fault k * 8 + b + 1);
//  - a memory image for every other address, which block writes change.
// The command register 0x66 takes a command byte and 0x01; command 2 clears the current
// faults (the history stays, as on the module). A reset or a power loss ends what it was
// hearing, and it is deaf while it boots; its memory and faults stay.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/FichtInjections.h"
#include "sim/SimEcu.h"

namespace quorvan::sim {

struct FichtConfig {
  std::uint64_t replyDelayUs = 5'000;  // from the request's last byte to the answer
  std::uint64_t frameGapUs = 20'000;   // a pause this long ends a frame being heard
  std::uint64_t bootTimeUs = 100'000;  // deaf after a reset or a power-up
};

// The Ficht cable joins the module's transmit and receive lines to the port's separately
// (RS-232, full duplex): besides its loop-backs, the server does not hear its own bytes.
void UseFichtCable(SimLine& line);

class FichtEcu final : public SimEcu {
 public:
  static constexpr std::uint32_t kBitRate = 9600;
  static constexpr std::size_t kHistoryPages = 4;
  static constexpr std::size_t kRecordsPerPage = 8;
  static constexpr int kMaxFault = 256;

  struct HistoryRecord {
    std::uint8_t fault = 0;  // 0: empty
    std::uint8_t count = 0;
    std::uint16_t time = 0;
    bool operator==(const HistoryRecord&) const = default;
  };

  // Receives one line per answered request, e.g. "01 03 00 40 44 -> 01 03 00 05 DC E5".
  using ExchangeLog = std::function<void(const std::string&)>;
  // Told each command as the module takes it (before it answers).
  using CommandTaken = std::function<void(std::uint8_t)>;

  explicit FichtEcu(SimLine& line, FichtConfig config = {});

  // Identification.
  void setSoftwareVersion(std::uint32_t version, char letter);
  void setMapVersion(std::string_view text);  // blank-padded or cut to 8
  void setModel(std::string_view text);       // blank-padded or cut to 15
  void setStatusByte(std::uint8_t value) { statusByte_ = value; }

  // Memory: a value of 1..4 bytes, most significant first.
  void storeValue(std::uint16_t address, std::uint32_t value, int size);
  std::uint8_t memory(std::uint16_t address) const { return memory_[address]; }

  // Faults.
  void setCurrentFaults(std::set<int> faults) { current_ = std::move(faults); }
  const std::set<int>& currentFaults() const { return current_; }
  // Up to kHistoryPages * kRecordsPerPage records, filling the pages in order.
  void setHistory(std::vector<HistoryRecord> records);
  const std::vector<HistoryRecord>& history() const { return history_; }

  // Commands the module took (code of each, in order; block writes are not commands).
  const std::vector<std::uint8_t>& commands() const { return commands_; }
  // Frames heard with a wrong checksum or cut off; dropped.
  std::size_t badFrames() const { return badFrames_; }
  int restarts() const { return restarts_; }
  bool booting() { return nowUs() < awakeAtUs_; }

  // Misbehaviour, switched on at any time. address is a request address or
  // ficht::kAnyAddress; times a count or ficht::kForever.
  void injectSilence(int address, int times = 1);
  void injectTruncatedReply(int address, std::size_t keepBytes, int times = 1);
  void injectCorruptedChecksum(int address, int times = 1);
  void injectNak(int address, int times = 1);
  void injectReset(int address, int times = 1);
  void injectLateReply(int address, std::uint64_t lateUs, int times = 1);
  void injectStrayByte(int address, std::uint8_t stray, int times = 1);
  void clearInjections() { injections_.clear(); }
  void reset();

  void setReplyDelayUs(std::uint64_t us) { config_.replyDelayUs = us; }
  void setExchangeLog(ExchangeLog log) { log_ = std::move(log); }
  void setCommandTaken(CommandTaken taken) { taken_ = std::move(taken); }

  void onWireByte(const RxByte& byte) override;

 private:
  void onPowerLost() override;
  void onPowerRestored() override;
  // The frame heard so far is whole: true when `heard` holds all of it.
  bool frameComplete() const;
  void takeFrame(const std::string& frame, std::uint64_t lastByteUs);
  // The answer's bytes after the lead (count or status, data); nullopt: no answer.
  std::string answerFor(std::uint8_t first, std::uint16_t address, std::string_view data);
  std::string readAt(std::uint16_t address, std::size_t count) const;
  std::string write(std::uint16_t address, std::string_view data);
  void takeCommand(std::uint8_t command);
  std::string historyPage(std::size_t page) const;
  std::string currentBitmap() const;
  void sendAnswer(const std::string& request, std::string answer, std::uint64_t atUs,
                  std::optional<ficht::Misbehaviour> onWire);

  FichtConfig config_;
  std::array<std::uint8_t, 65536> memory_{};
  std::uint32_t softwareVersion_ = 0x000136;
  char versionLetter_ = 'C';
  std::string mapVersion_;
  std::string model_;
  std::uint8_t statusByte_ = 0x01;
  std::set<int> current_;
  std::vector<HistoryRecord> history_;
  std::vector<std::uint8_t> commands_;

  std::string heard_;
  std::uint64_t lastByteUs_ = 0;
  std::uint64_t awakeAtUs_ = 0;
  std::size_t badFrames_ = 0;
  int restarts_ = 0;
  ficht::Injections injections_;
  ExchangeLog log_;
  CommandTaken taken_;
};

}  // namespace quorvan::sim

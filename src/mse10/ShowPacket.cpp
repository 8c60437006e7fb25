#include "mse10/ShowPacket.h"

#include <cmath>
#include <exception>
#include <string>
#include <string_view>

#include "client/clsBoschECU.h"
#include "kline/Format.h"
#include "mse10/Mse10Protocol.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

using namespace mse10;

namespace {

constexpr int kShowPacketAlert = 9;
constexpr std::int16_t kIdentEntries = 3;
constexpr std::size_t kFaultCodeBytes = 3;
constexpr std::size_t kLongestNumber = 4;  // more data bytes go to the client as bytes
constexpr std::uint8_t kHistoricFlag = 0x80;

// Length, counter and title come before the data, the end byte after it.
std::string_view dataBytes(std::string_view block) {
  return block.size() > 4 ? block.substr(3, block.size() - 4) : std::string_view{};
}

std::uint8_t byteOf(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}

const WatchItem* currentItem(frmCommThread& f) {
  const std::int16_t item = f.globals.gCurItem;
  if (item < 1 || item > kWatchTableSize) return nullptr;
  return &f.globals.ecuWatchTable[static_cast<std::size_t>(item)];
}

bool currentItemWatched(frmCommThread& f) {
  const WatchItem* item = currentItem(f);
  return item != nullptr && item->priority != 0;
}

void notify(frmCommThread& f, const Variant& value) {
  if (f.objBoschECU) f.objBoschECU->PacketNotify(value);
}

// An acknowledge (or a refusal) ends a clear-faults or read-faults request.
void completeRequest(frmCommThread& f, Mse10Link& m, std::uint8_t title, const char*& label) {
  if (m.lastCmd == kClearFaults) {
    if (f.objBoschECU) f.objBoschECU->RaiseFaultsCleared(title == kAck);
    m.lastCmd = -1;
  }
  if (m.lastCmd == kReadFaults) {
    label = "ACK/faultCheck";
    if (currentItemWatched(f) && f.objBoschECU) f.objBoschECU->RaiseNewFaults(m.faultText);
  }
}

std::string trimBlanks(std::string text) {
  text.erase(0, text.find_first_not_of(' '));
  const std::size_t last = text.find_last_not_of(' ');
  text.erase(last == std::string::npos ? 0 : last + 1);
  return text;
}

void storeIdentification(frmCommThread& f, Mse10Link& m, std::string_view data) {
  CountUp(m.gIdentCount);
  if (m.gIdentCount < 1 || m.gIdentCount > kIdentEntries) {
    RingIfDebug(f, [&] {
      return "!! identification block #" + std::to_string(m.gIdentCount) +
             " not stored: " + PktToHex(data);
    });
    return;
  }
  // NULs first, so that blanks hidden in front of them go too.
  f.globals.gEcuIds[static_cast<std::size_t>(m.gIdentCount - 1)] = trimBlanks(CleanStr(data));
  if (m.gIdentCount == kIdentEntries) f.StatusNotify(ecuCommOK);
}

void appendFaultCode(frmCommThread& f, Mse10Link& m, std::string_view data) {
  if (data.size() < kFaultCodeBytes) {
    RingIfDebug(f, [&] { return "!! fault block too short, not decoded: " + PktToHex(data); });
    return;
  }
  std::string code(data.substr(0, kFaultCodeBytes));
  std::string prefix = "C";
  if (byteOf(code, 2) >= kHistoricFlag) {
    prefix = "H";
    code[2] = static_cast<char>(byteOf(code, 2) - kHistoricFlag);
  }
  m.faultText += prefix + PktToHex(code, true) + "/";
}

// A positive size reads the first byte as least significant; zero or a negative size
// as most significant.
double memoryValue(std::string_view data, std::int16_t size) {
  double value = 0;
  const std::size_t k = data.size();
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t weight = size > 0 ? i : k - 1 - i;
    value += std::ldexp(static_cast<double>(byteOf(data, i)), static_cast<int>(8 * weight));
  }
  return value;
}

void deliverMemoryData(frmCommThread& f, Mse10Link& m, std::string_view data) {
  if (!currentItemWatched(f)) return;  // no item (or no longer watched): nobody to tell
  if (data.size() > kLongestNumber) {
    notify(f, Variant(std::string(data)));
    return;
  }
  notify(f, Variant(UnsignedToLong(memoryValue(data, m.curItemSize))));
}

void deliverSingleByte(frmCommThread& f, std::string_view data) {
  if (data.empty()) return;
  notify(f, Variant(std::int32_t{byteOf(data, 0)}));
}

void decodeBlock(frmCommThread& f, Mse10Link& m, const char*& label) {
  const std::string_view block(f.blockBuf);
  if (block.size() < 3) return;
  const std::string_view data = dataBytes(block);
  switch (const std::uint8_t title = byteOf(block, 2)) {
    case kAck:
    case kNak:
      completeRequest(f, m, title, label);
      break;
    case kIdentText:
      storeIdentification(f, m, data);
      break;
    case kFaultCode:
      appendFaultCode(f, m, data);
      break;
    case kMemoryData:
      deliverMemoryData(f, m, data);
      break;
    case kSingleByte:
      deliverSingleByte(f, data);
      break;
    default:
      break;  // consumed, not decoded
  }
}

}  // namespace

void ShowPacket(frmCommThread& f, Mse10Link& m) {
  const char* label = "";
  try {
    f.activity = true;
    decodeBlock(f, m, label);
    m.lastBlockQpc = f.clock().performanceCounter();
    m.byteCount = 0;
    f.blockBuf.clear();
  } catch (const std::exception& e) {
    f.LogIt(std::string("*** Crapped in ShowPacket, at: ") + label + " ***");
    f.DebugAlert(kShowPacketAlert, ErrFromException(e));
  }
}

}  // namespace quorvan

#include "mse10/ShowPacket.h"

#include <exception>
#include <string>
#include <string_view>

#include "client/clsBoschECU.h"
#include "mse10/Mse10Decode.h"
#include "mse10/Mse10Protocol.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

using namespace mse10;

namespace {

constexpr int kShowPacketAlert = 9;
constexpr std::int16_t kIdentEntries = 3;

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
    // Only the acknowledge ends a list read whole: after a refusal the codes gathered so
    // far (none, or a part) would pass for the controller's list.
    if (title == kAck && currentItemWatched(f) && f.objBoschECU) {
      f.objBoschECU->RaiseNewFaults(m.faultText);
    }
  }
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
  f.globals.gEcuIds[static_cast<std::size_t>(m.gIdentCount - 1)] = IdentificationText(data);
  if (m.gIdentCount == kIdentEntries) f.StatusNotify(ecuCommOK);
}

void appendFaultCode(frmCommThread& f, Mse10Link& m, std::string_view data) {
  const std::optional<std::string> code = FaultCodeText(data);
  if (!code) {
    RingIfDebug(f, [&] { return "!! fault block too short, not decoded: " + PktToHex(data); });
    return;
  }
  m.faultText += *code;
}

// A controller that answers a memory read is linked, whether or not its identification
// blocks came whole after the last wake-up (a controller still linked from before
// answers the requests at once): the client is not left at ecuInitializing.
void reportLinked(frmCommThread& f) {
  if (f.lastEcuStatus == ecuInitializing) f.StatusNotify(ecuCommOK);
}

void deliverMemoryData(frmCommThread& f, Mse10Link& m, std::string_view data) {
  reportLinked(f);
  if (!currentItemWatched(f)) return;  // no item (or no longer watched): nobody to tell
  notify(f, MemoryValue(data, m.curItemSize));
}

void deliverSingleByte(frmCommThread& f, std::string_view data) {
  if (data.empty()) return;
  notify(f, Variant(std::int32_t{static_cast<std::uint8_t>(data[0])}));
}

void decodeBlock(frmCommThread& f, Mse10Link& m, const char*& label) {
  const std::optional<BlockParts> block = SplitBlock(f.blockBuf);
  if (!block) return;
  const std::string_view data = block->data;
  switch (block->title) {
    case kAck:
    case kNak:
      completeRequest(f, m, block->title, label);
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

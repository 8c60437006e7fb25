#include "ficht/FichtRequests.h"

#include <exception>
#include <optional>

#include "client/clsBoschECU.h"
#include "ficht/FichtExchange.h"
#include "ficht/FichtFrames.h"
#include "ficht/FichtLink.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::int32_t kHistoryAddresses[] = {93, 107, 108, 109};
constexpr std::int32_t kCurrentFaultsAddress = 118;
constexpr std::int32_t kFaultBlockSize = 32;
constexpr std::int32_t kDelayBeforeCommandWriteMs = 20;
constexpr std::uint8_t kNoCommand = 0xFF;
constexpr const char* kDataNote = "FichtData=";

std::uint8_t firstReplyByte(const frmCommThread& f) {
  return f.replyBuffer.empty() ? kFichtNak : static_cast<std::uint8_t>(f.replyBuffer[0]);
}

// The module's status for the write just sent; false when the exchange failed.
std::optional<bool> writeAccepted(frmCommThread& f, FichtLink& k) {
  FichtGetReply(f, k, 1);
  if (f.timeOut) return std::nullopt;
  return firstReplyByte(f) < kFichtNak;
}

Variant asVariant(std::vector<std::int32_t> numbers, std::int32_t size) {
  if (FichtSizeIsNumber(size)) return Variant(numbers.at(0));
  return Variant(std::move(numbers));
}

std::vector<std::int32_t> numbersOf(const Variant& v) {
  if (const auto* a = std::get_if<std::vector<std::int32_t>>(&v.value)) return *a;
  return {};
}

}  // namespace

Variant FichtRequestCore(frmCommThread& f, FichtLink& k, std::int32_t address, std::int32_t size) {
  try {
    FichtSendRead(f, k, address, size);
    FichtGetReply(f, k, static_cast<std::size_t>(size) + 1);
    if (f.timeOut) return Variant(std::vector<std::int32_t>{0, 0});
    const std::int32_t count = firstReplyByte(f);
    if (count != size) {
      f.ReportError("Size returned (" + std::to_string(count) +
                        ") \r\ndoes not match size requested! (" + std::to_string(size) + ")",
                    mb::vbCritical, "Ficht Data Error");
    }
    return asVariant(DecodeFichtRead(f.replyBuffer, size), size);
  } catch (const std::exception& e) {
    f.trace.ReportFailure("FichtRequestCore", 0, ErrFromException(e));
    return Variant(std::vector<std::int32_t>{0, 0});
  }
}

void FichtDataItem(frmCommThread& f, FichtLink& k, std::int32_t address, std::int32_t size) {
  if (size > kFichtMaxCount) {
    // The count byte would mark the read as a write to the module.
    f.LogIt("** Ficht item of " + std::to_string(size) + " bytes cannot be read; skipped");
    return;
  }
  const Variant v = FichtRequestCore(f, k, address, size);
  if (f.timeOut) return;
  f.StatusNotify(ecuCommOK);
  if (f.objBoschECU) f.objBoschECU->PacketNotify(v);
}

void FichtDataRequest(frmCommThread& f, FichtLink& k, std::int32_t code) {
  const std::int32_t address = code & 0xFF;
  const std::int32_t count = code / 256;
  std::string answer = kDataNote;
  if (count < 0) {
    // A negative count byte would mark the read as a write to the module.
    f.LogIt("** Ficht read command " + std::to_string(code) + " has no count; nothing sent");
  } else {
    FichtSendRead(f, k, address, count);
    FichtGetReply(f, k, static_cast<std::size_t>(count) + 1);
    if (!f.timeOut) {
      if (firstReplyByte(f) != count) {
        answer += "NAK";
      } else {
        answer += static_cast<char>(address);
        answer += f.replyBuffer.substr(1);
      }
    }
  }
  if (f.objBoschECU) f.objBoschECU->TellClient(answer);
}

void FichtFaultRequest(frmCommThread& f, FichtLink& k, std::int32_t kind) {
  std::string faults;
  // The list goes to the client only when every part of it was read: a part would pass
  // for the whole.
  bool allRead = true;
  if (kind & kFichtHistoryFaults) {
    for (const std::int32_t address : kHistoryAddresses) {
      faults += ExtractFichtHistoric(numbersOf(FichtRequestCore(f, k, address, kFaultBlockSize)));
      allRead = allRead && !f.timeOut;
    }
  }
  if (kind & kFichtCurrentFaults) {
    FichtRequestCore(f, k, kCurrentFaultsAddress, kFaultBlockSize);
    if (!f.timeOut) faults += ExtractFichtCurrent(f.replyBuffer);
    allRead = allRead && !f.timeOut;
  }
  if (!allRead) {
    f.LogIt("** Ficht fault list not read whole; not delivered");
    return;
  }
  f.StatusNotify(ecuCommOK);
  if (f.objBoschECU) f.objBoschECU->RaiseNewFaults(faults);
}

void DoFichtCommand(frmCommThread& f, FichtLink& k, std::int32_t code) {
  FichtSendCommand(f, k, code);
  const std::optional<bool> accepted = writeAccepted(f, k);
  if (accepted && f.objBoschECU) f.objBoschECU->RaiseCommandComplete(*accepted);
}

void FichtClearFaults(frmCommThread& f, FichtLink& k) {
  FichtSendCommand(f, k, kFichtClearFaultsCommand);
  const std::optional<bool> accepted = writeAccepted(f, k);
  if (accepted && f.objBoschECU) f.objBoschECU->RaiseFaultsCleared(*accepted);
}

void FichtBlockWrite(frmCommThread& f, FichtLink& k, const std::string& block) {
  bool ok = false;
  if (block.size() < 2 || block.size() - 2 > static_cast<std::size_t>(kFichtMaxCount)) {
    // No address, or more data than one write can say it carries.
    f.LogIt("** Ficht block of " + std::to_string(block.size()) + " bytes cannot be written");
  } else {
    const auto command = static_cast<std::uint8_t>(block[0]);
    ok = FichtWriteChecked(
        f, k,
        FichtWritePayload(static_cast<std::uint8_t>(block[1]), std::string_view(block).substr(2)));
    if (command != kNoCommand && ok) {
      f.waits.WaitFor(kDelayBeforeCommandWriteMs);
      // Whatever the command byte, even 0: the two bytes go to the command register.
      ok = FichtWriteChecked(
          f, k, FichtWritePayload(kFichtCommandAddress, std::string{block[0], '\x01'}));
    }
  }
  if (f.objBoschECU) f.objBoschECU->RaiseCommandComplete(ok);
}

bool FichtWriteChecked(frmCommThread& f, FichtLink& k, const std::string& payload) {
  FichtSend(f, k, payload);
  FichtGetReply(f, k, 1);
  return !f.timeOut && !payload.empty() &&
         firstReplyByte(f) == (static_cast<std::uint8_t>(payload[0]) & 0x7F);
}

}  // namespace quorvan

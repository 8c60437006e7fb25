// The parsers of controller replies, each fed the bytes a hostile controller could send,
// with the call's other arguments taken from the front of the input.
#include <string>

#include "FuzzInput.h"
#include "FuzzTargets.h"
#include "ficht/FichtFrames.h"
#include "kwp2000/BoschSession.h"
#include "kwp2000/IsoLink.h"
#include "mbe/MbeDecode.h"
#include "mse10/Mse10Decode.h"
#include "visteon/PacketLayer.h"
#include "visteon/VisteonFaults.h"

namespace quorvan::fuzz {
namespace {

// A Visteon code is four characters, each 48 plus a nibble, then "/".
bool OnlyFaultText(const std::string& codes) {
  return codes.size() % 5 == 0 && codes.find_first_not_of("0123456789:;<=>?/") == std::string::npos;
}

}  // namespace

// The Visteon reply: its length from the first byte and the request, whether it answers
// the request, and its fault codes.
void FuzzVisteonReply(std::string_view input) {
  FuzzInput in(input);
  const std::string request(in.take(in.byte() % 8));
  const std::string_view reply = in.rest();
  if (!reply.empty()) {
    const int length = ReplyPacketLength(static_cast<std::uint8_t>(reply.front()), request);
    FuzzCheck(length >= 0 && length <= 16, "a reply's length is 0 (malformed) or one packet");
  }
  AnswersRequest(reply, request);
  bool done = false;
  const std::string codes = ExtractVFaults(reply, done);
  FuzzCheck(OnlyFaultText(codes), "fault codes are nibble characters and slashes");
  FuzzCheck(OnlyFaultText(ExtractAllFaults(reply)),
            "fault codes are nibble characters and slashes");
}

// A whole MSE 1.0 block and what its data says for an item of any size.
void FuzzMse10Block(std::string_view input) {
  FuzzInput in(input);
  const auto itemSize = static_cast<std::int16_t>(in.word());
  const auto parts = mse10::SplitBlock(in.rest());
  if (!parts) return;
  FuzzCheck(parts->data.size() + 3 <= in.rest().size(), "the data lie within the block");
  mse10::IdentificationText(parts->data);
  if (const auto code = mse10::FaultCodeText(parts->data)) {
    FuzzCheck(code->size() == 8 && code->back() == '/', "a fault code is C or H, six digits, /");
  }
  mse10::MemoryValue(parts->data, itemSize);
}

// A KWP2000 response: where its data lie, its code, and the numbers read from it.
void FuzzKwp2000Reply(std::string_view input) {
  FuzzInput in(input);
  const std::size_t position = in.byte();
  const std::string reply(in.rest());
  const IsoReplyLayout layout = ReplyLayout(reply);
  FuzzCheck(layout.total > layout.dataStart, "a frame holds its header and checksum");
  FuzzCheck(layout.length() <= 0xFF, "a frame carries at most 255 data bytes");
  IsoResponseCode(reply);
  BytesToLongBE(reply, position);
  LittleEndianValue(reply);
}

// A Ficht reply: its checks, and its data read as numbers of any size and as fault codes.
void FuzzFichtReply(std::string_view input) {
  FuzzInput in(input);
  const auto size = static_cast<std::int16_t>(in.word());
  const std::size_t cut = in.byte();
  const std::string_view received = in.rest();
  const std::string_view reply = received.substr(received.empty() ? 0 : 1, cut);
  FichtReplyValid(received, reply);
  const auto numbers = DecodeFichtRead(reply, size);
  FuzzCheck(!FichtSizeIsNumber(size) || numbers.size() == 1, "a small size reads one number");
  ExtractFichtHistoric(DecodeFichtRead(reply, 32));
  ExtractFichtCurrent(reply);
}

// An MBE reply as the client's value, and a fault byte as codes.
void FuzzMbeReply(std::string_view input) {
  FuzzInput in(input);
  const std::int32_t bits = in.long32();
  const bool isCurrent = (in.byte() & 1) != 0;
  mbe::ExtractMBEFaults(bits, isCurrent);
  const Variant value = mbe::ReplyValue(in.rest());
  if (in.rest().size() > 2) {
    FuzzCheck(value == Variant(std::string(in.rest())), "a long reply is its own bytes");
  }
}

}  // namespace quorvan::fuzz

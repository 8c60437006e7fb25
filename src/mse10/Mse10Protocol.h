#pragma once
// Shared vocabulary of the MSE 1.0 block protocol: pump states, block titles, and the
// two small helpers the pump, the decoder and the scheduler all use.
#include <cstdint>
#include <limits>
#include <string>

#include "mse10/Mse10Link.h"
#include "runtime/frmCommThread.h"

namespace quorvan::mse10 {

// States of the receive pump (Mse10Link::pumpMode).
inline constexpr std::int16_t kProlog = 0;  // taking in the wake-up answer
inline constexpr std::int16_t kSlave = 1;   // receiving a controller block
inline constexpr std::int16_t kMaster = 2;  // sending a block of ours

inline constexpr std::uint8_t kEndByte = 0x03;
inline constexpr std::uint8_t kSyncByte = 0x55;  // first byte of the wake-up answer

// Block titles.
inline constexpr std::uint8_t kReadMemory = 0x01;
inline constexpr std::uint8_t kClearFaults = 0x05;
inline constexpr std::uint8_t kReadFaults = 0x07;
inline constexpr std::uint8_t kAck = 0x09;
inline constexpr std::uint8_t kNak = 0x0A;
inline constexpr std::uint8_t kSpecialCommand = 0x13;
inline constexpr std::uint8_t kTimingMode = 0x38;
inline constexpr std::uint8_t kIdentText = 0xF6;
inline constexpr std::uint8_t kFaultCode = 0xFC;
inline constexpr std::uint8_t kMemoryData = 0xFE;
inline constexpr std::uint8_t kSingleByte = 0xDB;

// Block length bytes the protocol allows (bytes after the length, end byte included).
inline constexpr int kMinBlockLen = 3;
inline constexpr int kMaxBlockLen = 15;

// The receive path must stay cheap: trace text is only built while tracing is on.
template <typename MakeText>
void RingIfDebug(frmCommThread& f, MakeText makeText) {
  if (f.mbDebugMode) f.LogToRing(makeText());
}

// Error counters count on for ever: past their top they start again from 0 instead of
// overflowing.
template <typename T>
void CountUp(T& counter) {
  counter = counter == std::numeric_limits<T>::max() ? T{0} : static_cast<T>(counter + 1);
}

}  // namespace quorvan::mse10

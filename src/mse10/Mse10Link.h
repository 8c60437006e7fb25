#pragma once
// The private state of an MSE 1.0 session: the receive pump, the block being sent, the
// scheduler's current request and the error counters. The wake-up resets the pump part.
#include <array>
#include <cstdint>
#include <string>

namespace quorvan {

struct Mse10Link {
  // ---- Receive pump ----
  std::int16_t pumpMode = 0;
  std::int16_t byteCount = 0;
  std::int16_t blockCounter = 0;
  bool echoPending = false;
  std::uint8_t echoByte = 0;  // the byte the line must give back: our last one
  std::int16_t prologPass = 0;
  std::array<std::uint8_t, 10> prologBytes{};  // first byte of each prolog receive event
  // Time-outs of the pass (adaptive or standard prolog).
  std::int16_t timeOut40 = 0, timeOut80 = 0, timeOut3 = 0;
  std::uint32_t rxTime = 0;      // timeGetTime at this receive event
  std::uint32_t prevRxTime = 0;  // ... and at the previous one
  std::uint32_t lastTxTime = 0;  // when the server last sent a byte
  std::int16_t rxBlockLen = 0;   // the controller block being received
  std::int16_t rxCounter = 0;
  std::int16_t rxTitle = 0;  // kept after the block: the scheduler reads it
  std::string txBlock;       // length, counter, title, data (the end byte is not stored)
  std::int16_t txIndex = 0;  // txBlock bytes sent in the current attempt
  std::int64_t lastBlockQpc = 0;

  // ---- Requests and their answers ----
  std::int16_t reqType = -1;
  std::int32_t lastCmd = 0;  // last title sent other than 0x09; -1 once a clear is answered
  std::int32_t curItemAddr = 0;
  std::int16_t curItemSize = 0;
  std::string faultText;         // fault codes collected from 0xFC blocks
  std::int16_t gIdentCount = 0;  // identification blocks since the prolog
  std::uint32_t interByteDelay = 2;
  std::uint32_t requestDelay = 20;

  // ---- Error counters: zero when the form loads, never reset ----
  std::int16_t ecuNAKs = 0;
  std::int16_t ecuResyncs = 0;
  std::int16_t ecuOflows = 0;
  std::int16_t ecuTimeouts = 0;  // shown in the failure report, never counted
  std::int32_t ecuHSslow = 0;
  std::int32_t ecuHSmissing = 0;
  std::int32_t ecuHSwrong = 0;
  std::int32_t ecuOutSlow = 0;
};

}  // namespace quorvan

#pragma once
// The private state of an MSE 1.1 session over KWP2000: the link's timing values, the
// exchange in progress, the request table and the reflash's progress.
#include <cstdint>
#include <string>

namespace quorvan {

class Family;

// The request table, rebuilt at the start of every init and ident; the later steps use
// what the last one built.
struct KwpRequests {
  std::string reqStartComms, reqTiming, reqSession3, reqSeed, reqKey, reqErase, reqEraseResult,
      reqDownload, reqTransfer, reqTransferExit, reqVerifyStart, reqVerifyResult, reqStopComms,
      reqReadMem, retryCodes;
};

struct Kwp2000Link {
  const Family* family = nullptr;  // the family this state belongs to

  // ---- Timing values (sent to the controller in the timing request) ----
  std::int16_t p2Min = 0;          // 0.5 ms units
  std::int16_t p2Max = 16;         // 25 ms units: the response time-out
  std::int16_t p3Min = 0;          // 0.5 ms units: the pause before each request
  std::int16_t p3Max = 10;         // 250 ms units: the wait after a response-pending answer
  std::int16_t p4Min = 0;          // 0.5 ms units
  std::int16_t gRepeatDelay = 40;  // 5 ms units: the pause before a repeated request
  std::int32_t gLongWait = 400;    // ms: the deadline of the current wait
  // The controller took the timing values: frames go out in one write from then on.
  bool isoTimingSet = false;

  // ---- The exchange ----
  std::string isoTxFrame;      // the last frame written, for the echo check
  std::string isoLastRequest;  // the last request handed to the sender
  bool gNegReply = false;      // the last response was a negative one
  bool spoiltReply = false;    // the last response's checksum did not fit: nothing heard

  // ---- Requests and reflash ----
  KwpRequests requests;
  std::int16_t dataSize = 0;      // data bytes of the next transfer
  std::string dataPacket;         // and the bytes themselves
  std::int32_t ecuFlashBase = 0;  // bytes the controller has taken; 0 after init
  std::int32_t isoResult = 0;     // the last key exchange of a session start
};

}  // namespace quorvan

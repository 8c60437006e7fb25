#pragma once
// The private state of an MBE session: the request last sent, the watch item being
// polled and the timer that paces the free-running request loop.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"

namespace quorvan {

class Family;

struct MbeLink {
  const Family* family = nullptr;  // the family this state belongs to

  // ---- Exchange ----
  std::string emmLastSent;  // the request as last sent

  // ---- Request loop ----
  std::int32_t curItemAddr = 0;
  std::int16_t curItemSize = 0;
  // The loop runs one request per turn; each turn comes this timer's interval after the
  // previous one ended, and the server's message loop runs in between.
  std::unique_ptr<Timer> tmrNextRequest;
  bool loopRunning = false;
};

}  // namespace quorvan

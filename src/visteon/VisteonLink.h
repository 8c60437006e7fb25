#pragma once
// The private state of a Visteon session: the packet exchange in progress, the request
// loop's current item and fault list, and the reflash.
#include <cstdint>
#include <random>
#include <string>

namespace quorvan {

// The reflash request table, rebuilt at the start of each reflash; the later steps use
// what the last one built.
struct ReflashRequests {
  std::string reqPing, reqPrepare, reqSeed, reqKey, reqEraseEnter, reqEraseExit, reqDownload,
      reqTransfer, reqTransferExit, reqBlockCheckStart, reqBlockCheckStop, reqVerifyStart,
      reqVerifyStop;
};

class Family;

struct VisteonLink {
  const Family* family = nullptr;  // the family this state belongs to

  // ---- Packet exchange ----
  std::string isoLastRequest;
  std::string isoTxFrame;
  std::int16_t replyLength = 0;
  std::uint32_t replyTimeout = 2000;  // reply wait while a flash operation is active
  std::int32_t badReplies = 0;
  std::size_t discardedBytes = 0;  // bytes of the last exchange's reply that were not used //
                                   // replies discarded for a wrong checksum

  // ---- Request loop ----
  std::int32_t curItemAddr = 0;
  std::int16_t curItemSize = 0;
  bool faultListDone = false;

  // ---- Reflash ----
  ReflashRequests requests;
  std::uint32_t ecuFlashBase = 0;
  std::minstd_rand rng;  // the prepare request carries a random byte
};

}  // namespace quorvan

#include "host/server/TraceBackPublisher.h"

#include "runtime/frmCommThread.h"

namespace quorvan::host {

TraceBackPublisher::TraceBackPublisher(StallGuard& guard, MessageLoop& loop,
                                       const modGlobals& globals, const DriveC& driveC)
    : guard_(guard), loop_(loop), globals_(globals), driveC_(driveC) {
  hook_ = loop_.addPrepareHook([this] { publish(); });
}

TraceBackPublisher::~TraceBackPublisher() {
  loop_.removePrepareHook(hook_);
}

void TraceBackPublisher::publish() {
  const frmCommThread* form = globals_.frmHidden;
  if (!form) return;  // no comm thread yet: nothing traced
  const TraceLog& trace = form->trace;
  const std::pair state{trace.ringChanges(), trace.HasTraceBack()};
  if (state == published_) return;
  const std::uint64_t now = loop_.nowUs();
  if (publishedAtUs_ && now - *publishedAtUs_ < std::uint64_t{kEveryMs} * 1000) return;
  published_ = state;
  publishedAtUs_ = now;
  guard_.publishTraceBack(driveC_.dir() / TraceLog::TraceBackFileName(),
                          state.second ? trace.TraceBackText() : std::string());
}

}  // namespace quorvan::host

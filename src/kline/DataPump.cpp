#include "kline/DataPump.h"

#include "runtime/frmCommThread.h"

namespace quorvan {

// The block protocol is not served yet: keep the controller's bytes like every other
// family's, so nothing received is lost.
void DataPump(frmCommThread& form) {
  form.AppendInput();
}

}  // namespace quorvan

#include "visteon/VisteonFamily.h"

#include "kline/VisteonImage.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"
#include "visteon/PacketLayer.h"
#include "visteon/Reflash.h"
#include "visteon/RequestLoop.h"

namespace quorvan {

namespace {

// One identification request; the reply names the controller's software.
void identify(frmCommThread& f, VisteonLink& v) {
  const std::int32_t result = SendCommand(f, v, std::string("\x01\x00", 2));
  const std::string& reply = f.replyBuffer;
  if (reply.size() == 6) {
    std::string software = PktToHex(std::string_view(reply).substr(2, 4));
    software.erase(software.find_last_not_of(' ') + 1);
    f.globals.gEcuIds[0] = "Visteon Controller";
    f.globals.gEcuIds[1] = "PVM-100 (" + software + ")";
    f.globals.gEcuIds[2] = "Victory Motorcycle";
  } else if (!reply.empty()) {
    f.ReportError("Got response with improper ID info\r\n" + PktToHex(reply) +
                      "\r\nleftOver: " + PktToHex(f.blockBuf),
                  mb::vbCritical, kErrorTitle);
    f.globals.gEcuIds[0] = "Visteon???";
    f.globals.gEcuIds[1] = "PID Reply " + PktToHex(reply);
  }
  if (f.timeOut) {
    f.DieIfNoClients();
    f.StatusNotify(ecuRunSwitchOff);
  } else if (result == kExchangeNoReply) {
    // Something answers, but nothing usable: not a working link.
    f.StatusNotify(ecuNoComm);
  } else {
    f.StatusNotify(ecuCommOK);
    f.tmrSampleRate.setEnabled(true);
  }
  f.gWatchTimer = f.now();
  f.tmrWatchDog.setEnabled(true);
}

}  // namespace

VisteonFamily::VisteonFamily()
    : Family(FamilyInfo{.name = "Visteon",
                        .bitRate = kVisteonBitRate,
                        .setRateOnOpen = true,
                        .wakeUp = WakeUp::Request,
                        .handOver = HandOver::AfterEchoTest,
                        .flashBlockSize = static_cast<std::int16_t>(kVisteonFlashBlockSize)}) {
  link.family = this;
}

void VisteonFamily::Load(frmCommThread& f) {
  link.rng.seed(f.now());  // the reflash draws a random byte
  // A reflash step the client asks for before any FlashInit still finds its requests.
  BuildVisteonRequests(link);
  link.ecuFlashBase = kFirstFlashBase;
}

void VisteonFamily::Start(frmCommThread& f) {
  identify(f, link);
}

void VisteonFamily::SampleRateTick(frmCommThread& f) {
  f.TraceSampleTick();
  if (!f.commSerial.PortOpen()) {
    f.LogIt("** doing VisteonRequest with port closed! **");
    f.trace.DumpTraceBack();
    return;
  }
  NextVisteonRequest(f, link);
}

}  // namespace quorvan

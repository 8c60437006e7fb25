#pragma once
// The platform services the server runs on, handed to it as one bundle.
#include "platform/Alerts.h"
#include "platform/Clock.h"
#include "platform/DriveC.h"
#include "platform/MessageLoop.h"
#include "platform/Process.h"
#include "platform/SerialDevice.h"
#include "platform/WindowDirectory.h"

namespace quorvan {

struct Platform {
  Clock& clock;
  MessageLoop& loop;
  SerialBackend& serial;
  WindowDirectory& windows;
  Alerts& alerts;
  DriveC& driveC;
  ProcessControl& process;
};

}  // namespace quorvan

#pragma once
// Published enumerations and dispatch ids of the client class. These values are compiled
// into clients: never change them.
#include <cstdint>

#include "client/WatchTable.h"

namespace quorvan {

enum ecuStatus : std::int32_t {
  ecuReady = 0,
  ecuNoCable = 1,
  ecuNoPower = 2,
  ecuNoCableOrPower = 3,
  ecuNoComm = 4,
  ecuCableDetected = 5,
  ecuInitializing = 6,
  ecuCommOK = 7,
  ecuCommLost = 8,
  ecuRunSwitchOff = 9,
  ecuFinished = 10,
  ecuWrongCable = 11,
  ecuNoSerialCable = 12,
  ecuNoVehicleCable = 13,
};

enum ecuDevices : std::int32_t {
  ecuMSE10 = 1,
  ecuMSE11 = 2,
  ecuVisteon = 4,
  ecuFicht = 8,
  ecuWeber7A = 16,
  ecuWeber11 = 32,
  ecuKokusan = 64,
  ecuWeberM7 = 128,
  ecuMBE = 256,
};

enum FlashModes : std::int32_t {
  flashIdle = 0,
  flashBusy = 1,
  flashReady = 2,
  flashFailedPrep = 3,
  flashFailedUnlock = 4,
  flashFailedErase = 5,
  flashFailedWrite = 6,
  flashFailedVerify = 7,
  flashFailedLowBatt = 8,
  flashFailedNoPE = 9,
};

// Pending-command codes carried in commandRequested.
namespace cmd {
inline constexpr std::int16_t kNone = 0;
inline constexpr std::int16_t kHandled = 100;
inline constexpr std::int16_t kFlashInit = 101;
inline constexpr std::int16_t kFlashWrite = 102;
inline constexpr std::int16_t kFlashVerify = 103;
inline constexpr std::int16_t kFlashAbort = 104;
inline constexpr std::int16_t kFlashIdent = 106;
inline constexpr std::int16_t kMse10Special = 201;
inline constexpr std::int16_t kFichtBlockWrite = -1234;
}  // namespace cmd

// Dispatch ids of the class's members and events.
namespace dispid {
// public variables
inline constexpr std::int32_t ecuActive = 0x40030000;
inline constexpr std::int32_t ecuFlashMode = 0x40030001;
inline constexpr std::int32_t ecuResults = 0x40030002;
inline constexpr std::int32_t ecuGetCalText = 0x40030003;
// properties
inline constexpr std::int32_t NumActive = 0x68030000;
inline constexpr std::int32_t ThreadID = 0x68030001;
inline constexpr std::int32_t idCustomer = 0x68030002;
inline constexpr std::int32_t idSoftware = 0x68030003;
inline constexpr std::int32_t idHardware = 0x68030004;
inline constexpr std::int32_t ClientName = 0x68030005;
inline constexpr std::int32_t BaseTimingMode = 0x68030006;
inline constexpr std::int32_t Device = 0x68030007;
inline constexpr std::int32_t DebugMode = 0x68030008;
inline constexpr std::int32_t portNum = 0x68030009;
inline constexpr std::int32_t Pullup = 0x6803000A;
inline constexpr std::int32_t Results = 0x6803000B;
inline constexpr std::int32_t State = 0x6803000C;
inline constexpr std::int32_t Busy = 0x6803000D;
inline constexpr std::int32_t Ready = 0x6803000E;
// methods
inline constexpr std::int32_t TellClient = 0x6003000F;
inline constexpr std::int32_t AddItem = 0x60030013;
inline constexpr std::int32_t Watch = 0x60030014;
inline constexpr std::int32_t ClearItems = 0x60030015;
inline constexpr std::int32_t ClearFaults = 0x60030016;
inline constexpr std::int32_t PortsFree = 0x60030017;
inline constexpr std::int32_t MellowOut = 0x60030018;
inline constexpr std::int32_t InitComm = 0x60030019;
inline constexpr std::int32_t command = 0x6003001A;
inline constexpr std::int32_t GetInfo = 0x6003001B;
inline constexpr std::int32_t FlashIdent = 0x6003001C;
inline constexpr std::int32_t FlashInit = 0x6003001D;
inline constexpr std::int32_t FlashReadCalText = 0x6003001E;
inline constexpr std::int32_t FlashStatus = 0x6003001F;
inline constexpr std::int32_t FlashWrite = 0x60030020;
inline constexpr std::int32_t FlashVerify = 0x60030021;
inline constexpr std::int32_t FlashAbort = 0x60030022;
inline constexpr std::int32_t PacketNotify = 0x60030023;
inline constexpr std::int32_t RunTask = 0x60030028;
inline constexpr std::int32_t ecuLogTime = 0x60030029;
// events
inline constexpr std::int32_t CommStatus = 1;
inline constexpr std::int32_t NewData = 2;
inline constexpr std::int32_t NewFaults = 3;
inline constexpr std::int32_t NewFlags = 4;
inline constexpr std::int32_t FaultsCleared = 5;
inline constexpr std::int32_t CommandComplete = 6;
inline constexpr std::int32_t DamnIt = 7;
}  // namespace dispid

}  // namespace quorvan

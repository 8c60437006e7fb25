// A client nobody here wrote (Windows Script Host) creates the class by its ProgID and
// reads its properties. A script error ends cscript with 0 under Wine: only the last line
// "properties ok" counts as a pass.
function check(name, value, expected) {
  if (value !== expected) {
    WScript.Echo("FAIL " + name + ": " + value + ", expected " + expected);
    WScript.Quit(1);
  }
  WScript.Echo(name + " = " + value);
}
try {
  var ecu = new ActiveXObject("EcuQuorvanBT.clsBoschECU");
  check("Ready", ecu.Ready, false);
  check("State", ecu.State, 0);
  check("idHardware", ecu.idHardware, "UNKNOWN");
  check("idSoftware", ecu.idSoftware, "UNKNOWN");
  check("idCustomer", ecu.idCustomer, "UNKNOWN");
  check("NumActive", ecu.NumActive, 0);
  check("ecuActive", ecu.ecuActive, 0);
  check("ecuFlashMode", ecu.ecuFlashMode, 0);
  check("FlashStatus", ecu.FlashStatus(), 0);
  check("Busy", ecu.Busy, false);
  check("DebugMode", ecu.DebugMode, false);
  check("Device", ecu.Device, 0);
  check("ClientName", ecu.ClientName, "");
  check("ThreadID is a number", typeof ecu.ThreadID, "number");
  ecu.ecuResults = "set by the script";
  check("Results", ecu.Results, "set by the script");
  var missing = false;
  try {
    ecu.NoSuchMember();
  } catch (e) {
    missing = true;
  }
  check("an unknown member fails", missing, true);
  ecu = null;
  WScript.Echo("properties ok");
} catch (e) {
  WScript.Echo("FAIL " + e.message + " (" + (e.number >>> 0).toString(16) + ")");
  WScript.Quit(1);
}

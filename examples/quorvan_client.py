#!/usr/bin/python3
"""A client of the EcuQuorvanBT server of one's own, in Python.

It connects to the controller, prints its identification, watches two readings for a
few seconds and prints each value as it comes, then reads the fault codes, all through
the server's D-Bus interface (Debian packages python3-dbus and python3-gi). The
readings' addresses come from the catalog, as `quorvan items --json` prints it.

    examples/quorvan_client.py --device visteon --port 1
    examples/quorvan_client.py --device visteon --port 1 --item rpm --item throttle

Exit status: 0 done, 3 no server, 4 no link, 1 anything else (as quorvan's).
"""
import argparse
import json
import subprocess
import sys
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.quorvan.EcuQuorvanBT1"
OBJECT_PATH = "/org/quorvan/EcuQuorvanBT1"
INTERFACE = "org.quorvan.EcuQuorvanBT1.clsBoschECU"

DEVICES = {"mse10": 1, "mse11": 2, "visteon": 4, "ficht": 8, "mbe": 256}
KINDS = {"faults": 0, "flags": 1, "data": 2}
ECU_READY, ECU_COMM_OK, ECU_NO_SERIAL_CABLE = 0, 7, 12
EXIT_FAILED, EXIT_NO_SERVER, EXIT_NO_LINK = 1, 3, 4


class Failure(Exception):
    def __init__(self, message, code=EXIT_FAILED):
        super().__init__(message)
        self.code = code


def catalog(quorvan, device):
    """The family's named readings, by name."""
    out = subprocess.run([quorvan, "items", "--device", device, "--json"],
                         check=True, capture_output=True, text=True).stdout
    return {item["name"]: item for item in json.loads(out)["items"]}


def wait_until(done, seconds):
    """Runs the main loop (and so the signal handlers) until done() or the time is up."""
    deadline = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while not done():
        if time.monotonic() >= deadline:
            return False
        GLib.timeout_add(50, lambda: False)  # wakes the iteration below at the latest
        context.iteration(True)
    return True


class Server:
    """The server's one object: methods, properties and the signals seen so far."""

    def __init__(self, bus):
        try:
            proxy = bus.get_object(BUS_NAME, OBJECT_PATH)  # starts the server
            self.ecu = dbus.Interface(proxy, INTERFACE)
            self.props = dbus.Interface(proxy, "org.freedesktop.DBus.Properties")
            self.get("Ready")
        except dbus.exceptions.DBusException as e:
            raise Failure(f"the server cannot be reached ({e.get_dbus_name()}): "
                          "run EcuQuorvanBT --regserver once", EXIT_NO_SERVER) from e
        self.statuses = []
        self.values = []   # (item, time stamp, value)
        self.faults = None
        for name, handler in (("CommStatus", self.statuses.append),
                              ("NewData", self._new_data),
                              ("NewFaults", self._new_faults)):
            bus.add_signal_receiver(handler, signal_name=name, dbus_interface=INTERFACE,
                                    bus_name=BUS_NAME, path=OBJECT_PATH)

    def _new_data(self, item, time_stamp, value):
        self.values.append((int(item), int(time_stamp), value))

    def _new_faults(self, item, time_stamp, text):
        self.faults = str(text)

    def get(self, name):
        return self.props.Get(INTERFACE, name)

    def set(self, name, value):
        self.props.Set(INTERFACE, name, value)


def start(server, device, port, timeout):
    """RunTask, then ClientName and Device, then InitComm: the order the server expects."""
    if not server.get("Ready"):
        server.ecu.RunTask(True)
        if not wait_until(lambda: ECU_READY in server.statuses or server.get("Ready"), timeout):
            raise Failure("the server's comm thread did not start", EXIT_NO_SERVER)
    server.set("ClientName", dbus.String(f"example client {port}"))
    server.set("Device", dbus.Int32(DEVICES[device]))
    server.statuses.clear()
    server.ecu.InitComm(dbus.Int16(port), timeout=120)
    if not wait_until(lambda: ECU_COMM_OK in server.statuses
                      or ECU_NO_SERIAL_CABLE in server.statuses, timeout):
        raise Failure(f"the link on port {port} did not come up: check the cable and --device",
                      EXIT_NO_LINK)
    if ECU_COMM_OK not in server.statuses:
        raise Failure(f"the server cannot open port {port}: quorvan ports lists the free ones",
                      EXIT_NO_LINK)


def watch(server, items, seconds):
    """Watches the items as watch-table entries 1, 2... and prints each value in units."""
    server.ecu.ClearItems()
    for number, item in enumerate(items, start=1):
        server.ecu.AddItem(dbus.Int16(number), dbus.Int32(item["address"]),
                           dbus.Int16(item["size"]), dbus.Int32(KINDS[item["kind"]]))
        server.ecu.Watch(dbus.Int16(number), dbus.Int16(1))
    shown = 0

    def show_new():
        nonlocal shown
        for number, time_stamp, raw in server.values[shown:]:
            item = items[number - 1]
            value = int(raw) * item["scale"] + item["offset"]
            print(f"{time_stamp & 0xFFFFFFFF:>10} ms  {item['name']:<12} {value:8.1f} {item['unit']}")
            shown += 1
        return False

    wait_until(show_new, seconds)
    for number in range(1, len(items) + 1):
        server.ecu.Watch(dbus.Int16(number), dbus.Int16(0))
    return shown


def read_faults(server, fault_list, timeout):
    server.ecu.ClearItems()
    server.ecu.AddItem(dbus.Int16(1), dbus.Int32(fault_list["address"]), dbus.Int16(1),
                       dbus.Int32(KINDS["faults"]))
    server.ecu.Watch(dbus.Int16(1), dbus.Int16(1))
    if not wait_until(lambda: server.faults is not None, timeout):
        raise Failure("the controller sent no fault list")
    server.ecu.Watch(dbus.Int16(1), dbus.Int16(0))
    return [code for code in server.faults.split("/") if code]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--device", choices=sorted(DEVICES), required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--item", action="append", help="a reading to watch (two by default)")
    parser.add_argument("--seconds", type=float, default=5, help="how long to watch")
    parser.add_argument("--timeout", type=float, default=20, help="longest wait for an answer")
    parser.add_argument("--quorvan", default="quorvan", help="the quorvan program")
    args = parser.parse_args()

    DBusGMainLoop(set_as_default=True)
    try:
        items = catalog(args.quorvan, args.device)
        names = args.item or [n for n in ("rpm", "coolant") if n in items]
        unknown = [n for n in names if n not in items]
        if unknown:
            raise Failure(f"{args.device} has no item {unknown[0]}: "
                          f"quorvan items --device {args.device} lists them")
        server = Server(dbus.SessionBus())
        start(server, args.device, args.port, args.timeout)
        print(f"idHardware: {server.get('idHardware')}")
        print(f"idSoftware: {server.get('idSoftware')}")
        print(f"idCustomer: {server.get('idCustomer')}")
        watch(server, [items[n] for n in names], args.seconds)
        if "faults" in items:
            codes = read_faults(server, items["faults"], args.timeout)
            print("fault codes: " + (" ".join(codes) if codes else "none"))
        server.ecu.InitComm(dbus.Int16(-1))  # closes the port; the server ends once we leave
        return 0
    except Failure as e:
        print(f"quorvan_client: {e}", file=sys.stderr)
        return e.code
    except (dbus.exceptions.DBusException, subprocess.CalledProcessError, OSError) as e:
        print(f"quorvan_client: {e}", file=sys.stderr)
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())

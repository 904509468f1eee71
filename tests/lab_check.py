#!/usr/bin/python3
"""The lab's host beside the bench (in instrument_network.sh's namespace): finds the instrument
by mDNS and drives it over VXI-11, every frame checked. lab_check.py BENCH_ADDRESS FRAME_LOG"""
import socket
import struct
import sys
import threading
import urllib.error
import urllib.request
import time

import pyvisa
from pyvisa_py.protocols import rpc, vxi11
from zeroconf import ServiceBrowser, Zeroconf

bench, log_path = sys.argv[1], sys.argv[2]


def fail(why):
    sys.exit(f"FAIL: {why}")


def check(what, got, expected):
    if got != expected:
        fail(f"{what}: {got!r}, expected {expected!r}")


def logged():
    with open(log_path) as log:
        return [int(line.split("code ")[1]) for line in log if line.startswith("frame ")]


def last_frames(expected):
    """The log's last frames once they are as expected (a write is taken before it runs)."""
    deadline = time.monotonic() + 60
    while logged()[-len(expected):] != expected and time.monotonic() < deadline:
        time.sleep(0.02)
    return logged()[-len(expected):]


# mDNS: both services, with the TXT records an LXI client reads.
found = {}
done = threading.Event()


class Listener:
    def add_service(self, zc, kind, name):
        info = zc.get_service_info(kind, name, 10000)
        if info:
            found[kind] = (info.port, {k.decode(): v.decode() for k, v in info.properties.items()},
                           info.parsed_addresses())
        if len(found) == 4:
            done.set()

    update_service = add_service

    def remove_service(self, *_):
        pass


zc = Zeroconf()
ServiceBrowser(zc, ["_scpi-raw._tcp.local.", "_vxi-11._tcp.local.", "_lxi._tcp.local.", "_http._tcp.local."],
               Listener())
if not done.wait(60):
    fail(f"mDNS found only {sorted(found)}")
zc.close()
txt = {"txtvers": "1", "Manufacturer": "Zovrel", "Model": "Zovrel Rev B", "SerialNumber": "0"}
for kind, port, path in (("_scpi-raw._tcp.local.", 5025, None), ("_vxi-11._tcp.local.", 111, None),
                         ("_lxi._tcp.local.", 8080, "/"), ("_http._tcp.local.", 8080, "/")):
    check(f"{kind} port", found[kind][0], port)
    check(f"{kind} address", bench in found[kind][2], True)
    check(f"{kind} TXT", {k: v for k, v in found[kind][1].items() if k in txt}, txt)
    check(f"{kind} path", found[kind][1].get("path"), path)
# The identification XML, fetched from the lab's host as discovery tools read it.
with urllib.request.urlopen(f"http://{bench}:8080/lxi/identification", timeout=20) as reply:
    identification = reply.read().decode()
for words in ("<Manufacturer>Zovrel</Manufacturer>", f"TCPIP::{bench}::INSTR", "<Gateway>192.0.2.2</Gateway>",
              "<DHCPEnabled>true</DHCPEnabled>", "<AutoIPEnabled>false</AutoIPEnabled>"):
    check(f"the identification XML's {words}", words in identification, True)
# Named by an address that is not the one asked (a name rebound to it): refused.
try:
    urllib.request.urlopen(urllib.request.Request(f"http://{bench}:8080/state", headers={"Host": "192.0.2.9"}),
                           timeout=20)
    fail("a page named as another address was served")
except urllib.error.HTTPError as refused:
    check("a page named as another address", refused.code, 421)

# VXI-11 through the portmapper, as TCPIP::host::INSTR opens it.
resources = pyvisa.ResourceManager("@py")
board = resources.open_resource(f"TCPIP::{bench}::INSTR", read_termination="\n", timeout=20000)
check("*IDN?", board.query("*IDN?"), "Zovrel,Zovrel Rev B,0,1.0.0")
before = len(logged())
for code in range(128):
    check(f"WIP {code};*OPC?", board.query(f"WIP {code};*OPC?"), "1")
check("the sweep's frames", logged()[before:], list(range(128)))
board.write("WIP 200")
check("the status byte: an error waits", board.read_stb() & 0x04, 0x04)
check("the error", board.query("SYST:ERR?"), '-222,"Data out of range;the code is 0 to 127, not 200"')
board.write("*ESE 32;*SRE 32;NOPE")
check("the status byte: ESB, and MSS for it", board.read_stb(), 0x04 | 0x20 | 0x40)
board.write("*CLS")
check("cleared", board.read_stb(), 0)
board.write("*IDN?")
board.clear()  # device_clear drops the reply that waited
check("after a device clear", board.query("*OPC?"), "1")

board.close()

# Two links contend for the lock, through the protocol's own calls: the second's
# write fails at once without waiting, waits with a lock timeout until the
# first unlocks, fails when the timeout passes first, and goes once the first
# link's end frees the lock.
first, second = vxi11.CoreClient(bench), vxi11.CoreClient(bench)
a, b = first.create_link(1, 0, 0, "inst0")[1], second.create_link(2, 0, 0, "inst0")[1]
end, wait = vxi11.OP_FLAG_END, vxi11.OP_FLAG_END | vxi11.OP_FLAG_WAIT_BLOCK
check("the first link locks", first.device_lock(a, 0, 0), 0)
unlock = threading.Timer(0.5, first.device_unlock, (a,))
unlock.start()
check("a write without waiting", second.device_write(b, 5000, 60000, end, b"WIP 3")[0], 11)
check("a write that waits for the unlock", second.device_write(b, 5000, 60000, wait, b"WIP 7")[0], 0)
unlock.join()  # the first link's client is free again
check("its frame, once the lock was free", last_frames([7]), [7])
check("the first locks again", first.device_lock(a, wait, 60000), 0)
check("a lock timeout that passes", second.device_write(b, 5000, 200, wait, b"WIP 9")[0], 11)
# device_abort on the abort channel ends a call that waits for the lock, with error 23.
abort = rpc.RawTCPClient(bench, 0x0607B0, 1, first.create_link(4, 0, 0, "inst0")[2])
abort.packer, abort.unpacker = rpc.Packer(), rpc.Unpacker("")
result = []
writer = threading.Thread(target=lambda: result.append(second.device_write(b, 5000, 60000, wait, b"WIP 19")[0]))
writer.start()
while writer.is_alive():  # until the abort has reached the waiting write
    abort.make_call(1, b, abort.packer.pack_int, abort.unpacker.unpack_int)
    writer.join(0.05)
check("a waiting write aborted", result, [23])
check("a link's end frees its lock", first.destroy_link(a), 0)
check("then the write goes", second.device_write(b, 5000, 0, end, b"WIP 11")[0], 0)
check("nothing but the frames that went", last_frames([7, 11]), [7, 11])

# Hostile clients on the RPC side, each beside the working link: garbage, a record
# that claims a megabyte, links opened and never destroyed, a client that vanishes
# holding the lock (its links end with its connection, and the lock with them).
port = first.port
for name, sent in (("garbage", b"\x80\x00\x00\x10" + b"\xff" * 16),
                   ("a 1 MB write", struct.pack(">I", 0x80000000 | (1 << 20)) + bytes(4096))):
    with socket.create_connection((bench, port), timeout=60) as hostile:
        hostile.sendall(sent)
        check(f"{name} ends its connection", hostile.recv(16), b"")
    check(f"the working link after {name}", second.device_write(b, 5000, 0, end, b"WIP 13")[0], 0)
hoarder = vxi11.CoreClient(bench)
check("links past the bound", [hoarder.create_link(i, 0, 0, "inst0")[0] for i in range(17)],
      [0] * 16 + [9])
vanishing = vxi11.CoreClient(bench)
gone = vanishing.create_link(3, 0, 0, "inst0")[1]
check("the vanishing client locks", vanishing.device_lock(gone, 0, 0), 0)
vanishing.close()
check("its lock is freed", second.device_write(b, 5000, 60000, wait, b"WIP 17")[0], 0)
check("the frames of the working link", last_frames([13, 13, 17]), [13, 13, 17])
print("PASS: the lab found the instrument by mDNS and drove it over VXI-11: a sweep, errors, "
      "the status byte, a device clear, two links and the lock, hostile clients beside them")

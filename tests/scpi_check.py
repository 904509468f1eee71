#!/usr/bin/python3
"""Drives zovrel-scpi on the simulated board as a lab script does, through
PyVISA's pure-Python backend, and checks every frame against the board's log:
identity, a sweep, the code read back, errors read back, two clients at once
whose frames never interleave, and hostile clients (garbage, a 1 MB line, one
that never reads) while another works.
  scpi_check.py ZOVREL_SCPI"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

try:
    import pyvisa
    import pyvisa_py  # noqa: F401, the backend "@py" names
except ImportError:
    if os.environ.get("CI") == "true":
        sys.exit("FAIL: python3-pyvisa and python3-pyvisa-py are needed")
    print("skipped: python3-pyvisa or python3-pyvisa-py is missing (scripts/install-deps test)")
    sys.exit(77)

work = tempfile.mkdtemp()
log_path = os.path.join(work, "frames")
server = subprocess.Popen([sys.argv[1], "--port=sim", "--listen=127.0.0.1:0"],
                          stdout=open(log_path, "w"), stderr=subprocess.PIPE, text=True)


def fail(why):
    server.kill()
    sys.exit(f"FAIL: {why}")


said = server.stderr.readline()
if "listening on 127.0.0.1:" not in said:
    fail(f"the server said {said!r}")
port = int(said.rsplit(":", 1)[1])
resources = pyvisa.ResourceManager("@py")


def instrument():
    inst = resources.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET",
                                   read_termination="\n", write_termination="\n", timeout=20000)
    return inst


def logged():
    with open(log_path) as log:
        return [int(line.split("code ")[1]) for line in log if line.startswith("frame ")]


def check(what, got, expected):
    if got != expected:
        fail(f"{what}: {got!r}, expected {expected!r}")


main = instrument()
check("*IDN?", main.query("*IDN?"), "Zovrel,Zovrel Rev B,0,1.0.0")
check("WIP? before any frame", main.query("WIP?"), "9.91E+37")
for code in range(128):
    check(f"WIP {code};*OPC?", main.query(f"WIP {code};*OPC?"), "1")
check("the sweep's frames", logged(), list(range(128)))
check("WIP?", main.query("SOURce:WIPer?"), "127")
check("WIP? MAX", main.query("wip? max"), "127")
main.write("WIP 128")
main.write("WIP LOUD")
main.write("VOLT 5")
check("an error read back", main.query("SYST:ERR?"),
      '-222,"Data out of range;the code is 0 to 127, not 128"')
check("the next", main.query("SYSTem:ERRor:NEXT?"), '-224,"Illegal parameter value;\'LOUD\'"')
check("the next", main.query("SYST:ERR?"), '-113,"Undefined header;\'VOLT 5\'"')
check("an empty queue", main.query("SYST:ERR?"), '0,"No error"')
for _ in range(20):
    main.write("NOPE")
check("an overflowing queue ends in -350", [main.query("SYST:ERR?") for _ in range(17)][-2:],
      ['-350,"Queue overflow"', '0,"No error"'])
check("nothing more was sent", logged(), list(range(128)))

# Hostile clients, each beside the working one: garbage, a 1 MB line, one that never reads.
garbage = socket.create_connection(("127.0.0.1", port))
garbage.sendall(bytes(range(256)) * 4 + b"\n")
huge = socket.create_connection(("127.0.0.1", port))
huge.sendall(b"WIP " + b"9" * (1 << 20) + b"\nSYST:ERR?\n")
silent = socket.create_connection(("127.0.0.1", port))
silent.sendall(b"*IDN?\n" * 50000)
check("the working client meanwhile", main.query("WIP 5;WIP?"), "5")
huge_reply = huge.makefile("r").readline().strip()
check("the 1 MB line", huge_reply.startswith('-100,"Command error;a line longer than'), True)

# Two clients at once: every frame whole, each client's codes in its own order.
def sweep(inst, codes):
    for code in codes:
        inst.query(f"WIP {code};*OPC?")


before = len(logged())
other = instrument()
a = threading.Thread(target=sweep, args=(main, range(0, 64)))
b = threading.Thread(target=sweep, args=(other, range(64, 128)))
a.start(), b.start(), a.join(), b.join()
frames = logged()[before:]
with open(log_path) as log:
    if "malformed" in log.read():
        fail("a frame was cut by another client's")
check("client A's codes in order", [c for c in frames if c < 64], list(range(64)))
check("client B's codes in order", [c for c in frames if c >= 64], list(range(64, 128)))
check("still answering", other.query("*OPC?"), "1")

server.terminate()
server.wait(30)
check("the end by SIGTERM", server.returncode, -15)
print("PASS: PyVISA drove the instrument: identity, a sweep, errors, two clients and hostile ones")

#!/usr/bin/python3
"""zovrel-sweep against a VXI-11 test meter on the loopback of a network namespace of its own (its
portmapper on port 111, its core channel beside it) that reads the board's frame log as a known
curve: a whole sweep; then a meter that goes silent at code 5, ended by --timeout and by a stop
signal, rows kept. Run inside `unshare --net`. vxi11_meter_check.py ZOVREL_SWEEP"""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sweep, work = sys.argv[1], tempfile.mkdtemp()


def fail(why):
    sys.exit(f"FAIL: {why}")


def check(what, got, expected):
    if got != expected:
        fail(f"{what}: {got!r}, expected {expected!r}")


class TestMeter:
    """Answers *IDN?, SYST:ERR? and READ? (100 + 50 ohms a code); silent: no reply to READ? from code 5."""

    def __init__(self):
        self.core = socket.create_server(("127.0.0.1", 0))
        self.portmapper = socket.create_server(("127.0.0.1", 111))
        for listener, serve in ((self.portmapper, self.map), (self.core, self.device)):
            threading.Thread(target=self.accept, args=(listener, serve), daemon=True).start()

    def accept(self, listener, serve):
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=self.calls, args=(connection, serve), daemon=True).start()

    def calls(self, connection, serve):
        with connection:
            while head := connection.recv(4, socket.MSG_WAITALL):
                record = connection.recv(struct.unpack(">I", head)[0] & 0x7FFFFFFF, socket.MSG_WAITALL)
                xid, proc, args = struct.unpack(">I", record[:4])[0], struct.unpack(">I", record[20:24])[0], record[40:]
                results = serve(proc, args)
                if results is not None:
                    body = struct.pack(">6I", xid, 1, 0, 0, 0, 0) + results
                    connection.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)

    def map(self, proc, args):
        return struct.pack(">I", self.core.getsockname()[1])  # GETPORT: the core channel

    def code(self):
        with open(self.log) as log:
            frames = [line for line in log if line.startswith("frame ")]
        return int(frames[-1].split("code ")[1]) if frames else None

    def device(self, proc, args):
        if proc == 10:  # create_link: error, lid, abort port, maxRecvSize
            return struct.pack(">4I", 0, 1, 0, 16384)
        if proc == 11:  # device_write: remember the command
            size = struct.unpack(">I", args[16:20])[0]
            self.command = args[20:20 + size].decode().strip()
            return struct.pack(">2I", 0, size)
        if self.silent and self.code() == 5:  # gone silent: no call answered, destroy_link neither
            self.went_silent.set()
            return None
        if proc == 12:  # device_read
            reply = {"*IDN?": "Test,VXI-11 meter,0,1", "SYST:ERR?": '+0,"No error"'}.get(
                self.command, f"{100.0 + 50.0 * (self.code() or 0):+.8E}").encode() + b"\n"
            return struct.pack(">3I", 0, 4, len(reply)) + reply + bytes(-len(reply) % 4)
        return struct.pack(">I", 0)  # destroy_link and the rest


meter = TestMeter()


def run(name, args, silent=False, stop=None):
    log, csv = os.path.join(work, name + ".log"), os.path.join(work, name + ".csv")
    open(log, "w").close()
    meter.log, meter.silent, meter.went_silent = log, silent, threading.Event()
    with open(log, "a") as out:
        proc = subprocess.Popen([sweep, "--port=sim", "--meter=TCPIP::127.0.0.1::INSTR", "--settle=0",
                                 f"--csv={csv}", "--codes=0:10"] + args, stdout=out, stderr=subprocess.PIPE, text=True)
        if silent and not meter.went_silent.wait(30):
            fail(f"{name}: the sweep never reached the silent meter")
        began = time.monotonic()
        if stop:
            proc.send_signal(stop)
        err = proc.communicate(timeout=120)[1]
    with open(csv) as rows:
        table = [line for line in rows if not line.startswith("#")]
    return proc.returncode, time.monotonic() - began, err, table, open(log).read()


status, _, err, table, said = run("answering", [])
check("a whole sweep over VXI-11", (status, err, len(table)), (0, "", 12))
check("its summary", "1 LSB: 50.00 ohms" in said and "*IDN?: Test,VXI-11 meter,0,1" in open(
    os.path.join(work, "answering.csv")).read(), True)
status, took, err, table, _ = run("timeout", ["--timeout=1500"], silent=True)
check("a silent meter: status and message", (status, "took more than 1500 ms to answer 'READ?'" in err), (1, True))
check("ended by --timeout, not later", took < 1.5 + 1, True)
check("the rows before it kept", len(table), 6)
status, stopped, err, table, _ = run("stop", ["--timeout=60000"], silent=True, stop=signal.SIGINT)
check("a stop while the meter is silent: ended by it", (status, err), (-signal.SIGINT, ""))
check("ended at once, not at the meter's timeout", stopped < 5, True)
check("the rows before it kept", len(table), 6)
print(f"PASS: a sweep over VXI-11; a silent meter ended by --timeout after {took:.2f} s and by Ctrl+C after "
      f"{stopped:.2f} s, rows kept")

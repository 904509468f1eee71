#!/usr/bin/python3
"""zovrel-sweep against a raw SCPI test meter on the loopback that reads the board's frame log
(known curves up, down, stepped, falling, with repeats, hysteresis and drift, each row's figures
worked out here on their own; limits and verdicts; the record read back; faults; stops), the
simulated meter with plots, misuse. sweep_check.py ZOVREL_SWEEP"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sweep = sys.argv[1]
work = tempfile.mkdtemp()


def fail(why):
    sys.exit(f"FAIL: {why}")


def check(what, got, expected):
    if got != expected:
        fail(f"{what}: {got!r}, expected {expected!r}")


def curve(code, down=False, seen=0):
    return 100.0 + 50.0 * code - (75.0 if code == 64 else 0.0)


CURVES = {
    "dip": curve,
    "turn back": lambda code, down, seen: 100.0 + 50.0 * code - (75.0 if code >= 64 else 0.0),
    "falling": lambda code, down, seen: 10000.0 - 50.0 * code,
    # Code 40 reads 10 ohms high on the way down; code 30 drifts 5 ohms after its second reading.
    "hysteresis and drift": lambda code, down, seen: 100.0 + 50.0 * code + (10.0 if down and code == 40 else 0.0)
    + (5.0 if code == 30 and seen >= 2 else 0.0),
}


class TestMeter:
    """One client at a time; fault says how it misbehaves from code 5 on; shape names its curve;
    unit follows each reading; a stale error waits in its queue until *CLS."""

    def __init__(self, log, fault=None, shape="dip", unit=""):
        self.log, self.fault, self.curve, self.unit = log, fault, CURVES[shape], unit
        self.last, self.down, self.seen, self.stale = None, False, {}, True
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.commands = []
        threading.Thread(target=self.serve, daemon=True).start()

    def code(self):
        with open(self.log) as log:
            frames = [line for line in log if line.startswith("frame ")]
        return int(frames[-1].split("code ")[1]) if frames else None

    def answer(self, command):
        code = self.code()
        broken = self.fault and code == 5 and len([c for c in self.commands if c == "READ?"]) > 3
        if command == "*CLS":
            self.stale = False
        if command == "*IDN?":
            return "Test,Meter,0,1"
        if command == "SYST:ERR?":
            return '-222,"Data out of range"' if self.fault == "error" or self.stale else '+0,"No error"'
        if command not in ("READ?", "MEAS?"):
            return None
        if broken and self.fault == "silent":
            return None
        if broken and self.fault == "gone":
            raise ConnectionError
        if broken and self.fault == "words":
            return "hello"
        if broken and self.fault == "overload":
            return "+9.90000000E+37"
        if code != self.last:
            self.down = self.last is not None and code < self.last
            self.last, self.seen[code] = code, self.seen.get(code, 0) + 1
        return f"{self.curve(code, self.down, self.seen[code]):+.8E}{self.unit}"

    def serve(self):
        connection, _ = self.listener.accept()
        with connection, connection.makefile("rw", newline="\n") as stream:
            for line in stream:
                self.commands.append(line.strip())
                try:
                    reply = self.answer(line.strip())
                except ConnectionError:
                    return
                if reply is not None:
                    stream.write(reply + "\n")
                    stream.flush()


def rows_in(path):
    with open(path) as f:
        return [line for line in f if not line.startswith("#")]


def run(meter_args, fault=None, until=None, name="run", settle=0, shape="dip", unit=""):
    """Runs a sweep against a test meter; until: a signal sent once N rows are in the CSV."""
    log, csv = os.path.join(work, name + ".log"), os.path.join(work, name + ".csv")
    open(log, "w").close()
    meter = TestMeter(log, fault, shape, unit)
    args = [sweep, "--port=sim", f"--meter=TCPIP::127.0.0.1::{meter.port}::SOCKET", f"--settle={settle}",
            "--timeout=2000", f"--csv={csv}"] + meter_args
    with open(log, "a") as out:
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.PIPE, text=True)
        if until:
            rows, signum = until
            while proc.poll() is None and (not os.path.exists(csv) or len(rows_in(csv)) < rows + 1):
                time.sleep(0.01)
            proc.send_signal(signum)
        err = proc.communicate(timeout=120)[1]
    table = [line.rstrip("\n").split(",") for line in rows_in(csv)]
    with open(log) as out:
        said = out.read()
    return proc.returncode, said, err, table, meter


# The known curve: every row, the summary, and the turn back at 64.
status, said, err, table, meter = run([])
check("status", status, 0)
check("the CSV's columns", table[0], ["code", "ohms", "spread_ohms", "inl_lsb", "dnl_lsb", "sweep", "direction"])
check("its codes", [int(r[0]) for r in table[1:]], list(range(128)))
check("its ohms", [float(r[1]) for r in table[1:]], [curve(c) for c in range(128)])
check("INL at 64", table[65][3], "-1.5000")
check("DNL at 64 and 65", (table[65][4], table[66][4]), ("-1.5000", "1.5000"))
for line in ("resistance at zero scale (code 0): 100.00 ohms", "resistance at full scale (code 127): 6450.00 ohms",
             "wiper resistance: 100.00 ohms; end-to-end resistance: 6400.00 ohms", "1 LSB: 50.00 ohms",
             "largest |DNL|: -1.500 LSB at code 64", "monotonic: no, the resistance turns back at code 64"):
    check(f"the summary says '{line}'", line in said, True)
check("the meter cleared, set up, asked who it is, then read", meter.commands[:4],
      ["*CLS", "CONF:RES", "*IDN?", "READ?"])
check("each code read once, and the end points before", meter.commands.count("READ?"), 130)
with open(os.path.join(work, "run.csv")) as record:
    said_of_it = [line for line in record if line.startswith("#")]
for words in ("# date: 20", "# command: ", "--port=sim", "# port: sim", "*IDN?: Test,Meter,0,1", "settle: 0 ms",
              "readings: 1", "configure: CONF:RES", "read: READ?", "# end points: code 0 = 100 ohms, code 127 = 6450"):
    check(f"the record says '{words}'", any(words in line for line in said_of_it), True)
again = subprocess.run([sweep, f"--from-csv={os.path.join(work, 'run.csv')}"], capture_output=True, text=True, timeout=60)
check("the record analysed again: the same summary", (again.returncode, again.stdout),
      (0, "".join(line for line in said.splitlines(True) if not line.startswith("frame "))))


def expected_dnl(table, ends):
    """Each row's DNL worked out from its pass's rows: (R(c) - R(below)) / ((c - below) slope) - 1."""
    (c0, r0), (c1, r1) = ends
    slope, dnl = (r1 - r0) / (c1 - c0), {}
    for way in {(r[5], r[6]) for r in table[1:]}:
        rows = sorted((int(r[0]), float(r[1])) for r in table[1:] if (r[5], r[6]) == way)
        for (lower, r_lower), (upper, r_upper) in zip(rows, rows[1:]):
            dnl[(way, upper)] = (r_upper - r_lower) / ((upper - lower) * slope) - 1
    return dnl


# Known curves every way the manual offers: each row's DNL against the one worked out here, the
# summary's largest DNL and its verdicts.
for name, args, shape, unit, lines in (
        ("down", ["--codes=127:0"], "dip", "", ["largest |DNL|: -1.500 LSB at code 64",
                                                "monotonic: no, the resistance turns back at code 64"]),
        ("stepped", ["--codes=0:127:4"], "turn back", " OHM", [
            "codes measured: 32 (every 4 codes)", "largest |DNL|: -0.368 LSB at code 64",
            "monotonic between the codes measured (every 4 codes): yes",
            "resistance at full scale (code 127): 6375.00 ohms"]),
        ("falling", ["--max-wiper=3500"], "falling", "", [
            "wiper resistance: 3600.00 ohms; end-to-end resistance: 6400.00 ohms",
            "1 LSB: 50.00 ohms (the resistance falls as the code rises)",
            "limit wiper resistance <= 3500.00 ohms: 3600.00 ohms: FAIL", "verdict: FAIL, 1 of 1 limits not met"]),
        ("both ways", ["--codes=0:60", "--repeat=2", "--both-ways", "--max-dnl=0.5"], "hysteresis and drift", "", [
            "codes measured: 61, in 2 sweeps, each up then down",
            "repeatability: 0.100 LSB, the largest spread of one code across sweeps, at code 30 (up)",
            "hysteresis: 0.200 LSB, the largest |up - down| at one code, at code 40 (sweep 1)",
            "verdict: PASS, every limit met"])):
    status, said, err, table, meter = run(args, name=name, shape=shape, unit=unit)
    first, last = [int(c) for c in (args[0].split("=")[1].split(":")[:2] if "--codes" in args[0] else (0, 127))]
    fn = CURVES[shape]
    dnl = expected_dnl(table, ((first, fn(first, False, 0)), (last, fn(last, False, 0))))
    expected = [dnl.get(((r[5], r[6]), int(r[0]))) for r in table[1:]]
    wrong = [r[:1] + r[4:] for r, e in zip(table[1:], expected)
             if (r[4] == "") != (e is None) or (e is not None and abs(float(r[4]) - e) > 5e-5)]
    check(f"{name}: rows whose DNL is not (R(c) - R(c - step)) / (step LSB) - 1", wrong, [])
    check(f"{name}: status", (status, err), (3 if "FAIL" in " ".join(lines) else 0, ""))
    for line in lines:
        check(f"{name}: the summary says '{line}'", line in said.splitlines(), True)
    limits = [a for a in args if a.startswith("--max") or a.startswith("--end")]
    again = subprocess.run([sweep, f"--from-csv={os.path.join(work, name + '.csv')}"] + limits,
                           capture_output=True, text=True, timeout=60)
    check(f"{name}: the record analysed again", again.stdout,
          "".join(line for line in said.splitlines(True) if not line.startswith("frame ")))

# Readings averaged, and changed commands.
status, said, err, table, meter = run(["--codes=0:10:5", "--readings=3", "--configure=CONF:FRES 1E4", "--read=MEAS?"],
                                      name="averaged")
check("a four-wire set-up", meter.commands[1], "CONF:FRES 1E4")
check("rows every 5 codes, spread 0 over three readings", [(r[0], r[2]) for r in table[1:]],
      [("0", "0"), ("5", "0"), ("10", "0")])

# The meter's faults: one message naming the meter, the code and what it said; rows kept; status 1.
for fault, message in (("words", "answered 'hello', not a number at code 5"),
                       ("overload", "is overloaded (+9.90000000E+37)"),
                       ("silent", "took more than 2000 ms to answer 'READ?'"),
                       ("gone", "went away"),
                       ("error", "reported an error after the sweep: -222,\"Data out of range\"")):
    status, said, err, table, meter = run(["--codes=0:10"], fault, name=fault)
    check(f"{fault}: status", status, 1)
    check(f"{fault}: the message {err!r}", message in err and "the meter at TCPIP::127.0.0.1::" in err, True)
    check(f"{fault}: whole rows kept", [r[0] for r in table[1:]], [str(c) for c in range(11 if fault == "error" else 5)])
    check(f"{fault}: the summary of what was measured", "codes measured: " in said, True)

# A stop signal between codes: whole rows, the summary, and the end by the signal.
for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    status, said, err, table, meter = run([], until=(10, signum), name=f"stop{signum}", settle=20)
    check(f"ended by {signum}", status, -signum)
    check("rows, each whole", all(len(r) == 7 for r in table), True)
    check("fewer than all", 10 <= len(table) - 1 < 128, True)
    check("the summary of what was measured", f"codes measured: {len(table) - 1}" in said, True)

# The simulated meter on the simulated board, with a plot of each kind.
for plot in ("sim.png", "sim.svg"):
    path = os.path.join(work, plot)
    done = subprocess.run([sweep, "--port=sim", "--meter=sim", "--settle=0", f"--plot={path}"],
                          capture_output=True, text=True, timeout=120)
    check(f"{plot}: status", (done.returncode, done.stderr), (0, ""))
    check(f"{plot}: drawn", os.path.getsize(path) > 10000, True)
    check(f"{plot}: monotonic", "monotonic: yes" in done.stdout, True)

# Misuse: status 2 and nothing sent.
for args in (["--meter=bogus"], ["--meter=sim", "--codes=3:3"], ["--meter=sim", "--plot=x.pdf"],
             ["--meter=sim", f"--csv={work}/no/such/folder.csv"], ["--meter=TCPIP"], ["--meter=tcpip0"],
             ["--meter=sim", "--max-inl=-1"], ["--meter=sim", "--end-to-end=10000:150"]):
    done = subprocess.run([sweep, "--port=sim"] + args, capture_output=True, text=True, timeout=60)
    check(f"{args}: status and output", (done.returncode, done.stdout), (2, ""))
print("PASS: zovrel-sweep measured a known curve, its faults, stops, plots and misuse")

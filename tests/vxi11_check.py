#!/usr/bin/python3
"""Drives zovrel-scpi's VXI-11 door on the simulated board as careless and
hostile clients do, through a small RPC client of its own on the loopback:
clients that never read, that leave while their commands wait to run, that
wait for the lock or abort the wait, that announce 4 GiB in a few bytes, that
send fragments without end or half a record for ever, that use up the
server's descriptors or another connection's link; then RPC's own rules, a
4096-character line split at its end on both doors, and a raw client that
shuts its side before it reads. Needs an rpcbind of its own (own_rpcbind.sh).
  vxi11_check.py ZOVREL_SCPI      (VXI11_ONLY=a,c runs those groups alone)"""
import os
import resource
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
CORE, ABORT = 0x0607AF, 0x0607B0
NULL, DEVICE_ABORT, CREATE_LINK, WRITE, READ, READSTB = 0, 1, 10, 11, 12, 13
LOCK, UNLOCK, DOCMD, DESTROY = 18, 19, 22, 23
WAITLOCK, END = 1, 8
OK, INVALID_LINK, LOCKED, ABORTED = 0, 4, 11, 23
SUCCESS, PROG_UNAVAIL, PROG_MISMATCH, PROC_UNAVAIL, GARBAGE_ARGS = range(5)
MB = 1 << 20
IDENTITY = b"Zovrel,Zovrel Rev B,0,"
NOFILE = 16  # the descriptor limit of the server that runs out of them

only = set(os.environ.get("VXI11_ONLY", "abcdefghijklm").replace(",", ""))
work = (workdir := tempfile.TemporaryDirectory()).name  # gone at the end, with the frame logs
servers = []
passed = 0


class Failed(Exception):
    pass


class Closed(Failed):
    pass


class NoReply(Failed):
    pass


def fail(why):
    raise Failed(why)


def check(what, got, expected):
    global passed
    if got != expected:
        fail(f"{what}: {got!r}, expected {expected!r}")
    passed += 1


def wait_for(what, condition, seconds=30.0):
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        if time.monotonic() > deadline:
            fail(f"{what}: not within {seconds:g} s")
        time.sleep(0.01)
    return value


def u(*values):
    return struct.pack(f">{len(values)}I", *(v & 0xFFFFFFFF for v in values))


def opaque(data):
    return u(len(data)) + data + bytes(-len(data) % 4)


def words(body):
    return struct.unpack(f">{len(body) // 4}I", body[:len(body) // 4 * 4])


def mark(body, last=True):
    return u(last << 31 | len(body)) + body


def call(xid, prog, vers, proc, args=b"", rpcvers=2):
    return u(xid, 0, rpcvers, prog, vers, proc, 0, 0, 0, 0) + args  # AUTH_NONE, an empty verifier


def cpu(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory(pid, field):
    """VmRSS, VmPeak... in MB."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":")) / 1024


def closed_within(sock, seconds):
    sock.settimeout(seconds)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


class Server:
    """zovrel-scpi on the simulated board: its frame log in a file, what it
    says kept line by line as it comes (so that it never waits on us)."""

    def __init__(self, program, nofile=None):
        self.log = os.path.join(work, f"frames{len(servers)}")
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        # Under AddressSanitizer, freed memory is held back for a while: its memory is the server's only
        # when none is (harmless in a build without it).
        env = dict(os.environ, ASAN_OPTIONS="quarantine_size_mb=0:" + os.environ.get("ASAN_OPTIONS", ""))
        self.proc = subprocess.Popen([program, "--port=sim", "--listen=127.0.0.1:0"], stdout=open(self.log, "w"),
                                     stderr=subprocess.PIPE, text=True, preexec_fn=limit, env=env)
        servers.append(self.proc)
        self.pid, self.said = self.proc.pid, []
        threading.Thread(target=lambda: [self.said.append(line) for line in self.proc.stderr], daemon=True).start()

        def opened():
            if self.proc.poll() is not None or self.told("served alone"):
                fail(f"no VXI-11 door: {''.join(self.said)!r}")
            return self.told("VXI-11 core channel on port")
        self.core = int(wait_for("the VXI-11 door opening", opened, 20).split("on port ")[1].split(",")[0])
        self.raw = int(self.told("listening on").rsplit(":", 1)[1])

    def told(self, text):
        return next((line for line in self.said if text in line), None)

    def frames(self):
        with open(self.log) as log:
            return [int(line.split("code ")[1]) for line in log if line.startswith("frame ")]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)


class Rpc:
    """One connection to a channel: calls sent, each reply read by its xid."""

    def __init__(self, port, prog=CORE):
        self.sock = socket.create_connection((HOST, port), timeout=30)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.prog, self.xid, self.abort_port = prog, 0, None

    def send(self, proc, args=b"", prog=None, vers=1, rpcvers=2):
        self.xid += 1
        self.sock.sendall(mark(call(self.xid, prog or self.prog, vers, proc, args, rpcvers)))
        return self.xid

    def exact(self, size, timeout):
        data = b""
        while len(data) < size:
            try:
                piece = self.sock.recv(size - len(data))
            except ConnectionResetError:
                piece = b""
            except socket.timeout:
                raise NoReply(f"no reply within {timeout:g} s") from None
            if not piece:
                raise Closed("the server closed the connection")
            data += piece
        return data

    def reply(self, xid, timeout=30.0):
        """("accepted", accept_stat, body) or ("denied", reject_stat, the rest)."""
        self.sock.settimeout(timeout)
        record, last = b"", 0
        while not last:
            (head,) = struct.unpack(">I", self.exact(4, timeout))
            record += self.exact(head & 0x7FFFFFFF, timeout)
            last = head >> 31
        got, kind, stat = words(record[:12])
        if (got, kind) != (xid, 1):
            fail(f"a reply to xid {got} (message type {kind}) where the one to {xid} was due")
        if stat == 1:
            return "denied", words(record[12:16])[0], record[16:]
        at = 20 + -(-words(record[16:20])[0] // 4) * 4  # past the verifier
        return "accepted", words(record[at:at + 4])[0], record[at + 4:]

    def body(self, xid, timeout=30.0):
        got = self.reply(xid, timeout)
        if got[:2] != ("accepted", SUCCESS):
            fail(f"call {xid} answered {got}")
        return got[2]

    def ask(self, proc, args, timeout=30.0):
        return words(self.body(self.send(proc, args), timeout))

    def ask_reply(self, xid):
        return words(self.body(xid))[0]

    def link(self):
        error, lid, self.abort_port, _ = self.ask(CREATE_LINK, u(1, 0, 0) + opaque(b"inst0"))
        return lid if error == OK else fail(f"create_link: error {error}")

    def write(self, lid, data, flags=END):
        return self.ask(WRITE, u(lid, 10000, 0, flags) + opaque(data))

    def query(self, lid, text):
        check(f"the write of {text!r}", self.write(lid, text), (OK, len(text)))
        body = self.body(self.send(READ, u(lid, 65536, 10000, 0, 0, 0)))
        error, _, size = words(body[:12])
        return body[12:12 + size] if error == OK else f"error {error}"


def descriptors(program):
    """Out of descriptors, a server waits for one to be freed: it neither spins nor fills its log."""
    s = Server(program, NOFILE)
    fds = lambda: len(os.listdir(f"/proc/{s.pid}/fd"))
    held = []
    while fds() < NOFILE:
        count = fds()
        held.append(socket.create_connection((HOST, s.core), timeout=30))
        wait_for("the server taking a connection", lambda: fds() > count, 10)
    check(f"VXI-11 connections under a limit of {NOFILE} descriptors", len(held) >= 2, True)
    said, waiter = len(s.said), Rpc(s.core)  # queued: no descriptor is left to take it
    xid = waiter.send(CREATE_LINK, u(1, 0, 0) + opaque(b"inst0"))
    before = cpu(s.pid)
    time.sleep(1.0)  # a measurement window, not a synchronisation
    spent, told = cpu(s.pid) - before, sum("cannot take a client" in line for line in s.said[said:])
    if spent >= 0.3 or told > 3:
        fail(f"out of descriptors: {spent:.2f} s of CPU in 1 s, {told} lines 'cannot take a client'")
    held.pop().close()
    check("the waiting client's create_link once a descriptor was freed", words(waiter.body(xid, 10))[0], OK)
    s.stop()
    print(f"ok: out of descriptors with {len(held) + 1} clients: {spent:.2f} s of CPU in 1 s, told {told} times;"
          " the waiting client served once one left")


def half_record(s):
    """Begins: a client sends 2 bytes of a record mark and nothing more, another holds a link.
    Returns what ends it: the first closed by the server, the second still served."""
    lonely = socket.create_connection((HOST, s.core))
    lonely.sendall(b"\x80\x00")
    steady = Rpc(s.core)
    lid, began, ended = steady.link(), time.monotonic(), []
    thread = threading.Thread(target=lambda: ended.append((closed_within(lonely, 45), time.monotonic() - began)),
                              daemon=True)
    thread.start()

    def finish():
        thread.join(60)
        check("half a record mark, closed by the server within 45 s", ended[0][0], True)
        check("a readstb on the other connection after that", steady.ask(READSTB, u(lid, 0, 0, 1000))[0], OK)
        print(f"ok: half a record mark closed after {ended[0][1]:.1f} s; the other client still served")
    return finish


def never_reads(s):
    """A client that never reads is not read from: the server's memory stays bounded, others are served."""
    line = b";".join([b"*IDN?"] * 682) + b"\n"
    rows = [("device_readstb calls", lambda lid: mark(call(1, CORE, 1, READSTB, u(lid, 0, 0, 1000))) * 1000),
            ("~4 KB *IDN? lines written and read",
             lambda lid: (mark(call(1, CORE, 1, WRITE, u(lid, 10000, 0, END) + opaque(line))) +
                          mark(call(2, CORE, 1, READ, u(lid, 65536, 10000, 0, 0, 0)))) * 16)]
    told = []
    for what, calls in rows:
        flooder = Rpc(s.core)
        payload = calls(flooder.link())
        flooder.sock.setblocking(False)
        base, sent, pending = memory(s.pid, "VmRSS"), 0, memoryview(payload)
        while sent < 64 * MB and memory(s.pid, "VmRSS") - base < 32:
            try:
                n = flooder.sock.send(pending)
            except BlockingIOError:
                if not select.select([], [flooder.sock], [], 1.0)[1]:
                    break  # unwritable for 1 s: the server stopped taking calls
                continue
            sent, pending = sent + n, pending[n:] or memoryview(payload)
        grown = memory(s.pid, "VmRSS") - base
        other = Rpc(s.core)
        check(f"{what}: another client's *IDN? meanwhile", other.query(other.link(), b"*IDN?\n")[:22], IDENTITY)
        if grown >= 32:
            fail(f"{what} never read: VmRSS grew {grown:.0f} MB after {sent / MB:.1f} MB of calls")
        check(f"{what}: the server stopped taking them before 64 MB", sent < 64 * MB, True)
        told.append(f"{what}: {sent / MB:.1f} MB taken, VmRSS +{grown:.1f} MB")
        flooder.sock.close()
        other.sock.close()
    print(f"ok: clients that never read: {'; '.join(told)}; another client answered meanwhile")


def pipelined(s):
    """Calls sent on while their replies wait unread are all answered once the client reads."""
    c = Rpc(s.core)
    lid, count = c.link(), 8000
    calls = memoryview(mark(call(1, CORE, 1, READSTB, u(lid, 0, 0, 1000))) * count)
    c.sock.setblocking(False)
    while calls and select.select([], [c.sock], [], 1.0)[1]:  # until the server stops taking them
        calls = calls[c.sock.send(calls):]
    c.sock.setblocking(True)
    threading.Thread(target=c.sock.sendall, args=(calls,), daemon=True).start()
    c.sock.settimeout(10)
    replies, size = 0, 36  # mark, xid, reply, accepted, a null verifier (2), accept stat, error, stb
    try:
        while replies < count:  # read in big gulps, so that the server's replies drain at once
            replies += len(c.sock.recv(1 << 20)) / size
    except socket.timeout:
        fail(f"pipelined calls: {replies:.0f} of {count} answered, then nothing for 10 s")
    check("pipelined device_readstb calls answered", replies, count)
    c.sock.close()
    print(f"ok: {count} pipelined calls, their replies read only once the server stopped taking them, all answered")


def endings(s):
    """A write acknowledged runs whole, however its client goes: each row sends 2000 codes of a band of its own."""
    linger0 = struct.pack("ii", 1, 0)
    rows = [("destroy_link", lambda c, lid: check("destroy_link", c.ask(DESTROY, u(lid))[0], OK)),
            ("a close", lambda c, lid: c.sock.close()),
            ("destroy_link and a close at once", lambda c, lid: (c.send(DESTROY, u(lid)), c.sock.close())),
            ("a reset", lambda c, lid: (c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger0),
                                        c.sock.close()))]
    codes = [[32 * band + n % 32 for n in range(2000)] for band in range(len(rows))]
    before = len(s.frames())
    for (what, end), sent in zip(rows, codes):
        text = "".join(f"WIP {code}\n" for code in sent).encode()
        c = Rpc(s.core)
        lid = c.link()
        check(f"{what}: the write", c.write(lid, text), (OK, len(text)))
        end(c, lid)
    deadline = time.monotonic() + 30
    while len(s.frames()) - before < 2000 * len(rows) and time.monotonic() < deadline:
        time.sleep(0.05)
    got = s.frames()[before:]
    kept = [[code for code in got if code // 32 == band] for band in range(len(rows))]
    lost = [f"after {what}, {len(k)} of 2000 frames{'' if k == sent[:len(k)] else ', out of order'}"
            for (what, _), sent, k in zip(rows, codes, kept) if k != sent]
    check("frames lost", lost, [])
    print(f"ok: 2000 frames after each of {', '.join(what for what, _ in rows)}")


def waits(s):
    """A call waiting for the lock costs no CPU while it waits."""
    a = Rpc(s.core)
    check("device_lock", a.ask(LOCK, u(a.link(), 0, 0))[0], OK)
    rows = [("device_lock with waitlock", lambda lid: (LOCK, u(lid, WAITLOCK, 2000))),
            ("create_link taking the lock", lambda lid: (CREATE_LINK, u(1, 1, 2000) + opaque(b"inst0"))),
            ("device_write waiting for the lock",
             lambda lid: (WRITE, u(lid, 100, 2000, WAITLOCK | END) + opaque(b"*IDN?\n")))]
    wrong, told = [], []
    for what, make in rows:
        b = Rpc(s.core)
        xid = b.send(*make(b.link()))
        began, before = time.monotonic(), cpu(s.pid)
        error = words(b.body(xid, 20))[0]
        took, spent = time.monotonic() - began, cpu(s.pid) - before
        told.append(f"{spent:.2f} s")
        if error != LOCKED or not 1.5 < took < 10 or spent >= 0.3:
            wrong.append(f"{what}: error {error} after {took:.1f} s, {spent:.2f} s of CPU meanwhile")
        b.sock.close()
    a.sock.close()
    check("calls that waited", wrong, [])
    print(f"ok: calls waiting 2 s for the lock cost {', '.join(told)} of CPU")


def woken(s):
    """A client waiting for the lock gets it when its holder leaves."""
    a, b = Rpc(s.core), Rpc(s.core)
    la, lb = a.link(), b.link()
    check("device_lock", a.ask(LOCK, u(la, 0, 0))[0], OK)
    xid = b.send(LOCK, u(lb, WAITLOCK, 60000))
    a.ask(READSTB, u(la, 0, 0, 1000))  # a round trip, so that B's call is taken before A goes
    a.sock.close()
    began = time.monotonic()
    check("the waiter's device_lock once the holder left", words(b.body(xid, 10))[0], OK)
    b.sock.close()
    print(f"ok: a waiter had the lock {time.monotonic() - began:.3f} s after its holder left")


def aborts(s):
    """An aborted call is answered in its own procedure's reply, and the call sent behind it is served."""
    a, b = Rpc(s.core), Rpc(s.core)
    la, lb = a.link(), b.link()
    check("device_lock", a.ask(LOCK, u(la, 0, 0))[0], OK)
    channel = Rpc(b.abort_port, ABORT)

    def aborted(xid):
        for _ in range(10):  # again while the call was not yet waiting when the abort came
            check("device_abort", channel.ask(DEVICE_ABORT, u(lb))[0], OK)
            try:
                return b.body(xid, 2)
            except NoReply:
                pass
        fail("device_abort never ended the waiting call")
    body = aborted(b.send(READ, u(lb, 1024, 60000, 60000, WAITLOCK, 0)))
    check("an aborted device_read's reply: 12 bytes, error, no data", (len(body), words(body)[0], words(body)[2]),
          (12, ABORTED, 0))
    lock = b.send(LOCK, u(lb, WAITLOCK, 60000))
    readstb = b.send(READSTB, u(lb, 0, 0, 1000))
    check("an aborted device_lock", words(aborted(lock))[0], ABORTED)
    try:
        b.body(readstb, 3)
    except NoReply:
        fail("the device_readstb sent behind an aborted call: no reply within 3 s")
    # An abort sent right behind its call, both taken in one pass (the server
    # stopped while they are sent): the abort still finds the call waiting.
    os.kill(s.pid, signal.SIGSTOP)
    lock = b.send(LOCK, u(lb, WAITLOCK, 60000))
    abort = channel.send(DEVICE_ABORT, u(lb))
    os.kill(s.pid, signal.SIGCONT)
    check("an abort that came with its call", (channel.ask_reply(abort), words(b.body(lock, 10))[0]), (OK, ABORTED))
    for c in (a, b, channel):
        c.sock.close()
    print("ok: an aborted device_read and device_lock answered in their own replies; the call behind served;"
          " aborts right behind their call end it")


def announced(s):
    """A length announced in a small record is weighed against the record before anything is allocated."""
    huge = 0xFFFFFFF0
    rows = [("create_link's device name", CREATE_LINK, u(1, 0, 0, huge) + b"inst"),
            ("device_write's data", WRITE, u(1, 1000, 0, END, huge) + b"WIP 1\n\0\0"),
            ("device_docmd's data_in", DOCMD, u(1, 0, 1000, 0, 0x20000, 1, 4, huge) + b"abcd")]
    peak, said = memory(s.pid, "VmPeak"), len(s.said)
    for what, proc, args in rows:
        c = Rpc(s.core)
        try:
            got = c.reply(c.send(proc, args), 10)[:2]
        except Closed:
            got = "closed"
        grown = memory(s.pid, "VmPeak") - peak
        check(f"{what} of {huge:#x} bytes", got in (("accepted", GARBAGE_ARGS), "closed") and grown < 64
              or f"answered {got}, VmPeak grew {grown:.0f} MB", True)
        c.sock.close()
    check("what the server said of memory", [l for l in s.said[said:] if "memory" in l.lower() or "alloc" in l], [])
    print(f"ok: lengths of 4 GiB announced in small records refused; VmPeak grew {grown:.1f} MB")


def fragments(s):
    """A record's fragments are put together, within a bound in bytes and one in count."""
    body = call(1, CORE, 1, CREATE_LINK, u(1, 0, 0) + opaque(b"inst0"))
    c = Rpc(s.core)
    c.sock.sendall(mark(body[:10], False) + mark(body[10:30], False) + mark(body[30:]))
    check("a create_link in 3 fragments", words(c.body(1))[0], OK)
    c.sock.close()
    rows = [("fragments past 17408 bytes", mark(bytes(6000), False) * 3, True),
            ("65 empty fragments", mark(b"", False) * 65, False),
            ("2 MB of empty fragments", mark(b"", False) * (MB // 2), False)]
    wrong, told = [], []
    for what, data, telling in rows:
        said, before = len(s.said), cpu(s.pid)
        sock = socket.create_connection((HOST, s.core), timeout=30)
        try:
            sock.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # closed before it was all sent
        closed, spent = closed_within(sock, 10), cpu(s.pid) - before
        told.append(f"{spent:.2f} s")
        if not closed or spent >= 0.3:
            wrong.append(f"{what}: {'closed' if closed else 'not closed in 10 s'}, {spent:.2f} s of CPU")
        elif telling:
            wait_for(f"{what}: a line on standard error", lambda: len(s.said) > said, 10)
        sock.close()
    check("fragmented records", wrong, [])
    print(f"ok: fragments put together; too many bytes or fragments end the connection ({', '.join(told)} of CPU)")


def conformance(s):
    """RPC's own rules: the null procedure, then procedures, versions and programs not served."""
    probe = Rpc(s.core)
    probe.link()
    rows = [("the null procedure", s.core, CORE, 1, NULL, 2, ("accepted", SUCCESS, b"")),
            ("the null procedure on the abort channel", probe.abort_port, ABORT, 1, NULL, 2,
             ("accepted", SUCCESS, b"")),
            ("create_link's number on the abort channel", probe.abort_port, ABORT, 1, CREATE_LINK, 2,
             ("accepted", PROC_UNAVAIL, b"")),
            ("RPC version 3", s.core, CORE, 1, NULL, 3, ("denied", 0, u(2, 2))),  # RPC_MISMATCH, 2 to 2
            ("another program", s.core, 0x0607B1, 1, NULL, 2, ("accepted", PROG_UNAVAIL, b"")),
            ("version 2", s.core, CORE, 2, NULL, 2, ("accepted", PROG_MISMATCH, u(1, 1)))]
    wrong = []
    for what, port, prog, vers, proc, rpcvers, expected in rows:
        c = Rpc(port, CORE if port == s.core else ABORT)
        then = (CREATE_LINK, u(1, 0, 0) + opaque(b"inst0")) if port == s.core else (DEVICE_ABORT, u(0))
        try:
            got = c.reply(c.send(proc, b"", prog, vers, rpcvers), 10)
            after = c.reply(c.send(*then), 10)[:2]  # the connection is still served
        except Failed as e:
            got = after = str(e)
        if got != expected:
            wrong.append(f"{what}: {got}")
        elif after != ("accepted", SUCCESS):
            wrong.append(f"{what}: the next call then {after}")
        c.sock.close()
    probe.sock.close()
    rpcinfo = subprocess.run(["rpcinfo", "-t", HOST, str(CORE), "1"], capture_output=True, text=True, timeout=30)
    if rpcinfo.returncode:
        wrong.append(f"rpcinfo -t: {(rpcinfo.stdout + rpcinfo.stderr).strip()}")
    check("RPC's rules", wrong, [])
    print("ok: the null procedure on both channels; other procedures, versions and programs refused as RPC says")


def ownership(s):
    """A link is its connection's: on another connection it is an invalid link."""
    a, b = Rpc(s.core), Rpc(s.core)
    la, _ = a.link(), b.link()
    rows = [("device_write", WRITE, u(la, 1000, 0, END) + opaque(b"WIP 1\n")),
            ("device_read", READ, u(la, 100, 1000, 0, 0, 0)), ("device_readstb", READSTB, u(la, 0, 0, 1000)),
            ("device_lock", LOCK, u(la, 0, 0)), ("device_unlock", UNLOCK, u(la)), ("destroy_link", DESTROY, u(la))]
    for what, proc, args in rows:
        check(f"{what} with another connection's link", b.ask(proc, args)[0], INVALID_LINK)
    check("the link on its own connection afterwards", a.ask(READSTB, u(la, 0, 0, 1000))[0], OK)
    a.sock.close()
    b.sock.close()
    print("ok: a link named on another connection is invalid there, and lives on on its own")


def split_endings(s):
    """A line of exactly 4096 characters whose CR and LF come in separate writes runs, on both doors."""
    line = lambda code: f"WIP {code}".ljust(4096).encode()
    before = len(s.frames())
    raw = socket.create_connection((HOST, s.raw), timeout=30)
    raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    raw.sendall(line(5) + b"\r")
    raw.sendall(b"\n")
    raw.sendall(b"SYST:ERR?\n")
    check("the raw socket: the error queue after the line", raw.makefile("rb").readline(), b'0,"No error"\n')
    c = Rpc(s.core)
    lid = c.link()
    check("VXI-11: the line and its CR", c.write(lid, line(6) + b"\r", 0), (OK, 4097))
    check("VXI-11: its LF, with END", c.write(lid, b"\n"), (OK, 1))
    check("VXI-11: the error queue after the line", c.query(lid, b"SYST:ERR?\n"), b'0,"No error"\n')
    wait_for("two frames", lambda: len(s.frames()) >= before + 2)
    check("the frames", s.frames()[before:], [5, 6])
    raw.close()
    c.sock.close()
    print("ok: a 4096-character line split between its CR and LF runs on the raw socket and over VXI-11")


def half_close(s):
    """A raw client that sends, shuts its side, and only then reads gets every reply, then the end."""
    with socket.create_connection((HOST, s.raw), timeout=30) as raw:
        raw.sendall(b"*IDN?\n" * 2000)
        raw.shutdown(socket.SHUT_WR)
        replies = b"".join(iter(lambda: raw.recv(65536), b"")).splitlines()
    check("replies after a half-close", (len(replies), all(r.startswith(IDENTITY) for r in replies)), (2000, True))
    print("ok: 2000 *IDN? sent, the sending side shut, then 2000 replies and the end")


# Out of descriptors first, on a server of its own: a second server would
# find the first registered with rpcbind and serve the raw socket alone.
group = "h"
try:
    if "h" in only:
        descriptors(sys.argv[1])
    group = "starting"
    server = Server(sys.argv[1])
    finish = half_record(server) if "i" in only else None  # 30 s or more, alongside the rest
    for group, run in (("a", never_reads), ("a", pipelined), ("b", endings), ("c", waits), ("d", woken), ("e", aborts),
                       ("f", announced), ("g", fragments), ("j", conformance), ("k", ownership),
                       ("l", split_endings), ("m", half_close)):
        if group in only:
            run(server)
    if finish:
        group = "i"
        finish()
    server.stop()
    print(f"{passed} passed, 0 failed")
except Exception as e:  # every failure told in one line, the servers stopped
    print(f"FAIL: ({group}) {e if isinstance(e, Failed) else repr(e)}")
    sys.exit(1)
finally:
    for each in servers:
        if each.poll() is None:
            each.kill()
            each.wait()

#!/usr/bin/python3
"""zovrel-scpi's web page on the simulated board, as a browser and as a hostile page would use it:
the identity and resources, the state and the identification XML, a code set through the page and
one set over SCPI; every forged change refused (another Host, a foreign Origin, no or a wrong
token, a GET, a body too long), each with no frame; the headers that keep it out of frames and
scripts; 100 half-sent requests that keep no one else out; a port that fails, told on the page.
web_check.py ZOVREL_SCPI FLAKY_SCPI"""
import hashlib
import http.client
import json
import os
import re
import resource
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree

work = tempfile.mkdtemp()
log = os.path.join(work, "frames")


def fail(why):
    server.kill()
    sys.exit(f"FAIL: {why}")


def check(what, got, expected):
    if got != expected:
        fail(f"{what}: {got!r}, expected {expected!r}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


http_port = free_port()
server = subprocess.Popen([sys.argv[1], "--port=sim", "--listen=127.0.0.1:0", f"--http-port={http_port}"],
                          stdout=open(log, "w"), stderr=subprocess.PIPE, text=True)
raw_port = None
for line in server.stderr:
    if "listening on 127.0.0.1:" in line:
        raw_port = int(line.rsplit(":", 1)[1])
    if "web page on port" in line:
        break
else:
    fail("the server never served its page")


session = None  # the Cookie this browser sends: its session with the page


def request(method, path, headers=None, body=None, source="127.0.0.1"):
    connection = http.client.HTTPConnection("127.0.0.1", http_port, timeout=10, source_address=(source, 0))
    connection.request(method, path, body=body, headers={**({"Cookie": session} if session else {}), **(headers or {})})
    reply = connection.getresponse()
    return reply.status, dict(reply.getheaders()), reply.read().decode()


def open_page():
    """The page as a new browser opens it: its session kept for what follows; the page's token."""
    global session
    session = None
    status, headers, page = request("GET", "/")
    session = headers["Set-Cookie"].split(";")[0]
    return re.search(r'name="token" value="([0-9a-f]+)"', page).group(1)


def frames():
    with open(log) as f:
        return [int(l.split("code ")[1]) for l in f if l.startswith("frame ")]


status, headers, page = request("GET", "/")
check("the page", status, 200)
check("its session's cookie", headers.get("Set-Cookie", "").split("; ")[1:], ["Path=/", "HttpOnly", "SameSite=Strict"])
for words in ("Zovrel Rev B", "Serial number", "Firmware revision", f"TCPIP::127.0.0.1::{raw_port}::SOCKET",
              '<label for="code">Code, 0 to 127</label>', 'type="number"', 'src="/app.js"'):
    check(f"the page shows {words!r}", words in page, True)
check("no inline script", re.search(r"<script(?![^>]*src=)", page), None)
for name, value in (("X-Frame-Options", "DENY"), ("X-Content-Type-Options", "nosniff")):
    check(f"{name}", headers.get(name), value)
check("the policy", all(p in headers.get("Content-Security-Policy", "") for p in
                        ("script-src 'self'", "frame-ancestors 'none'")), True)
check("no cross-origin sharing", [h for h in headers if h.lower().startswith("access-control")], [])
other_token, other_session = open_page(), session  # another browser's
token = open_page()
again = request("GET", "/")
check("the page again in the same session", (again[0], "Set-Cookie" in again[1], f'value="{token}"' in again[2]),
      (200, False, True))
xml = ElementTree.fromstring(request("GET", "/lxi/identification")[2])
lxi = "{http://www.lxistandard.org/InstrumentIdentification/1.0}"
check("the identification", [xml.find(lxi + f).text for f in ("Manufacturer", "Model", "FirmwareRevision")],
      ["Zovrel", "Zovrel Rev B", "1.0.0"])
check("the loopback's network", [xml.find(f".//{lxi}{f}").text for f in ("Gateway", "DHCPEnabled")],
      ["0.0.0.0", "false"])
check("its resources", [e.text for e in xml.iter(lxi + "InstrumentAddressString")][-1],
      f"TCPIP::127.0.0.1::{raw_port}::SOCKET")

self = f"http://127.0.0.1:{http_port}"
form = {"Content-Type": "application/x-www-form-urlencoded"}
for name, method, headers, body, expected in (
        ("the page's own change", "POST", {"Origin": self}, f"code=42&token={token}", 200),
        ("named by a page's own Referer", "POST", {"Referer": self + "/"}, f"code=43&token={token}", 200),
        ("through another host name", "POST", {"Host": "evil.example", "Origin": "http://evil.example"},
         f"code=1&token={token}", 421),
        ("through a name in brackets", "POST", {"Host": "[::1]evil.example", "Origin": self},
         f"code=1&token={token}", 421),
        ("through a port of letters", "POST", {"Host": "localhost:abc", "Origin": self}, f"code=1&token={token}", 421),
        ("through a name with a dot after it", "POST", {"Host": "localhost.", "Origin": "http://localhost."},
         f"code=1&token={token}", 421),
        ("with a cookie of its name set by a page on another port, first", "POST",
         {"Origin": self, "Cookie": f"{session.split('=')[0]}=junk; {session}"}, f"code=45&token={token}", 200),
        ("named as the loopback in IPv6", "POST", {"Host": f"[::1]:{http_port}", "Origin": f"http://[::1]:{http_port}"},
         f"code=44&token={token}", 200),
        ("from a foreign origin", "POST", {"Origin": "http://evil.example"}, f"code=2&token={token}", 403),
        ("from nowhere said", "POST", {}, f"code=3&token={token}", 403),
        ("without the token", "POST", {"Origin": self}, "code=4", 403),
        ("with a wrong token", "POST", {"Origin": self}, "code=5&token=" + "0" * 32, 403),
        ("with another session's token", "POST", {"Origin": self}, f"code=5&token={other_token}", 403),
        ("in another session", "POST", {"Origin": self, "Cookie": other_session}, f"code=5&token={token}", 403),
        ("in no session", "POST", {"Origin": self, "Cookie": ""}, f"code=5&token={token}", 403),
        ("as a GET", "GET", {"Origin": self}, None, 405),
        ("with a body too long", "POST", {"Origin": self}, f"code=6&token={token}&" + "x" * 300, 413),
        ("past the top", "POST", {"Origin": self}, f"code=128&token={token}", 400)):
    before = frames()
    path = "/wiper" if body or method == "POST" else f"/wiper?code=7&token={token}"
    got = request(method, path, {**form, **headers}, body)[0]
    check(f"a change {name}: its status", got, expected)
    if expected == 200:
        code = int(body.split("=")[1].split("&")[0])
        deadline = time.monotonic() + 10
        while frames() == before and time.monotonic() < deadline:
            time.sleep(0.01)
        check(f"a change {name}: its frame", frames()[len(before):], [code])
    else:
        check(f"a change {name}: no frame", frames(), before)

with socket.create_connection(("127.0.0.1", http_port), timeout=10) as s:
    s.sendall(b"GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n")
    check("a request naming two hosts", s.recv(100).split(b" ")[1], b"400")
polls = http.client.HTTPConnection("127.0.0.1", http_port, timeout=10)
polls.request("GET", "/state")
polls.getresponse().read()
first = polls.sock
polls.request("GET", "/state")
polls.getresponse().read()
check("a state asked for twice a second, twice on one connection", polls.sock is first and first is not None, True)
polls.close()
with socket.create_connection(("127.0.0.1", raw_port), timeout=10) as scpi:
    scpi.sendall(b"WIP 77;*OPC?\n")
    check("a code set over SCPI", scpi.recv(100), b"1\n")
check("the state the page shows", request("GET", "/state")[2],
      '{"code":77,"frames":[42,43,45,44,77],"failure":null}')

# 100 requests sent in half, from one address and then from a hundred, keep no one else from the
# page or the SCPI door: past the limit, the request waiting longest makes room.
for sources in (["127.0.0.1"] * 100, [f"127.0.1.{n}" for n in range(1, 101)]):
    stalled = []
    for source in sources:
        s = socket.create_connection(("127.0.0.1", http_port), timeout=10, source_address=(source, 0))
        s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        stalled.append(s)
    began = time.monotonic()
    waiting = socket.create_connection(("127.0.0.1", http_port), timeout=5, source_address=("127.0.0.2", 0))
    waiting.sendall(b"GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    try:  # well before the half-sent requests' own time is up
        check(f"the page for another client beside {len(set(sources))} address(es)",
              waiting.recv(100).startswith(b"HTTP/1.1 200"), True)
    except OSError as e:
        fail(f"the page for another client beside {len(set(sources))} address(es): {e}")
    with socket.create_connection(("127.0.0.1", raw_port), timeout=10) as scpi:
        scpi.sendall(b"*IDN?\n")
        check("SCPI meanwhile", scpi.recv(100).startswith(b"Zovrel,Zovrel Rev B"), True)
    took = time.monotonic() - began
    for s in stalled + [waiting]:
        s.close()
# The most connections at once, each trickling a byte a second so that none is ever silent: each
# is dropped once its request has taken 10 s, and the page is served again.
trickling = []
for source in ("127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"):
    for _ in range(8):
        trickling.append(socket.create_connection(("127.0.0.1", http_port), timeout=10, source_address=(source, 0)))
began, dropped = time.monotonic(), set()
while len(dropped) < len(trickling) and time.monotonic() - began < 30:
    for s in trickling:
        if s not in dropped:
            try:
                s.sendall(b"X")
                if select.select([s], [], [], 0)[0] and not s.recv(100):
                    dropped.add(s)
            except OSError:
                dropped.add(s)
    time.sleep(1)  # the trickle's pace, not a synchronisation
check("requests trickled in past their time, dropped", len(dropped), len(trickling))
for s in trickling:
    s.close()
try:  # the server closed all of them in one pass: the listening socket must be watched again
    check("the page after the most connections at once", request("GET", "/state", source="127.0.0.2")[0], 200)
except OSError as e:
    fail(f"the page after the most connections at once: {e}")
server.terminate()
server.wait(30)

# Out of descriptors, the page waits for one to be freed, neither spinning nor filling its log.
nofile = 24
server = subprocess.Popen([sys.argv[1], "--port=sim", "--listen=127.0.0.1:0", f"--http-port={http_port}"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile)))
for line in server.stderr:
    if "listening on 127.0.0.1:" in line:
        raw_port = int(line.rsplit(":", 1)[1])
    if "web page on port" in line:
        break
said = []
threading.Thread(target=lambda: [said.append(line) for line in server.stderr], daemon=True).start()
descriptors, held = lambda: len(os.listdir(f"/proc/{server.pid}/fd")), []
while descriptors() < nofile:
    count, deadline = descriptors(), time.monotonic() + 10
    held.append(socket.create_connection(("127.0.0.1", raw_port), timeout=10))
    while descriptors() == count and time.monotonic() < deadline:
        time.sleep(0.01)
waiting = socket.create_connection(("127.0.0.1", http_port), timeout=10)
waiting.sendall(b"GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
cpu = lambda: sum(int(f) for f in open(f"/proc/{server.pid}/stat").read().rsplit(")", 1)[1].split()[11:13])
before = cpu()
time.sleep(1.0)  # a measurement window, not a synchronisation
spent = (cpu() - before) / os.sysconf("SC_CLK_TCK")
check("out of descriptors: CPU in 1 s, and lines said", (spent < 0.3, len(said) <= 3), (True, True))
held.pop().close()
check("the page once a descriptor was freed", waiting.recv(100).startswith(b"HTTP/1.1 200"), True)
server.kill()
server.wait(30)

# A page that cannot be served ends the start (its port taken); a password with no page is misuse.
with socket.socket() as taken:
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    ended = subprocess.run([sys.argv[1], "--port=sim", "--listen=127.0.0.1:0",
                            f"--http-port={taken.getsockname()[1]}"], capture_output=True, text=True, timeout=30)
    check("a page whose port is taken", (ended.returncode, "web page is not served" in ended.stderr), (1, True))
check("a password with no page", subprocess.run([sys.argv[1], "--http-password-file=x"], capture_output=True,
                                                timeout=30).returncode, 2)

# With a password, the page stays readable and a change needs HTTP Digest as admin; wrong answers
# are slowed, each address on its own.
with open(os.path.join(work, "password"), "w") as f:
    f.write("bench secret\n")
log = os.path.join(work, "frames-password")
server = subprocess.Popen([sys.argv[1], "--port=sim", "--listen=127.0.0.1:0", f"--http-port={http_port}",
                           f"--http-password-file={f.name}"], stdout=open(log, "w"), stderr=subprocess.PIPE,
                          text=True)
for line in server.stderr:
    if "web page on port" in line:
        break
check("the page without a password", request("GET", "/")[0], 200)
token = open_page()


def digest(challenge, password, cnonce_first=False, nonce=None, edit=lambda header: header, method="POST",
           uri="/wiper"):
    """An Authorization header answering a SHA-256 Digest challenge (or another nonce), edited."""
    fields = dict(re.findall(r'(\w+)="?([^",]*)"?', challenge))
    h = lambda text: hashlib.sha256(text.encode()).hexdigest()
    realm, nonce = fields["realm"], nonce or fields["nonce"]
    answer = h(f"{h('admin:' + realm + ':' + password)}:{nonce}:00000001:0a4f113b:auth:{h(method + ':' + uri)}")
    parts = [f'username="admin"', f'realm="{realm}"', f'nonce="{nonce}"', f'uri="{uri}"', "algorithm=SHA-256",
             f'response="{answer}"', "qop=auth", "nc=00000001", 'cnonce="0a4f113b"', f'opaque="{fields["opaque"]}"']
    return edit("Digest " + ", ".join(sorted(parts, key=lambda p: not p.startswith("cnonce")) if cnonce_first
                                      else parts))


change = {**form, "Origin": self}
body = f"code=9&token={token}"
status, headers, _ = request("POST", "/wiper", change, body)
challenge = headers.get("WWW-Authenticate", "")
check("a change without the password", (status, "sha-256" in challenge.lower()), (401, True))
# Each answer that fails, from an address of its own; the next try at once is slowed (429) only
# when the password was wrong, however the answer was put.
for name, source, password, shape, then in (
        ("a wrong password", "127.0.0.1", "guess", {}, 429),
        ("a wrong one, its cnonce first", "127.0.0.4", "guess", {"cnonce_first": True}, 429),
        ("a wrong one to an earlier nonce", "127.0.0.5", "guess", {"nonce": "earlier"}, 429),
        ("the right one to a nonce never given", "127.0.0.6", "bench secret", {"nonce": "f" * 72}, 401),
        ("a wrong one naming no algorithm", "127.0.0.7", "guess",
         {"edit": lambda h: h.replace("algorithm=SHA-256, ", "")}, 429),
        ("a wrong one with a space after a name's =", "127.0.0.8", "guess",
         {"edit": lambda h: h.replace('username="admin"', 'username= "admin"')}, 429),
        ("a wrong one naming its user twice", "127.0.0.9", "guess", {"edit": lambda h: h + ', username="x"'}, 429)):
    first = request("POST", "/wiper", change, body, source=source)[1]["WWW-Authenticate"]
    latest = request("POST", "/wiper", change, body, source=source)[1]["WWW-Authenticate"]
    if shape.get("nonce") == "earlier":
        shape = {"nonce": dict(re.findall(r'(\w+)="?([^",]*)"?', first))["nonce"]}
    status, headers, _ = request("POST", "/wiper", {**change, "Authorization": digest(latest, password, **shape)},
                                 body, source=source)
    check(f"{name}: refused, and told to take a new nonce only with the right password",
          (status, bool(re.search(r'stale="?true', headers.get("WWW-Authenticate", ""), re.I))), (401, then == 401))
    status, headers, _ = request("POST", "/wiper", change, body, source=source)
    check(f"{name}: another try at once", (status, headers.get("Retry-After")), (then, "1" if then == 429 else None))
status, headers, _ = request("POST", "/wiper", change, body, source="127.0.0.3")
check("the right password from another address", request(
    "POST", "/wiper", {**change, "Authorization": digest(headers["WWW-Authenticate"], "bench secret")}, body,
    source="127.0.0.3")[0], 200)
deadline = time.monotonic() + 10
while request("POST", "/wiper", change, body)[0] == 429 and time.monotonic() < deadline:
    time.sleep(0.05)  # until the wait it was told has passed
status, headers, _ = request("POST", "/wiper", change, body)
check("the right password from the slowed address, once its wait is over", request(
    "POST", "/wiper", {**change, "Authorization": digest(headers["WWW-Authenticate"], "bench secret")},
    f"code=10&token={token}")[0], 200)
check("their frames, and only them", frames(), [9, 10])
server.terminate()
server.wait(30)

# A port that will not open: the change says so, and the page's state tells the failure.
server = subprocess.Popen([sys.argv[2], "--port=sim", "--listen=127.0.0.1:0", f"--http-port={http_port}"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, ZOVREL_FAIL_OPENS="1"))
for line in server.stderr:
    if "web page on port" in line:
        break
token = open_page()
check("a change the port refused", request("POST", "/wiper", change, f"code=3&token={token}")[0], 503)
state = json.loads(request("GET", "/state")[2])
check("the failure on the page", (state["code"], "would not open" in (state["failure"] or "")), (None, True))
server.terminate()
server.wait(30)
print(f"PASS: the web page: identity, resources, XML, a code through it and one over SCPI, ten forged "
      f"changes refused with no frame, and others served beside 100 half-sent requests ({took:.2f} s)")

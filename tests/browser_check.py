#!/usr/bin/python3
"""zovrel-scpi's web page in a real browser (headless Chromium through Selenium): it shows the
identity and resources; a code typed with the keyboard and Enter reaches the simulated board; a
code set over SCPI shows on the page; axe-core finds no serious or critical accessibility
violation. browser_check.py ZOVREL_SCPI AXE_JS [SCREENSHOT]"""
import os
import socket
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    if os.environ.get("CI") == "true":
        sys.exit("FAIL: python3-selenium is needed")
    print("skipped: python3-selenium is missing (scripts/install-deps test)")
    sys.exit(77)
if not os.path.exists(sys.argv[2]) or not os.path.exists("/usr/bin/chromedriver"):
    if os.environ.get("CI") == "true":
        sys.exit("FAIL: chromium-driver and axe-core are needed")
    print("skipped: chromium-driver or axe-core is missing (scripts/install-deps test)")
    sys.exit(77)

work = tempfile.mkdtemp()
log = os.path.join(work, "frames")


def check(what, got, expected):
    if got != expected:
        sys.exit(f"FAIL: {what}: {got!r}, expected {expected!r}")


def frames():
    with open(log) as f:
        return [int(l.split("code ")[1]) for l in f if l.startswith("frame ")]


with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    http_port = s.getsockname()[1]
server = subprocess.Popen([sys.argv[1], "--port=sim", "--listen=127.0.0.1:0", f"--http-port={http_port}"],
                          stdout=open(log, "w"), stderr=subprocess.PIPE, text=True)
for line in server.stderr:
    if "listening on 127.0.0.1:" in line:
        raw_port = int(line.rsplit(":", 1)[1])
    if "web page on port" in line:
        break
options = webdriver.ChromeOptions()
for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,1100"):
    options.add_argument(argument)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def stop():
    browser.quit()
    server.kill()


wait = WebDriverWait(browser, 10, poll_frequency=0.05)
try:
    browser.get(f"http://127.0.0.1:{http_port}/")
    text = browser.find_element(By.TAG_NAME, "body").text
    for words in ("Zovrel Rev B", "Firmware revision", f"TCPIP::127.0.0.1::{raw_port}::SOCKET"):
        check(f"the page shows {words!r}", words in text, True)

    # The keyboard alone: a code typed in the number field, then Enter.
    field = browser.find_element(By.ID, "code")
    check("the field's name for a screen reader", browser.find_element(By.CSS_SELECTOR, "label[for=code]").text,
          "Code, 0 to 127")
    field.clear()
    field.send_keys("57", Keys.ENTER)
    wait.until(lambda _: frames()[-1:] == [57])
    check("the frame the page sent", frames(), [57])

    # A code set over SCPI shows on the page, the focus still in the field it was sent from.
    with socket.create_connection(("127.0.0.1", raw_port), timeout=10) as scpi:
        scpi.sendall(b"WIP 88;*OPC?\n")
        scpi.recv(10)
    began = time.monotonic()
    wait.until(lambda b: b.find_element(By.ID, "code").get_attribute("value") == "88")
    shown = time.monotonic() - began
    check("shown within a second or so (the page asks twice a second)", shown < 2.0, True)

    # A code being typed is left alone while the board changes, the focus moved on to the Send
    # button (as a click moves it), and the button sends it.
    field.clear()
    field.send_keys("33", Keys.TAB)
    check("the focus, on the way to Send", browser.switch_to.active_element.get_attribute("id"), "slider")
    browser.switch_to.active_element.send_keys(Keys.TAB)
    with socket.create_connection(("127.0.0.1", raw_port), timeout=10) as scpi:
        scpi.sendall(b"WIP 99;*OPC?\n")
        scpi.recv(10)
    wait.until(lambda b: b.find_element(By.ID, "frames").text.endswith("99"))  # the page has seen it
    check("the code being typed, after the board changed", field.get_attribute("value"), "33")
    browser.switch_to.active_element.send_keys(Keys.ENTER)
    wait.until(lambda _: frames()[-1:] == [33])

    # axe-core's rules, run in the page.
    with open(sys.argv[2]) as axe:
        browser.execute_script(axe.read())
    result = browser.execute_async_script("axe.run().then(arguments[arguments.length - 1]);")
    serious = [(v["id"], v["impact"]) for v in result["violations"] if v["impact"] in ("serious", "critical")]
    check("serious or critical accessibility violations", serious, [])
    if len(sys.argv) > 3:
        browser.save_screenshot(sys.argv[3])
finally:
    stop()
print(f"PASS: the page in Chromium: its identity, a code typed and sent with Enter, a code set over SCPI "
      f"shown after {shown:.2f} s, one being typed left alone and sent with the button, no serious "
      f"accessibility violation")

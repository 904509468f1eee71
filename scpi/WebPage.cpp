#include "scpi/WebPage.h"

#include "port/MessageText.h"
#include "scpi/NetworkFacts.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netpacket/packet.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>

namespace {

std::string numeric(const sockaddr* address) {
    char host[NI_MAXHOST] = "";
    const socklen_t size =
        address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    getnameinfo(address, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    return host;
}

} // namespace

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
        }
    }
    return out;
}

Identity identityOf(const Instrument::Board& board, const std::string& listenHost, int rawPort,
                    bool vxi11, int httpPort) {
    Identity id;
    std::vector<std::string> fields;
    std::istringstream in(board.identity);
    for (std::string field; std::getline(in, field, ',');) {
        fields.push_back(field);
    }
    fields.resize(4);
    id.manufacturer = fields[0];
    id.model = fields[1];
    id.serial = fields[2];
    id.firmware = fields[3];
    char host[256] = "";
    ::gethostname(host, sizeof host - 1);
    id.hostname = printable(host); // whatever it holds, the page and the XML stay UTF-8
    // The interface the page is served on: the one holding the listen
    // address, or the first that is up and not the loopback.
    std::map<std::string, std::string> macs;
    std::string kernelName; // the chosen interface's own name, to ask the kernel of it
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_PACKET) {
                const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
                char mac[24] = "";
                if (link->sll_halen == 6) {
                    std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X",
                                  link->sll_addr[0], link->sll_addr[1], link->sll_addr[2],
                                  link->sll_addr[3], link->sll_addr[4], link->sll_addr[5]);
                }
                macs[i->ifa_name] = mac;
            }
        }
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr ||
                (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6)) {
                continue;
            }
            std::string address = numeric(i->ifa_addr);
            address = address.substr(0, address.find('%'));
            const bool any = listenHost == "0.0.0.0" || listenHost == "::";
            const bool chosen = address == listenHost ||
                                (any && id.address.empty() && i->ifa_addr->sa_family == AF_INET &&
                                 (i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK));
            if (chosen) {
                id.address = address;
                id.netmask = i->ifa_netmask ? numeric(i->ifa_netmask) : "";
                id.mac = macs[i->ifa_name];
                id.interfaceName = printable(i->ifa_name);
                kernelName = i->ifa_name;
            }
        }
        freeifaddrs(list);
    }
    if (id.address.empty()) {
        id.address = listenHost;
    }
    if (id.address.find(':') != std::string::npos) {
        id.gateway = "::"; // read for IPv4 only
    } else if (!id.interfaceName.empty()) {
        id.gateway = defaultGateway(kernelName);
        id.dhcp = addressLeased(kernelName, id.address);
        id.autoIp = linkLocal(id.address);
    }
    const std::string at =
        id.address.find(':') != std::string::npos ? "[" + id.address + "]" : id.address;
    if (vxi11) {
        id.resources.push_back("TCPIP::" + at + "::INSTR");
    }
    id.resources.push_back("TCPIP::" + at + "::" + std::to_string(rawPort) + "::SOCKET");
    id.homepage = "http://" + at + ":" + std::to_string(httpPort) + "/";
    return id;
}

std::string welcomePage(const Identity& id, const std::string& token,
                        const Instrument::Board& board) {
    std::string frames;
    for (const int code : board.recentCodes) {
        if (!frames.empty()) {
            frames += ", ";
        }
        frames += std::to_string(code);
    }
    std::string resources;
    for (const std::string& r : id.resources) {
        resources += "<li><code>" + escaped(r) + "</code></li>";
    }
    return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)" + escaped(id.model) +
           R"( on )" + escaped(id.hostname) + R"(</title>
<link rel="stylesheet" href="/style.css">
<script src="/app.js" defer></script>
</head>
<body>
<main>
<h1>)" + escaped(id.model) +
           R"(</h1>
<p>A digital potentiometer of 128 codes on a parallel port, served as a SCPI instrument.</p>
<h2>Identity</h2>
<dl>
<dt>Manufacturer</dt><dd>)" +
           escaped(id.manufacturer) + R"(</dd>
<dt>Model</dt><dd>)" +
           escaped(id.model) +
           R"(</dd>
<dt>Serial number</dt><dd>)" +
           escaped(id.serial) + R"(</dd>
<dt>Firmware revision</dt><dd>)" +
           escaped(id.firmware) + R"(</dd>
<dt>Host name</dt><dd>)" +
           escaped(id.hostname) + R"(</dd>
<dt>IP address</dt><dd>)" +
           escaped(id.address) + R"(</dd>
<dt>MAC address</dt><dd>)" +
           escaped(id.mac.empty() ? "none" : id.mac) + R"(</dd>
</dl>
<h2>Opening it from VISA</h2>
<ul>)" + resources +
           R"(</ul>
<h2>The wiper</h2>
<form id="wiper" method="post" action="/wiper" novalidate>
<input type="hidden" name="token" value=")" +
           escaped(token) + R"(">
<label for="code">Code, 0 to 127</label>
<input id="code" name="code" type="number" min="0" max="127" step="1" required value=")" +
           (board.lastCode ? std::to_string(*board.lastCode) : std::string()) + R"(">
<label for="slider">Code, as a slider</label>
<input id="slider" type="range" min="0" max="127" step="1" value=")" +
           std::to_string(board.lastCode.value_or(0)) + R"(">
<button type="submit">Send</button>
</form>
<p id="said" role="status" aria-live="polite"></p>
<h2>Last frames</h2>
<p id="frames">)" +
           escaped(frames.empty() ? "none yet" : frames) + R"(</p>
<h2>Errors</h2>
<p id="failure">)" +
           escaped(board.lastFailure.value_or("none")) + R"(</p>
</main>
</body>
</html>
)";
}

const char* const pageStyle = R"(body { font-family: sans-serif; max-width: 48em; margin: 1em auto;
       padding: 0 1em; color: #1a1a1a; background: #ffffff; line-height: 1.4; }
dl { display: grid; grid-template-columns: max-content auto; gap: 0.2em 1.5em; }
dt { font-weight: bold; }
dd { margin: 0; }
form { display: flex; flex-wrap: wrap; gap: 0.5em 1em; align-items: center; }
input[type=number] { width: 6em; font-size: 1.2em; }
input:focus, button:focus { outline: 3px solid #1f5fbf; outline-offset: 2px; }
button { font-size: 1em; padding: 0.3em 1.2em; }
code { background: #f0f0f0; padding: 0.1em 0.3em; }
)";

const char* const pageScript =
    R"(// Sends a code as the form says, and shows the code the board holds.
"use strict";
const form = document.getElementById("wiper");
const code = document.getElementById("code");
const slider = document.getElementById("slider");
const said = document.getElementById("said");
const frames = document.getElementById("frames");
const failure = document.getElementById("failure");
// The field shows the board's code unless a code is being typed in it: from
// a key pressed there until it is sent, or until the focus has left the
// form with no button held down in it (a click on Send must send what was
// typed, not a code the poll put there meanwhile; some browsers take the
// focus from the field and give it to nothing when a button is pressed).
let typing = false;
let pressing = false;
code.addEventListener("input", () => { typing = true; });
form.addEventListener("pointerdown", () => { pressing = true; });
document.addEventListener("pointerup", () => { setTimeout(() => { pressing = false; }, 0); });
function stillTyping() {
  if (typing && !pressing && !form.contains(document.activeElement)) {
    typing = false;
  }
  return typing;
}

// A request given up after ms, in browsers with or without AbortSignal.timeout.
function giveUpAfter(ms) {
  const controller = new AbortController();
  setTimeout(() => controller.abort(), ms);
  return controller.signal;
}

// One change on its way at a time, so that they reach the board in the
// order they were made; of those made meanwhile, only the last is sent.
let sending = false;
let next = null;
async function send(value) {
  if (sending) {
    next = value;
    return;
  }
  sending = true;
  const body = new URLSearchParams({ code: value, token: form.elements.token.value });
  try {
    const reply = await fetch("/wiper", { method: "POST", body, credentials: "same-origin",
                                          signal: giveUpAfter(10000) });
    said.textContent = reply.ok ? "Code " + value + " sent." : "Not sent: " + (await reply.text());
  } catch (error) {
    said.textContent = "Not sent: the instrument does not answer.";
  }
  sending = false;
  if (next !== null) {
    const value = next;
    next = null;
    send(value);
  }
}

form.addEventListener("submit", (event) => {
  event.preventDefault();
  if (code.checkValidity() && code.value !== "") {
    typing = false;
    slider.value = code.value;
    send(code.value);
  } else {
    said.textContent = "A code is a whole number from 0 to 127.";
  }
});
slider.addEventListener("change", () => { code.value = slider.value; send(slider.value); });

async function poll() {
  try {
    const state = await (await fetch("/state", { cache: "no-store",
                                                 signal: giveUpAfter(2000) })).json();
    if (!stillTyping() && state.code !== null) {
      code.value = state.code;
    }
    if (document.activeElement !== slider && state.code !== null) {
      slider.value = state.code;
    }
    frames.textContent = state.frames.length ? state.frames.join(", ") : "none yet";
    failure.textContent = state.failure === null ? "none" : state.failure;
    if (said.textContent === "The instrument does not answer.") {
      said.textContent = "";
    }
  } catch (error) {
    said.textContent = "The instrument does not answer.";
  }
  setTimeout(poll, 500);
}
poll();
)";

namespace {

// JSON's string: quotes, backslashes and control characters escaped.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + '"';
}

} // namespace

std::string stateJson(const Instrument::Board& board) {
    std::string json = "{\"code\":";
    json += board.lastCode ? std::to_string(*board.lastCode) : std::string("null");
    json += ",\"frames\":[";
    for (std::size_t i = 0; i < board.recentCodes.size(); ++i) {
        if (i)
            json += ',';
        json += std::to_string(board.recentCodes[i]);
    }
    json += "],\"failure\":";
    json += board.lastFailure ? jsonString(*board.lastFailure) : std::string("null");
    return json + '}';
}

std::string identificationXml(const Identity& id) {
    std::string resources;
    for (const std::string& r : id.resources) {
        resources +=
            "      <InstrumentAddressString>" + escaped(r) + "</InstrumentAddressString>\n";
    }
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<LXIDevice xmlns="http://www.lxistandard.org/InstrumentIdentification/1.0">
  <Manufacturer>)" +
           escaped(id.manufacturer) + "</Manufacturer>\n  <Model>" + escaped(id.model) +
           "</Model>\n  <SerialNumber>" + escaped(id.serial) +
           "</SerialNumber>\n  <FirmwareRevision>" + escaped(id.firmware) +
           "</FirmwareRevision>\n  <ManufacturerDescription>A digital potentiometer of 128 codes "
           "on a parallel port</ManufacturerDescription>\n  <HomepageURL>" +
           escaped(id.homepage) + "</HomepageURL>\n  <DriverURL>" + escaped(id.homepage) +
           R"(</DriverURL>
  <Interface xsi:type="NetworkInformation" InterfaceType="LXI" IPType=")" +
           std::string(id.address.find(':') != std::string::npos ? "IPv6" : "IPv4") +
           "\" InterfaceName=\"" + escaped(id.interfaceName.empty() ? "lo" : id.interfaceName) +
           R"(" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
)" + resources +
           "    <Hostname>" + escaped(id.hostname) + "</Hostname>\n    <IPAddress>" +
           escaped(id.address) + "</IPAddress>\n    <SubnetMask>" + escaped(id.netmask) +
           "</SubnetMask>\n    <MACAddress>" + escaped(id.mac) + "</MACAddress>\n    <Gateway>" +
           escaped(id.gateway) + "</Gateway>\n    <DHCPEnabled>" + (id.dhcp ? "true" : "false") +
           "</DHCPEnabled>\n    <AutoIPEnabled>" + (id.autoIp ? "true" : "false") +
           "</AutoIPEnabled>\n  </Interface>\n</LXIDevice>\n";
}

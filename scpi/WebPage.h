#pragma once

#include "instrument/Instrument.h"

#include <string>
#include <vector>

// What the instrument's web page says, as text: the page, its script (a
// file of its own, since the page allows no inline script), the state the
// script polls for, and the identification XML discovery tools read.
struct Identity {
    std::string manufacturer, model, serial, firmware; // *IDN?'s four fields
    std::string hostname;
    std::string address; // the IP address the page is served on
    std::string netmask;
    std::string mac;
    std::string interfaceName;          // the interface holding the address
    std::string gateway = "0.0.0.0";    // its default route's, if it has one
    bool dhcp = false;                  // the address was leased
    bool autoIp = false;                // the address is link-local
    std::vector<std::string> resources; // VISA resource strings
    std::string homepage;               // the page's own URL
};

// The identity for the address a client reached (or the listen address:
// for 0.0.0.0 and ::, the first interface that is up and not the loopback).
Identity identityOf(const Instrument::Board& board, const std::string& listenHost, int rawPort,
                    bool vxi11, int httpPort);

// The page as it stands now; its script keeps it up to date.
std::string welcomePage(const Identity& identity, const std::string& token,
                        const Instrument::Board& board);
extern const char* const pageScript;
extern const char* const pageStyle;
std::string stateJson(const Instrument::Board& board);
std::string identificationXml(const Identity& identity);
// Text made safe to stand in HTML or XML.
std::string escaped(const std::string& text);

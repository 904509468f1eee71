// An FT232R as the emulated PC's USB stack sees it: a FunctionFS function
// behind a configfs gadget on dummy_hcd, answering FTDI's vendor requests on
// ep0 and, in synchronous bit-bang mode, handing back one read-back byte per
// byte written (the byte AND the output mask), behind the two modem-status
// bytes that begin every IN packet. Every bulk OUT transfer is recorded, one
// line each, so the test sees exactly what crossed the bus and in how many
// transfers.
//   ftdi-gadget FUNCTIONFS_DIR RECORD_FILE
// It prints "ready" on standard output once its endpoints exist, so that the
// caller may bind the gadget to its UDC.
#include "FunctionFs.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex lock;
std::condition_variable readable;
std::deque<unsigned char> readBack; // what the IN endpoint owes the host
unsigned char bitMode = 0;          // 0x04: synchronous bit-bang
unsigned char outputMask = 0;
unsigned char pins = 0;
unsigned char latencyMs = 16;

void answer(int ep0, const usb_ctrlrequest& setup) {
    const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
    const unsigned value = le16toh(setup.wValue);
    const unsigned length = le16toh(setup.wLength);
    unsigned char reply[64] = {};
    {
        std::lock_guard<std::mutex> guard(lock);
        switch (setup.bRequest) {
        case 0x00: // reset, or purge a buffer
            if (value == 0 || value == 1) {
                readBack.clear();
            }
            break;
        case 0x05: // modem status
            reply[0] = 0x01;
            reply[1] = 0x60;
            break;
        case 0x09: // set latency timer
            latencyMs = static_cast<unsigned char>(value ? value : 1);
            break;
        case 0x0A: // get latency timer
            reply[0] = latencyMs;
            break;
        case 0x0B: // set bit mode: mode << 8 | mask
            bitMode = static_cast<unsigned char>(value >> 8);
            outputMask = static_cast<unsigned char>(value);
            break;
        case 0x0C: // read the pins
            reply[0] = pins;
            break;
        case 0x90: // read an EEPROM word: blank
            reply[0] = reply[1] = 0xFF;
            break;
        default: // baud rate, flow control, line settings...: taken as they come
            break;
        }
    }
    if (in) {
        [[maybe_unused]] const ssize_t n =
            ::write(ep0, reply, length < sizeof reply ? length : sizeof reply);
    } else {
        [[maybe_unused]] const ssize_t n = ::read(ep0, reply, 0); // the status stage
    }
}

// One line a transfer: a packet shorter than the largest ends it.
void serveOut(int ep, FILE* record) {
    unsigned char packet[packetSize];
    std::string transfer;
    for (;;) {
        const ssize_t n = ::read(ep, packet, sizeof packet);
        if (n < 0) {
            // Not enabled yet, or unbound: wait for the host to come back.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            for (ssize_t i = 0; i < n; ++i) {
                char hex[4];
                std::snprintf(hex, sizeof hex, " %02x", packet[i]);
                transfer += hex;
                pins = packet[i] & outputMask;
                if (bitMode == 0x04) {
                    readBack.push_back(pins);
                }
            }
        }
        readable.notify_all();
        if (n < packetSize) {
            std::fprintf(record, "transfer:%s\n", transfer.c_str());
            std::fflush(record);
            transfer.clear();
        }
    }
}

// Every IN packet starts with the modem status; one with nothing else goes
// out after the latency timer when no read-back waits.
void serveIn(int ep) {
    for (;;) {
        unsigned char packet[packetSize] = {0x01, 0x60};
        int size = 2;
        {
            std::unique_lock<std::mutex> guard(lock);
            readable.wait_for(guard, std::chrono::milliseconds(latencyMs),
                              [] { return !readBack.empty(); });
            while (size < packetSize && !readBack.empty()) {
                packet[size++] = readBack.front();
                readBack.pop_front();
            }
        }
        if (::write(ep, packet, std::size_t(size)) < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> guard(lock);
            // Lost with the host: give the bytes back for the next one.
            for (int i = size - 1; i >= 2; --i) {
                readBack.push_front(packet[i]);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ftdi-gadget FUNCTIONFS_DIR RECORD_FILE\n");
        return 2;
    }
    const std::string dir = argv[1];
    FILE* record = std::fopen(argv[2], "a");
    const int ep0 = ::open((dir + "/ep0").c_str(), O_RDWR);
    if (!record || ep0 < 0) {
        std::perror("ftdi-gadget");
        return 1;
    }
    if (!describeBulkPair(ep0, 0xFF, 0xFF, 0xFF, "FT232R USB UART")) {
        std::perror("ftdi-gadget: descriptors");
        return 1;
    }
    const int in = ::open((dir + "/ep1").c_str(), O_RDWR);
    const int out = ::open((dir + "/ep2").c_str(), O_RDWR);
    if (in < 0 || out < 0) {
        std::perror("ftdi-gadget: endpoints");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::thread(serveIn, in).detach();
    std::thread(serveOut, out, record).detach();
    serveControl(ep0, answer);
    return 0;
}

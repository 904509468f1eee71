// A bench multimeter on the emulated PC's USB bus: a USBTMC function
// (FunctionFS behind a configfs gadget on dummy_hcd) that the kernel's own
// usbtmc driver binds to and presents as /dev/usbtmc0. It answers SCPI as a
// meter wired across the chip would: READ? gives the resistance of the code
// the chip latched last, 100 ohms and 50 a code, where the chip is the words
// that reached the parallel port, as the program's trace recorded them.
//   usbtmc-meter FUNCTIONFS_DIR TRACE_FILE
// It prints "ready" once its endpoints exist, for the caller to bind the gadget.
#include "FunctionFs.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex lock;
std::string pending; // the reply the next REQUEST_DEV_DEP_MSG_IN takes
// After SILENT, a meter that has stopped answering: a request for a reply is
// left unanswered, and /tmp/usbtmc-withheld says that one was.
bool silent = false;
std::string traceFile;

// The code the chip holds, from the trace: the data lines word by word, the
// register shifted on each rising clock while select is low, taken at the
// rise of select. -1 before any frame.
int latchedCode() {
    std::ifstream trace(traceFile);
    int lines[3] = {0, 0, 1};
    int shift = 0;
    int code = -1;
    std::string line;
    const auto settle = [&](int before[3]) {
        if (!before[1] && lines[1] && !lines[2]) {
            shift = ((shift << 1) | lines[0]) & 0x7F;
        }
        if (!before[2] && lines[2]) {
            code = shift;
        }
    };
    int before[3] = {0, 0, 1};
    while (std::getline(trace, line)) { // the header's lines are none of these
        if (line[0] == '#') {           // a new word: what came before it is whole
            settle(before);
            std::memcpy(before, lines, sizeof lines);
            continue;
        }
        if ((line[0] == '0' || line[0] == '1') && line.size() == 2 && line[1] >= '!' &&
            line[1] <= '#') {
            lines[line[1] - '!'] = line[0] - '0';
        }
    }
    settle(before);
    return code;
}

void answerCommand(const std::string& command) {
    std::lock_guard<std::mutex> guard(lock);
    if (command.rfind("READ?", 0) == 0 && !silent) {
        const int code = latchedCode();
        char text[40];
        std::snprintf(text, sizeof text, "%+.8E\n", code < 0 ? 9.9e37 : 100.0 + 50.0 * code);
        pending = text;
    } else if (command.rfind("SYST:ERR?", 0) == 0) {
        pending = "+0,\"No error\"\n";
    } else if (command.rfind("SILENT", 0) == 0) {
        silent = true;
    } else if (command.rfind("*IDN?", 0) == 0) {
        pending = "Test,USB meter,0,1\n";
    }
}

// Class requests on ep0: GET_CAPABILITIES is answered, the rest succeed.
void answer(int ep0, const usb_ctrlrequest& setup) {
    unsigned char reply[0x18] = {0x01}; // USBTMC_STATUS_SUCCESS
    if (setup.bRequest == 7) {          // GET_CAPABILITIES
        reply[3] = 0x01;                // bcdUSBTMC 1.00
    }
    const unsigned length = le16toh(setup.wLength);
    if (setup.bRequestType & USB_DIR_IN) {
        [[maybe_unused]] const ssize_t w =
            ::write(ep0, reply, length < sizeof reply ? length : sizeof reply);
    } else {
        [[maybe_unused]] const ssize_t r = ::read(ep0, reply, 0);
    }
}

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Bulk OUT: DEV_DEP_MSG_OUT carries a command; REQUEST_DEV_DEP_MSG_IN asks
// for the reply, which goes out on bulk IN as DEV_DEP_MSG_IN with EOM.
void serveOut(int out, int in) {
    unsigned char buffer[4096];
    std::string command;
    for (;;) {
        const ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n < 12) {
            if (n < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            continue;
        }
        const unsigned char id = buffer[0];
        const unsigned char tag = buffer[1];
        const std::uint32_t size = le32(buffer + 4);
        if (id == 1) {
            command.append(reinterpret_cast<const char*>(buffer + 12),
                           std::min<std::size_t>(size, std::size_t(n) - 12));
            if (buffer[8] & 0x01) { // EOM
                answerCommand(command);
                command.clear();
            }
        } else if (id == 2) {
            std::string reply;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (silent && pending.empty()) {
                    std::fclose(std::fopen("/tmp/usbtmc-withheld", "w"));
                    continue;
                }
                reply = pending.substr(0, size);
                pending.erase(0, reply.size());
            }
            unsigned char message[4096 + 16] = {2, tag, static_cast<unsigned char>(~tag), 0};
            const std::uint32_t length = htole32(static_cast<std::uint32_t>(reply.size()));
            std::memcpy(message + 4, &length, 4);
            message[8] = 0x01; // EOM
            std::memcpy(message + 12, reply.data(), reply.size());
            const std::size_t total = (12 + reply.size() + 3) / 4 * 4;
            [[maybe_unused]] const ssize_t w = ::write(in, message, total);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: usbtmc-meter FUNCTIONFS_DIR TRACE_FILE\n");
        return 2;
    }
    const std::string dir = argv[1];
    traceFile = argv[2];
    const int ep0 = ::open((dir + "/ep0").c_str(), O_RDWR);
    // Application specific, USBTMC, no USB488 subclass: what the driver binds to.
    if (ep0 < 0 || !describeBulkPair(ep0, 0xFE, 0x03, 0x00, "USBTMC meter")) {
        std::perror("usbtmc-meter");
        return 1;
    }
    const int in = ::open((dir + "/ep1").c_str(), O_RDWR);
    const int out = ::open((dir + "/ep2").c_str(), O_RDWR);
    if (in < 0 || out < 0) {
        std::perror("usbtmc-meter: endpoints");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::thread(serveOut, out, in).detach();
    serveControl(ep0, answer);
    return 0;
}

#include "hardware/FtdiPort.h"

#include "port/MessageText.h"
#include "port/PortWords.h"

#include <ftdi.h>
#include <libusb.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr int ftdiVendor = 0x0403;
// The chips that can bit-bang: FT232R and FT-X (6001, 6015), FT2232 (6010),
// FT4232H (6011), FT232H (6014).
constexpr int bitBangProducts[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
// A real FT232R holds 256 read-back bytes: the host must not write further ahead.
constexpr std::size_t longestTransfer = 256;
constexpr auto readBackTime = std::chrono::seconds(5);

struct Adapter {
    libusb_device* device;
    std::string serial; // empty when it could not be read
    std::string node;
};

std::string nodeOf(libusb_device* device) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return node;
}

std::string serialList(const std::vector<Adapter>& adapters) {
    std::string list;
    for (const Adapter& a : adapters) {
        list += (list.empty() ? "'" : ", '") + printable(a.serial.empty() ? "?" : a.serial) + "'";
    }
    return list;
}

std::string framesWhole(long count) {
    return count == 1 ? "1 frame" : std::to_string(count) + " frames";
}

} // namespace

FtdiPort::FtdiPort(Settings settings) : settings_(std::move(settings)) {}

void FtdiPort::open() {
    using Remedy = PortError::Remedy;
    std::unique_ptr<ftdi_context, void (*)(ftdi_context*)> context(ftdi_new(), ftdi_free);
    if (!context) {
        throw PortError("The FTDI library could not start (no memory).");
    }
    ftdi_set_interface(context.get(), INTERFACE_A);
    ftdi_device_list* found = nullptr;
    const int count = ftdi_usb_find_all(context.get(), &found, 0, 0);
    std::unique_ptr<ftdi_device_list, void (*)(ftdi_device_list*)> list(found, ftdi_list_free2);
    if (count < 0) {
        throw PortError("Looking for FTDI adapters on the USB bus failed: " +
                        printable(ftdi_get_error_string(context.get())) + ".");
    }
    std::vector<Adapter> adapters;
    for (ftdi_device_list* at = found; at; at = at->next) {
        char serial[128] = "";
        if (ftdi_usb_get_strings(context.get(), at->dev, nullptr, 0, nullptr, 0, serial,
                                 sizeof serial) < 0) {
            serial[0] = '\0';
        }
        adapters.push_back({at->dev, serial, nodeOf(at->dev)});
    }
    const Adapter* chosen = nullptr;
    if (adapters.empty()) {
        throw PortError("No FTDI adapter is on the USB bus (none of 0403:6001, 6010, 6011, 6014, "
                        "6015).",
                        Remedy::CheckTheAdapter);
    }
    if (settings_.serial.empty()) {
        if (adapters.size() > 1) {
            throw PortError(std::to_string(adapters.size()) +
                                " FTDI adapters are on the USB bus, with the serial numbers " +
                                serialList(adapters) + ": which one is meant?",
                            Remedy::NameTheSerial);
        }
        chosen = &adapters.front();
    } else {
        std::vector<const Adapter*> named;
        std::string unreadable; // adapters whose serial number this user may not read
        for (const Adapter& a : adapters) {
            if (a.serial == settings_.serial) {
                named.push_back(&a);
            } else if (a.serial.empty() && ::access(a.node.c_str(), R_OK | W_OK) != 0 &&
                       errno == EACCES) {
                unreadable += (unreadable.empty() ? "" : ", ") + a.node;
            }
        }
        if (named.size() > 1) {
            // Picking one would drive a board the user may not have meant.
            std::string nodes;
            for (const Adapter* a : named) {
                nodes += (nodes.empty() ? "" : ", ") + a->node;
            }
            throw PortError(std::to_string(named.size()) +
                            " FTDI adapters on the USB bus have the "
                            "serial number '" +
                            printable(settings_.serial) + "' (" + nodes +
                            "), so it cannot tell them apart: unplug all but one, or give each "
                            "a serial number of its own in its EEPROM.");
        }
        if (named.empty() && !unreadable.empty()) {
            throw PortError(
                "Permission denied reading the serial numbers of the FTDI adapters at " +
                    unreadable + ", so the adapter '" + printable(settings_.serial) +
                    "' cannot be found among them.",
                Remedy::AllowTheAdapter);
        }
        if (named.empty()) {
            throw PortError("No FTDI adapter with the serial number '" +
                                printable(settings_.serial) +
                                "' is on the USB bus; the serial numbers found are " +
                                serialList(adapters) + ".",
                            Remedy::NameTheSerial);
        }
        chosen = named.front();
    }
    node_ = chosen->node;
    name_ = chosen->serial.empty() ? "the FTDI adapter at " + node_
                                   : "the FTDI adapter '" + printable(chosen->serial) + "'";
    if (ftdi_usb_open_dev(context.get(), chosen->device) < 0) {
        if (::access(node_.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
            throw PortError("Permission denied opening " + name_ +
                                (chosen->serial.empty() ? "." : " (" + node_ + ")."),
                            Remedy::AllowTheAdapter);
        }
        throw PortError("Opening " + name_ +
                        " failed: " + printable(ftdi_get_error_string(context.get())) + ".");
    }
    // From here on a failure closes the adapter again as it leaves.
    std::unique_ptr<ftdi_context, int (*)(ftdi_context*)> opened(context.get(), ftdi_usb_close);
    if (context->type == TYPE_AM) {
        throw PortError(name_ + " is an FT8U232AM, which cannot do synchronous bit-bang: use an "
                                "FT232R, FT2232, FT4232H, FT232H or FT-X adapter.");
    }
    // All eight pins drive the lines; the clock that paces the words is set
    // after the mode, since it depends on it.
    if (ftdi_tcioflush(context.get()) < 0 || ftdi_set_latency_timer(context.get(), 2) < 0 ||
        ftdi_set_bitmode(context.get(), 0xFF, BITMODE_SYNCBB) < 0 ||
        ftdi_set_baudrate(context.get(), 62500) < 0) {
        throw PortError("Setting " + name_ + " to synchronous bit-bang failed: " +
                        printable(ftdi_get_error_string(context.get())) + ".");
    }
    opened.release();
    context_ = context.release();
    framesSent_ = 0;
}

void FtdiPort::release() {
    frame_.clear();
    if (context_) {
        ftdi_usb_close(context_);
        ftdi_free(context_);
        context_ = nullptr;
    }
}

void FtdiPort::put(std::uint16_t, std::uint16_t word) {
    const auto lines = static_cast<unsigned char>(word);
    const bool frameEnds =
        (last_ & PortWords::selectLine) == 0 && (lines & PortWords::selectLine) != 0;
    frame_.push_back(lines);
    last_ = lines;
    if (frameEnds || frame_.size() >= longestTransfer) {
        sendFrame();
    }
}

void FtdiPort::sendFrame() {
    const int size = static_cast<int>(frame_.size());
    if (ftdi_write_data(context_, frame_.data(), size) != size) {
        failFrame(printable(ftdi_get_error_string(context_)));
    }
    // In synchronous bit-bang the adapter samples its pins for every word it
    // drives: the bytes read back prove that each word reached the lines.
    std::vector<unsigned char> back(frame_.size());
    int got = 0;
    const auto deadline = std::chrono::steady_clock::now() + readBackTime;
    while (got < size) {
        const int n = ftdi_read_data(context_, back.data() + got, size - got);
        if (n < 0) {
            failFrame(printable(ftdi_get_error_string(context_)));
        }
        got += n;
        if (got < size && std::chrono::steady_clock::now() > deadline) {
            failFrame("it read back " + std::to_string(got) + " of the frame's " +
                      std::to_string(size) + " words");
        }
    }
    // Depending on where the chip samples, each byte is the word it drove or
    // the one before it; either proves every word was driven, in order.
    bool same = true;
    bool previous = true;
    unsigned char before = frame_.front();
    for (int i = 0; i < size; ++i) {
        same = same && back[i] == frame_[i];
        previous = previous && (i == 0 || back[i] == before);
        before = frame_[i];
    }
    if (!same && !previous) {
        failFrame("it read back other words than it was sent");
    }
    frame_.clear();
    ++framesSent_;
}

void FtdiPort::failFrame(const std::string& what) {
    frame_.clear();
    const bool gone = ::access(node_.c_str(), F_OK) != 0;
    throw PortError(std::string(gone ? "The FTDI adapter was unplugged"
                                     : "Frame " + std::to_string(framesSent_ + 1) +
                                           " did not go out whole on " + name_) +
                        " (" + what + "); " + framesWhole(framesSent_) +
                        " went out whole before it.",
                    gone ? PortError::Remedy::CheckTheAdapter : PortError::Remedy::None);
}

bool ftdiAdapterConnected() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/bus/usb/devices", error)) {
        std::ifstream vendor(entry.path() / "idVendor");
        std::ifstream product(entry.path() / "idProduct");
        unsigned v = 0;
        unsigned p = 0;
        if (vendor >> std::hex >> v && product >> std::hex >> p && int(v) == ftdiVendor) {
            for (const int known : bitBangProducts) {
                if (int(p) == known) {
                    return true;
                }
            }
        }
    }
    return false;
}

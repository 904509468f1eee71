#pragma once

#include "port/PortOutput.h"

#include <string>
#include <vector>

struct ftdi_context;

// The board's lines on an FTDI USB adapter in synchronous bit-bang mode,
// through libftdi1: its eight bit-bang pins carry the data register's eight
// lines, one for one (D0 on ADBUS0/TXD ... D7 on ADBUS7), interface A of a
// multi-channel chip. A frame's words are held until its closing word (the
// rise of select), then go out as one USB transfer; the frame counts as sent
// only once the adapter has read every word back from its pins. The lines
// keep the last word when the port is closed: the bit mode is left as it is.
class FtdiPort : public PortOutput {
public:
    struct Settings {
        std::string serial; // the adapter's USB serial number; empty: the one adapter there is
    };

    explicit FtdiPort(Settings settings);
    ~FtdiPort() override { close(); }

    std::size_t heldWords() const override { return frame_.size(); }

protected:
    void open() override;
    void release() override;
    void put(std::uint16_t address, std::uint16_t word) override;

private:
    void sendFrame();
    [[noreturn]] void failFrame(const std::string& what);

    Settings settings_;
    ftdi_context* context_ = nullptr;
    std::string name_; // "the FTDI adapter 'A1B2C3'", for messages
    std::string node_; // its device node, /dev/bus/usb/BBB/DDD
    std::vector<unsigned char> frame_;
    unsigned char last_ = 0x04; // the last word handed over; the lines start deselected
    long framesSent_ = 0;
};

// Whether an FTDI adapter that can bit-bang is on the USB bus, from sysfs (no
// device is opened): for advice when no parallel port is found.
bool ftdiAdapterConnected();

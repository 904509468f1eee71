#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// A write that did not reach the port. The text says what happened; the remedy
// says what the user can do about it, worded by the program that reports it,
// since the advice names that program's own options.
class PortError : public std::runtime_error {
public:
    enum class Remedy {
        None,
        LoadDriversOrNameDevice, // no port at 0x378
        LoadPpdevOrNameDevice,   // the device node is missing
        FreeThePort,             // another driver or program holds the port
        UseDefaultPort,          // direct I/O was refused
        CheckTheAdapter,         // no USB adapter, or it went away
        NameTheSerial,           // several adapters, or not the one named
        AllowTheAdapter,         // no access to the adapter's device node
        AllowTheGpio,            // no access to the GPIO chip
    };

    explicit PortError(const std::string& cause, Remedy remedy = Remedy::None)
        : std::runtime_error(cause), remedy_(remedy) {}

    Remedy remedy() const { return remedy_; }

private:
    Remedy remedy_;
};

// One way of reaching the parallel port's data register. Opened by the first
// write, never before: the program touches no port until the user acts. An
// open that fails leaves nothing behind, so the next write may try again; a
// write after close() opens again.
class PortOutput {
public:
    virtual ~PortOutput() = default;
    PortOutput() = default;
    PortOutput(const PortOutput&) = delete;
    PortOutput& operator=(const PortOutput&) = delete;

    // Returns once the word has taken effect on the data lines; throws PortError.
    // A word for another address than 0x378, or with a high byte, is refused
    // before anything is opened or written.
    void write(std::uint16_t address, std::uint16_t word);

    // Gives back what open() took, writing nothing; safe to call at any time.
    // A backend's destructor calls it, since the base's cannot reach release().
    void close();

    bool isOpen() const { return opened_; }

    // Words taken but not yet on the lines. An output that sends a frame as
    // one transfer (a USB adapter) holds its words until the frame's closing
    // word; every other output puts each word on the lines as it is written.
    virtual std::size_t heldWords() const { return 0; }

protected:
    virtual void open() {}
    virtual void release() {}
    virtual void put(std::uint16_t address, std::uint16_t word) = 0;

private:
    bool opened_ = false;
};

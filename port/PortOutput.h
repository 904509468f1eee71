#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A write that did not reach the port. The text says what happened and, where
// the user can do something about it, what to do.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One way of reaching the parallel port's data register. Opened by the first
// write, never before: the program touches no port until the user acts.
class PortOutput {
public:
    virtual ~PortOutput() = default;
    PortOutput() = default;
    PortOutput(const PortOutput&) = delete;
    PortOutput& operator=(const PortOutput&) = delete;

    // Returns once the word has taken effect on the data lines; throws PortError.
    void write(std::uint16_t address, std::uint16_t word);

    bool isOpen() const { return opened_; }

protected:
    virtual void open() {}
    virtual void put(std::uint16_t address, std::uint16_t word) = 0;

private:
    bool opened_ = false;
};

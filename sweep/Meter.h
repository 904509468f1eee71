#pragma once

// zovrel-sweep, the chip characterized against a bench meter: the meters
// (this file), what a sweep makes of their readings (Analysis.h), the sweep
// itself (SweepRun.h). No Qt: the plot is drawn in a room of its own.

#include <memory>
#include <stdexcept>
#include <string>

class SimulatedBoard;
class StopSignals;

// A meter that failed: what it did or did not say, worded for the user.
class MeterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A bench meter spoken to in SCPI, whatever carries the words.
class Meter {
public:
    virtual ~Meter() = default;
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    virtual void send(const std::string& command) = 0;
    // The reply, without its new line; throws MeterError.
    virtual std::string query(const std::string& command) = 0;
    // How messages name it: "the meter at TCPIP::bench::INSTR".
    const std::string& name() const { return name_; }

protected:
    explicit Meter(std::string name) : name_(std::move(name)) {}

private:
    std::string name_;
};

// Opens the meter a resource names: sim (reading board, which must be
// given), TCPIP::HOST[::inst0]::INSTR (VXI-11), TCPIP::HOST::PORT::SOCKET (a
// raw socket, replies ended by a new line) or /dev/usbtmcN (the kernel's
// USB Test and Measurement driver). Throws MeterError.
std::unique_ptr<Meter> openMeter(const std::string& resource, int timeoutMs, StopSignals& stops,
                                 std::shared_ptr<SimulatedBoard> board);

// Whether a resource has one of the forms above (checked before anything is sent).
bool isMeterResource(const std::string& resource);

// The simulated meter's model of the chip between wiper and end B, in ohms:
// the wiper's own resistance, code/128 of the end-to-end resistance, a bow of
// at most bowLsb in the middle of the range and a deterministic noise of at
// most noiseLsb (one reading to the next).
struct ResistorModel {
    static constexpr double wiperOhms = 75.0;
    static constexpr double endToEndOhms = 10000.0;
    static constexpr double bowLsb = 0.3;
    static constexpr double noiseLsb = 0.02;
    static double ohms(int code, unsigned reading);
    static double bow(int code); // in LSB
};

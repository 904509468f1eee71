#include "sweep/Meter.h"

#include "watch/SimulatedBoard.h"

#include <cmath>
#include <cstdio>
#include <numbers>

double ResistorModel::bow(int code) {
    return bowLsb * std::sin(std::numbers::pi * code / 127.0);
}

double ResistorModel::ohms(int code, unsigned reading) {
    const double lsb = endToEndOhms / 128.0;
    // A hash of code and reading, spread over -1 to 1: the same every run.
    std::uint32_t h = static_cast<std::uint32_t>(code) * 2654435761u ^ (reading + 1) * 40503u;
    h ^= h >> 15;
    h *= 2246822519u;
    h ^= h >> 13;
    const double noise = (static_cast<double>(h % 20001) / 10000.0 - 1.0) * noiseLsb;
    return wiperOhms + lsb * (code + bow(code) + noise);
}

namespace {

// A meter on the bench of the simulated board: it reads the code the chip
// latched through the resistor model. Before any frame the wiper is at no
// code yet, and it reads as an open circuit (overload).
class SimulatedMeter : public Meter {
public:
    explicit SimulatedMeter(std::shared_ptr<SimulatedBoard> board)
        : Meter("the simulated meter"), board_(std::move(board)) {}

    void send(const std::string& command) override { last_ = command; }
    std::string query(const std::string& command) override {
        if (command == "*IDN?") {
            return "Zovrel,Simulated meter,0,1.0";
        }
        if (command.rfind("SYST:ERR", 0) == 0) {
            return "+0,\"No error\"";
        }
        const auto code = board_->code();
        if (!code) {
            return "+9.90000000E+37";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%+.8E", ResistorModel::ohms(*code, readings_++));
        return text;
    }

private:
    std::shared_ptr<SimulatedBoard> board_;
    std::string last_;
    unsigned readings_ = 0;
};

} // namespace

std::unique_ptr<Meter> openSimulatedMeter(std::shared_ptr<SimulatedBoard> board) {
    return std::make_unique<SimulatedMeter>(std::move(board));
}

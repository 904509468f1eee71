// zovrel-scpi over a simulated board that fails when told: the first
// ZOVREL_FAIL_OPENS opens, and the writes numbered in ZOVREL_FAIL_WRITES
// (counted from 0, comma-separated). Every frame the chip latches is logged,
// and every open that succeeds is said on standard error; an open of the
// port while it is still held (not released since it was last opened)
// fails, so that a port opened again after a failure must be a fresh one.
#include "scpi/Scpi.h"
#include "setup/PortStack.h"
#include "setup/StopSignals.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

namespace {

class FlakyBoard : public SimulatedBoard {
public:
    FlakyBoard() {
        const char* opens = std::getenv("ZOVREL_FAIL_OPENS");
        failOpens_ = opens ? std::atoi(opens) : 0;
        std::istringstream writes(
            std::getenv("ZOVREL_FAIL_WRITES") ? std::getenv("ZOVREL_FAIL_WRITES") : "");
        for (std::string n; std::getline(writes, n, ',');) {
            failWrites_.insert(std::stoul(n));
        }
        logLatchedFrames(*this);
    }

protected:
    void open() override {
        if (failOpens_ > 0) {
            --failOpens_;
            throw PortError("the test port would not open.", PortError::Remedy::CheckTheAdapter);
        }
        if (held_) {
            throw PortError("the test port was opened again while still held.",
                            PortError::Remedy::CheckTheAdapter);
        }
        held_ = true;
        std::fputs("flaky-scpi: the test port opened\n", stderr);
    }
    void release() override { held_ = false; }
    void put(std::uint16_t address, std::uint16_t word) override {
        if (failWrites_.count(writes_++)) {
            throw PortError("the test port failed.", PortError::Remedy::CheckTheAdapter);
        }
        SimulatedBoard::put(address, word);
    }

private:
    int failOpens_ = 0;
    bool held_ = false;
    std::set<unsigned long> failWrites_;
    unsigned long writes_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    return endAs(runScpi(argc, argv, std::make_shared<FlakyBoard>()));
}

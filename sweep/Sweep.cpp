#include "sweep/Sweep.h"

#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "port/MessageText.h"
#include "port/UniqueFd.h"
#include "setup/FailureText.h"
#include "setup/PortStack.h"
#include "setup/StandardStreams.h"
#include "setup/StopSignals.h"
#include "sweep/Meter.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

// The run ended early: the message is said, the rows so far are kept.
struct Ended {
    int status;
    std::string why; // empty for a stop signal
};

std::string csvRow(const Row& row) {
    char text[160];
    const auto optional = [](double value, const char* format, char* into, std::size_t size) {
        if (std::isnan(value)) {
            into[0] = '\0';
        } else {
            std::snprintf(into, size, format, value);
        }
    };
    char spread[32];
    char dnl[32];
    optional(row.spread, "%.6g", spread, sizeof spread);
    optional(row.dnl, "%.4f", dnl, sizeof dnl);
    std::snprintf(text, sizeof text, "%d,%.6f,%s,%.4f,%s\n", row.code, row.ohms, spread, row.inl,
                  dnl);
    return text;
}

class Sweeper {
public:
    Sweeper(const SweepOptions& options, Meter& meter, StopSignals& stops, int csv)
        : options_(options), meter_(meter), stops_(stops), csv_(csv),
          progress_(::isatty(STDERR_FILENO) == 1) {}

    std::vector<Row> rows;
    EndPoints ends;
    bool endsRead = false;

    void run() {
        ends.firstCode = options_.first;
        ends.lastCode = options_.last;
        meter_.send(options_.configure);
        ends.lastOhms = measure(options_.last);
        ends.firstOhms = measure(options_.first);
        if (ends.lastOhms == ends.firstOhms) {
            throw Ended{1, meter_.name() + " read " + std::to_string(ends.firstOhms) +
                               " ohms at both codes " + std::to_string(options_.first) + " and " +
                               std::to_string(options_.last) +
                               ": the wiper does not move the reading (is it wired to the meter?)"};
        }
        endsRead = true;
        const int direction = options_.last > options_.first ? 1 : -1;
        const int count = (std::abs(options_.last - options_.first)) / options_.step + 1;
        const auto began = Clock::now();
        for (int i = 0; i < count; ++i) {
            const int code = options_.first + direction * i * options_.step;
            const double ohms = measure(code, &readings_);
            (void)ohms;
            rows.push_back(makeRow(code, readings_, ends, rows.empty() ? nullptr : &rows.back()));
            if (csv_ >= 0 && !writeWhole(csv_, csvRow(rows.back()))) {
                throw Ended{1, "the CSV file could not be written: " + errorText(errno) +
                                   "; it keeps the rows before code " + std::to_string(code)};
            }
            showProgress(i + 1, count, began);
        }
        clearProgress();
        const std::string errors = meter_.query("SYST:ERR?");
        if (errors.empty() || (errors[0] != '0' && errors.rfind("+0", 0) != 0)) {
            throw Ended{1, meter_.name() + " reported an error after the sweep: " +
                               printable(errors.substr(0, 200))};
        }
    }

    void clearProgress() {
        if (progress_ && shown_) {
            writeWhole(STDERR_FILENO, "\r\033[K");
            shown_ = false;
        }
    }

private:
    // One frame, the settle time, then the readings; their mean.
    // A stop is looked for once a code, in the settle wait, never inside a frame.
    double measure(int code, std::vector<double>* kept = nullptr) {
        Module1::Data_Byte = code;
        try {
            Read_Write_Bits_to_Parallel_Port();
        } catch (const std::exception& e) {
            throw Ended{1, "frame for code " + std::to_string(code) +
                               " failed: " + failureText(e, Program::Sweep)};
        }
        if (!stops_.wait(-1, Clock::now() + std::chrono::milliseconds(options_.settleMs))) {
            throw Ended{stopStatus(stops_.taken()), {}};
        }
        std::vector<double> readings;
        for (int n = 0; n < options_.readings; ++n) {
            std::string reply;
            try {
                reply = meter_.query(options_.read);
            } catch (const MeterError& e) {
                if (stops_.wasTaken()) {
                    throw Ended{stopStatus(stops_.taken()), {}};
                }
                throw Ended{1, std::string(e.what()) + " at code " + std::to_string(code)};
            }
            std::string why;
            const auto value = readingOf(reply, why);
            if (!value) {
                throw Ended{1, meter_.name() + " " + why + " at code " + std::to_string(code)};
            }
            readings.push_back(*value);
        }
        double sum = 0;
        for (const double r : readings) {
            sum += r;
        }
        if (kept) {
            *kept = readings;
        }
        return sum / static_cast<double>(readings.size());
    }

    void showProgress(int done, int count, Clock::time_point began) {
        if (!progress_) {
            return;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
        const double left = elapsed / done * (count - done);
        char text[160];
        std::snprintf(text, sizeof text,
                      "\r\033[K%d of %d codes, code %d: %.2f ohms, about %.0f s left", done, count,
                      rows.back().code, rows.back().ohms, left);
        writeWhole(STDERR_FILENO, text);
        shown_ = true;
    }

    const SweepOptions& options_;
    Meter& meter_;
    StopSignals& stops_;
    int csv_;
    bool progress_;
    bool shown_ = false;
    std::vector<double> readings_;
};

} // namespace

int runSweep(int argc, char** argv, const Plotter& plot) {
    guardStandardStreams();
    CommandLine line = readCommandLine(std::vector<std::string>(argv, argv + argc), Program::Sweep);
    if (line.outcome != CommandLine::Outcome::Run) {
        writeWhole(line.outcome == CommandLine::Outcome::Misuse ? STDERR_FILENO : STDOUT_FILENO,
                   line.text);
        return line.exitStatus;
    }
    const SweepOptions& options = line.options.sweep;
    const auto say = [](const std::string& text) { ::say(Program::Sweep, text); };
    if (!isMeterResource(options.meter)) {
        writeWhole(STDERR_FILENO,
                   misuse(Program::Sweep, "--meter takes sim, TCPIP::HOST::INSTR, "
                                          "TCPIP::HOST::PORT::SOCKET or /dev/usbtmcN, not '" +
                                              options.meter + "'")
                       .text);
        return misuseExitStatus;
    }
    StopSignals stops;
    // The simulated meter reads the chip: on a real port, a shadow of it fed
    // with every word that reached the port.
    if (options.meter == "sim" && line.options.port != "sim") {
        line.options.monitor = true;
    }
    UniqueFd csv;
    if (!options.csv.empty()) {
        csv = UniqueFd(::open(options.csv.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!csv) {
            say("the CSV file '" + printable(options.csv) +
                "' cannot be written: " + errorText(errno));
            return misuseExitStatus;
        }
        writeWhole(csv.get(), "code,ohms,spread_ohms,inl_lsb,dnl_lsb\n");
    }
    if (!options.plot.empty()) {
        const auto folder = std::filesystem::path(options.plot).parent_path();
        if (::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) {
            say("the plot '" + printable(options.plot) +
                "' cannot be written: " + errorText(errno));
            return misuseExitStatus;
        }
    }
    PortStack stack;
    try {
        stack = buildPortStack(line.options, Program::Sweep);
    } catch (const TraceError& e) {
        say(e.what());
        return misuseExitStatus;
    }
    stack.install();

    int status = 0;
    std::unique_ptr<Meter> meter;
    try {
        meter = openMeter(options.meter, options.timeoutMs, stops, stack.board);
    } catch (const MeterError& e) {
        say(e.what());
        status = 1;
    }
    std::optional<Sweeper> sweeper;
    if (meter) {
        sweeper.emplace(options, *meter, stops, csv.get());
        try {
            sweeper->run();
        } catch (const Ended& ended) {
            sweeper->clearProgress();
            if (!ended.why.empty()) {
                say(ended.why);
            }
            status = ended.status;
        } catch (const MeterError& e) {
            sweeper->clearProgress();
            say(e.what());
            status = 1;
        }
    }
    if (sweeper && sweeper->endsRead) {
        const Summary summary = summarize(sweeper->rows, sweeper->ends);
        writeWhole(STDOUT_FILENO, summary.text());
        if (!options.plot.empty() && !sweeper->rows.empty()) {
            if (const auto failure = plot(sweeper->rows, summary, options.plot)) {
                say(*failure);
                status = status == 0 ? 1 : status;
            }
        }
    }
    if (const auto traceFailure = stack.finish()) {
        say(*traceFailure);
        status = status == 0 ? 1 : status;
    }
    return status;
}

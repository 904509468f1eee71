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
#include "sweep/Record.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// The run ended early: the message is said, the rows so far are kept.
struct Ended {
    int status;
    std::string why; // empty for a stop signal
};

// A line on standard error that says how far the sweep is, kept on the
// terminal's last line: whatever else is written there (the simulated
// board's frame log on the same terminal) is written above it.
class Progress {
public:
    Progress() : shown_(::isatty(STDERR_FILENO) == 1) {}

    void show(std::string text) {
        if (shown_) {
            line_ = std::move(text);
            writeWhole(STDERR_FILENO, "\r\033[K" + line_);
        }
    }
    // Writes a line of output above the progress line.
    void aside(int fd, std::string_view text) {
        if (shown_ && !line_.empty()) {
            writeWhole(STDERR_FILENO, "\r\033[K");
        }
        writeWhole(fd, text);
        if (shown_ && !line_.empty()) {
            writeWhole(STDERR_FILENO, line_);
        }
    }
    void clear() {
        if (shown_ && !line_.empty()) {
            writeWhole(STDERR_FILENO, "\r\033[K");
            line_.clear();
        }
    }

private:
    bool shown_;
    std::string line_;
};

class Sweeper {
public:
    Sweeper(const SweepOptions& options, Meter& meter, StopSignals& stops, int csv,
            Progress& progress)
        : options_(options), meter_(meter), stops_(stops), csv_(csv), progress_(progress) {}

    std::vector<Row> rows;
    EndPoints ends;
    bool endsRead = false;

    void run(RecordHeader header) {
        ends.firstCode = options_.first;
        ends.lastCode = options_.last;
        // An error an earlier session left in the meter's queue is not this sweep's.
        meter_.send("*CLS");
        meter_.send(options_.configure);
        header.identity = meter_.query("*IDN?");
        write(headerLines(header), options_.first);
        progress_.show("reading the end points: code " + std::to_string(options_.last));
        ends.lastOhms = mean(measure(options_.last));
        progress_.show("reading the end points: code " + std::to_string(options_.first));
        ends.firstOhms = mean(measure(options_.first));
        if (!ends.moves()) {
            throw Ended{1, meter_.name() + " read " + std::to_string(ends.firstOhms) +
                               " ohms at both codes " + std::to_string(options_.first) + " and " +
                               std::to_string(options_.last) +
                               ": the wiper does not move the reading (is it wired to the meter?)"};
        }
        endsRead = true;
        write(endPointsLine(ends) + columnsLine, options_.first);
        std::vector<int> codes;
        const int direction = options_.last > options_.first ? 1 : -1;
        for (int i = 0; i <= std::abs(options_.last - options_.first) / options_.step; ++i) {
            codes.push_back(options_.first + direction * i * options_.step);
        }
        total_ = static_cast<int>(codes.size()) * options_.repeat * (options_.bothWays ? 2 : 1);
        began_ = Clock::now();
        for (int sweep = 1; sweep <= options_.repeat; ++sweep) {
            measurePass(codes, sweep, direction < 0);
            if (options_.bothWays) {
                measurePass({codes.rbegin(), codes.rend()}, sweep, direction > 0);
            }
        }
        progress_.clear();
        const std::string errors = meter_.query("SYST:ERR?");
        if (!noError(errors)) {
            throw Ended{1, meter_.name() + " reported an error after the sweep: " +
                               printable(errors.substr(0, 200))};
        }
    }

private:
    // One pass over codes. A row's DNL needs the code below it: going up it
    // is known at once, going down only once the next code is read, so a row
    // measured on the way down is kept back until then.
    void measurePass(const std::vector<int>& codes, int sweep, bool down) {
        std::optional<Row> held; // measured going down, waiting for the code below it
        try {
            for (const int code : codes) {
                Row row = makeRow(code, measure(code), ends);
                row.sweep = sweep;
                row.down = down;
                showProgress(row);
                if (!down) {
                    if (!rows.empty() && rows.back().sweep == sweep && !rows.back().down &&
                        rows.back().code < code) {
                        row.dnl = dnlBetween(rows.back(), row, ends);
                        row.below = rows.back().code;
                    }
                    keep(row);
                    continue;
                }
                std::optional<Row> done = std::exchange(held, row);
                if (done) {
                    done->dnl = dnlBetween(row, *done, ends);
                    done->below = row.code;
                    keep(*done);
                }
            }
        } catch (...) {
            if (held) {
                try {
                    keep(*held); // measured whole: kept, its DNL not known
                } catch (...) {
                    // the failure being told already says the CSV could not be written
                }
            }
            throw;
        }
        if (held) {
            keep(*held);
        }
    }

    // Into the CSV first: a row the file could not take is not counted either.
    void keep(const Row& row) {
        write(csvRow(row), row.code);
        rows.push_back(row);
    }

    void write(const std::string& text, int code) {
        if (csv_ >= 0 && !writeWhole(csv_, text)) {
            throw Ended{1, "the CSV file could not be written: " + errorText(errno) +
                               "; it keeps the rows before code " + std::to_string(code)};
        }
    }

    static double mean(const std::vector<double>& readings) {
        double sum = 0;
        for (const double r : readings) {
            sum += r;
        }
        return sum / static_cast<double>(readings.size());
    }

    // One frame, the settle time, then the readings.
    // A stop is looked for once a code, in the settle wait, never inside a frame.
    std::vector<double> measure(int code) {
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
        return readings;
    }

    void showProgress(const Row& row) {
        ++done_;
        const double elapsed = std::chrono::duration<double>(Clock::now() - began_).count();
        const std::string pass =
            options_.repeat > 1 || options_.bothWays
                ? "sweep " + std::to_string(row.sweep) + (row.down ? " down, " : " up, ")
                : std::string();
        char text[200];
        std::snprintf(text, sizeof text, "%s%d of %d codes, code %d: %.2f ohms, about %.0f s left",
                      pass.c_str(), done_, total_, row.code, row.ohms,
                      elapsed / done_ * (total_ - done_));
        progress_.show(text);
    }

    const SweepOptions& options_;
    Meter& meter_;
    StopSignals& stops_;
    int csv_;
    Progress& progress_;
    int total_ = 0;
    int done_ = 0;
    Clock::time_point began_;
};

// The summary, its limits judged, and the plot; the status the figures give:
// 3 when the chip was measured but is outside a limit.
int report(const std::vector<Row>& rows, const EndPoints& ends, const SweepOptions& options,
           int step, const Plotter& plot, int status) {
    Summary summary = summarize(rows, ends, step, options.limits);
    summary.incomplete = status != 0;
    writeWhole(STDOUT_FILENO, summary.text());
    if (!options.plot.empty() && !rows.empty()) {
        if (const auto failure = plot(rows, summary, options.plot)) {
            ::say(Program::Sweep, *failure);
            status = status == 0 ? 1 : status;
        }
    }
    return status == 0 && !summary.limitsMet() ? limitsExitStatus : status;
}

// --from-csv: a saved sweep analysed again, with no board and no meter.
int reanalyse(const SweepOptions& options, const Plotter& plot) {
    std::ifstream in(options.fromCsv);
    if (!in) {
        ::say(Program::Sweep, "the CSV file '" + printable(options.fromCsv) +
                                  "' cannot be read: " + errorText(errno));
        return 1;
    }
    std::string why;
    const auto saved = readRecord(in, why);
    if (!saved) {
        ::say(Program::Sweep, inQuotes(options.fromCsv) + " cannot be analysed: " + why);
        return 1;
    }
    return report(saved->rows, saved->ends, options, saved->step, plot, 0);
}

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
    if (!options.plot.empty()) {
        const auto folder = std::filesystem::path(options.plot).parent_path();
        if (::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) {
            say("the plot '" + printable(options.plot) +
                "' cannot be written: " + errorText(errno));
            return misuseExitStatus;
        }
    }
    if (!options.fromCsv.empty()) {
        return reanalyse(options, plot);
    }
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
    }
    Progress progress;
    PortStack stack;
    try {
        stack = buildPortStack(
            line.options, Program::Sweep, nullptr,
            [&progress](std::string_view logged) { progress.aside(STDOUT_FILENO, logged); });
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
        status = stops.wasTaken() ? stopStatus(stops.taken()) : 1;
        if (!stops.wasTaken()) {
            say(e.what());
        }
    }
    std::optional<Sweeper> sweeper;
    if (meter) {
        sweeper.emplace(options, *meter, stops, csv.get(), progress);
        try {
            sweeper->run({ZOVREL_VERSION,
                          std::vector<std::string>(argv, argv + argc),
                          line.options.port,
                          options.meter,
                          {},
                          options});
        } catch (const Ended& ended) {
            progress.clear();
            if (!ended.why.empty()) {
                say(ended.why);
            }
            status = ended.status;
        } catch (const MeterError& e) {
            progress.clear();
            status = stops.wasTaken() ? stopStatus(stops.taken()) : 1;
            if (!stops.wasTaken()) {
                say(e.what());
            }
        }
    }
    if (sweeper && sweeper->endsRead) {
        status = report(sweeper->rows, sweeper->ends, options, options.step, plot, status);
    }
    if (const auto traceFailure = stack.finish()) {
        say(*traceFailure);
        status = status == 0 ? 1 : status;
    }
    return status;
}

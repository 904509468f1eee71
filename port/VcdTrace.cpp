#include "port/VcdTrace.h"

#include "port/PortFault.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr std::size_t Flush_Size = 60 * 1024;
// The closing timestamp comes this long after the last word.
constexpr std::uint64_t Closing_Gap_Ns = 1000;

constexpr char Line_Id(int line) {
    return static_cast<char>('!' + line);
}

void Append_Number(std::string& out, std::uint64_t value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        out += digits[--n];
    }
}

std::string Header(const std::string& producer) {
    char date[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc)) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &utc);
    }
    std::string header;
    header += "$date\n   " + std::string(date) + "\n$end\n";
    header += "$version\n   " + producer + "\n$end\n";
    header += "$comment\n   data lines of the parallel port at 0x378: D0 serial data, D1 clock, "
              "D2 select (active low)\n$end\n";
    header += "$timescale 1 ns $end\n$scope module parport $end\n";
    for (int line = 0; line < 8; ++line) {
        header += "$var wire 1 ";
        header += Line_Id(line);
        header += " D" + std::to_string(line) + " $end\n";
    }
    header += "$upscope $end\n$enddefinitions $end\n";
    return header;
}

} // namespace

std::unique_ptr<Vcd_Trace> Vcd_Trace::Create(const std::filesystem::path& path,
                                             const std::string& producer) {
    const std::string shown = "the trace file '" + path.string() + "'";
    if (path.empty()) {
        throw Trace_Error("no trace file was named");
    }
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        throw Trace_Error("cannot write " + shown + ": it exists and is not a regular file");
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        throw Trace_Error("cannot write " + shown + ": " + Error_Text(errno));
    }
    std::unique_ptr<Vcd_Trace> trace(new Vcd_Trace(fd, path, producer));
    trace->Flush();
    if (trace->failed_) {
        throw Trace_Error("cannot write " + shown + ": " + Error_Text(errno));
    }
    return trace;
}

Vcd_Trace::Vcd_Trace(int fd, std::filesystem::path path, const std::string& producer)
    : fd_(fd), path_(std::move(path)), buffer_(Header(producer)) {
    buffer_.reserve(Flush_Size + 1024);
}

Vcd_Trace::~Vcd_Trace() {
    try {
        close();
    } catch (const Trace_Error&) {
        // Whoever wanted to know has called close() already.
    }
}

void Vcd_Trace::record(std::uint16_t word) {
    const auto now = std::chrono::steady_clock::now();
    if (words_ == 0) {
        first_word_ = now;
    }
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(now - first_word_);
    record_at(static_cast<std::uint64_t>(since.count()), word);
}

void Vcd_Trace::record_at(std::uint64_t nanoseconds, std::uint16_t word) {
    if (fd_ < 0) {
        throw Trace_Error("the trace file '" + path_.string() + "' is already closed");
    }
    const std::uint16_t lines = word & 0xFF;
    if (words_ == 0) {
        last_time_ = nanoseconds;
        buffer_ += '#';
        Append_Number(buffer_, nanoseconds);
        buffer_ += "\n$dumpvars\n";
        for (int line = 0; line < 8; ++line) {
            buffer_ += static_cast<char>('0' + ((lines >> line) & 1));
            buffer_ += Line_Id(line);
            buffer_ += '\n';
        }
        buffer_ += "$end\n";
    } else {
        last_time_ = nanoseconds > last_time_ ? nanoseconds : last_time_ + 1;
        buffer_ += '#';
        Append_Number(buffer_, last_time_);
        buffer_ += '\n';
        const std::uint16_t changed = lines ^ lines_;
        for (int line = 0; line < 8; ++line) {
            if ((changed >> line) & 1) {
                buffer_ += static_cast<char>('0' + ((lines >> line) & 1));
                buffer_ += Line_Id(line);
                buffer_ += '\n';
            }
        }
    }
    lines_ = lines;
    ++words_;
    if (buffer_.size() >= Flush_Size) {
        Flush();
        if (failed_) {
            throw Trace_Error("the trace file '" + path_.string() +
                              "' could not be written: " + Error_Text(errno));
        }
    }
}

void Vcd_Trace::Flush() {
    std::size_t done = 0;
    while (!failed_ && done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed_ = true;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
}

void Vcd_Trace::close() {
    if (fd_ < 0) {
        return;
    }
    if (words_ > 0) {
        buffer_ += '#';
        Append_Number(buffer_, last_time_ + Closing_Gap_Ns);
        buffer_ += '\n';
    }
    Flush();
    int error = failed_ ? errno : 0;
    if (::close(fd_) != 0 && error == 0) {
        error = errno;
        failed_ = true;
    }
    fd_ = -1;
    if (failed_) {
        throw Trace_Error("the trace file '" + path_.string() +
                          "' could not be written completely: " + Error_Text(error));
    }
}

#include "watch/VcdTrace.h"

#include "port/PortFault.h"
#include "port/PortWords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>

namespace {

constexpr std::size_t flushSize = 60 * 1024;
// The closing timestamp comes this long after the last word.
constexpr std::uint64_t closingGapNs = 1000;

constexpr char lineId(int line) {
    return static_cast<char>('!' + line);
}

void appendNumber(std::string& out, std::uint64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string vcdHeader(const std::string& producer) {
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
        header += lineId(line);
        header += " D" + std::to_string(line) + " $end\n";
    }
    header += "$upscope $end\n$enddefinitions $end\n";
    return header;
}

} // namespace

void VcdTrace::check(const std::filesystem::path& path) {
    const std::string shown = "the trace file '" + printable(path.string()) + "'";
    if (path.empty()) {
        throw TraceError("no trace file was named");
    }
    struct stat existing {};
    int error = 0;
    if (::stat(path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            throw TraceError("cannot write " + shown + ": it exists and is not a regular file");
        }
        error = ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
    } else if (errno != ENOENT) {
        error = errno;
    } else {
        // A new file: its folder must exist and take it.
        const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
        error = ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
    }
    if (error != 0) {
        throw TraceError("cannot write " + shown + ": " + errorText(error));
    }
}

std::unique_ptr<VcdTrace> VcdTrace::create(const std::filesystem::path& path,
                                           const std::string& producer) {
    check(path);
    const std::string shown = "the trace file '" + printable(path.string()) + "'";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
    if (!fd) {
        throw TraceError("cannot write " + shown + ": " + errorText(errno));
    }
    std::unique_ptr<VcdTrace> trace(new VcdTrace(std::move(fd), path, producer));
    if (!trace->flush()) {
        throw TraceError("cannot write " + shown + ": " + errorText(trace->error_));
    }
    return trace;
}

VcdTrace::VcdTrace(UniqueFd fd, std::filesystem::path path, const std::string& producer)
    : fd_(std::move(fd)), path_(std::move(path)), buffer_(vcdHeader(producer)) {
    buffer_.reserve(flushSize + 1024);
}

VcdTrace::~VcdTrace() {
    try {
        close();
    } catch (const TraceError&) {
        // Whoever wanted to know has called close() already.
    }
}

void VcdTrace::record(std::uint16_t word) {
    const auto now = std::chrono::steady_clock::now();
    if (words_ == 0) {
        firstWord_ = now;
    }
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(now - firstWord_);
    recordAt(static_cast<std::uint64_t>(since.count()), word);
}

void VcdTrace::recordAt(std::uint64_t nanoseconds, std::uint16_t word) {
    if (!fd_) {
        throw TraceError("the trace file '" + printable(path_.string()) + "' is already closed");
    }
    const std::uint16_t lines = word & 0xFF;
    if (words_ == 0) {
        lastTime_ = nanoseconds;
        buffer_ += '#';
        appendNumber(buffer_, nanoseconds);
        buffer_ += "\n$dumpvars\n";
        for (int line = 0; line < 8; ++line) {
            buffer_ += static_cast<char>('0' + ((lines >> line) & 1));
            buffer_ += lineId(line);
            buffer_ += '\n';
        }
        buffer_ += "$end\n";
    } else {
        lastTime_ = nanoseconds > lastTime_ ? nanoseconds : lastTime_ + 1;
        buffer_ += '#';
        appendNumber(buffer_, lastTime_);
        buffer_ += '\n';
        const std::uint16_t changed = lines ^ lines_;
        for (int line = 0; line < 8; ++line) {
            if ((changed >> line) & 1) {
                buffer_ += static_cast<char>('0' + ((lines >> line) & 1));
                buffer_ += lineId(line);
                buffer_ += '\n';
            }
        }
    }
    // A frame is in the file once its closing word, the rise of select, is:
    // a program that dies after it loses no more than the frame in flight.
    const bool frameEnds =
        (lines_ & PortWords::selectLine) == 0 && (lines & PortWords::selectLine) != 0;
    lines_ = lines;
    ++words_;
    if ((frameEnds || buffer_.size() >= flushSize) && !flush()) {
        throw TraceError("the trace file '" + printable(path_.string()) +
                         "' could not be written: " + errorText(error_));
    }
}

bool VcdTrace::flush() {
    std::size_t done = 0;
    while (error_ == 0 && done < buffer_.size()) {
        const ssize_t n = ::write(fd_.get(), buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return error_ == 0;
}

void VcdTrace::close() {
    if (!fd_) {
        return;
    }
    // A failure already thrown from recordAt was told; closing says it again never.
    const bool told = error_ != 0;
    if (!told && words_ > 0) {
        buffer_ += '#';
        appendNumber(buffer_, lastTime_ + closingGapNs);
        buffer_ += '\n';
    }
    if (!told) {
        flush();
    }
    if (fd_.reset() != 0 && error_ == 0) {
        error_ = errno;
    }
    if (error_ != 0 && !told) {
        throw TraceError("the trace file '" + printable(path_.string()) +
                         "' could not be written completely: " + errorText(error_));
    }
}

#include "watch/VcdTrace.h"

#include "port/MessageText.h"
#include "port/PortWords.h"

#include <fcntl.h>
#include <sys/file.h>
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

std::string shownPath(const std::filesystem::path& path) {
    return "the trace file '" + printable(path.string()) + "'";
}

// Which of the program's own standard streams the file is, if any: writing a
// trace there would destroy the codes being read or garble what is printed.
const char* standardStreamOf(const struct stat& file) {
    const char* names[] = {"standard input", "standard output", "standard error"};
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat stream {};
        if (::fstat(fd, &stream) == 0 && stream.st_dev == file.st_dev &&
            stream.st_ino == file.st_ino) {
            return names[fd];
        }
    }
    return nullptr;
}

std::string frameCount(std::uint64_t count) {
    return count == 1 ? "1 whole frame" : std::to_string(count) + " whole frames";
}

} // namespace

void VcdTrace::check(const std::filesystem::path& path) {
    const std::string shown = shownPath(path);
    if (path.empty()) {
        throw TraceError("no trace file was named");
    }
    struct stat existing {};
    int error = 0;
    if (::stat(path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            throw TraceError("cannot write " + shown + ": it exists and is not a regular file");
        }
        if (const char* stream = standardStreamOf(existing)) {
            throw TraceError("cannot write " + shown + ": it is this program's " + stream);
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
    const std::string shown = shownPath(path);
    // An existing file is opened as it is and left so until the first word:
    // a run that writes nothing changes nothing.
    constexpr int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    bool created = true;
    UniqueFd fd(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666));
    if (!fd && errno == EEXIST) {
        created = false;
        fd = UniqueFd(::open(path.c_str(), flags));
    }
    if (!fd) {
        throw TraceError("cannot write " + shown + ": " + errorText(errno));
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        throw TraceError("cannot write " + shown + ": it exists and is not a regular file");
    }
    if (const char* stream = standardStreamOf(opened)) {
        throw TraceError("cannot write " + shown + ": it is this program's " + stream);
    }
    // Two runs on one trace would interleave their frames.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        throw TraceError("cannot write " + shown + ": another run is writing it");
    }
    return std::unique_ptr<VcdTrace>(new VcdTrace(std::move(fd), path, producer, created));
}

VcdTrace::VcdTrace(UniqueFd fd, std::filesystem::path path, const std::string& producer,
                   bool created)
    : fd_(std::move(fd)), path_(std::move(path)), buffer_(vcdHeader(producer)), created_(created) {
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
        throw TraceError(shownPath(path_) + " is already closed");
    }
    const std::uint16_t lines = word & 0xFF;
    if (words_ == 0) {
        // The first word replaces what the file held, header first.
        if (::ftruncate(fd_.get(), 0) != 0) {
            error_ = errno;
            fail();
        }
        if (!flush()) {
            fail();
        }
        wholeBytes_ = written_;
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
        words_ > 0 && (lines_ & PortWords::selectLine) == 0 && (lines & PortWords::selectLine) != 0;
    lines_ = lines;
    ++words_;
    if ((frameEnds || buffer_.size() >= flushSize) && !flush()) {
        fail();
    }
    if (frameEnds) {
        ++wholeFrames_;
        wholeBytes_ = written_;
    }
}

void VcdTrace::fail() {
    // Cut back to the last whole frame, so that what stays is a trace a tool can read.
    [[maybe_unused]] const int cut = ::ftruncate(fd_.get(), static_cast<off_t>(wholeBytes_));
    throw TraceError("frame " + std::to_string(wholeFrames_ + 1) + " reached the port, but " +
                     shownPath(path_) + " could not be written: " + errorText(error_) +
                     "; it keeps the " + frameCount(wholeFrames_) + " before it");
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
        written_ += static_cast<std::uint64_t>(n);
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
    // With no word written, a file that was there stays as it was; a new
    // one holds the header, a trace of nothing.
    if (!told && (words_ > 0 || created_)) {
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

#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The lines one client sends, cut from what arrives in pieces of any size:
// a line ends at a new line (a carriage return before it is dropped) or at
// the end of the input. A line longer than the limit is refused however it
// arrives, whole or in pieces: once it is known to be too long its bytes are
// passed over as they come, never held. Each byte is looked at once, and what
// is held never exceeds holdLimit plus the piece appended last.
class LineInput {
public:
    struct Line {
        std::string text;
        bool tooLong = false; // refused: text is empty
    };

    static constexpr std::size_t holdLimit = 64 * 1024;

    explicit LineInput(std::size_t lineLimit) : lineLimit_(lineLimit) {}

    // How much more may be appended now; nothing is read while this is 0.
    std::size_t room() const;
    void append(const char* data, std::size_t size);
    // The input has ended: what is left, if anything, is the last line.
    void end() { ended_ = true; }
    bool ended() const { return ended_; }
    // The next whole line, in order; nothing while none has arrived whole.
    std::optional<Line> next();
    // Drops what is held (a device clear).
    void clear();

private:
    std::size_t held() const { return buffer_.size() - start_; }
    Line cut(std::size_t end);

    std::size_t lineLimit_;
    std::string buffer_;
    std::size_t start_ = 0;    // where the next line begins
    std::size_t scanned_ = 0;  // no new line before this
    bool passingOver_ = false; // inside a refused line
    bool ended_ = false;
};

#include "instrument/LineInput.h"

std::size_t LineInput::room() const {
    return held() >= holdLimit ? 0 : holdLimit - held();
}

void LineInput::append(const char* data, std::size_t size) {
    // What was taken is dropped once it is half the buffer: each byte is
    // moved at most once more, so the work stays linear in the input.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
    }
    buffer_.append(data, size);
}

void LineInput::clear() {
    buffer_.clear();
    start_ = scanned_ = 0;
    passingOver_ = false;
}

LineInput::Line LineInput::cut(std::size_t end) {
    std::size_t length = end - start_;
    if (length > 0 && buffer_[end - 1] == '\r') {
        --length;
    }
    Line line;
    if (length > lineLimit_) {
        line.tooLong = true;
    } else {
        line.text.assign(buffer_, start_, length);
    }
    return line;
}

std::optional<LineInput::Line> LineInput::next() {
    for (;;) {
        const std::size_t newLine = buffer_.find('\n', scanned_);
        if (newLine == std::string::npos) {
            scanned_ = buffer_.size();
            if (passingOver_) {
                start_ = scanned_; // the refused line's bytes go as they come
                passingOver_ = !ended_;
                return std::nullopt;
            }
            if (held() > lineLimit_ + 1) {
                // Too long already, whatever follows: refused now, not held.
                start_ = scanned_;
                passingOver_ = !ended_;
                return Line{{}, true};
            }
            if (ended_ && held() > 0) {
                Line last = cut(buffer_.size());
                start_ = scanned_;
                return last;
            }
            return std::nullopt;
        }
        if (passingOver_) {
            passingOver_ = false;
            start_ = scanned_ = newLine + 1;
            continue;
        }
        Line line = cut(newLine);
        start_ = scanned_ = newLine + 1;
        return line;
    }
}

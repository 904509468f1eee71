#include "send/CodeReader.h"

#include <unistd.h>

#include <cerrno>

std::optional<int> readCode(std::string_view text) {
    if (text.empty() || text.size() > 3) {
        return std::nullopt;
    }
    int code = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        code = code * 10 + (c - '0');
    }
    if (code > 127) {
        return std::nullopt;
    }
    return code;
}

TokenReader::Status TokenReader::next(std::string& token) {
    for (;;) {
        while (begin_ < end_) {
            const char c = buffer_[begin_++];
            const bool space =
                c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
            if (!space) {
                if (!inToken_) {
                    inToken_ = true;
                    tokenLine_ = line_;
                    partial_.clear();
                }
                if (partial_.size() <= longestToken) {
                    partial_ += c;
                }
                continue;
            }
            if (c == '\n') {
                ++line_;
            }
            if (inToken_) {
                inToken_ = false;
                token = partial_;
                return Status::Token;
            }
        }
        if (atEnd_) {
            if (inToken_) {
                inToken_ = false;
                token = partial_;
                return Status::Token;
            }
            return Status::End;
        }
        if (!waitForInput_()) {
            return Status::Interrupted;
        }
        const ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
        if (n < 0) {
            return errno == EINTR ? Status::Interrupted : Status::Failed;
        }
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
        atEnd_ = n == 0;
    }
}

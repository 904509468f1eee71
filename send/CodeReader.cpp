#include "send/CodeReader.h"

#include "port/MessageText.h"

#include <unistd.h>

#include <cerrno>

std::optional<int> readCode(std::string_view text) {
    const auto code = readDecimal(text, 127);
    if (!code) {
        return std::nullopt;
    }
    return static_cast<int>(*code);
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
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            error_ = errno;
            return Status::Failed;
        }
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
        atEnd_ = n == 0;
    }
}

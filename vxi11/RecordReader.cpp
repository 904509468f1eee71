#include "vxi11/RecordReader.h"

#include <algorithm>

void RecordReader::append(const char* data, std::size_t size) {
    // What was taken is dropped once it is half the buffer, so that each
    // byte is moved a bounded number of times.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, size);
}

bool RecordReader::partial() const {
    return !whole_ && (markHeld_ > 0 || inFragment_ || fragments_ > 0);
}

RecordReader::Next RecordReader::next() {
    if (refusal_ != Next::None) {
        return refusal_;
    }
    if (whole_) {
        record_.clear();
        whole_ = false;
        fragments_ = 0;
    }
    while (held() > 0) {
        if (!inFragment_) {
            while (markHeld_ < 4 && held() > 0) {
                mark_[markHeld_++] = static_cast<unsigned char>(buffer_[start_++]);
            }
            if (markHeld_ < 4) {
                break;
            }
            markHeld_ = 0;
            const std::size_t length = (std::size_t(mark_[0] & 0x7F) << 24) |
                                       (std::size_t(mark_[1]) << 16) |
                                       (std::size_t(mark_[2]) << 8) | mark_[3];
            lastFragment_ = (mark_[0] & 0x80) != 0;
            if (++fragments_ > fragmentLimit_) {
                return refusal_ = Next::TooManyFragments;
            }
            if (length > recordLimit_ - record_.size()) {
                return refusal_ = Next::TooLong;
            }
            fragmentLeft_ = length;
            inFragment_ = true;
        }
        const std::size_t take = std::min(fragmentLeft_, held());
        record_.append(buffer_, start_, take);
        start_ += take;
        fragmentLeft_ -= take;
        if (fragmentLeft_ > 0) {
            break;
        }
        inFragment_ = false;
        if (lastFragment_) {
            whole_ = true;
            return Next::Record;
        }
    }
    return Next::None;
}

#pragma once

#include <cstddef>
#include <string>

// Cuts RPC records out of what a TCP client sends (record marking: each
// fragment is led by a four-byte mark holding its length, the top bit set on
// a record's last fragment). Each byte is looked at once and copied into
// the record it belongs to (what waits to be looked at is moved a bounded
// number of times as what was taken is dropped); a record is refused as soon as it is known
// to pass the record limit or the fragment limit (empty fragments count), so
// what is held never exceeds inputLimit plus the record limit.
class RecordReader {
public:
    static constexpr std::size_t inputLimit = 16 * 1024;

    enum class Next {
        None,             // no whole record yet
        Record,           // record() holds one, until next() is called again
        TooLong,          // the record passes the record limit
        TooManyFragments, // the record is cut into more fragments than allowed
    };

    RecordReader(std::size_t recordLimit, std::size_t fragmentLimit)
        : recordLimit_(recordLimit), fragmentLimit_(fragmentLimit) {}

    // How much more may be appended now; nothing is read while this is 0.
    std::size_t room() const { return held() < inputLimit ? inputLimit - held() : 0; }
    void append(const char* data, std::size_t size);
    // The next whole record, taking as much of what was appended as it needs.
    // A refusal is final: the stream cannot be followed past it.
    Next next();
    const std::string& record() const { return record_; }
    // Part of a record has arrived and the rest has not.
    bool partial() const;
    // Bytes appended and not yet taken into a record.
    std::size_t held() const { return buffer_.size() - start_; }

private:
    std::size_t recordLimit_;
    std::size_t fragmentLimit_;
    std::string buffer_;
    std::size_t start_ = 0;
    std::string record_;
    bool whole_ = false;         // record_ is a whole record, handed out
    unsigned char mark_[4] = {}; // the mark being read
    std::size_t markHeld_ = 0;
    std::size_t fragmentLeft_ = 0; // bytes of the current fragment still to come
    bool inFragment_ = false;
    bool lastFragment_ = false;
    std::size_t fragments_ = 0; // of the record being read
    Next refusal_ = Next::None;
};

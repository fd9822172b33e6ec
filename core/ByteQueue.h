// A queue of bytes on the C library's heap: appended at the back, taken from the front. The
// library uses no C++ container: those would bring the C++ runtime's exception support in for
// errors it can never report.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

class ByteQueue {
public:
    ByteQueue() = default;
    ~ByteQueue() { std::free(bytes_); }
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    size_t size() const { return end_ - begin_; }
    bool empty() const { return end_ == begin_; }
    const uint8_t* data() const { return bytes_ + begin_; }

    // False, with nothing appended, when no memory could be had.
    bool Append(const uint8_t* data, size_t length) {
        if (length == 0) return true;
        if (end_ + length > capacity_) {
            // Move what is kept to the front first; grow only when that is not room enough.
            if (begin_ != 0) {
                std::memmove(bytes_, bytes_ + begin_, size());
                end_ -= begin_;
                begin_ = 0;
            }
            if (end_ + length > capacity_) {
                size_t capacity = capacity_ == 0 ? 4096 : capacity_;
                while (capacity < end_ + length) capacity *= 2;
                auto* grown = static_cast<uint8_t*>(std::realloc(bytes_, capacity));
                if (grown == nullptr) return false;
                bytes_ = grown;
                capacity_ = capacity;
            }
        }
        std::memcpy(bytes_ + end_, data, length);
        end_ += length;
        return true;
    }

    // Forgets the first count bytes.
    void DropFront(size_t count) {
        begin_ += count < size() ? count : size();
        if (begin_ == end_) begin_ = end_ = 0;
    }

    // Keeps only the first count bytes.
    void KeepFront(size_t count) {
        if (count < size()) end_ = begin_ + count;
        if (begin_ == end_) begin_ = end_ = 0;
    }

    void Clear() { begin_ = end_ = 0; }

    // Gives the memory back (a port that is closed keeps nothing).
    void Release() {
        std::free(bytes_);
        bytes_ = nullptr;
        begin_ = end_ = capacity_ = 0;
    }

    void Swap(ByteQueue& other) {
        uint8_t* bytes = bytes_;
        const size_t begin = begin_, end = end_, capacity = capacity_;
        bytes_ = other.bytes_, begin_ = other.begin_, end_ = other.end_, capacity_ = other.capacity_;
        other.bytes_ = bytes, other.begin_ = begin, other.end_ = end, other.capacity_ = capacity;
    }

private:
    uint8_t* bytes_ = nullptr;
    size_t begin_ = 0;
    size_t end_ = 0;
    size_t capacity_ = 0;
};

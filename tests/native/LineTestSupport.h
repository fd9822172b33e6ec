// Shared by the line tests: how many rounds a race is tried, a scratch file standing for one of
// the JVM's own files, and the calls of a native made on a thread of its own.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "NativeTestSupport.h"
#include "prnsim/Bytes.h"

namespace prntest {

// Races are tried this many times ($PRN_ROUNDS, at least 1; 20 by default).
inline int Rounds() {
    const char* text = std::getenv("PRN_ROUNDS");
    const int rounds = text ? std::atoi(text) : 20;
    return rounds < 1 ? 1 : rounds;
}

// A file of "the JVM" opened right after a close: it gets the lowest free number, which is
// the one the close has just released.
class ScratchFile {
  public:
    explicit ScratchFile(const std::string& content = "") {
        char name[] = "/tmp/prn-scratch-XXXXXX";
        fd_ = mkostemp(name, O_CLOEXEC);
        path_ = name;
        if (!content.empty() && write(fd_, content.data(), content.size()) < 0) fd_ = -1;
        if (fd_ >= 0) lseek(fd_, 0, SEEK_SET);
    }
    ~ScratchFile() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    int fd() const { return fd_; }
    long size() const {
        struct stat info {};
        return fstat(fd_, &info) == 0 ? static_cast<long>(info.st_size) : -1;
    }
    long offset() const { return static_cast<long>(lseek(fd_, 0, SEEK_CUR)); }

  private:
    int fd_ = -1;
    std::string path_;
};

// A job no command of ours can hide in: printable bytes, different for every seed.
inline prnsim::Bytes Job(size_t size, unsigned seed) {
    prnsim::Bytes job(size);
    unsigned x = seed * 2654435761u + 1;
    for (uint8_t& b : job) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(0x20 + (x >> 16) % 0x5F);
    }
    return job;
}

inline int Size(const prnsim::Bytes& bytes) {
    return static_cast<int>(bytes.size());
}

// What a printer received with the library's own commands taken out (GS a, DLE EOT, GS ( H fn 48
// with its identifier, ESC p): the print data alone, in order. Job() bytes are printable, so
// none of them starts a command.
inline prnsim::Bytes PrintData(const prnsim::Bytes& received) {
    prnsim::Bytes data;
    for (size_t i = 0; i < received.size();) {
        const uint8_t b = received[i];
        const size_t left = received.size() - i;
        if (b == 0x1D && left >= 3 && received[i + 1] == 0x61) {
            i += 3;  // GS a n
        } else if (b == 0x10 && left >= 3 && received[i + 1] == 0x04) {
            i += 3;  // DLE EOT n
        } else if (b == 0x1D && left >= 11 && received[i + 1] == 0x28 && received[i + 2] == 0x48) {
            i += 11;  // GS ( H fn 48 d1 d2 d3 d4
        } else if (b == 0x1B && left >= 5 && received[i + 1] == 0x70) {
            i += 5;  // ESC p m t1 t2
        } else {
            data.push_back(b);
            ++i;
        }
    }
    return data;
}

}  // namespace prntest

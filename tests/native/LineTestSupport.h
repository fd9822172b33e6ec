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

}  // namespace prntest

// What every fuzz target shares: an input turned into a file the product can
// open by path (the parsers read files through the platform file layer), and a
// check that stops the run as a crash, so that a broken promise is kept as a
// finding just like a sanitizer report.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Aborts with a message when cond is false.
#define FUZZ_CHECK(cond)                                                                            \
    do {                                                                                            \
        if (!(cond)) {                                                                              \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);           \
            std::abort();                                                                           \
        }                                                                                           \
    } while (0)

// One in-memory file, reused by every run of a target: its contents are
// replaced by each input, and path() names it for fopen and stat.
class MemoryFile {
public:
    explicit MemoryFile(const char* name)
    {
        fd_ = memfd_create(name, 0);
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Makes the file hold exactly size bytes of data.
    void Set(const uint8_t* data, size_t size)
    {
        if (ftruncate(fd_, 0) != 0) {
            std::perror("ftruncate");
            std::abort();
        }
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) {
                std::perror("pwrite");
                std::abort();
            }
            done += static_cast<size_t>(n);
        }
    }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// Takes bytes off the front of an input: a selector byte, a 32-bit word.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte()
    {
        if (size_ == 0)
            return 0;
        --size_;
        return *data_++;
    }
    uint32_t Word()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | Byte();
        return value;
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace fuzz

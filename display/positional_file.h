// A file read at given offsets from any thread, never waiting for it to open: the system's side
// of a saved timeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class PositionalFile {
public:
    PositionalFile() = default;
    ~PositionalFile();
    PositionalFile(const PositionalFile&) = delete;
    PositionalFile& operator=(const PositionalFile&) = delete;

    // 0, or the system's errno (a folder is EISDIR). A FIFO without a writer does not hold the
    // caller; anything but a regular file opens with size 0.
    int open(const std::string& path);
    // The file's size when it was opened.
    uint64_t size() const { return size_; }
    // Its size now, which a writer may have cut since; false for anything but a regular file,
    // or when the system cannot tell.
    bool sizeNow(uint64_t& size) const;
    // Reads up to `length` bytes at `offset`: the count, 0 at the end, -1 with the errno in
    // `error`.
    int64_t readAt(uint64_t offset, char* buffer, size_t length, int& error) const;
    // Where the next data at or after `offset` begins, past a hole of a sparse file (size()
    // when only a hole follows); false when the system cannot tell.
    bool nextData(uint64_t offset, uint64_t& data) const;

private:
    void close();
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    uint64_t size_ = 0;
};

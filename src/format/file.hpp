// Positioned, buffered reading of one file (or memory, or a Source): reads past the end return
// fewer bytes, seeks past the end are allowed, a negative absolute position is an error. The
// fixed-width field readers fail with ErrorDetail::short_field, naming what they read (Reading).
#pragma once

#include "orvelio/orvelio.hpp"

#include <cstddef>
#include <exception>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "orvelio/orvelio.hpp"

namespace orvelio {

// Long reads are cut into pieces of this size; between them, and when a system call is
// interrupted by a signal, the interrupt check (the public header's) runs.
inline constexpr size_t kReadPiece = 4 << 20;

class File;

// What a Source's read_at threw, carried through the core (which catches only Error) to the
// Reader call, which throws it again as it was.
struct SourceFailure {
    std::exception_ptr error;
};

// For its scope, the fields a File reads belong to `what` (a literal) starting at `start`: a
// field cut short says "the parameter block at byte 1234 ends inside a 4-byte field".
class Reading {
  public:
    Reading(File &f, std::string_view what, int64_t start);
    ~Reading();
    Reading(const Reading &) = delete;
    Reading &operator=(const Reading &) = delete;

  private:
    File &f_;
    std::pair<std::string_view, int64_t> saved_;
};

class File {
  public:
    // Reads through an open descriptor, which the caller keeps and closes. Regular files are
    // read with pread; anything else (a pipe, a socket, a device, a file whose size the system
    // reports as 0, as /proc files do) is read from its current position into memory piece by
    // piece, as far as the reads ask, and to its end only when its size is asked for.
    static File from_fd(int fd);
    // The same, for a descriptor whose fstat the caller already has.
    static File from_fd(int fd, const struct stat &st);
    // Reads from memory the caller keeps alive.
    static File from_memory(std::span<const uint8_t> bytes);
    // Reads from a Source of `size` bytes that the caller keeps alive, by position.
    static File from_source(Source &source, uint64_t size);

    File(File &&) = default;
    File &operator=(File &&) = default;

    uint64_t size() const {
        if (stream_fd_ >= 0)
            fill(UINT64_MAX);
        return size_;
    }
    int64_t tell() const { return pos_; }
    // Bytes between the position and the end (0 when at or past the end).
    // How many of the n bytes from the position the file has: remaining() at most n, with a
    // stream read only as far as that.
    uint64_t have(uint64_t n) const;
    uint64_t remaining() const {
        const uint64_t n = size();
        return pos_ >= 0 && static_cast<uint64_t>(pos_) < n ? n - pos_ : 0;
    }

    void seek(int64_t pos);    // absolute; negative fails with ErrorDetail::bad_position

    // Up to n bytes from the position; the position moves by the bytes read.
    size_t read(void *dst, size_t n);
    std::string read_bytes(size_t n);
    std::string read_rest(); // everything up to the end

    // The bytes from the position on that are already in memory, for parsers that read many
    // small fields: the read-ahead window (loaded at the position first, as a small read would
    // load it, when it does not hold the position, or fewer than `want` bytes from it) or the
    // file's memory. Empty at or past the end, and for a stream. The parser moves on with skip().
    std::span<const uint8_t> window(size_t want = 1);
    void skip(size_t n) { pos_ += static_cast<int64_t>(n); }
    // How much a small read loads into the window (64 KiB unless set smaller): callers that
    // need only the header and the directory of a file read no more of it than that.
    void set_window(size_t bytes);

    // Up to n bytes at `off`, without moving the position or the read-ahead window: fewer only
    // past the size; a file or Source that ends before it fails with ErrorDetail::file_changed.
    size_t pread_at(void *dst, size_t n, uint64_t off);

    // Up to `count` 32-bit floats into dst; returns how many whole values were read.
    size_t read_floats(float *dst, size_t count);

    // What the file is read from, for readers that gather with system calls of their own:
    // the descriptor (-1 when reading from memory or a Source), else the memory (empty for a
    // Source: read it with pread_at).
    int fd() const { return fd_; }
    std::span<const uint8_t> memory() const {
        if (stream_fd_ >= 0)
            fill(UINT64_MAX);
        return mem_;
    }

    // What the fixed-width field readers are reading, for their error: "the parameter block"
    // starting at byte `start`. Set for a scope by Reading.
    struct Part {
        std::string_view what;
        int64_t start = -1;
    };
    const Part &part() const { return part_; }

    int16_t read_i16();
    int32_t read_i32();
    int64_t read_i64();
    float read_f32();
    double read_f64();

  private:
    File() = default;
    template <class T> T read_field();

    // A stream: reads on until it holds `end` bytes or ends.
    void fill(uint64_t end) const;

    int fd_ = -1;
    Source *source_ = nullptr;
    // What a stream has given so far (its descriptor is -1 once it has ended).
    mutable int stream_fd_ = -1;
    mutable std::span<const uint8_t> mem_;
    mutable std::vector<uint8_t> owned_;
    mutable uint64_t size_ = 0;
    int64_t pos_ = 0;
    // Read-ahead window for small reads.
    struct SpareWindow { // hands a window back to its thread's spare (see file.cpp)
        void operator()(uint8_t *window) const noexcept;
    };
    std::unique_ptr<uint8_t[], SpareWindow> buf_;
    Part part_;
    friend class Reading;
    uint64_t buf_start_ = 0;
    size_t buf_len_ = 0;
    size_t window_ = size_t{64} << 10;
};

} // namespace orvelio

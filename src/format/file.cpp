#include "file.hpp"

#include "error.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace orvelio {

namespace {
constexpr size_t kWindow = 64 * 1024;

// Each thread keeps the window of the last File it let go of, for the next File to take: a call
// on a small file would otherwise allocate and free a window each time (and freeing a block of
// that size makes the allocator merge all its small free blocks). 64 KiB a thread that reads.
thread_local struct Spare {
    uint8_t *window = nullptr;
    ~Spare() {
        delete[] window;
        window = nullptr;
    }
} spare;

uint8_t *take_window() {
    if (uint8_t *window = std::exchange(spare.window, nullptr))
        return window;
    return new uint8_t[kWindow];
}
// Set before the reads that run them (they read the context after the check).
std::atomic<InterruptCheck> g_interrupt_check{nullptr};
std::atomic<void *> g_interrupt_context{nullptr};
} // namespace

void set_interrupt_check(InterruptCheck check, void *context) noexcept {
    g_interrupt_context.store(context);
    g_interrupt_check.store(check);
}

void check_interrupt() {
    if (const InterruptCheck check = g_interrupt_check.load(); check && check(g_interrupt_context.load()))
        fail(ErrorDetail::interrupted, "the call was interrupted");
}

Reading::Reading(File &f, std::string_view what, int64_t start) : f_(f), saved_(f.part_.what, f.part_.start) {
    f.part_ = {what, start};
}
Reading::~Reading() { f_.part_ = {saved_.first, saved_.second}; }

File File::from_fd(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        fail_os(errno);
    return from_fd(fd, st);
}

File File::from_fd(int fd, const struct stat &st) {
    File f;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        f.fd_ = fd;
        f.size_ = static_cast<uint64_t>(st.st_size);
        return f;
    }
    // Not seekable by offset, or of no size the system knows: take what it gives as it is asked.
    f.stream_fd_ = fd;
    return f;
}

void File::SpareWindow::operator()(uint8_t *window) const noexcept {
    if (spare.window)
        delete[] window;
    else
        spare.window = window;
}

void File::set_window(size_t bytes) { window_ = std::clamp<size_t>(bytes, 1, kWindow); }

void File::fill(uint64_t end) const {
    // A stream is held in memory (its bytes cannot be read again): one larger than half the
    // memory of the machine could not be read, and is refused before it fills the memory.
    static const uint64_t most = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / 2;
    while (stream_fd_ >= 0 && owned_.size() < end) {
        const size_t old = owned_.size();
        if (old >= most)
            fail(ErrorDetail::no_memory, "the input is a stream larger than half the memory (" + std::to_string(old) +
                                             " bytes read so far), and a stream must be held in memory");
        const size_t want = static_cast<size_t>(std::clamp<uint64_t>(end - old, kWindow, kReadPiece));
        owned_.resize(old + want);
        ssize_t got = ::read(stream_fd_, owned_.data() + old, want);
        const int err = errno;
        owned_.resize(old + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        mem_ = owned_;
        size_ = owned_.size();
        if (got < 0 && err != EINTR)
            fail_os(err);
        if (got == 0)
            stream_fd_ = -1; // its end
        else
            check_interrupt(); // between pieces, and after a signal
    }
}

File File::from_memory(std::span<const uint8_t> bytes) {
    File f;
    f.mem_ = bytes;
    f.size_ = bytes.size();
    return f;
}

File File::from_source(Source &source, uint64_t size) {
    File f;
    f.source_ = &source;
    f.size_ = size;
    return f;
}

size_t File::pread_at(void *dst, size_t n, uint64_t off) {
    if (stream_fd_ >= 0)
        fill(off + std::min<uint64_t>(n, UINT64_MAX - off));
    if (off >= size_)
        return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - off));
    if (source_) {
        for (size_t done = 0; done < n;) {
            const size_t want = std::min(n - done, kReadPiece);
            size_t got;
            try {
                got = source_->read_at(static_cast<uint8_t *>(dst) + done, want, off + done);
            } catch (...) {
                throw SourceFailure{std::current_exception()};
            }
            if (got == 0 || got > want)
                fail_changed(); // it ends before the size it had
            done += got;
        }
        return n;
    }
    if (fd_ < 0) {
        std::memcpy(dst, mem_.data() + off, n);
        return n;
    }
    size_t done = 0;
    while (done < n) {
        if (done > 0)
            check_interrupt(); // between the pieces of a long read
        const size_t want = std::min(n - done, kReadPiece);
        ssize_t got = ::pread(fd_, static_cast<uint8_t *>(dst) + done, want, static_cast<off_t>(off + done));
        if (got < 0) {
            if (errno != EINTR)
                fail_os(errno);
            check_interrupt();
            continue;
        }
        if (got == 0)
            fail_changed(); // the file shrank since it was opened
        done += static_cast<size_t>(got);
    }
    return done;
}

void File::seek(int64_t pos) {
    if (pos < 0)
        fail_position(pos, "a position to read from");
    pos_ = pos;
}

size_t File::read(void *dst, size_t n) {
    if (n == 0 || pos_ < 0)
        return 0;
    if (stream_fd_ >= 0)
        fill(static_cast<uint64_t>(pos_) + std::min<uint64_t>(n, UINT64_MAX - static_cast<uint64_t>(pos_)));
    if (static_cast<uint64_t>(pos_) >= size_)
        return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - static_cast<uint64_t>(pos_)));
    const uint64_t pos = static_cast<uint64_t>(pos_);
    size_t got;
    if (pos >= buf_start_ && pos + n <= buf_start_ + buf_len_) {
        std::memcpy(dst, buf_.get() + (pos - buf_start_), n);
        got = n;
    } else if (n >= kWindow / 2 || (fd_ < 0 && !source_)) {
        got = pread_at(dst, n, pos);
    } else {
        if (!buf_)
            buf_.reset(take_window()); // filled by the read
        buf_start_ = pos;
        buf_len_ = 0;
        buf_len_ = pread_at(buf_.get(), std::max(window_, n), pos);
        got = std::min(n, buf_len_);
        std::memcpy(dst, buf_.get(), got);
    }
    pos_ += static_cast<int64_t>(got);
    return got;
}

std::span<const uint8_t> File::window(size_t want) {
    if (stream_fd_ >= 0 || pos_ < 0 || static_cast<uint64_t>(pos_) >= size_)
        return {};
    const uint64_t pos = static_cast<uint64_t>(pos_);
    if (fd_ < 0 && !source_)
        return mem_.subspan(static_cast<size_t>(pos));
    if (pos < buf_start_ || pos + std::min<uint64_t>(want, window_) > buf_start_ + buf_len_) {
        if (!buf_)
            buf_.reset(take_window()); // filled by the read
        buf_start_ = pos;
        buf_len_ = 0;
        buf_len_ = pread_at(buf_.get(), window_, pos);
    }
    return {buf_.get() + (pos - buf_start_), buf_len_ - static_cast<size_t>(pos - buf_start_)};
}

uint64_t File::have(uint64_t n) const {
    if (pos_ < 0)
        return 0;
    const uint64_t pos = static_cast<uint64_t>(pos_);
    if (stream_fd_ >= 0)
        fill(pos + std::min<uint64_t>(n, UINT64_MAX - pos));
    return pos < size_ ? std::min<uint64_t>(n, size_ - pos) : 0;
}

std::string File::read_bytes(size_t n) {
    std::string out(static_cast<size_t>(have(n)), '\0');
    out.resize(read(out.data(), out.size()));
    return out;
}

std::string File::read_rest() { return read_bytes(static_cast<size_t>(remaining())); }

size_t File::read_floats(float *dst, size_t count) {
    const uint64_t whole = have(std::min<uint64_t>(count, UINT64_MAX / 4) * 4) / 4;
    const size_t got = read(dst, static_cast<size_t>(whole) * 4) / 4;
    if (got < count)
        pos_ += static_cast<int64_t>(remaining()); // a trailing partial value is consumed too
    return got;
}

template <class T> T File::read_field() {
    T value;
    const int64_t at = pos_;
    if (read(&value, sizeof value) != sizeof value)
    {
        const std::optional<uint64_t> where = at >= 0 ? std::optional<uint64_t>(static_cast<uint64_t>(at)) : std::nullopt;
        if (part_.what.empty())
            fail_short(sizeof value, where);
        fail_with(ErrorDetail::short_field,
             std::string(part_.what) + " at byte " + std::to_string(part_.start) + " ends inside a " +
                 std::to_string(sizeof value) + "-byte field",
             {static_cast<int64_t>(sizeof value)}, where);
    }
    return value; // the format is little-endian, as is every supported platform
}

int16_t File::read_i16() { return read_field<int16_t>(); }
int32_t File::read_i32() { return read_field<int32_t>(); }
int64_t File::read_i64() { return read_field<int64_t>(); }
float File::read_f32() { return read_field<float>(); }
double File::read_f64() { return read_field<double>(); }

} // namespace orvelio

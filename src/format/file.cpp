#include "file.hpp"

#include "error.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace orvelio {

namespace {
constexpr size_t kWindow = 64 * 1024;
}

File File::from_fd(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        fail_os(errno);
    return from_fd(fd, st);
}

File File::from_fd(int fd, const struct stat &st) {
    File f;
    if (S_ISREG(st.st_mode)) {
        f.fd_ = fd;
        f.size_ = static_cast<uint64_t>(st.st_size);
        return f;
    }
    // Not seekable by offset: take what it gives until its end.
    std::vector<uint8_t> data;
    uint8_t chunk[kWindow];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail_os(errno);
        }
        if (got == 0)
            break;
        data.insert(data.end(), chunk, chunk + got);
    }
    f.owned_ = std::move(data);
    f.mem_ = f.owned_;
    f.size_ = f.owned_.size();
    return f;
}

File File::from_memory(std::span<const uint8_t> bytes) {
    File f;
    f.mem_ = bytes;
    f.size_ = bytes.size();
    return f;
}

size_t File::pread_at(void *dst, size_t n, uint64_t off) {
    if (off >= size_)
        return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - off));
    if (fd_ < 0) {
        std::memcpy(dst, mem_.data() + off, n);
        return n;
    }
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd_, static_cast<uint8_t *>(dst) + done, n - done, static_cast<off_t>(off + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail_os(errno);
        }
        if (got == 0)
            break; // the file shrank under us
        done += static_cast<size_t>(got);
    }
    return done;
}

void File::seek(int64_t pos) {
    if (pos < 0)
        fail_position();
    pos_ = pos;
}

size_t File::read(void *dst, size_t n) {
    if (n == 0 || pos_ < 0 || static_cast<uint64_t>(pos_) >= size_)
        return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - static_cast<uint64_t>(pos_)));
    const uint64_t pos = static_cast<uint64_t>(pos_);
    size_t got;
    if (pos >= buf_start_ && pos + n <= buf_start_ + buf_len_) {
        std::memcpy(dst, buf_.get() + (pos - buf_start_), n);
        got = n;
    } else if (n >= kWindow / 2 || fd_ < 0) {
        got = pread_at(dst, n, pos);
    } else {
        if (!buf_)
            buf_ = std::make_unique_for_overwrite<uint8_t[]>(kWindow); // filled by the read
        buf_start_ = pos;
        buf_len_ = pread_at(buf_.get(), kWindow, pos);
        got = std::min(n, buf_len_);
        std::memcpy(dst, buf_.get(), got);
    }
    pos_ += static_cast<int64_t>(got);
    return got;
}

std::string File::read_bytes(size_t n) {
    std::string out(static_cast<size_t>(std::min<uint64_t>(n, remaining())), '\0');
    out.resize(read(out.data(), out.size()));
    return out;
}

std::string File::read_rest() { return read_bytes(static_cast<size_t>(remaining())); }

size_t File::read_floats(float *dst, size_t count) {
    const uint64_t whole = std::min<uint64_t>(count, remaining() / 4);
    const size_t got = read(dst, static_cast<size_t>(whole) * 4) / 4;
    if (got < count)
        pos_ += static_cast<int64_t>(remaining()); // a trailing partial value is consumed too
    return got;
}

template <class T> T File::read_field() {
    T value;
    const int64_t at = pos_;
    if (read(&value, sizeof value) != sizeof value)
        fail_short(sizeof value, at >= 0 ? std::optional<uint64_t>(static_cast<uint64_t>(at)) : std::nullopt);
    return value; // the format is little-endian, as is every supported platform
}

int16_t File::read_i16() { return read_field<int16_t>(); }
int32_t File::read_i32() { return read_field<int32_t>(); }
int64_t File::read_i64() { return read_field<int64_t>(); }
float File::read_f32() { return read_field<float>(); }
double File::read_f64() { return read_field<double>(); }

} // namespace orvelio

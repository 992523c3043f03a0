#include "file.hpp"

#include "error.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <sys/uio.h>
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
        fail_os(EINVAL);
    pos_ = pos;
}

void File::skip(int64_t delta) {
    // A relative seek is an absolute one from the position; overflow cannot be represented.
    if ((delta > 0 && pos_ > INT64_MAX - delta) || (delta < 0 && pos_ < INT64_MIN - delta))
        fail(PyExc::OverflowError, "Python int too large to convert to C long");
    seek(pos_ + delta);
}

size_t File::read(void *dst, size_t n) {
    if (n == 0 || pos_ < 0 || static_cast<uint64_t>(pos_) >= size_)
        return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - static_cast<uint64_t>(pos_)));
    const uint64_t pos = static_cast<uint64_t>(pos_);
    size_t got;
    if (pos >= buf_start_ && pos + n <= buf_start_ + buf_len_) {
        std::memcpy(dst, buf_.data() + (pos - buf_start_), n);
        got = n;
    } else if (n >= kWindow / 2 || fd_ < 0) {
        got = pread_at(dst, n, pos);
    } else {
        buf_.resize(kWindow);
        buf_start_ = pos;
        buf_len_ = pread_at(buf_.data(), kWindow, pos);
        got = std::min(n, buf_len_);
        std::memcpy(dst, buf_.data(), got);
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

bool File::read_rows(const std::vector<int64_t> &offsets, float *dst, size_t count) {
    const size_t row_bytes = count * sizeof(float);
    for (int64_t off : offsets)
        if (off < 0 || static_cast<uint64_t>(off) > size_ || size_ - static_cast<uint64_t>(off) < row_bytes)
            return false;
    if (row_bytes == 0)
        return true;
    if (fd_ < 0) {
        for (size_t i = 0; i < offsets.size(); ++i)
            std::memcpy(reinterpret_cast<uint8_t *>(dst) + i * row_bytes, mem_.data() + offsets[i], row_bytes);
        return true;
    }
    // Runs of rows that lie at equal distances in the file are gathered with one preadv each:
    // the values land in place and the bytes between them in a scratch buffer.
    std::vector<uint8_t> gap;
    std::vector<iovec> iov;
    constexpr size_t kMaxIov = 1024;
    size_t i = 0;
    while (i < offsets.size()) {
        size_t j = i + 1;
        int64_t stride = 0;
        if (j < offsets.size()) {
            stride = offsets[j] - offsets[i];
            if (stride < static_cast<int64_t>(row_bytes))
                stride = 0;
        }
        if (stride > 0) {
            while (j < offsets.size() && offsets[j] - offsets[j - 1] == stride && (j - i) * 2 < kMaxIov)
                ++j;
        }
        const size_t gap_len = stride > 0 ? static_cast<size_t>(stride) - row_bytes : 0;
        if (gap.size() < gap_len)
            gap.resize(gap_len);
        iov.clear();
        for (size_t k = i; k < j; ++k) {
            iov.push_back({reinterpret_cast<uint8_t *>(dst) + k * row_bytes, row_bytes});
            if (k + 1 < j && gap_len > 0)
                iov.push_back({gap.data(), gap_len});
        }
        size_t want = (j - i) * row_bytes + (j - i - 1) * gap_len;
        uint64_t off = static_cast<uint64_t>(offsets[i]);
        size_t done = 0;
        size_t first = 0;
        while (done < want) {
            ssize_t got = ::preadv(fd_, iov.data() + first, static_cast<int>(iov.size() - first),
                                   static_cast<off_t>(off + done));
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                fail_os(errno);
            }
            if (got == 0)
                return false;
            done += static_cast<size_t>(got);
            // Step over the buffers already filled.
            size_t left = static_cast<size_t>(got);
            while (left > 0 && first < iov.size()) {
                if (left >= iov[first].iov_len) {
                    left -= iov[first].iov_len;
                    ++first;
                } else {
                    iov[first].iov_base = static_cast<uint8_t *>(iov[first].iov_base) + left;
                    iov[first].iov_len -= left;
                    left = 0;
                }
            }
        }
        i = j;
    }
    return true;
}

template <class T> T File::read_field() {
    T value;
    if (read(&value, sizeof value) != sizeof value)
        fail_short(sizeof value);
    return value; // the format is little-endian, as is every supported platform
}

int16_t File::read_i16() { return read_field<int16_t>(); }
int32_t File::read_i32() { return read_field<int32_t>(); }
int64_t File::read_i64() { return read_field<int64_t>(); }
float File::read_f32() { return read_field<float>(); }
double File::read_f64() { return read_field<double>(); }

} // namespace orvelio

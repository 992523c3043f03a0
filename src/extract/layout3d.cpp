#include "layout3d.hpp"

#include "format/error.hpp"
#include "format/pyops.hpp"
#include "format/text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __SSE2__
#include <xmmintrin.h>
#endif

namespace orvelio {

StoreTable read_store_table(File &f, int64_t offsetToData) {
    const Reading table(f, "the store table of the 3D data block", offsetToData);
    f.seek(offsetToData);
    StoreTable t;
    f.read_i32(); // version
    f.read_i32(); // stored blocks
    t.blockOffset = offsetToData + f.read_i32();
    t.blockSize = f.read_i32();
    t.infoSize = f.read_i32();
    const int32_t numberEntries = f.read_i32();
    // A table longer than the rest of the file fails at its first missing field, always one
    // 4-byte integer; nothing is reserved for entries that are not there.
    if (numberEntries > 0 && static_cast<uint64_t>(numberEntries) > f.have(uint64_t{8} * numberEntries) / 8)
        fail_with(ErrorDetail::short_field,
             "the store table of the 3D data block at byte " + std::to_string(offsetToData) + " lists " +
                 std::to_string(numberEntries) + " entries, more than the rest of the file holds",
             {int64_t{4}});
    t.entries.reserve(numberEntries > 0 ? static_cast<size_t>(numberEntries) : 0);
    for (int32_t i = 0; i < numberEntries; ++i) {
        const int32_t first = f.read_i32();
        const int32_t second = f.read_i32();
        t.entries.emplace_back(first, second);
    }
    return t;
}

int32_t read_info_size(File &f, int64_t offsetToData) {
    const Reading table(f, "the store table of the 3D data block", offsetToData);
    f.seek(offsetToData);
    for (int i = 0; i < 4; ++i)
        f.read_i32();
    return f.read_i32();
}

// ------------------------------------------------------------------ offset mapping

void OffsetMap::build_index() const {
    if (indexed_)
        return;
    indexed_ = true;
    dense_ = true;
    for (size_t i = 0; i < entries_.size() && dense_; ++i)
        dense_ = entries_[i].first - entries_[0].first == static_cast<int64_t>(i);
    if (dense_)
        return;
    where_.clear();
    where_.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i)
        where_.emplace(entries_[i].first, i);
}

void OffsetMap::set(int64_t index, int64_t offset) {
    build_index();
    if (dense_) { // set() keeps an index from now on
        dense_ = false;
        for (size_t i = 0; i < entries_.size(); ++i)
            where_.emplace(entries_[i].first, i);
    }
    auto [it, inserted] = where_.try_emplace(index, entries_.size());
    if (inserted)
        entries_.emplace_back(index, offset);
    else
        entries_[it->second].second = offset;
}

std::optional<size_t> OffsetMap::position(int64_t index) const {
    build_index();
    if (dense_) {
        if (entries_.empty() || index < entries_[0].first)
            return std::nullopt;
        const uint64_t k = static_cast<uint64_t>(index) - static_cast<uint64_t>(entries_[0].first);
        return k < entries_.size() ? std::optional<size_t>(static_cast<size_t>(k)) : std::nullopt;
    }
    auto it = where_.find(index);
    if (it == where_.end())
        return std::nullopt;
    return it->second;
}

std::vector<int64_t> OffsetMap::offsets() const {
    std::vector<int64_t> out;
    out.reserve(entries_.size());
    for (const Entry &e : entries_)
        out.push_back(e.second);
    return out;
}

namespace {


int64_t clamp64(Wide v) {
    constexpr int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
    return v < lo ? lo : v > hi ? hi : static_cast<int64_t>(v);
}

// Whether two range entries name a common index (then the mapping must merge repeats).
bool ranges_overlap(const std::vector<std::pair<int32_t, int32_t>> &entries) {
    std::vector<std::pair<int32_t, int32_t>> ranges;
    for (const auto &e : entries)
        if (e.first != -1 && e.second >= e.first)
            ranges.push_back(e);
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i].first <= ranges[i - 1].second)
            return true;
    return false;
}

} // namespace

OffsetMap read_offsets(File &f, int64_t offsetToData) {
    const StoreTable t = read_store_table(f, offsetToData);

    // Every sub-block holds at least one 4-byte value, so a table that assigns more than the
    // file could hold (a few bytes of table claiming billions of sub-blocks) describes no data.
    const uint64_t budget = f.size() / 4 + 4096;
    uint64_t assigned = 0;
    for (const auto &[first, second] : t.entries) {
        if (first == -1 || second < first)
            continue;
        assigned += static_cast<uint64_t>(int64_t{second} - first + 1);
        if (assigned > budget)
            fail(ErrorDetail::bad_value,
                 "Invalid 3D data block: its store table lists more sub-blocks than the file can hold");
    }

    // Offsets are summed without bound checks (skips may go backwards); a wide running sum
    // cannot overflow here.
    Wide offset = t.blockOffset;
    const Wide stride = Wide{t.blockSize} + t.infoSize;
    OffsetMap map;
    const bool repeats = ranges_overlap(t.entries);
    map.entries_.reserve(static_cast<size_t>(assigned));
    for (const auto &[first, second] : t.entries) {
        if (first == -1) {
            offset += second;
            continue;
        }
        for (int64_t n = first; n <= second; ++n) {
            if (repeats)
                map.set(n, clamp64(offset));
            else
                map.entries_.emplace_back(n, clamp64(offset));
            offset += stride;
        }
    }
    if (!repeats)
        map.indexed_ = false; // appended without the index: built when an index is looked up
    return map;
}

// ------------------------------------------------------------------ reading sub-blocks

namespace {

// offset + 4 * npt + delta, held at the int64 limit (a position past every file).
int64_t after_values(int64_t offset, size_t npt, int64_t delta) {
    return clamp64(Wide{offset} + Wide{4} * static_cast<Wide>(npt) + delta);
}

// Up to n bytes at `pos` (not below 0), without moving the file's position or its read-ahead
// window: one system call however far it lies from the last read.
size_t read_at(File &f, int64_t pos, void *dst, size_t n) { return f.pread_at(dst, n, static_cast<uint64_t>(pos)); }

// Pieces of a file (offset, length, destination) read with as few system calls as possible:
// pieces that follow each other closely go into one preadv, the bytes between them into a
// scratch buffer. Every piece must lie within the file.
class Gather {
  public:
    explicit Gather(File &f) : f_(f) {}

    // False when the file turned out shorter than checked (it shrank while being read).
    bool add(uint64_t off, size_t len, void *dst) {
        if (len == 0)
            return true;
        if (f_.fd() < 0) // memory or a Source
            return f_.pread_at(dst, len, off) == len;
        // One system call reads at most a piece, so that interrupt checks come between them.
        for (; len > kReadPiece; len -= kReadPiece, off += kReadPiece) {
            if (!add(off, kReadPiece, dst))
                return false;
            dst = static_cast<uint8_t *>(dst) + kReadPiece;
        }
        const bool joins = !iov_.empty() && off >= end_ && off - end_ <= kMaxGap && iov_.size() + 2 <= kMaxIov &&
                           off + len - start_ <= kReadPiece;
        if (!joins) {
            if (!flush())
                return false;
            start_ = off;
        } else if (off > end_) {
            if (!junk_)
                junk_ = std::make_unique_for_overwrite<uint8_t[]>(kMaxGap); // never read
            iov_.push_back({junk_.get(), static_cast<size_t>(off - end_)});
        }
        iov_.push_back({dst, len});
        end_ = off + len;
        return true;
    }

    bool flush() {
        size_t first = 0;
        uint64_t at = start_;
        // Interrupt checks after each piece's worth of bytes.
        if (!iov_.empty() && (unchecked_ += end_ - start_) >= kReadPiece) {
            unchecked_ = 0;
            check_interrupt();
        }
        while (first < iov_.size()) {
            const ssize_t got = ::preadv(f_.fd(), iov_.data() + first, static_cast<int>(iov_.size() - first),
                                         static_cast<off_t>(at));
            if (got < 0) {
                if (errno != EINTR)
                    fail_os(errno, "reading the values of the sub-blocks");
                check_interrupt();
                continue;
            }
            if (got == 0)
                fail_changed(); // the file shrank since it was opened
            at += static_cast<uint64_t>(got);
            // Step over the buffers filled.
            size_t left = static_cast<size_t>(got);
            while (left > 0 && first < iov_.size()) {
                iovec &v = iov_[first];
                if (left >= v.iov_len) {
                    left -= v.iov_len;
                    ++first;
                } else {
                    v.iov_base = static_cast<uint8_t *>(v.iov_base) + left;
                    v.iov_len -= left;
                    left = 0;
                }
            }
        }
        iov_.clear();
        return true;
    }

  private:
    static constexpr uint64_t kMaxGap = 64 * 1024;
    static constexpr size_t kMaxIov = 1024;

    File &f_;
    std::vector<iovec> iov_;
    std::unique_ptr<uint8_t[]> junk_; // the bytes between pieces read in one call
    uint64_t start_ = 0, end_ = 0;
    uint64_t unchecked_ = 0;
};

} // namespace

int64_t check_timed(const File &f, int64_t offset, size_t npt) {
    check_offset(offset);
    const size_t got = values_at(f, offset, npt);
    if (got < npt)
        fail_cut_short(got, npt, offset);
    const int64_t pos = after_values(offset, npt, kInfoTime);
    if (static_cast<uint64_t>(pos) >= f.size() || f.size() - static_cast<uint64_t>(pos) < sizeof(double))
        fail_with(ErrorDetail::short_field,
             "the time of the sub-block at byte " + std::to_string(offset) + " is cut short by the end of the file",
             {int64_t{sizeof(double)}}, static_cast<uint64_t>(pos));
    return pos;
}

namespace {

[[noreturn]] void fail_unequal(size_t first, size_t i, size_t got) {
    fail_with(ErrorDetail::unequal_lengths,
         "sub-block " + std::to_string(i) + " of the 3D data block holds " + std::to_string(got) +
             " values before the end of the file, where sub-block 0 holds " + std::to_string(first),
         {static_cast<int64_t>(first), static_cast<int64_t>(i), static_cast<int64_t>(got)});
}

} // namespace

void check_stack_row(const File &f, const std::vector<int64_t> &offsets, size_t i, size_t npt) {
    const size_t first = values_at(f, offsets[0], npt);
    const size_t got = values_at(f, offsets[i], npt);
    if (got != first)
        fail_unequal(first, i, got);
    if (first < npt)
        fail_cut_short(first, npt, offsets[0]);
}

void ReadBudget::charge(uint64_t count, uint64_t bytes) {
    uint64_t total;
    if (__builtin_mul_overflow(count, bytes, &total) || total > left_)
        fail(ErrorDetail::bad_value, "Invalid 3D data block: its sub-blocks would be read over and over, far more "
                                "bytes than the file holds (sub-blocks stored on top of one another)");
    left_ -= total;
}

void check_offset(int64_t offset) {
    if (offset < 0)
        fail_position(offset, "the offset of a sub-block");
}

size_t values_at(const File &f, int64_t offset, size_t count) {
    if (offset < 0 || static_cast<uint64_t>(offset) >= f.size())
        return 0;
    return static_cast<size_t>(std::min<uint64_t>(count, (f.size() - static_cast<uint64_t>(offset)) / 4));
}

void fail_cut_short(size_t got, size_t count, std::optional<int64_t> offset) {
    fail_with(ErrorDetail::values_cut_short,
         offset ? "the values of a sub-block stop after " + std::to_string(got) + " of " + std::to_string(count) +
                      " at the end of the file"
                : "the file ended while " + std::to_string(count) +
                      "-value sub-blocks were being read (it is shorter than when it was described)",
         {static_cast<int64_t>(got), static_cast<int64_t>(count)},
         offset && *offset >= 0 ? std::optional<uint64_t>(static_cast<uint64_t>(*offset)) : std::nullopt);
}

void fail_nothing_to_stack() { fail(ErrorDetail::no_subblocks, "the 3D data block stores no sub-block"); }

[[noreturn]] static void fail_times_shrank() {
    fail_with(ErrorDetail::short_field,
         "the file ended while the times of the sub-blocks were being read (it is shorter than when it was described)",
         {int64_t{sizeof(double)}});
}

void check_times(const File &f, const std::vector<int64_t> &offsets, size_t npt) {
    for (int64_t offset : offsets)
        check_timed(f, offset, npt);
}

void read_times(File &f, const std::vector<int64_t> &offsets, size_t npt, double *dst) {
    Gather g(f);
    for (size_t i = 0; i < offsets.size(); ++i)
        if (!g.add(static_cast<uint64_t>(check_timed(f, offsets[i], npt)), sizeof(double), &dst[i]))
            fail_times_shrank();
    if (!g.flush())
        fail_times_shrank();
}

namespace {

// One pass over the sub-blocks: the `npt` values of each into dst + i * pitch (when dst is
// set; pitch 0 is npt) and, when `len` is not 0, the `len` bytes that start `delta` bytes after
// each sub-block's values into field + i * len; field bytes past the end of the file are left
// as they are. The values must have been checked. False when the file turned out shorter.
bool gather_rows(File &f, std::span<const int64_t> offsets, size_t npt, float *dst, int64_t delta, size_t len,
                 uint8_t *field, size_t pitch = 0) {
    Gather g(f);
    const size_t row = npt * sizeof(float);
    if (pitch == 0)
        pitch = npt;
    for (size_t i = 0; i < offsets.size(); ++i) {
        const uint64_t at = static_cast<uint64_t>(offsets[i]);
        if (dst && !g.add(at, row, dst + i * pitch))
            return false;
        if (len == 0)
            continue;
        const uint64_t pos = static_cast<uint64_t>(after_values(offsets[i], npt, delta));
        if (pos >= f.size())
            continue;
        if (!g.add(pos, static_cast<size_t>(std::min<uint64_t>(len, f.size() - pos)), field + i * len))
            return false;
    }
    return g.flush();
}

// Labels are read in one pass up to this many bytes each; a longer one is finished alone.
constexpr size_t kLabelHead = 256;

} // namespace

void read_rows_with_times(File &f, const std::vector<int64_t> &offsets, size_t npt, float *dst, double *times) {
    check_times(f, offsets, npt);
    if (!gather_rows(f, offsets, npt, dst, kInfoTime, sizeof(double), reinterpret_cast<uint8_t *>(times)))
        fail_cut_short(0, npt);
}

std::string read_label(File &f, int64_t offset, size_t npt, int32_t infoSize) {
    check_offset(offset);
    if (infoSize <= kInfoLabel)
        return {};
    size_t left = static_cast<size_t>(infoSize - kInfoLabel);
    int64_t pos = after_values(offset, npt, kInfoLabel);
    // Only the bytes before the first NUL count: read a little at a time until it comes.
    std::string bytes;
    char chunk[kLabelHead];
    while (left > 0) {
        const size_t want = std::min(left, sizeof chunk);
        const size_t got = read_at(f, pos, chunk, want);
        const void *nul = std::memchr(chunk, '\0', got);
        if (nul) {
            bytes.append(chunk, static_cast<const char *>(nul) - chunk);
            break;
        }
        bytes.append(chunk, got);
        if (got < want)
            break; // the end of the file
        left -= got;
        pos += static_cast<int64_t>(got);
    }
    return decode_text(bytes);
}

namespace {

// read_labels in batches of `batch` sub-blocks; with dst set, the values of each batch go to
// dst + i * npt (or, with `reuse`, to dst + (i - first) * npt, and take(first, n) is called
// for each batch once its values are in).
std::vector<std::string> labels_in_batches(File &f, const std::vector<int64_t> &offsets, size_t npt,
                                           int32_t infoSize, size_t batch, float *dst, bool reuse,
                                           const std::function<void(size_t, size_t)> &take) {
    for (int64_t offset : offsets)
        check_offset(offset);
    std::vector<std::string> labels(offsets.size());
    const size_t total = infoSize > kInfoLabel ? static_cast<size_t>(infoSize - kInfoLabel) : 0;
    const size_t head = std::min(total, kLabelHead);
    // The heads of a batch of labels at a time, zeros where the file ends (a label cut there
    // ends there).
    const size_t kBatch = batch;
    std::vector<uint8_t> heads(std::min(offsets.size(), kBatch) * head);
    // Labels of stored sub-blocks lie in distinct bytes of the file, so together they cannot
    // outgrow it (twice over: a Latin-1 byte decodes to two). Sub-blocks stored on top of each
    // other could repeat one long label without end.
    const uint64_t allowed = 2 * f.size() + (1 << 20);
    uint64_t spent = 0;
    for (size_t first = 0; first < offsets.size(); first += kBatch) {
        const size_t n = std::min(kBatch, offsets.size() - first);
        std::fill(heads.begin(), heads.end(), 0);
        if (!gather_rows(f, std::span(offsets).subspan(first, n), npt,
                         dst ? dst + (reuse ? 0 : first) * npt : nullptr, kInfoLabel, head, heads.data()))
            fail_cut_short(0, npt);
        for (size_t i = 0; i < n; ++i) {
            const char *h = reinterpret_cast<const char *>(heads.data() + i * head);
            const size_t len = static_cast<size_t>(std::find(h, h + head, '\0') - h);
            labels[first + i] = len < head || total == head ? decode_text(std::string_view(h, len))
                                                            : read_label(f, offsets[first + i], npt, infoSize);
            spent += labels[first + i].size();
            if (spent > allowed)
                fail(ErrorDetail::bad_value,
                     "Invalid 3D data block: its sub-block labels add up to more than the file holds");
        }
        if (take)
            take(first, n);
    }
    return labels;
}

} // namespace

std::vector<std::string> read_labels(File &f, const std::vector<int64_t> &offsets, size_t npt, int32_t infoSize,
                                     float *dst) {
    return labels_in_batches(f, offsets, npt, infoSize, 4096, dst, false, {});
}

std::vector<std::string> read_labels_by_batch(File &f, const std::vector<int64_t> &offsets, size_t npt,
                                              int32_t infoSize, size_t batch, float *buffer,
                                              const std::function<void(size_t, size_t)> &take) {
    return labels_in_batches(f, offsets, npt, infoSize, std::max<size_t>(batch, 1), buffer, true, take);
}

void transpose_runs(const float *values, size_t pitch, size_t n, std::span<const Run> runs, float *rows,
                    size_t stride) {
    for (const Run &run : runs) {
        size_t j = 0;
#ifdef __SSE2__
        for (; j + 4 <= run.length; j += 4) {
            const float *const column = values + run.position + j;
            float *const r0 = rows + j * stride, *const r1 = r0 + stride, *const r2 = r1 + stride,
                         *const r3 = r2 + stride;
            size_t t = 0;
            for (; t + 4 <= n; t += 4) {
                const float *v = column + t * pitch;
                __m128 a = _mm_loadu_ps(v), b = _mm_loadu_ps(v + pitch), d = _mm_loadu_ps(v + 2 * pitch),
                       e = _mm_loadu_ps(v + 3 * pitch);
                _MM_TRANSPOSE4_PS(a, b, d, e);
                _mm_storeu_ps(r0 + t, a);
                _mm_storeu_ps(r1 + t, b);
                _mm_storeu_ps(r2 + t, d);
                _mm_storeu_ps(r3 + t, e);
            }
            for (; t < n; ++t) {
                const float *v = column + t * pitch;
                r0[t] = v[0];
                r1[t] = v[1];
                r2[t] = v[2];
                r3[t] = v[3];
            }
        }
#endif
        for (; j < run.length; ++j) {
            float *row = rows + j * stride;
            const float *value = values + run.position + j;
            for (size_t t = 0; t < n; ++t)
                row[t] = value[t * pitch];
        }
        rows += run.length * stride;
    }
}

bool gather(File &f, std::span<const Piece> pieces) {
    Gather g(f);
    for (const Piece &p : pieces)
        if (!g.add(p.offset, p.length, p.dst))
            return false;
    return g.flush();
}

void read_rows_into(File &f, std::span<const int64_t> offsets, float *dst, size_t npt, ReadBudget &budget,
                    size_t pitch) {
    for (int64_t offset : offsets)
        if (const size_t got = values_at(f, offset, npt); got < npt)
            fail_cut_short(got, npt, offset);
    budget.charge(offsets.size(), npt * sizeof(float));
    if (!gather_rows(f, offsets, npt, dst, 0, 0, nullptr, pitch))
        fail_cut_short(0, npt);
}

void check_stacked(const File &f, const std::vector<int64_t> &offsets, size_t npt, ReadBudget &budget) {
    for (int64_t offset : offsets)
        check_offset(offset);
    if (offsets.empty())
        fail_nothing_to_stack();
    const size_t first = values_at(f, offsets[0], npt);
    for (size_t i = 1; i < offsets.size(); ++i) {
        const size_t got = values_at(f, offsets[i], npt);
        if (got != first)
            fail_unequal(first, i, got);
    }
    if (first < npt)
        fail_cut_short(first, npt, offsets[0]);
    budget.charge(offsets.size(), npt * sizeof(float));
}

Array<float> read_stacked(File &f, const std::vector<int64_t> &offsets, size_t npt, ReadBudget &budget,
                          int32_t infoSize, std::vector<std::string> *labels) {
    check_stacked(f, offsets, npt, budget);
    Array<float> rows = Array<float>::empty({offsets.size(), npt});
    if (labels) {
        *labels = read_labels(f, offsets, npt, infoSize, rows.data());
    } else if (!gather_rows(f, offsets, npt, rows.data(), 0, 0, nullptr)) {
        fail_cut_short(0, npt);
    }
    return rows;
}

} // namespace orvelio

// The reader facade of the public header, over the core.
#include "orvelio/orvelio.hpp"

#include "extract/extract.hpp"
#include "extract/kinds.hpp"
#include "format/directory.hpp"
#include "format/error.hpp"
#include "format/file.hpp"
#include "format/names.hpp"
#include "images/vis_images.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace orvelio {

std::string_view to_string(ErrorCode c) noexcept {
    switch (c) {
    case ErrorCode::not_orvel: return "not_orvel";
    case ErrorCode::truncated: return "truncated";
    case ErrorCode::corrupt: return "corrupt";
    case ErrorCode::unsupported: return "unsupported";
    case ErrorCode::invalid_request: return "invalid_request";
    case ErrorCode::not_found: return "not_found";
    case ErrorCode::io: return "io";
    case ErrorCode::memory: return "memory";
    case ErrorCode::changed: return "changed";
    case ErrorCode::interrupted: return "interrupted";
    }
    return "";
}

std::string_view to_string(Kind k) noexcept {
    static constexpr std::string_view kNames[] = {"spectrum",    "image",     "image-traces", "time-series",
                                                  "time-traces", "point-map", "trace-map"};
    static_assert(std::size(kNames) == kKindCount);
    const auto i = static_cast<size_t>(k);
    return i < kKindCount ? kNames[i] : "";
}

std::string_view to_string(GridOrder g) noexcept {
    switch (g) {
    case GridOrder::none: return "none";
    case GridOrder::x_fastest: return "x_fastest";
    case GridOrder::y_fastest: return "y_fastest";
    }
    return "";
}

namespace {

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

Block request_of(const Block &b) {
    Block r{upper(b.type), upper(b.dimensions), upper(b.derivative)};
    check_request(r);
    return r;
}

std::string block_words(const Block &b) { return b.type + " " + b.dimensions + " " + b.derivative; }

// Runs the body of a public call: orvelio::Error is the only exception that leaves it, saying
// what the call was working on (`where()`: "data block AB 3D NONE"). Whatever else the standard
// library throws (an allocation refused, a container past its largest size) becomes
// ErrorDetail::no_memory.
template <class F, class Where> auto guard(Where &&where, F &&body) -> decltype(body()) {
    // Naming where needs memory too: without it, the error goes on without.
    const auto place = [&](Error &e) {
        try {
            e.in(where());
        } catch (const std::bad_alloc &) {
        }
    };
    const auto failed = [&](const char *message) {
        Error e(ErrorDetail::no_memory, message); // short enough to need no allocation
        place(e);
        return e;
    };
    try {
        return body();
    } catch (Error &e) {
        if (e.where().empty())
            place(e);
        throw;
    } catch (const SourceFailure &f) {
        std::rethrow_exception(f.error); // the caller's Source's own exception
    } catch (const std::bad_alloc &) {
        throw failed("out of memory");
    } catch (...) { // std::length_error and the like: sizes past what the library can allocate
        throw failed("out of memory");
    }
}

} // namespace

void validate(const Block &request) { request_of(request); }

// ------------------------------------------------------------------ the reader

[[noreturn]] void fail_row(uint64_t row, uint64_t rows) {
    fail(ErrorDetail::bad_row, "row " + std::to_string(row) + " is out of range for " + std::to_string(rows) + " rows");
}

// A row read's block plan and how many rows its region (or block) has.
struct RowsAsked {
    std::shared_ptr<const Plan> plan;
    uint64_t rows;
};

// The file of one call: a File of its own (no position is shared between calls) or, for a
// stream, the reader's one File, held for the call.
class Lease {
  public:
    explicit Lease(File f) : own_(std::move(f)), file_(&*own_) {}
    Lease(std::mutex &m, File &shared) : lock_(m), file_(&shared) {}
    File &operator*() { return *file_; }

  private:
    std::unique_lock<std::mutex> lock_;
    std::optional<File> own_;
    File *file_;
};

struct Reader::Impl {
    int fd = -1; // a regular file, read by position
    bool owns_fd = false;
    struct stat st {};
    std::span<const uint8_t> mem; // or memory
    std::vector<uint8_t> owned;
    // Or a Source, read by one call at a time through one File (as a stream is).
    std::shared_ptr<Source> source;
    uint64_t source_size = 0;
    // Or a stream (a pipe, a device, a file of no known size): read as far as calls ask, kept,
    // and used by one call at a time.
    mutable std::optional<File> stream;
    mutable std::optional<File> source_file;
    mutable std::mutex stream_mutex; // of the stream or the Source
    // from_fd_for_call: the next call's check is the fstat of the Reader's making.
    mutable std::atomic<bool> checked_now{false};
    bool one_call = false; // from_fd_for_call: no parameter block to keep for later calls

    // Plans of the blocks described so far: built once, then shared read-only.
    using Key = std::tuple<std::string, std::string, std::string>;
    mutable std::mutex mutex;
    mutable std::map<Key, std::shared_ptr<const Plan>> plans;
    // The parameter blocks read so far: a block that several data blocks merge is read once.
    mutable ParamBlocks param_blocks;

    Impl() = default;
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;
    ~Impl() {
        if (owns_fd && fd >= 0)
            ::close(fd);
    }

    // Reads the descriptor: by position when it is a regular file of a known size, else as a
    // stream.
    void attach(int from, bool owned_fd) {
        fd = from;
        owns_fd = owned_fd;
        stream = File::from_fd(from, st);
        if (stream->fd() >= 0) // read by position: every call makes its own File
            stream.reset();
    }

    std::optional<FileIdentity> identity() const {
        if (fd < 0 || stream)
            return std::nullopt;
        return identity_of(st);
    }

    static FileIdentity identity_of(const struct stat &s) {
        return {static_cast<uint64_t>(s.st_dev), static_cast<uint64_t>(s.st_ino), static_cast<uint64_t>(s.st_size),
                int64_t{s.st_mtim.tv_sec} * 1'000'000'000 + s.st_mtim.tv_nsec};
    }

    // The file of one call, checked against the file opened.
    Lease file() const {
        if (stream)
            return Lease(stream_mutex, *stream);
        if (source)
            return Lease(stream_mutex, *source_file);
        if (fd < 0)
            return Lease(File::from_memory(mem));
        if (checked_now.load(std::memory_order_relaxed) && checked_now.exchange(false))
            return Lease(File::from_fd(fd, st));
        struct stat now;
        if (fstat(fd, &now) != 0)
            fail_os(errno);
        if (!(identity_of(now) == identity_of(st)))
            fail_changed();
        return Lease(File::from_fd(fd, st));
    }

    uint64_t size() const {
        if (stream) {
            std::lock_guard lock(stream_mutex);
            return stream->size();
        }
        if (source)
            return source_size;
        return fd >= 0 ? static_cast<uint64_t>(st.st_size) : mem.size();
    }

    // The plan of a row read and the rows it may address, once the region and the buffer's
    // size have been checked against the block.
    RowsAsked rows_asked(const Block &block, uint64_t count, size_t values, std::optional<size_t> region) const;
    // The rows, all in range, into out.
    void read_rows(const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                   std::optional<size_t> region) const;

    std::shared_ptr<const Plan> plan(const Block &req, std::vector<Note> *notes) const {
        const Key key{req.type, req.dimensions, req.derivative};
        {
            std::lock_guard lock(mutex);
            if (auto it = plans.find(key); it != plans.end())
                return it->second;
        }
        // Described outside the lock: two threads may both describe a block the first time.
        Lease f = file();
        std::vector<Note> local;
        auto p = std::make_shared<Plan>(orvelio::describe(*f, req, notes ? *notes : local, &param_blocks));
        std::lock_guard lock(mutex);
        return plans.try_emplace(key, std::move(p)).first->second;
    }
};

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Reader::Reader(Reader &&) noexcept = default;
Reader &Reader::operator=(Reader &&) noexcept = default;
Reader::~Reader() = default;

Reader Reader::open(const std::filesystem::path &path) {
    return guard([&] { return "the file " + path.string(); }, [&] {
        auto impl = std::make_unique<Impl>();
        int fd;
        do
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        if (fd < 0)
            fail_os(errno);
        impl->fd = fd;
        impl->owns_fd = true;
        if (fstat(fd, &impl->st) != 0)
            fail_os(errno);
        if (S_ISDIR(impl->st.st_mode))
            fail_os(EISDIR);
        impl->attach(fd, true);
        return Reader(std::move(impl));
    });
}

Reader Reader::from_fd(int fd) {
    return guard([] { return std::string("the input"); }, [&] {
        auto impl = std::make_unique<Impl>();
        if (fstat(fd, &impl->st) != 0)
            fail_os(errno);
        impl->attach(fd, false);
        return Reader(std::move(impl));
    });
}

Reader Reader::from_fd_for_call(int fd) {
    Reader r = from_fd(fd);
    r.impl_->checked_now = true;
    r.impl_->one_call = true;
    return r;
}

Reader Reader::from_memory(std::span<const uint8_t> bytes) {
    return guard([] { return std::string("the input"); }, [&] {
        auto impl = std::make_unique<Impl>();
        impl->mem = bytes;
        return Reader(std::move(impl));
    });
}

Reader Reader::from_source(std::shared_ptr<Source> source) {
    return guard([] { return std::string("the input"); }, [&] {
        auto impl = std::make_unique<Impl>();
        impl->source_size = source->size();
        impl->source = std::move(source);
        impl->source_file = File::from_source(*impl->source, impl->source_size);
        return Reader(std::move(impl));
    });
}

Reader Reader::from_bytes(std::vector<uint8_t> bytes) {
    return guard([] { return std::string("the input"); }, [&] {
        auto impl = std::make_unique<Impl>();
        impl->owned = std::move(bytes);
        impl->mem = impl->owned;
        return Reader(std::move(impl));
    });
}

uint64_t Reader::size() const {
    return guard([] { return std::string("the input"); }, [&] { return impl_->size(); });
}

std::optional<FileIdentity> Reader::identity() const { return impl_->identity(); }

// The header and the directory: usually within the first few KiB of a file.
constexpr size_t kHeadWindow = 4096;

bool Reader::is_orvel(bool strict) const {
    return guard([] { return std::string("the file header"); }, [&] {
        Lease lease = impl_->file();
        File &f = *lease;
        f.set_window(kHeadWindow);
        f.seek(0);
        if (!strict && f.have(4) < 4)
            return false;
        return orvelio::is_orvel(f);
    });
}

std::vector<Block> Reader::blocks() const {
    return guard([] { return std::string("the listing of data blocks"); }, [&] {
        Lease lease = impl_->file();
        File &f = *lease;
        f.set_window(kHeadWindow);
        check_orvel(f);
        return list_contents(read_directory(f));
    });
}

Description Reader::describe(const Block &block, std::vector<Note> *notes) const {
    return guard([&] { return "data block " + block_words(block); }, [&] {
        const std::shared_ptr<const Plan> p = impl_->plan(request_of(block), notes);
        Description d = p->d;
        d.parameters = p->parameters.items();
        for (const MergedParams::Layer &layer : p->parameters.layers())
            d.parameter_blocks.emplace_back(layer, &layer->items());
        return d;
    });
}

Data Reader::read(const Block &block, std::vector<Note> *notes) const {
    return guard([&] { return "data block " + block_words(block); }, [&] {
        const Block req = request_of(block);
        Lease lease = impl_->file();
        std::vector<Note> local;
        return extract(*lease, req, notes ? *notes : local, impl_->one_call ? nullptr : &impl_->param_blocks);
    });
}

void Reader::read_rows(const Block &block, RowRange rows, std::span<float> out, std::optional<size_t> region) const {
    guard([&] { return "data block " + block_words(block); }, [&] {
        const RowsAsked asked = impl_->rows_asked(block, rows.count, out.size(), region);
        // Every row past the last one fails, as in a list: the first of them is named.
        if (rows.count && (rows.first >= asked.rows || rows.count > asked.rows - rows.first))
            fail_row(std::max<uint64_t>(rows.first, asked.rows), asked.rows);
        if (rows.count == 0 || asked.plan->d.row_length == 0)
            return;
        // At most out.size() rows: the buffer holds every one.
        std::vector<uint64_t> list(static_cast<size_t>(rows.count));
        for (size_t i = 0; i < list.size(); ++i)
            list[i] = rows.first + i;
        impl_->read_rows(*asked.plan, list, out, region);
    });
}

void Reader::read_rows(const Block &block, std::span<const uint64_t> rows, std::span<float> out,
                       std::optional<size_t> region) const {
    guard([&] { return "data block " + block_words(block); }, [&] {
        const RowsAsked asked = impl_->rows_asked(block, rows.size(), out.size(), region);
        for (uint64_t row : rows)
            if (row >= asked.rows)
                fail_row(row, asked.rows);
        if (rows.empty() || asked.plan->d.row_length == 0)
            return;
        impl_->read_rows(*asked.plan, rows, out, region);
    });
}

RowsAsked Reader::Impl::rows_asked(const Block &block, uint64_t count, size_t values,
                                           std::optional<size_t> region) const {
    const Block req = request_of(block);
    RowsAsked asked{plan(req, nullptr), 0};
    const Description &d = asked.plan->d;
    const bool multi = d.by_region();
    if (multi && !region)
        fail(ErrorDetail::bad_request, "a region is required to read rows of a multi-region map");
    if (!multi && region)
        fail(ErrorDetail::bad_request, "a region was given for a block without regions");
    if (multi && *region >= d.regions.size())
        fail(ErrorDetail::bad_row, "region " + std::to_string(*region) + " is out of range for " +
                                       std::to_string(d.regions.size()) + " regions");
    asked.rows = multi ? d.regions[*region].rows : d.rows;
    const size_t L = d.row_length;
    uint64_t want;
    if (__builtin_mul_overflow(count, L, &want) || want != values)
        fail(ErrorDetail::bad_request, "the buffer holds " + std::to_string(values) + " values, not " +
                                           std::to_string(count) + " rows of " + std::to_string(L));
    return asked;
}

void Reader::Impl::read_rows(const Plan &p, std::span<const uint64_t> rows, std::span<float> out,
                             std::optional<size_t> region) const {
    Lease lease = file();
    kind_ops(p.d.kind).read_rows(*lease, p, rows, out, region);
}

RowInfo Reader::row_info(const Block &block) const {
    return guard([&] { return "data block " + block_words(block); }, [&] {
        const Block req = request_of(block);
        const std::shared_ptr<const Plan> plan = impl_->plan(req, nullptr);
        const Plan &p = *plan;
        Lease lease = impl_->file();
        File &f = *lease;
        return kind_ops(p.d.kind).row_info(f, p);
    });
}

std::vector<Picture> Reader::pictures() const {
    return guard([] { return std::string("the pictures"); }, [&] {
        Lease lease = impl_->file();
        File &f = *lease;
        VisImages found = read_vis_images(f);
        // One copy of each record's properties and bytes, however often the record is listed.
        std::vector<std::shared_ptr<const Parameters>> properties(found.pictures.size());
        std::vector<std::shared_ptr<const std::string>> bytes(found.pictures.size());
        std::vector<Picture> out;
        out.reserve(found.order.size());
        for (size_t k : found.order) {
            VisPicture &pic = found.pictures[k];
            Picture p;
            p.record = k;
            if (!properties[k])
                properties[k] = std::make_shared<const Parameters>(pic.entries.take_items());
            p.properties = properties[k];
            if (pic.has_image) {
                if (!bytes[k])
                    bytes[k] = std::make_shared<const std::string>(std::move(pic.image));
                p.data = bytes[k];
                p.format = pic.format ? std::string_view(pic.format) : std::string_view();
            }
            out.push_back(std::move(p));
        }
        return out;
    });
}

} // namespace orvelio

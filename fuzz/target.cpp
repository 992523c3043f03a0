// One fuzz target for every entry point of the reader: the magic test, the listing, every
// request the listing or the directory makes possible, the description and the rows of every
// block, and the visible pictures. Each read runs twice, once from memory and once through a
// descriptor (which takes the gathered-read path for 3D blocks), and both must give the same
// answer. Where the whole block reads, its description must too, and every row read alone
// must hold exactly the values of the whole read. The C API must answer as the C++ API does.
//
// Expected failures are orvelio::Error; anything else escaping is a fault. Arrays whose shape
// the file declares may fail to allocate: the allocation cap below makes them fail with
// MemoryError long before they could exhaust the fuzzer's memory.
#include "orvelio/orvelio.hpp"
#include "c_api.hpp"
#include "same.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <set>
#include <string>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace orvelio;
using orvelio::checks::full_row;
using orvelio::checks::same_parameters;

extern "C" const char *__asan_default_options() {
    // malloc of more than 64 MiB returns null (the core turns it into MemoryError: arrays whose
    // shape the file declares); operator new of that much still aborts, which is what an
    // allocation sized from an unchecked count should do.
    return "allocator_may_return_null=1:max_allocation_size_mb=64:quarantine_size_mb=64:detect_leaks=1";
}

namespace {

// A running digest of everything a call returns.
struct Digest {
    uint64_t h = 1469598103934665603ull;
    void bytes(const void *p, size_t n) {
        const auto *b = static_cast<const unsigned char *>(p);
        size_t i = 0;
        for (; i + 8 <= n; i += 8) { // word-wise: arrays can be large
            uint64_t w;
            std::memcpy(&w, b + i, 8);
            h = (h ^ w) * 1099511628211ull;
        }
        for (; i < n; ++i)
            h = (h ^ b[i]) * 1099511628211ull;
    }
    void u64(uint64_t v) { bytes(&v, sizeof v); }
    void str(const std::string &s) {
        u64(s.size());
        bytes(s.data(), s.size());
    }
    void value(const Value &v) {
        u64(v.index());
        if (const int64_t *i = std::get_if<int64_t>(&v))
            u64(static_cast<uint64_t>(*i));
        else if (const double *x = std::get_if<double>(&v))
            bytes(x, sizeof(double));
        else if (const std::string *t = std::get_if<std::string>(&v))
            str(*t);
    }
    void params(const Parameters &p) {
        u64(p.size());
        for (const auto &[name, v] : p) {
            str(name);
            value(v);
        }
    }
    template <class T> void array(const Array<T> &a) {
        u64(a.shape().size());
        for (size_t d : a.shape())
            u64(d);
        if (a.size())
            bytes(a.data(), a.size() * sizeof(T));
    }
    void error(const Error &e) {
        u64(0xE77);
        u64(static_cast<uint64_t>(e.detail()));
        str(e.message());
        u64(e.offset().value_or(~uint64_t{0}));
        u64(static_cast<uint64_t>(e.system_errno()));
        u64(e.operands().size());
        for (const Value &v : e.operands())
            value(v);
    }
};

void digest(Digest &d, const Region &g) {
    d.str(g.title);
    d.array(g.mapX);
    d.array(g.mapY);
    d.u64(g.start_time.has_value());
    if (g.start_time)
        d.array(*g.start_time);
    d.array(g.spectra);
}

void digest(Digest &d, const std::vector<std::string> &texts) {
    d.u64(texts.size());
    for (const std::string &t : texts)
        d.str(t);
}

void digest(Digest &d, const Data &data, const std::vector<Note> &notes) {
    const Common &c = common(data);
    d.u64(data.index());
    d.str(c.request.type);
    d.str(c.request.dimensions);
    d.str(c.request.derivative);
    d.params(c.parameters);
    d.array(c.x);
    d.value(c.minY);
    d.value(c.maxY);
    std::visit(
        [&](const auto &r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, Spectrum>) {
                d.array(r.y);
            } else if constexpr (std::is_same_v<R, Image>) {
                d.array(r.mapX);
                d.array(r.mapY);
                d.array(r.spectra);
            } else if constexpr (std::is_same_v<R, ImageTraces>) {
                d.array(r.mapX);
                d.array(r.mapY);
                digest(d, r.labels);
                d.array(r.traces);
            } else if constexpr (std::is_same_v<R, TimeSeries>) {
                d.array(r.z);
                d.array(r.spectra);
            } else if constexpr (std::is_same_v<R, TimeTraces>) {
                digest(d, r.labels);
                d.array(r.traces);
            } else {
                if constexpr (std::is_same_v<R, TraceMap>)
                    digest(d, r.labels);
                d.u64(r.regions.size());
                for (const Region &g : r.regions)
                    digest(d, g);
            }
        },
        data);
    d.u64(notes.size());
    for (const Note &n : notes) {
        d.u64(static_cast<uint64_t>(n.kind));
        d.str(n.text);
    }
}

void digest(Digest &d, const std::vector<Picture> &pictures) {
    d.u64(pictures.size());
    for (const Picture &p : pictures) {
        d.params(*p.properties);
        d.u64(p.data != nullptr);
        if (p.data)
            d.str(*p.data);
        d.str(std::string(p.format));
    }
}

// Runs one call, digesting its result or its error. Any other exception is a fault and
// escapes to the fuzzer.
template <class F> uint64_t run(F &&call) {
    Digest d;
    try {
        call(d);
    } catch (const Error &e) {
        d.error(e);
    }
    return d.h;
}

// The requests worth trying: every one the listing names, then every block type in 2D and 3D
// with every derivative (most fail at once: the file has no such block).
std::vector<Block> requests(const std::vector<Block> &listing) {
    std::set<std::tuple<std::string, std::string, std::string>> out;
    for (const Block &b : listing) {
        try {
            validate(b);
            out.emplace(b.type, b.dimensions, b.derivative);
        } catch (const Error &) {
        }
    }
    std::vector<Block> blocks;
    for (const auto &[type, dims, deriv] : out)
        blocks.push_back(Block{type, dims, deriv});
    for (const std::string_view type : block_types())
        for (const char *dims : {"2D", "3D"})
            for (const char *deriv : {"NONE", "1DER", "2DER", "NDER"})
                if (!out.count({std::string(type), dims, deriv}))
                    blocks.push_back(Block{std::string(type), dims, deriv});
    return blocks;
}

// A descriptor on a regular in-memory file holding the bytes.
int memory_fd(const uint8_t *data, size_t size) {
    const int fd = memfd_create("orvel", MFD_CLOEXEC);
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            std::perror("write");
            std::abort();
        }
        done += static_cast<size_t>(n);
    }
    return fd;
}

// What a result holds beyond the arrays whose shape the file declares (labels, regions'
// positions, pictures' bytes, warnings) must stay in proportion to the file: a file that makes
// them grow faster than its size could make a few megabytes cost gigabytes.
uint64_t undeclared_bytes(const Data &data, const std::vector<Note> &notes) {
    uint64_t n = 0;
    const auto labels = [&](const std::vector<std::string> &texts) {
        for (const std::string &l : texts)
            n += l.size() + 1;
    };
    const auto regions = [&](const std::vector<Region> &rs) {
        for (const Region &g : rs)
            n += g.title.size() + 8 * g.mapX.size();
    };
    if (const auto *r = std::get_if<ImageTraces>(&data))
        labels(r->labels);
    if (const auto *r = std::get_if<TimeTraces>(&data))
        labels(r->labels);
    if (const auto *r = std::get_if<PointMap>(&data))
        regions(r->regions);
    if (const auto *r = std::get_if<TraceMap>(&data)) {
        labels(r->labels);
        regions(r->regions);
    }
    for (const Note &e : notes)
        n += e.text.size();
    return n;
}

uint64_t undeclared_bytes(const std::vector<Picture> &pictures) {
    uint64_t n = 0;
    std::set<const void *> seen;
    for (const Picture &p : pictures) {
        n += 8;
        if (seen.insert(p.properties.get()).second)
            n += 16 * p.properties->size();
        if (p.data && seen.insert(p.data.get()).second)
            n += p.data->size();
    }
    return n;
}

void check_proportion(uint64_t bytes, size_t size, const char *what) {
    const uint64_t limit = 64 * uint64_t{size} + (uint64_t{4} << 20);
    if (bytes > limit) {
        std::fprintf(stderr, "%s: %llu bytes of results from %zu bytes of file\n", what,
                     static_cast<unsigned long long>(bytes), size);
        std::abort();
    }
}

[[noreturn]] void fault(const char *what, const Block *b) {
    std::fprintf(stderr, "%s", what);
    if (b)
        std::fprintf(stderr, " %s %s %s", b->type.c_str(), b->dimensions.c_str(), b->derivative.c_str());
    std::fprintf(stderr, "\n");
    std::abort();
}

constexpr size_t kMostRows = 4096;

// The description and the rows of a block that read whole: the description must succeed and
// agree, and every row read alone (backwards, a few at a time) must equal the whole read's.
void check_rows(const Reader &r, const Block &b, const Data &full) {
    Description d;
    try {
        d = r.describe(b);
    } catch (const Error &) {
        fault("describe fails where the whole block reads:", &b);
    }
    if (static_cast<size_t>(d.kind) != full.index() || !same_parameters(d.parameters, common(full).parameters))
        fault("the description differs from the whole read:", &b);
    std::vector<std::optional<size_t>> parts;
    if (d.kind == Kind::point_map || d.kind == Kind::trace_map)
        for (size_t i = 0; i < d.regions.size(); ++i)
            parts.push_back(i);
    else
        parts.push_back(std::nullopt);
    std::vector<float> got, scratch;
    for (const std::optional<size_t> region : parts) {
        const size_t n = std::min(kMostRows, region ? d.regions[*region].rows : d.rows);
        for (size_t first = 0; first < n; first += 3) {
            std::vector<uint64_t> rows;
            for (size_t k = std::min(n, first + 3); k > first; --k)
                rows.push_back(k - 1);
            got.assign(rows.size() * d.row_length, -1.0f);
            try {
                r.read_rows(b, rows, got, region);
            } catch (const Error &) {
                fault("read_rows fails where the whole block reads:", &b);
            }
            for (size_t i = 0; i < rows.size(); ++i) {
                const std::span<const float> want = full_row(full, region, rows[i], scratch);
                // Rows of no values compare equal without memcmp (which takes no null pointer).
                if (want.size() != d.row_length ||
                    (!want.empty() && std::memcmp(want.data(), got.data() + i * d.row_length, want.size_bytes()) != 0))
                    fault("a row read alone differs from the whole read:", &b);
            }
        }
    }
    try {
        (void)r.row_info(b);
    } catch (const Error &) {
        fault("row_info fails where the whole block reads:", &b);
    }
}

// A block that does not read whole: describing it and reading its rows may fail, but only
// with the library's errors.
void exercise_rows(const Reader &r, const Block &b) {
    try {
        const Description d = r.describe(b);
        const bool multi = d.kind == Kind::point_map || d.kind == Kind::trace_map;
        // A few rows, in a buffer of at most a megabyte (rows may declare any length).
        const size_t fit = d.row_length ? (size_t{1} << 18) / d.row_length : 64;
        const size_t n = std::min({multi ? (d.regions.empty() ? size_t{0} : d.regions[0].rows) : d.rows, size_t{64}, fit});
        std::vector<uint64_t> rows(n);
        std::iota(rows.begin(), rows.end(), uint64_t{0});
        std::vector<float> out(n * d.row_length);
        r.read_rows(b, rows, out, multi ? std::optional<size_t>(0) : std::nullopt);
        (void)r.row_info(b);
    } catch (const Error &) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Reader mem = Reader::from_memory({data, size});
    const int fd = memory_fd(data, size);
    const Reader disk = Reader::from_fd(fd);

    // The magic and the listing of one source, digested.
    const auto read_head = [](Digest &d, const Reader &r, bool &orvel, std::vector<Block> &listing) {
        orvel = r.is_orvel();
        d.u64(orvel);
        listing = r.blocks();
        d.u64(listing.size());
        for (const Block &b : listing) {
            d.str(b.type);
            d.str(b.dimensions);
            d.str(b.derivative);
        }
    };
    std::vector<Block> listing, listing2;
    bool orvel = false, orvel2 = false;
    const uint64_t head = run([&](Digest &d) { read_head(d, mem, orvel, listing); });
    const uint64_t head_fd = run([&](Digest &d) { read_head(d, disk, orvel2, listing2); });
    if (head != head_fd)
        fault("memory and descriptor reads differ: listing", nullptr);

    if (orvel) {
        for (const Block &b : requests(listing)) {
            try { // a block the file does not have: nothing more to try
                (void)mem.describe(b);
            } catch (const Error &e) {
                if (e.code() == ErrorCode::not_found)
                    continue;
            }
            bool whole = false;
            std::optional<Data> full;
            const auto call = [&](const Reader &r) {
                return run([&](Digest &d) {
                    std::vector<Note> notes;
                    Data result = r.read(b, &notes);
                    check_proportion(undeclared_bytes(result, notes), size, "getOrvelData");
                    digest(d, result, notes);
                    whole = true;
                    full = std::move(result);
                });
            };
            if (call(mem) != call(disk))
                fault("memory and descriptor reads differ:", &b);
            for (const Reader *r : {&mem, &disk}) {
                if (whole)
                    check_rows(*r, b, *full);
                else
                    exercise_rows(*r, b);
            }
        }
    }

    const auto vis = [&](const Reader &r) {
        return run([&](Digest &d) {
            const std::vector<Picture> pictures = r.pictures();
            check_proportion(undeclared_bytes(pictures), size, "getVisImages");
            digest(d, pictures);
        });
    };
    if (vis(mem) != vis(disk))
        fault("memory and descriptor reads differ: pictures", nullptr);

    check_c_api(data, size);
    close(fd);
    return 0;
}

// The public reader API over files composed in memory: listing, descriptions and row reads
// that agree with whole reads bit for bit, error codes and offsets, requests refused, the
// saved fuzz inputs, and one reader shared by threads.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <orvelio/orvelio.hpp>

#include "builder.hpp"
#include "../../fuzz/same.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <numeric>
#include <thread>
#include <unistd.h>

#include <ctime>
#include <malloc.h>

// Allocations made through operator new fail on demand: after `g_allocations_left` more of them
// (when it is not negative), each throws std::bad_alloc.
namespace {
thread_local long g_allocations_left = -1;
}
void *operator new(size_t n) {
    if (g_allocations_left == 0)
        throw std::bad_alloc();
    if (g_allocations_left > 0)
        --g_allocations_left;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
// Out of line: GCC would see free() of what operator new returned.
__attribute__((noinline)) void operator delete(void *p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void *p, size_t) noexcept { std::free(p); }

using namespace orvelio;
using build::SubBlock;

namespace {

const std::vector<build::Param> kMap = {{"AOX", 10.0}, {"AOY", -5.0}, {"DDX", 2.0},
                                        {"DDY", 0.5},  {"NPX", 3},    {"NPY", 2}};

std::vector<float> ramp(size_t n, float base) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = base + 0.25f * static_cast<float>(i);
    return v;
}

// One file of each kind, by the kind's name.
std::map<std::string, build::Bytes> files_of_each_kind() {
    std::map<std::string, build::Bytes> out;
    {
        build::File f;
        build::add_spectrum(f, "AB", ramp(7, 1.0f));
        out["spectrum"] = f.bytes();
    }
    {
        build::File f; // 5 of the 6 pixels stored: the last reads as zeros
        std::vector<SubBlock> subs;
        for (int32_t k = 0; k < 5; ++k)
            subs.push_back({k, ramp(4, 10.0f * static_cast<float>(k))});
        build::add_block3d(f, "AB", subs, 4, kMap);
        out["image"] = f.bytes();
    }
    {
        build::File f; // two traces over the 3 x 2 map
        build::add_block3d(f, "TRC", {{0, ramp(6, 1.0f), 0, "Band A"}, {1, ramp(6, -3.0f), 0, "Band B"}}, 6, kMap);
        out["image-traces"] = f.bytes();
    }
    {
        build::File f;
        std::vector<SubBlock> subs;
        for (int32_t k = 0; k < 3; ++k)
            subs.push_back({k, ramp(4, static_cast<float>(k)), 1.5 * k});
        build::add_block3d(f, "AB", subs, 4);
        out["time-series"] = f.bytes();
    }
    {
        build::File f;
        build::add_block3d(f, "TRC", {{0, ramp(5, 2.0f), 0, "first"}, {1, ramp(5, 4.0f), 0, "second"}}, 5);
        out["time-traces"] = f.bytes();
    }
    {
        build::File f; // a 2 x 2 region and a region of two points
        std::vector<SubBlock> subs;
        for (int32_t k = 0; k < 6; ++k)
            subs.push_back({k, ramp(3, 100.0f * static_cast<float>(k)), 10.0 + k});
        build::add_block3d(f, "AB", subs, 3);
        f.add(build::block_type(0, 0, 0, 0, build::ext_anno),
              build::annotation({{1, 2, 2, 0, 0.f, 0.f}, {1, 2, 2, 1, 1.f, 0.f}, {1, 2, 2, 2, 0.f, 1.f},
                                 {1, 2, 2, 3, 1.f, 1.f}, {2, 0, 0, 4, 5.f, 5.f}, {2, 0, 0, 5, 6.f, 5.f}}));
        out["point-map"] = f.bytes();
    }
    {
        build::File f; // traces of 4 positions: region 1 all of them, region 2 three, backwards
        build::add_block3d(f, "TRC", {{0, ramp(4, 0.0f), 0, "t0"}, {1, ramp(4, 50.0f), 0, "t1"}}, 4);
        f.add(build::block_type(0, 0, 0, 0, build::ext_anno),
              build::annotation({{1, 2, 2, 1, 0.f, 0.f}, {1, 2, 2, 2, 1.f, 0.f}, {1, 2, 2, 3, 0.f, 1.f},
                                 {1, 2, 2, 4, 1.f, 1.f}, {2, 0, 0, 3, 2.f, 2.f}, {2, 0, 0, 2, 3.f, 2.f},
                                 {2, 0, 0, 1, 4.f, 2.f}}));
        out["trace-map"] = f.bytes();
    }
    return out;
}

bool multi_region(Kind k) { return k == Kind::point_map || k == Kind::trace_map; }

const std::vector<size_t> &main_shape(const Data &data) {
    return std::visit(
        [](const auto &r) -> const std::vector<size_t> & {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, Spectrum>)
                return r.y.shape();
            else if constexpr (std::is_same_v<T, Image> || std::is_same_v<T, TimeSeries>)
                return r.spectra.shape();
            else if constexpr (std::is_same_v<T, ImageTraces> || std::is_same_v<T, TimeTraces>)
                return r.traces.shape();
            else
                throw std::logic_error("multi-region kinds have no main array");
        },
        data);
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size_bytes()) == 0);
}

// Every element of the array through each accessor (ASan sees a read through the wrong
// pointer), and its values handed over by release().
template <class T> void index_all(Array<T> &a) {
    const Array<T> &c = a;
    for (size_t i = 0; i < a.size(); ++i) {
        REQUIRE(&a[i] == a.data() + i);
        REQUIRE(&c[i] == &c.values()[i]);
    }
    const std::vector<T> before(c.values().begin(), c.values().end());
    const bool has_memory = c.data() != nullptr; // all but a default-constructed array
    T *released = a.release();
    REQUIRE((released != nullptr) == has_memory);
    CHECK(std::equal(before.begin(), before.end(), released));
    std::free(released);
    CHECK(a.size() == 0);
    CHECK(a.values().empty());
}

void index_all(std::vector<Region> &regions) {
    for (Region &g : regions) {
        index_all(g.mapX), index_all(g.mapY), index_all(g.spectra);
        if (g.start_time)
            index_all(*g.start_time);
    }
}

// Every array of a result and of its row values, whatever made it.
void index_all(Data &data, RowInfo &info) {
    std::visit(
        [](auto &r) {
            using T = std::decay_t<decltype(r)>;
            index_all(r.x);
            if constexpr (std::is_same_v<T, Spectrum>)
                index_all(r.y);
            if constexpr (std::is_same_v<T, Image> || std::is_same_v<T, ImageTraces>)
                index_all(r.mapX), index_all(r.mapY);
            if constexpr (std::is_same_v<T, Image>)
                index_all(r.spectra);
            if constexpr (std::is_same_v<T, ImageTraces> || std::is_same_v<T, TimeTraces>)
                index_all(r.traces);
            if constexpr (std::is_same_v<T, TimeSeries>)
                index_all(r.z), index_all(r.spectra);
            if constexpr (std::is_same_v<T, PointMap> || std::is_same_v<T, TraceMap>)
                index_all(r.regions);
        },
        data);
    index_all(info.mapX), index_all(info.mapY), index_all(info.z), index_all(info.regions);
}

// A block that reads whole: its description agrees with the read, and every row read alone
// (backwards, two at a time) holds the whole read's values bit for bit.
void check_agreement(const Reader &r, const Block &b, const Data &full) {
    const Description d = r.describe(b);
    CHECK(d.kind == kind_of(full));
    CHECK(d.request == common(full).request);
    CHECK(checks::same_parameters(d.parameters, common(full).parameters));
    CHECK(d.dtype == "float32");
    const Array<double> &x = common(full).x;
    CHECK(d.x.count == x.size());
    if (x.size()) {
        CHECK(checks::same_bits(d.x.first, x[0]));
        CHECK(checks::same_bits(d.x.last, x[x.size() - 1]));
    }
    std::vector<std::optional<size_t>> parts;
    std::vector<float> scratch;
    if (multi_region(d.kind)) {
        const auto &regions = d.kind == Kind::point_map ? std::get<PointMap>(full).regions : std::get<TraceMap>(full).regions;
        REQUIRE(d.regions.size() == regions.size());
        for (size_t i = 0; i < regions.size(); ++i) {
            CHECK(d.regions[i].title == regions[i].title);
            CHECK(d.shape[i] == regions[i].spectra.shape()[0]);
            CHECK(d.regions[i].rows == regions[i].spectra.shape()[0]);
            parts.push_back(i);
        }
    } else {
        CHECK(d.shape == main_shape(full));
        parts.push_back(std::nullopt);
    }
    for (const std::optional<size_t> region : parts) {
        const size_t n = region ? d.regions[*region].rows : d.rows;
        for (size_t first = 0; first < n; first += 2) {
            std::vector<uint64_t> rows;
            for (size_t k = std::min(n, first + 2); k > first; --k)
                rows.push_back(k - 1);
            std::vector<float> got(rows.size() * d.row_length, -1.0f);
            r.read_rows(b, rows, got, region);
            for (size_t i = 0; i < rows.size(); ++i)
                CHECK(same_bits(checks::full_row(full, region, rows[i], scratch),
                                std::span<const float>(got).subspan(i * d.row_length, d.row_length)));
        }
        // The same rows as one range.
        std::vector<float> all(n * d.row_length);
        r.read_rows(b, RowRange{0, n}, all, region);
        for (size_t k = 0; k < n; ++k)
            CHECK(same_bits(checks::full_row(full, region, k, scratch), std::span<const float>(all).subspan(k * d.row_length, d.row_length)));
    }
}

// Every entry point on one block; only orvelio::Error may be thrown. When the block reads
// whole, the description and the rows must agree with it.
// An error in the library's own words: a message, and what the call was working on.
void check_words(const Error &e) {
    CHECK(!e.message().empty());
    CHECK(!e.where().empty());
    CHECK(std::string(e.what()).find(e.where()) != std::string::npos);
}

void exercise(const Reader &r, const Block &b) {
    std::optional<Data> full;
    try {
        full = r.read(b);
    } catch (const Error &e) {
        check_words(e);
    }
    if (full) {
        check_agreement(r, b, *full);
        (void)r.row_info(b);
        return;
    }
    try {
        const Description d = r.describe(b);
        const bool multi = multi_region(d.kind);
        const size_t fit = d.row_length ? (size_t{1} << 18) / d.row_length : 64;
        const size_t n = std::min({multi ? (d.regions.empty() ? size_t{0} : d.regions[0].rows) : d.rows, size_t{64}, fit});
        std::vector<uint64_t> rows(n);
        std::iota(rows.begin(), rows.end(), uint64_t{0});
        std::vector<float> out(n * d.row_length);
        r.read_rows(b, rows, out, multi ? std::optional<size_t>(0) : std::nullopt);
        (void)r.row_info(b);
    } catch (const Error &e) {
        check_words(e);
    }
}

template <class F> Error error_of(F &&f) {
    try {
        f();
    } catch (const Error &e) {
        return e;
    }
    FAIL("no orvelio::Error thrown");
    throw std::logic_error("unreachable");
}

} // namespace

TEST_CASE("a file in memory: the magic, the listing, the reads") {
    build::File f;
    build::add_spectrum(f, "AB", ramp(7, 1.0f));
    build::add_spectrum(f, "TRC", ramp(3, 2.0f));
    const build::Bytes bytes = f.bytes();
    const Reader r = Reader::from_memory(bytes);
    CHECK(r.size() == bytes.size());
    CHECK(r.is_orvel());
    std::vector<Block> blocks = r.blocks(); // in listing order; trace blocks are listed twice
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    CHECK(blocks == std::vector<Block>{{"AB", "2D", "NONE"}, {"TRC", "2D", "NONE"}});
    // Requests in any letter case; results upper-cased.
    const Data data = r.read({"trc", "2d", "none"});
    const Spectrum &s = std::get<Spectrum>(data);
    CHECK(s.request == Block{"TRC", "2D", "NONE"});
    CHECK(same_bits(ramp(3, 2.0f), s.y.values()));
    CHECK(s.x.size() == 3);
    CHECK(s.x[0] == 4000.0);
    CHECK(s.x[2] == 400.0);
    CHECK(r.pictures().empty());

    const Reader foreign = Reader::from_bytes({'n', 'o', 't', ' ', 'o', 'r', 'v', 'e', 'l'});
    CHECK_FALSE(foreign.is_orvel());
    CHECK(error_of([&] { (void)foreign.read({"AB", "2D", "NONE"}); }).code() == ErrorCode::not_orvel);
    CHECK_FALSE(Reader::from_bytes({}).is_orvel());
}

TEST_CASE("a Source reads as memory does; a file that changes after open is refused") {
    struct Counted : Source {
        const build::Bytes &bytes;
        size_t asked = 0;
        explicit Counted(const build::Bytes &b) : bytes(b) {}
        uint64_t size() override { return bytes.size(); }
        size_t read_at(void *dst, size_t n, uint64_t at) override {
            n = at < bytes.size() ? std::min<size_t>(n, bytes.size() - at) : 0;
            std::memcpy(dst, bytes.data() + at, n);
            asked += n;
            return n;
        }
    };
    for (const auto &[name, bytes] : files_of_each_kind()) {
        CAPTURE(name);
        auto source = std::make_shared<Counted>(bytes);
        const Reader r = Reader::from_source(source);
        const std::vector<Block> blocks = r.blocks();
        REQUIRE(!blocks.empty());
        CHECK_FALSE(r.identity());
        check_agreement(r, blocks[0], Reader::from_memory(bytes).read(blocks[0]));
        CHECK(source->asked > 0);
    }

    build::File f;
    build::add_spectrum(f, "AB", ramp(7, 1.0f));
    const build::Bytes bytes = f.bytes();
    char name[] = "/tmp/orvelio-changed-XXXXXX";
    const int fd = mkstemp(name);
    REQUIRE(fd >= 0);
    REQUIRE(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    const Reader r = Reader::open(name);
    REQUIRE(r.identity());
    CHECK(r.identity()->size == bytes.size());
    (void)r.read({"AB", "2D", "NONE"});
    REQUIRE(ftruncate(fd, static_cast<off_t>(bytes.size() - 8)) == 0); // cut after open
    const Error e = error_of([&] { (void)r.read({"AB", "2D", "NONE"}); });
    CHECK(e.code() == ErrorCode::changed);
    CHECK(e.message() == "the file changed since it was opened");
    CHECK(error_of([&] { (void)r.blocks(); }).detail() == ErrorDetail::file_changed);
    // A Reader for one call: that call trusts the fstat of its making, the next ones check.
    const Reader once = Reader::from_fd_for_call(fd);
    REQUIRE(once.identity());
    CHECK(once.identity()->size == bytes.size() - 8);
    CHECK(once.blocks().size() == 1);
    REQUIRE(ftruncate(fd, static_cast<off_t>(bytes.size() - 16)) == 0);
    CHECK(error_of([&] { (void)once.blocks(); }).detail() == ErrorDetail::file_changed);
    ::close(fd);
    ::unlink(name);
}

TEST_CASE("descriptions and row reads agree with whole reads, for every kind") {
    for (const auto &[name, bytes] : files_of_each_kind()) {
        CAPTURE(name);
        const Reader r = Reader::from_memory(bytes);
        const std::vector<Block> blocks = r.blocks();
        REQUIRE(!blocks.empty());
        CHECK(std::count(blocks.begin(), blocks.end(), blocks[0]) == static_cast<long>(blocks.size()));
        Data full = r.read(blocks[0]);
        CHECK(to_string(kind_of(full)) == name);
        check_agreement(r, blocks[0], full);
        RowInfo info = r.row_info(blocks[0]);
        index_all(full, info);
    }
}

TEST_CASE("rows of no values: a range reads as the same rows listed") {
    build::File f;
    build::add_block3d(f, "AB", {{0, {}, 1.0}, {1, {}, 2.0}, {2, {}, 3.0}}, 0);
    const build::Bytes bytes = f.bytes();
    const Reader r = Reader::from_memory(bytes);
    const Block b{"AB", "3D", "NONE"};
    const Description d = r.describe(b);
    REQUIRE(d.rows == 3);
    REQUIRE(d.row_length == 0);
    std::vector<float> none;
    r.read_rows(b, std::vector<uint64_t>{0, 1, 2}, none);
    r.read_rows(b, RowRange{0, 3}, none);
    r.read_rows(b, RowRange{3, 0}, none);
    // Past the last row, both name the first row that does not exist.
    const Error listed = error_of([&] { r.read_rows(b, std::vector<uint64_t>{1, 2, 3, 4}, none); });
    const Error range = error_of([&] { r.read_rows(b, RowRange{1, 4}, none); });
    CHECK(range.detail() == ErrorDetail::bad_row);
    CHECK(std::string(range.what()) == listed.what());
    CHECK(error_of([&] { r.read_rows(b, RowRange{UINT64_MAX, 2}, none); }).detail() == ErrorDetail::bad_row);
}

TEST_CASE("allocations refused anywhere in a call: orvelio::Error with code memory") {
    const auto files = files_of_each_kind();
    for (const auto &[name, bytes] : files) {
        CAPTURE(name);
        // The n-th allocation of the call fails, for every n until the call needs fewer.
        for (long n = 0;; ++n) {
            bool done = false;
            try {
                g_allocations_left = n;
                const Reader r = Reader::from_memory(bytes);
                const std::vector<Block> blocks = r.blocks();
                const Block &b = blocks.at(0);
                Data data = r.read(b);
                (void)r.describe(b);
                (void)r.row_info(b);
                (void)r.pictures();
                done = true;
            } catch (const Error &e) {
                g_allocations_left = -1;
                CHECK(e.code() == ErrorCode::memory);
                CHECK(e.detail() == ErrorDetail::no_memory);
                CHECK(!std::string(e.what()).empty());
            } catch (const std::exception &e) {
                g_allocations_left = -1;
                FAIL("an exception other than orvelio::Error: " << e.what());
            }
            g_allocations_left = -1;
            if (done)
                break;
        }
    }
}

TEST_CASE("row layouts and per-row values") {
    const auto files = files_of_each_kind();
    const Reader image = Reader::from_memory(files.at("image"));
    const Description d = image.describe({"AB", "3D", "NONE"});
    CHECK(d.shape == std::vector<size_t>{2, 3, 4});
    CHECK(d.rows == 6);
    CHECK(d.row_length == 4);
    CHECK(d.subblocks.size() == 5);
    std::vector<float> last(4, -1.0f);
    image.read_rows({"AB", "3D", "NONE"}, std::vector<uint64_t>{5}, last);
    CHECK(last == std::vector<float>(4, 0.0f)); // no spectrum stored for pixel 5
    const RowInfo info = image.row_info({"AB", "3D", "NONE"});
    REQUIRE(info.mapX.size() == 3);
    CHECK(info.mapX[2] == 14.0);

    const Reader traces = Reader::from_memory(files.at("time-traces"));
    CHECK(traces.row_info({"TRC", "3D", "NONE"}).labels == std::vector<std::string>{"first", "second"});
    const Reader series = Reader::from_memory(files.at("time-series"));
    const RowInfo z = series.row_info({"AB", "3D", "NONE"});
    REQUIRE(z.z.size() == 3);
    CHECK(z.z[2] == 3.0);
    const Reader map = Reader::from_memory(files.at("point-map"));
    const Description m = map.describe({"AB", "3D", "NONE"});
    CHECK(m.rows == 0);
    CHECK(m.shape == std::vector<size_t>{4, 2});
}

TEST_CASE("a cut file: code, detail and offset") {
    build::File f;
    std::vector<SubBlock> subs;
    for (int32_t k = 0; k < 6; ++k)
        subs.push_back({k, ramp(4, static_cast<float>(k))});
    build::add_block3d(f, "AB", subs, 4, kMap);
    build::Bytes bytes = f.bytes();
    const Reader whole = Reader::from_memory(bytes);
    const Block b{"AB", "3D", "NONE"};
    const Description d = whole.describe(b);
    REQUIRE(d.subblocks.size() == 6);

    // The data parameters come after the values: cut inside the last pixel's values, the file
    // loses them, so move them first.
    build::File g;
    g.add(build::data_word("AB", true, 1),
          build::params({{"NPT", 4}, {"FXV", 4000.0}, {"LXV", 400.0}, {"MNY", 0.0}, {"MXY", 1.0}, {"AOX", 10.0},
                         {"AOY", -5.0}, {"DDX", 2.0}, {"DDY", 0.5}, {"NPX", 3}, {"NPY", 2}}));
    const size_t block = g.add(build::data_word("AB", true), build::block3d(subs, 4));
    build::Bytes cut = g.bytes();
    const Reader full = Reader::from_memory(cut);
    const uint64_t last = static_cast<uint64_t>(full.describe(b).subblocks.back());
    CHECK(last > block);
    cut.resize(last + 6); // one value and a half of the last pixel
    const Reader r = Reader::from_memory(cut);

    const Description cd = r.describe(b); // the description reads no values
    CHECK(cd.rows == 6);
    const Error e = error_of([&] { (void)r.read(b); });
    CHECK(e.code() == ErrorCode::truncated);
    CHECK(e.detail() == ErrorDetail::values_cut_short);
    REQUIRE(e.offset());
    CHECK(*e.offset() >= last);
    CHECK(*e.offset() <= cut.size());
    // The rows before the cut read; the cut one fails as the whole read does.
    std::vector<float> out(4);
    r.read_rows(b, std::vector<uint64_t>{4}, out);
    CHECK(same_bits(ramp(4, 4.0f), out));
    const Error row = error_of([&] { r.read_rows(b, std::vector<uint64_t>{5}, out); });
    CHECK(row.code() == e.code());
    CHECK(row.offset() == e.offset());
    CHECK(std::string(row.what()) == e.what());

    CHECK(std::string(e.what()) == e.message() + ", at byte " + std::to_string(*e.offset()) + " of data block AB 3D NONE");

    // A parameter block cut inside a field: named, with where it starts.
    build::File s;
    s.add(build::data_word("AB", false), build::Bytes(16, 0));
    const size_t params_at = s.add(build::data_word("AB", false, 1), build::params({{"NPT", 4}}));
    build::Bytes params = s.bytes();
    params.resize(params_at + 7); // inside the first record's size field
    const Error p = error_of([&] { (void)Reader::from_memory(params).read({"AB", "2D", "NONE"}); });
    CHECK(p.detail() == ErrorDetail::short_field);
    CHECK(p.operands() == std::vector<Value>{int64_t{2}});
    CHECK(p.message() == "the parameter block at byte " + std::to_string(params_at) + " ends inside a 2-byte field");

    // A header cut short.
    const Reader head = Reader::from_bytes({0x0a, 0x0a, 0xfe, 0xfe, 0, 0, 0, 0});
    CHECK(head.is_orvel());
    const Error h = error_of([&] { (void)head.read(b); });
    CHECK(h.code() == ErrorCode::truncated);
    CHECK(h.detail() == ErrorDetail::short_field);
    CHECK(h.offset().has_value());
}

TEST_CASE("requests and arguments the reader refuses") {
    const auto files = files_of_each_kind();
    const Reader r = Reader::from_memory(files.at("image"));
    const Reader map = Reader::from_memory(files.at("point-map"));
    std::vector<float> out(4);
    const auto refused = [](const Error &e, ErrorDetail detail) {
        CHECK(e.code() == ErrorCode::invalid_request);
        CHECK(e.detail() == detail);
    };
    SUBCASE("unknown words, whatever the call") {
        for (const Block &b : {Block{"XYZ", "3D", "NONE"}, Block{"AB", "4D", "NONE"}, Block{"AB", "3D", "9DER"},
                               Block{"", "", ""}}) {
            CAPTURE(b.type + " " + b.dimensions + " " + b.derivative);
            refused(error_of([&] { validate(b); }), ErrorDetail::bad_request);
            refused(error_of([&] { (void)r.read(b); }), ErrorDetail::bad_request);
            refused(error_of([&] { (void)r.describe(b); }), ErrorDetail::bad_request);
            refused(error_of([&] { r.read_rows(b, std::vector<uint64_t>{0}, out); }), ErrorDetail::bad_request);
            refused(error_of([&] { (void)r.row_info(b); }), ErrorDetail::bad_request);
        }
        // Checked dimensions first, then type, then derivative.
        const auto message = [](const Block &b) { return std::string(error_of([&] { validate(b); }).what()); };
        CHECK(message({"XYZ", "4D", "9DER"}) == message({"AB", "4D", "NONE"}));
        CHECK(message({"XYZ", "3D", "9DER"}) == message({"XYZ", "3D", "NONE"}));
        CHECK(message({"XYZ", "3D", "NONE"}) != message({"AB", "4D", "NONE"}));
    }
    SUBCASE("rows and buffers that do not fit the block") {
        const Block b{"AB", "3D", "NONE"};
        refused(error_of([&] { r.read_rows(b, std::vector<uint64_t>{6}, out); }), ErrorDetail::bad_row);
        std::vector<float> eight(8);
        refused(error_of([&] { r.read_rows(b, RowRange{5, 2}, eight); }), ErrorDetail::bad_row);
        refused(error_of([&] { r.read_rows(b, std::vector<uint64_t>{0, 1}, out); }), ErrorDetail::bad_request);
        refused(error_of([&] { r.read_rows(b, std::vector<uint64_t>{0}, out, 0); }), ErrorDetail::bad_request);
        std::vector<float> three(3);
        refused(error_of([&] { map.read_rows(b, std::vector<uint64_t>{0}, three); }), ErrorDetail::bad_request);
        refused(error_of([&] { map.read_rows(b, std::vector<uint64_t>{0}, three, 2); }), ErrorDetail::bad_row);
        refused(error_of([&] { map.read_rows(b, std::vector<uint64_t>{2}, three, 1); }), ErrorDetail::bad_row);
    }
    SUBCASE("a block the file does not hold") {
        const Error e = error_of([&] { (void)r.read({"AB", "2D", "NONE"}); });
        CHECK(e.code() == ErrorCode::not_found);
        CHECK(error_of([&] { (void)r.describe({"TRC", "3D", "NONE"}); }).code() == ErrorCode::not_found);
    }
    SUBCASE("a path that cannot be opened") {
        const Error e = error_of([] { (void)Reader::open("/nonexistent/file.orv"); });
        CHECK(e.code() == ErrorCode::io);
        CHECK(e.system_errno() == ENOENT);
    }
}

TEST_CASE("the saved fuzz inputs: only orvelio::Error, and row reads agree where blocks read whole") {
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(ORVELIO_REGRESSIONS)) {
        CAPTURE(entry.path().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const build::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const Reader &r : {Reader::from_memory(bytes), Reader::open(entry.path())}) {
            std::vector<Block> blocks;
            try {
                blocks = r.blocks();
            } catch (const Error &) {
            }
            for (const Block &b : blocks)
                exercise(r, b);
            try {
                (void)r.pictures();
            } catch (const Error &) {
            }
        }
        ++files;
    }
    CHECK(files >= 3);
}

TEST_CASE("one reader, many threads reading rows at once") {
    const auto files = files_of_each_kind();
    const Block b{"AB", "3D", "NONE"};
    const Reader r = Reader::from_memory(files.at("time-series"));
    const Data full = r.read(b);
    std::vector<std::vector<float>> got(4, std::vector<float>(3 * 4));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                r.read_rows(b, RowRange{0, 3}, got[t]);
        });
    for (std::thread &t : threads)
        t.join();
    const auto &spectra = std::get<TimeSeries>(full).spectra;
    for (const auto &g : got)
        CHECK(same_bits(g, spectra.values()));
}

// ------------------------------------------------------------------ the description's data model

namespace {

const Array<double> *axis_array(const Data &full, const std::string &name) {
    if (name == "spectral")
        return &common(full).x;
    if (const auto *i = std::get_if<Image>(&full))
        return name == "x" ? &i->mapX : &i->mapY;
    const auto &t = std::get<ImageTraces>(full);
    return name == "x" ? &t.mapX : &t.mapY;
}

// How many values the RowInfo field a coordinate names holds (per region: of region 0).
size_t row_info_size(const RowInfo &info, const std::string &field) {
    if (field == "labels")
        return info.labels.size();
    if (field == "z")
        return info.z.size();
    const Region &r = info.regions.at(0);
    if (field == "start_time")
        return r.start_time ? r.start_time->size() : SIZE_MAX;
    return field == "mapX" ? r.mapX.size() : field == "mapY" ? r.mapY.size() : SIZE_MAX;
}

} // namespace

TEST_CASE("the description names dimensions and coordinates as the whole read gives them") {
    const std::map<std::string, std::vector<std::string>> dims = {
        {"spectrum", {"spectral"}},           {"image", {"y", "x", "spectral"}},
        {"image-traces", {"y", "x", "trace"}}, {"time-series", {"time", "spectral"}},
        {"time-traces", {"trace", "spectral"}}, {"point-map", {"spectrum", "spectral"}},
        {"trace-map", {"spectrum", "trace"}}};
    for (const auto &[name, bytes] : files_of_each_kind()) {
        CAPTURE(name);
        const Reader r = Reader::from_memory(bytes);
        const Block b = r.blocks()[0];
        const Data full = r.read(b);
        const Description d = r.describe(b);
        const RowInfo info = r.row_info(b);
        std::vector<std::string> names;
        for (const Dimension &dim : d.dims)
            names.push_back(dim.name);
        CHECK(names == dims.at(name));
        CHECK(d.complete());
        CHECK(d.spectral.name == "spectral");
        for (size_t k = 0; k < d.dims.size(); ++k) {
            const Dimension &dim = d.dims[k];
            CAPTURE(dim.name);
            if (d.by_region())
                CHECK(dim.size == (k == 0 ? 0 : d.row_length));
            else
                CHECK(dim.size == d.shape[k]);
            REQUIRE(!dim.coordinates.empty());
            for (const Coordinate &c : dim.coordinates) {
                if (c.axis) { // first, last and count of the whole read's array, bit for bit
                    const Array<double> &a = *axis_array(full, c.name);
                    REQUIRE(a.size() == c.axis->count);
                    REQUIRE(dim.size == a.size());
                    CHECK(checks::same_bits(c.axis->first, a[0]));
                    CHECK(checks::same_bits(c.axis->last, a[a.size() - 1]));
                } else {
                    CHECK(c.row_info != "");
                    CHECK(row_info_size(info, c.row_info) == (d.by_region() && k == 0 ? d.regions[0].rows : dim.size));
                }
            }
        }
        // The rows read_rows addresses are the dimensions that say so.
        size_t rows = 1;
        for (const Dimension &dim : d.dims)
            if (dim.rows)
                rows *= dim.size;
        CHECK(rows == (d.by_region() ? 0 : d.rows));
    }
}

TEST_CASE("units, quantities, completeness and regions as numbers") {
    CHECK(unit_of("WN") == Unit{"cm-1", "cm⁻¹"});
    CHECK(unit_of(" 1/cm ") == Unit{"cm-1", "cm⁻¹"});
    CHECK(unit_of("µm") == Unit{"um", "µm"});
    CHECK(unit_of("mi") == Unit{"um", "µm"});
    CHECK(unit_of("SEC") == Unit{"s", "s"});
    CHECK(unit_of("furlong") == Unit{"furlong", "furlong"});

    // A spectrum cut inside its values: 1051 of its 1801 held, read() gives those.
    build::File f;
    f.add(build::data_word("AB", false, 1),
          build::params({{"NPT", 1801}, {"FXV", 4000.0}, {"LXV", 400.0}, {"MNY", 0.0}, {"MXY", 1.0}, {"DXU", std::string("WN")},
                         {"DAT", std::string("08/12/2026")}, {"TIM", std::string("14:03:22.5 (GMT+1)")},
                         {"MUN", std::string("um")}}));
    const size_t at = f.add(build::data_word("AB", false), build::Bytes(4 * 1801, 0));
    build::Bytes bytes = f.bytes();
    bytes.resize(at + 4 * 1051 + 2);
    const Reader r = Reader::from_memory(bytes);
    const Description d = r.describe({"AB", "2D", "NONE"});
    CHECK(d.values_held == 1051);
    CHECK(d.values_declared == 1801);
    CHECK_FALSE(d.complete());
    CHECK(std::get<Spectrum>(r.read({"AB", "2D", "NONE"})).y.size() == 1051);
    CHECK(d.dims[0].size == 1801);
    CHECK(d.values == Quantity{"Absorbance", {"1", ""}});
    CHECK(d.spectral.quantity == Quantity{"Wavenumber", {"cm-1", "cm⁻¹"}});
    REQUIRE(d.acquired.utc);
    CHECK(*d.acquired.utc == 1796735002.5); // 2026-12-08 13:03:22.5 UTC
    CHECK(d.acquired.time == "14:03:22.5 (GMT+1)");

    // Regions: the 2 x 2 grid lies row by row; the list of points is no grid. Traces of a
    // region listed column by column.
    const auto files = files_of_each_kind();
    const Description m = Reader::from_memory(files.at("point-map")).describe({"AB", "3D", "NONE"});
    REQUIRE(m.regions.size() == 2);
    CHECK(m.regions[0].group == Value{int64_t{1}});
    CHECK((m.regions[0].nx == 2 && m.regions[0].ny == 2 && m.regions[0].rows == 4));
    CHECK(m.regions[0].grid == GridOrder::x_fastest);
    CHECK((m.regions[1].nx == 0 && m.regions[1].ny == 0 && m.regions[1].rows == 2));
    CHECK(m.regions[1].grid == GridOrder::none);
    CHECK(m.dims[0].coordinates.size() == 3);

    const auto trace_map = [](std::vector<build::RegionRow> rows) {
        build::File t;
        build::add_block3d(t, "TRC", {{0, ramp(6, 0.0f), 0, "t0"}}, 6);
        t.add(build::block_type(0, 0, 0, 0, build::ext_anno), build::annotation(rows));
        return Reader::from_bytes(t.bytes()).describe({"TRC", "3D", "NONE"}).regions.at(0).grid;
    };
    // 3 x 2 by columns: y fastest.
    CHECK(trace_map({{1, 3, 2, 1, 0.f, 0.f}, {1, 3, 2, 2, 0.f, 1.f}, {1, 3, 2, 3, 1.f, 0.f},
                     {1, 3, 2, 4, 1.f, 1.f}, {1, 3, 2, 5, 2.f, 0.f}, {1, 3, 2, 6, 2.f, 1.f}}) == GridOrder::y_fastest);
    // A position twice: no grid.
    CHECK(trace_map({{1, 2, 2, 1, 0.f, 0.f}, {1, 2, 2, 2, 1.f, 0.f}, {1, 2, 2, 3, 0.f, 1.f},
                     {1, 2, 2, 4, 0.f, 1.f}}) == GridOrder::none);
}

TEST_CASE("acquisition times as instruments write them") {
    constexpr double kDay = 1796688000; // 2026-12-08 00:00:00 UTC
    struct Case {
        const char *date, *time;
        std::optional<double> utc;
        bool noted;
    };
    const Case cases[] = {
        {"08/12/2026", "14:03:22 (GMT+1)", kDay + 13 * 3600 + 3 * 60 + 22, false},
        {"08.12.2026", "14:03:22.250 (GMT+1)", kDay + 13 * 3600 + 3 * 60 + 22.25, false},
        {"\t08/12/2026 ", " 14:03 GMT+10.5\t", kDay + 3 * 3600 + 33 * 60, false},
        {"08/12/2026", "01:00:00 (GMT-03:30)", kDay + 4 * 3600 + 30 * 60, false},
        {"08/12/2026", "10:00:00 UTC", kDay + 10 * 3600, false},
        {"2026-12-08", "10:00:00+0200", kDay + 8 * 3600, false},
        {"08/12/26", "10:00:00 Z", kDay + 10 * 3600, false},
        {"08/12/2026", "10:00:00", kDay + 10 * 3600, true},             // no zone: UTC
        {"08/12/2026", "10:00:00 (Etc/NA)", kDay + 10 * 3600, true},    // unknown zone: UTC
        {"08/12/2026", "", std::nullopt, true},
        {"", "10:00:00", std::nullopt, true},
        {"31/02/2026", "10:00:00", std::nullopt, true},
        {"08/12/2026", "25:00:00", std::nullopt, true},
        {"yesterday", "noon", std::nullopt, true},
        {"08/12/12026", "10:00:00", std::nullopt, true},
        {"08/12/2026", "10:00:00 GMT+99", kDay + 10 * 3600, true},
    };
    for (const Case &c : cases) {
        CAPTURE(c.date);
        CAPTURE(c.time);
        const Acquired a = acquisition_time(c.date, c.time);
        CHECK(a.utc == c.utc);
        CHECK(a.note.empty() == !c.noted);
        CHECK(a.date == c.date);
        CHECK(a.time == c.time);
    }
}

// Bytes in use on the heap beyond `since` (0 where the sanitizers keep their own count).
static size_t heap_grown(size_t since = 0) {
    const struct mallinfo2 m = mallinfo2();
    return std::max(m.uordblks + m.hblkhd, since) - since;
}

TEST_CASE("a small file costs little to describe whole: shared parameter blocks and picture records") {
    // 48 spectra of one value that all merge one acquisition block of 70,000 parameters (840 kB).
    build::File f(100);
    std::vector<build::Param> shared;
    for (int k = 0; k < 70'000; ++k)
        shared.push_back({{static_cast<char>('A' + k / 36 / 36 / 36 % 26), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[k / 36 / 36 % 36],
                           "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[k / 36 % 36], "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[k % 36]},
                          k});
    shared.push_back({"NPT", 1}); // merged over every block's own
    for (uint32_t data : {4u, 5u, 6u, 7u, 10u, 11u, 12u, 15u, 16u, 17u, 18u, 19u})
        for (uint32_t deriv = 0; deriv < 4; ++deriv) {
            f.add(build::block_type(3, 0, data, deriv, build::ext_2d), {0, 0, 128, 63});
            f.add(build::block_type(3, 1, data, deriv, build::ext_2d),
                  build::params({{"NPT", 2}, {"FXV", 1.0}, {"LXV", 1.0}, {"MNY", 1.0}, {"MXY", 1.0}}));
        }
    f.add(build::block_type(0, 3, 0, 0, build::ext_2d), build::params(shared));
    const build::Bytes bytes = f.bytes();
    const Reader r = Reader::from_memory(bytes);
    std::vector<Block> blocks; // each once (trace blocks are listed twice)
    for (const Block &b : r.blocks())
        if (std::find(blocks.begin(), blocks.end(), b) == blocks.end())
            blocks.push_back(b);
    REQUIRE(blocks.size() == 48);
    const size_t heap = heap_grown();
    const std::clock_t start = std::clock();
    for (const Block &b : blocks) {
        const Description d = r.describe(b);
        REQUIRE(d.parameters.size() == 70'005);
        CHECK(d.parameters[0] == Parameters::value_type{"NPT", int64_t{1}}); // its place, the shared value
        CHECK(d.parameter_blocks.back() == r.describe(blocks[0]).parameter_blocks.back()); // one block
    }
    // Each description's parameters (5 MB) were once kept by the reader, and read again each time.
    CHECK(heap_grown(heap) < (32u << 20));
    CHECK(std::clock() - start < 2 * CLOCKS_PER_SEC);

    // One record of 10 labelled texts of 2,000 characters and 100 kB of bytes, listed 4,000 times.
    std::vector<std::pair<std::string, std::string>> labels;
    for (int k = 0; k < 10; ++k)
        labels.push_back({"L" + std::to_string(k) + ":", std::string(2000, 'v')});
    build::File g;
    g.add(build::block_type(0, 0, 0, 0, build::ext_image), build::image_block("shared", labels, build::Bytes(100'000, 'B'), 4000));
    const build::Bytes picture_bytes = g.bytes();
    const size_t before = heap_grown();
    const std::vector<Picture> pictures = Reader::from_memory(picture_bytes).pictures();
    REQUIRE(pictures.size() == 4000);
    CHECK(pictures[3999].properties == pictures[0].properties);
    CHECK(pictures[3999].data == pictures[0].data);
    CHECK(pictures[0].properties->size() == 13); // the title, the labels, Bytes and Type
    CHECK(heap_grown(before) < (8u << 20)); // 80 MB of properties when copied per picture
}

TEST_CASE("describe_files: what each Reader describes, failures kept per file, in order") {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("orvelio-files-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto write = [&](const std::string &name, const build::Bytes &bytes) {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                           static_cast<std::streamsize>(bytes.size()));
        return dir / name;
    };
    build::File f;
    build::add_spectrum(f, "AB", ramp(7, 1.0f));
    build::add_spectrum(f, "TRC", ramp(3, 2.0f));
    const build::Bytes good = f.bytes();
    const std::vector<std::filesystem::path> paths = {
        write("good.0", good), write("cut.0", build::Bytes(good.begin(), good.begin() + 40)),
        write("text.txt", {'n', 'o', 't'}), dir / "missing.0", dir, write("again.0", good)};
    DescribeOptions options;
    options.parameters = {"NPT", "ZZZ"};
    options.values = true;
    for (unsigned threads : {1u, 2u, 0u}) {
        options.threads = threads;
        const std::vector<FileDescription> got = describe_files(paths, options);
        REQUIRE(got.size() == paths.size());
        for (size_t i : {size_t{0}, size_t{5}}) {
            REQUIRE(got[i].status == FileDescription::Status::described);
            const Reader r = Reader::open(paths[i]);
            REQUIRE(got[i].blocks.size() == 2);
            for (const DescribedBlock &b : got[i].blocks) {
                const Description d = r.describe(b.description.request);
                CHECK(b.description.shape == d.shape);
                CHECK(b.description.x.count == d.x.count);
                CHECK(b.description.parameters.empty());
                CHECK(b.chosen.size() == 2);
                CHECK(b.chosen[0] == Value{static_cast<int64_t>(d.x.count)});
                CHECK(std::holds_alternative<std::monostate>(b.chosen[1]));
                const Spectrum s = std::get<Spectrum>(r.read(b.description.request));
                CHECK(same_bits(s.y.values(), std::span<const float>(b.values)));
            }
        }
        CHECK(got[1].status == FileDescription::Status::failed);
        CHECK(got[1].error->code() == error_of([&] {
                  const Reader r = Reader::open(paths[1]);
                  for (const Block &b : r.blocks())
                      (void)r.describe(b);
              }).code());
        CHECK(got[2].status == FileDescription::Status::not_orvel);
        CHECK(got[3].error->system_errno() == ENOENT);
        CHECK(got[4].error->system_errno() == EISDIR);
    }
    // One block asked for: files without it fail with not_found.
    options.block = Block{"TRC", "2D", "NONE"};
    CHECK(describe_files(paths, options)[0].blocks.size() == 1);
    options.block = Block{"SSC", "2D", "NONE"};
    CHECK(describe_files(paths, options)[0].error->code() == ErrorCode::not_found);
    // An interrupt check that says stop ends the batch.
    set_interrupt_check([](void *) { return true; });
    CHECK(error_of([&] { (void)describe_files(paths, options); }).code() == ErrorCode::interrupted);
    set_interrupt_check(nullptr);
    std::filesystem::remove_all(dir);
}

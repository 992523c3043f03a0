// The core's own readers, below the public API: the block type word, the directory with its
// 64-bit extension, and parameter blocks record by record (values, types, where the reading
// stops, and the errors of blocks that run short), each read from memory and from a file.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "builder.hpp"
#include "format/directory.hpp"
#include "format/file.hpp"
#include "params/params.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>
#include <unistd.h>
#include <vector>

using namespace orvelio;
using build::Bytes;
using build::put;

namespace {

// f(file) for the bytes in memory and for the same bytes written to a file and read through
// its descriptor (the two ways a File reads).
void each_source(const Bytes &bytes, const std::function<void(File &)> &f) {
    {
        File file = File::from_memory(bytes);
        f(file);
    }
    FILE *tmp = std::tmpfile();
    REQUIRE(tmp != nullptr);
    REQUIRE(std::fwrite(bytes.data(), 1, bytes.size(), tmp) == bytes.size());
    std::fflush(tmp);
    File file = File::from_fd(fileno(tmp));
    f(file);
    std::fclose(tmp);
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// One parameter record: the name (NUL-padded to 4 bytes), the type and size fields, the value.
Bytes record(std::string_view name, int16_t type, int16_t size, const Bytes &value) {
    std::string padded(name);
    padded.resize(4, '\0');
    Bytes b = text(padded);
    put(b, type), put(b, size);
    build::append(b, value);
    return b;
}
template <class T> Bytes raw(T v) {
    Bytes b;
    put(b, v);
    return b;
}

const Bytes kEnd = text(std::string_view("END\0", 4));

// The error of `call`: its detail and operands.
Error error_of(const std::function<void()> &call) {
    try {
        call();
    } catch (const Error &e) {
        return e;
    }
    FAIL("no error");
    throw;
}

// A header, a 32-bit directory of `entries` (type, size, offset) with room for `max_dir`, then
// `body`; `count` overrides the directory's size field.
Bytes raw_file(const std::vector<std::array<int32_t, 3>> &entries, size_t max_dir, const Bytes &body,
               int32_t count = -1) {
    Bytes b = {0x0a, 0x0a, 0xfe, 0xfe};
    put(b, 1.0);
    put<int32_t>(b, 24), put(b, static_cast<int32_t>(max_dir));
    put(b, count < 0 ? static_cast<int32_t>(entries.size()) : count);
    for (const auto &e : entries)
        for (int32_t v : e)
            put(b, v);
    b.resize(24 + 12 * max_dir);
    build::append(b, body);
    return b;
}

// The 64-bit extension's table: its count, then (type, size, offset) entries of 64 bits.
Bytes extension(const std::vector<std::array<int64_t, 3>> &entries) {
    Bytes b;
    put(b, static_cast<int64_t>(entries.size())), put(b, int64_t{0});
    for (const auto &e : entries) {
        for (int64_t v : e)
            put(b, v);
        put(b, int64_t{0});
    }
    return b;
}

BlockType type(int c, int s, int p, int d, int v, int e) { return {c, s, p, d, v, e}; }

} // namespace

TEST_CASE("the block type word: six fields of any width and sign") {
    const std::vector<std::pair<int64_t, BlockType>> cases = {
        {0, type(0, 0, 0, 0, 0, 0)},
        {0x00001003, type(3, 0, 0, 4, 0, 0)},
        {0x0050100F, type(3, 3, 0, 4, 0, 10)},
        {0x7FFFFFFF, type(3, 3, 63, 127, 3, 127)},
        {0x7FFFFFFFLL - (1LL << 32), type(3, 3, 63, 127, 3, 127)}, // the top bit set, read negative
        {-1, type(3, 3, 63, 127, 3, 127)},
        {0x02000000, type(0, 0, 0, 0, 0, 64)},
        {(1LL << 40) + 0x1003, type(3, 0, 0, 4, 0, 0)}, // a 64-bit word: the high bits ignored
    };
    for (const auto &[word, fields] : cases) {
        CAPTURE(word);
        CHECK(decode_block_type(word) == fields);
    }
}

TEST_CASE("the directory: 32-bit entries, then those of the 64-bit extension") {
    const int32_t ab = build::data_word("AB", false), ab_params = build::data_word("AB", false, 1);
    const int32_t ext = build::block_type(0, 0, 0, 0, 64);
    const int32_t base = 24 + 12 * 64;
    Bytes body(16, 0); // two blocks of 8 bytes
    const Bytes table = extension({{build::block_type(1, 0, 1, 0, 0), 3, 1LL << 33}, {-1, -2, -3}});
    build::append(body, table);
    const Bytes bytes = raw_file({{ab, 2, base}, {ab_params, 2, base + 8},
                                  {ext, static_cast<int32_t>(table.size() / 4), base + 16}},
                                 64, body);
    each_source(bytes, [&](File &f) {
        const std::vector<DirEntry> d = read_directory(f);
        REQUIRE(d.size() == 5);
        CHECK(d[0].type == type(0, 3, 0, 4, 0, 0));
        CHECK(d[1].type == type(0, 3, 1, 4, 0, 0));
        CHECK(d[2].type == type(0, 0, 0, 0, 0, 64));
        CHECK(d[3].type == type(0, 1, 0, 1, 0, 0));
        CHECK(d[4].type == type(3, 3, 63, 127, 3, 127));
        CHECK((d[0].sizeInWords == 2 && d[0].byteOffset == base));
        CHECK((d[3].sizeInWords == 3 && d[3].byteOffset == 1LL << 33));
        CHECK((d[4].sizeInWords == -2 && d[4].byteOffset == -3));
    });
    // An extension entry pointing at byte 0 is not followed; a directory of size 0 is empty.
    each_source(raw_file({{ab, 2, base}, {ext, 12, 0}}, 4, Bytes(8, 0)),
                [](File &f) { CHECK(read_directory(f).size() == 2); });
    each_source(raw_file({{ab, 2, 24 + 12 * 4}}, 4, Bytes(8, 0), 0),
                [](File &f) { CHECK(read_directory(f).empty()); });
}

TEST_CASE("parameter records: values, types and where the reading stops") {
    struct Case {
        Bytes record;
        std::string name;
        Value value;
        int64_t consumed; // the record's bytes
    };
    const Bytes sample = text(std::string_view("Sample\0x", 8));
    const std::vector<Case> cases = {
        {record("NPT\0", 0, 2, raw<int32_t>(1024)), "NPT", int64_t{1024}, 12},
        {record("NPT\0", 0, 4, raw<int32_t>(7)), "NPT", int64_t{7}, 12}, // an int is 4 bytes whatever the size says
        {record("RES\0", 1, 0, raw(4.5)), "RES", 4.5, 16},                 // a float is 8
        {record("SNM\0", 2, 4, sample), "SNM", std::string("Sample"), 16},
        {record("SNM\0", 2, 0, {}), "SNM", std::string(), 8},
        {record(std::string_view("\0SNM", 4), 0, 2, raw<int32_t>(1)), "SNM", int64_t{1}, 12}, // NULs stripped at both ends
        {record("ABCD", 0, 2, raw<int32_t>(1)), "ABCD", int64_t{1}, 12},
        {record(std::string_view("A\0B\0", 4), 0, 2, raw<int32_t>(1)), std::string("A\0B", 3), int64_t{1}, 12}, // not inside
        {record(" XY\0", 0, 2, raw<int32_t>(1)), " XY", int64_t{1}, 12}, // blanks are kept
        {record("TXT\0", 2, 3, text(std::string_view("caf\xc3\xa9\0", 6))), "TXT", std::string("caf\xc3\xa9"), 14},
        {record("TXT\0", 3, 3, text(std::string_view("caf\xe9\0\0", 6))), "TXT", std::string("caf\xc3\xa9"), 14},
        {record("TXT\0", 4, 2, text("abcd")), "TXT", std::string("abcd"), 12},
        {record("NEG\0", 0, 2, raw<int32_t>(-5)), "NEG", int64_t{-5}, 12},
    };
    for (const Case &c : cases) {
        CAPTURE(c.name);
        Bytes bytes(8, 0); // the block 8 bytes in
        build::append(bytes, c.record);
        build::append(bytes, kEnd);
        each_source(bytes, [&](File &f) {
            std::vector<ParamDict::Item> items = read_params(f, 8).take_items();
            REQUIRE(items.size() == 1);
            CHECK(items[0].first == c.name);
            CHECK(items[0].second == c.value);
            CHECK(f.tell() == 8 + c.consumed + 4); // just after the end record's name
        });
    }
    Bytes only_end(8, 0);
    build::append(only_end, kEnd);
    each_source(only_end, [](File &f) {
        CHECK(read_params(f, 8).size() == 0);
        CHECK(f.tell() == 12);
    });
    // Thousands of records, names repeated, over several read-ahead windows with records cut
    // by their edges, from an odd offset: what a record-by-record reading gives.
    std::vector<build::Param> many;
    std::vector<std::pair<std::string, Value>> expected;
    for (int k = 0; k < 6000; ++k) {
        char name[8];
        std::snprintf(name, sizeof name, "%04X", k % 2500);
        build::Param p{name, k % 3 == 0 ? build::Param::second_type(k)
                             : k % 3 == 1 ? build::Param::second_type(k / 7.0)
                                          : build::Param::second_type(std::string(static_cast<size_t>(k % 11), 't'))};
        many.push_back(p);
        const Value v = std::visit([](const auto &x) -> Value {
            if constexpr (std::is_same_v<std::decay_t<decltype(x)>, int32_t>)
                return int64_t{x};
            else
                return x;
        }, p.second);
        auto at = std::find_if(expected.begin(), expected.end(), [&](const auto &e) { return e.first == name; });
        if (at == expected.end())
            expected.emplace_back(name, v);
        else
            at->second = v;
    }
    Bytes long_block(5, 0);
    build::append(long_block, build::params(many));
    each_source(long_block, [&](File &f) {
        const std::vector<ParamDict::Item> items = read_params(f, 5).take_items();
        CHECK(std::equal(items.begin(), items.end(), expected.begin(), expected.end()));
        CHECK(f.tell() == static_cast<int64_t>(long_block.size()));
    });
    // A name set again keeps its first place and takes the last value.
    Bytes again = build::params({{"RES", 4.0}, {"NPT", 10}, {"RES", 2.0}, {"SNM", std::string("x")}});
    each_source(again, [](File &f) {
        const std::vector<ParamDict::Item> items = read_params(f, 0).take_items();
        REQUIRE(items.size() == 3);
        CHECK((items[0].first == "RES" && items[0].second == Value(2.0)));
        CHECK((items[1].first == "NPT" && items[1].second == Value(int64_t{10})));
        CHECK((items[2].first == "SNM" && items[2].second == Value(std::string("x"))));
    });
}

TEST_CASE("parameter blocks that cannot be read") {
    for (int16_t code : {5, 7, -1, 1000}) {
        CAPTURE(code);
        Bytes block = record(std::string_view("X\0Y", 3), code, 2, Bytes(4, 0));
        build::append(block, kEnd);
        each_source(block, [&](File &f) {
            const Error e = error_of([&] { read_params(f, 0); });
            CHECK(e.detail() == ErrorDetail::unknown_type);
            CHECK(e.operands() == std::vector<Value>{int64_t{code}});
            CHECK(e.offset() == std::optional<uint64_t>(0));
            CHECK(e.message().find("'X\\x00Y'") != std::string::npos); // one line, whole as a C string
        });
    }
    Bytes bad_name = record(std::string_view("\xff" "AB", 3), 0, 2, raw<int32_t>(1));
    build::append(bad_name, kEnd);
    each_source(bad_name, [](File &f) {
        const Error e = error_of([&] { read_params(f, 0); });
        CHECK(e.detail() == ErrorDetail::bad_text);
        CHECK(e.operands() == std::vector<Value>{std::string("\xff" "AB\0", 4)});
    });
    // Blocks that run into the end of the input: the field cut short and its width.
    Bytes no_end = record("NPT\0", 0, 2, raw<int32_t>(1));
    Bytes no_end_np = no_end;
    build::append(no_end_np, text("NP"));
    Bytes rest = record("SNM\0", 2, -1, text(std::string_view("x\0", 2))); // a negative size reads the rest
    build::append(rest, kEnd);
    const std::vector<std::pair<Bytes, int64_t>> short_blocks = {
        {no_end, 2}, // an empty name, then the type cut short
        {no_end_np, 2},
        {rest, 2},
        {text(std::string_view("NPT\0\0\0", 6)), 2},
        {text(std::string_view("NPT\0\0\0\0\0\1\0", 10)), 4}, // an int value cut short
        {text(std::string_view("NPT\0\1\0\0\0\1\0", 10)), 8}, // a float value cut short
        {text(std::string_view("TXT\0\2\0\x10\0abc", 11)), 2}, // 32 bytes of text announced, 3 present
    };
    for (const auto &[block, width] : short_blocks) {
        CAPTURE(width);
        Bytes bytes(8, 0);
        build::append(bytes, block);
        each_source(bytes, [&](File &f) {
            const Error e = error_of([&] { read_params(f, 8); });
            CHECK(e.detail() == ErrorDetail::short_field);
            CHECK(e.operands() == std::vector<Value>{width});
        });
    }
    // An offset past the end is a field cut short; a negative one an invalid position.
    each_source(build::params({{"A", 1}}), [](File &f) {
        CHECK(error_of([&] { read_params(f, 1000000); }).detail() == ErrorDetail::short_field);
        const Error e = error_of([&] { read_params(f, -1); });
        CHECK((e.detail() == ErrorDetail::bad_position && e.system_errno() == EINVAL));
    });
}

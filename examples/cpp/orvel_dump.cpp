// orvel_dump: lists the data blocks of an Orvel file, or prints one block as CSV.
//
//     orvel_dump FILE                            one line per block: words, kind, shape, x range
//     orvel_dump FILE TYPE DIMS DERIV [ROW...]   the block as CSV: "x,y" for a spectrum; for a
//                                                3D block "x,row R,..." for the rows given
//                                                (row 0 when none; multi-region maps: region 0)
//
// It uses nothing but the public header <orvelio/orvelio.hpp>.
#include <orvelio/orvelio.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

namespace {

std::string shape_text(const std::vector<size_t> &shape) {
    std::string s = "(";
    for (size_t i = 0; i < shape.size(); ++i)
        s += (i ? ", " : "") + std::to_string(shape[i]);
    return s + ")";
}

void list_blocks(const orvelio::Reader &r) {
    for (const orvelio::Block &b : r.blocks()) {
        const orvelio::Description d = r.describe(b);
        std::printf("%s %s %s\t%s\t%s\tx %.9g .. %.9g (%zu points)\n", b.type.c_str(), b.dimensions.c_str(),
                    b.derivative.c_str(), std::string(orvelio::to_string(d.kind)).c_str(), shape_text(d.shape).c_str(),
                    d.x.first, d.x.last, d.x.count);
    }
}

// The x value of point i of an evenly spaced axis.
double x_at(const orvelio::AxisRange &x, size_t i) {
    return x.count < 2 ? x.first : x.first + (x.last - x.first) * static_cast<double>(i) / static_cast<double>(x.count - 1);
}

void print_block(const orvelio::Reader &r, const orvelio::Block &b, std::vector<uint64_t> rows) {
    const orvelio::Description d = r.describe(b);
    if (d.kind == orvelio::Kind::spectrum) {
        // A spectrum reads whole: its x axis and values as the file gives them.
        const orvelio::Data data = r.read(b);
        const auto &s = std::get<orvelio::Spectrum>(data);
        std::printf("x,y\n");
        for (size_t i = 0; i < s.y.size(); ++i)
            std::printf("%.9g,%.9g\n", s.x[i], static_cast<double>(s.y[i]));
        return;
    }
    // A 3D block: only the rows asked for are read, into our buffer.
    if (rows.empty())
        rows.push_back(0);
    const bool multi = d.kind == orvelio::Kind::point_map || d.kind == orvelio::Kind::trace_map;
    std::vector<float> values(rows.size() * d.row_length);
    r.read_rows(b, rows, values, multi ? std::optional<size_t>(0) : std::nullopt);
    std::printf("x");
    for (uint64_t row : rows)
        std::printf(",row %llu", static_cast<unsigned long long>(row));
    std::printf("\n");
    for (size_t i = 0; i < d.row_length; ++i) {
        std::printf("%.9g", x_at(d.x, i));
        for (size_t k = 0; k < rows.size(); ++k)
            std::printf(",%.9g", static_cast<double>(values[k * d.row_length + i]));
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2 && argc < 5) {
        std::fprintf(stderr, "usage: %s FILE [TYPE DIMS DERIV [ROW...]]\n", argv[0]);
        return 2;
    }
    try {
        const orvelio::Reader r = orvelio::Reader::open(argv[1]);
        if (argc == 2) {
            list_blocks(r);
            return 0;
        }
        std::vector<uint64_t> rows;
        for (int i = 5; i < argc; ++i)
            rows.push_back(std::strtoull(argv[i], nullptr, 10));
        print_block(r, orvelio::Block{argv[2], argv[3], argv[4]}, rows);
    } catch (const orvelio::Error &e) {
        std::fprintf(stderr, "%s: %s (%s", argv[1], e.what(), std::string(orvelio::to_string(e.code())).c_str());
        if (e.offset())
            std::fprintf(stderr, " at byte %llu", static_cast<unsigned long long>(*e.offset()));
        std::fprintf(stderr, ")\n");
        return 1;
    }
    return 0;
}

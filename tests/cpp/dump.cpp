// orvel_cxxdump FILE...: the text tests/c/dump.c writes from the C API, written here from the
// C++ API. Equal texts mean the two APIs agree bit for bit (floating-point numbers in
// hexadecimal, arrays by a digest of their bytes).
#include <orvelio/orvelio.hpp>

#include "dump.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <variant>
#include <vector>

using namespace orvelio;

namespace {

FILE *out = stdout;

uint64_t digest(const void *p, size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ b[i]) * 1099511628211ull;
    return h;
}

void text(const std::string &s) {
    std::fputc('"', out);
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            std::fprintf(out, "\\x%02x", c);
        else
            std::fputc(c, out);
    }
    std::fputc('"', out);
}

void error(const Error &e) {
    std::fprintf(out, "error %d %d ", static_cast<int>(e.code()) + 1, static_cast<int>(e.detail()));
    if (e.offset())
        std::fprintf(out, "%llu ", static_cast<unsigned long long>(*e.offset()));
    else
        std::fprintf(out, "- ");
    text(e.message().empty() ? std::string(to_string(e.code())) : e.message());
    std::fprintf(out, "\n");
}

void value(const Value &v) {
    if (const int64_t *i = std::get_if<int64_t>(&v))
        std::fprintf(out, "i%lld", static_cast<long long>(*i));
    else if (const double *x = std::get_if<double>(&v))
        std::fprintf(out, "f%a", *x);
    else if (const std::string *t = std::get_if<std::string>(&v))
        text(*t);
    else
        std::fprintf(out, "none");
}

void params(const Parameters &p) {
    std::fprintf(out, "    params %zu\n", p.size());
    for (const auto &[code, v] : p) {
        std::fprintf(out, "      %s=", code.c_str());
        value(v);
        std::fprintf(out, "\n");
    }
}

void doubles(const char *name, const Array<double> *a) {
    if (!a) {
        std::fprintf(out, "    %s none\n", name);
        return;
    }
    std::fprintf(out, "    %s %zu %016llx\n", name, a->size(),
                static_cast<unsigned long long>(digest(a->data(), a->size() * sizeof(double))));
}

void floats(const Array<float> &a) {
    std::fprintf(out, "    values (");
    for (size_t i = 0; i < a.shape().size(); ++i)
        std::fprintf(out, "%s%zu", i ? "," : "", a.shape()[i]);
    std::fprintf(out, ") %016llx\n", static_cast<unsigned long long>(digest(a.data(), a.size() * sizeof(float))));
}

void notes(const std::vector<Note> &list) {
    for (const Note &n : list) {
        std::fprintf(out, "    note %d ", static_cast<int>(n.kind));
        text(n.text);
        std::fprintf(out, "\n");
    }
}

// The per-row values of a whole read or of row_info, by kind.
struct PerRow {
    const Array<double> *mapX = nullptr, *mapY = nullptr, *z = nullptr;
    const std::vector<std::string> *labels = nullptr;
    const std::vector<Region> *regions = nullptr;
    bool values = false; // the regions' spectra (whole reads)
};

void per_row(const PerRow &p) {
    doubles("mapX", p.mapX);
    doubles("mapY", p.mapY);
    doubles("z", p.z);
    std::fprintf(out, "    labels %zu\n", p.labels ? p.labels->size() : 0);
    if (p.labels)
        for (const std::string &l : *p.labels) {
            std::fprintf(out, "      ");
            text(l);
            std::fprintf(out, "\n");
        }
    std::fprintf(out, "    regions %zu\n", p.regions ? p.regions->size() : 0);
    if (p.regions)
        for (const Region &g : *p.regions) {
            std::fprintf(out, "    region ");
            text(g.title);
            std::fprintf(out, "\n");
            doubles("mapX", &g.mapX);
            doubles("mapY", &g.mapY);
            doubles("start_time", g.start_time ? &*g.start_time : nullptr);
            if (p.values)
                floats(g.spectra);
        }
}

PerRow of_info(Kind k, const RowInfo &i) {
    PerRow p;
    if (k == Kind::image || k == Kind::image_traces) {
        p.mapX = &i.mapX;
        p.mapY = &i.mapY;
    }
    if (k == Kind::time_series)
        p.z = &i.z;
    if (k == Kind::image_traces || k == Kind::time_traces || k == Kind::trace_map)
        p.labels = &i.labels;
    if (k == Kind::point_map || k == Kind::trace_map)
        p.regions = &i.regions;
    return p;
}

// A whole read's main array (none for multi-region maps) and per-row values.
const Array<float> *of_data(const Data &data, PerRow &p) {
    p.values = true;
    return std::visit(
        [&](const auto &r) -> const Array<float> * {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, Spectrum>) {
                return &r.y;
            } else if constexpr (std::is_same_v<R, Image>) {
                p.mapX = &r.mapX, p.mapY = &r.mapY;
                return &r.spectra;
            } else if constexpr (std::is_same_v<R, ImageTraces>) {
                p.mapX = &r.mapX, p.mapY = &r.mapY, p.labels = &r.labels;
                return &r.traces;
            } else if constexpr (std::is_same_v<R, TimeSeries>) {
                p.z = &r.z;
                return &r.spectra;
            } else if constexpr (std::is_same_v<R, TimeTraces>) {
                p.labels = &r.labels;
                return &r.traces;
            } else {
                if constexpr (std::is_same_v<R, TraceMap>)
                    p.labels = &r.labels;
                p.regions = &r.regions;
                return nullptr;
            }
        },
        data);
}

void quantity(const Quantity &q) {
    std::fprintf(out, " ");
    text(q.long_name);
    std::fprintf(out, " ");
    text(q.units.udunits);
    std::fprintf(out, " ");
    text(q.units.display);
    std::fprintf(out, "\n");
}

void coordinate(const Coordinate &c) {
    std::fprintf(out, "      coord %s", c.name.c_str());
    if (c.axis) {
        std::fprintf(out, " axis %a %a %zu", c.axis->first, c.axis->last, c.axis->count);
    } else {
        // The C API's numbers for the row_info fields (orv_coord): time 3, mapX 1, mapY 2,
        // start_time 4, none (labels) -1.
        const int field = c.row_info == "z" ? 3 : c.row_info == "mapX" ? 1 : c.row_info == "mapY" ? 2
                        : c.row_info == "start_time" ? 4 : -1;
        std::fprintf(out, " rows %d", field);
    }
    quantity(c.quantity);
}

void model(const Description &d) {
    for (const Dimension &m : d.dims) {
        std::fprintf(out, "    dim %s %zu rows %d\n", m.name.c_str(), m.size, m.rows ? 1 : 0);
        for (const Coordinate &c : m.coordinates)
            coordinate(c);
    }
    coordinate(d.spectral);
    std::fprintf(out, "    values");
    quantity(d.values);
    std::fprintf(out, "    held %llu of %llu\n", static_cast<unsigned long long>(d.values_held),
                 static_cast<unsigned long long>(d.values_declared));
    std::fprintf(out, "    acquired ");
    if (d.acquired.utc)
        std::fprintf(out, "%a ", *d.acquired.utc);
    else
        std::fprintf(out, "none ");
    text(d.acquired.date);
    std::fprintf(out, " ");
    text(d.acquired.time);
    std::fprintf(out, " ");
    text(d.acquired.note);
    std::fprintf(out, "\n");
}

// Runs f; an Error (or a failed allocation, as the C API reports it) is printed instead.
template <class F> void guarded(F &&f) {
    try {
        f();
    } catch (const Error &e) {
        error(e);
    } catch (const std::bad_alloc &) {
        std::fprintf(out, "error 8 15 - \"out of memory\"\n");
    }
}

void rows(const Reader &r, const Block &b, const Description &d) {
    const size_t regions = d.regions.size(), length = d.row_length;
    for (size_t g = 0; g < (regions ? regions : 1); ++g) {
        const size_t count = regions ? d.regions[g].rows : d.rows;
        if (count && length > SIZE_MAX / sizeof(float) / count) {
            std::fprintf(out, "  rows too many\n");
            continue;
        }
        auto *buffer = static_cast<float *>(std::malloc(count * length != 0 ? count * length * sizeof(float) : 1));
        if (!buffer) {
            std::fprintf(out, "  rows too many\n");
            continue;
        }
        std::fprintf(out, "  rows %zu x %zu: ", count, length);
        guarded([&] {
            r.read_rows(b, RowRange{0, count}, {buffer, count * length},
                        regions ? std::optional<size_t>(g) : std::nullopt);
            std::fprintf(out, "%016llx\n", static_cast<unsigned long long>(digest(buffer, count * length * sizeof(float))));
        });
        std::free(buffer);
    }
}

void block(const Reader &r, const Block &b) {
    std::fprintf(out, "block %s %s %s\n", b.type.c_str(), b.dimensions.c_str(), b.derivative.c_str());
    std::optional<Description> desc;
    std::fprintf(out, "  describe: ");
    guarded([&] {
        std::vector<Note> n;
        const Description d = r.describe(b, &n);
        std::fprintf(out, "%s %s %s %s (", std::string(to_string(d.kind)).c_str(), d.request.type.c_str(),
                    d.request.dimensions.c_str(), d.request.derivative.c_str());
        for (size_t i = 0; i < d.shape.size(); ++i)
            std::fprintf(out, "%s%zu", i ? "," : "", d.shape[i]);
        std::fprintf(out, ") x %a %a %zu rows %zu x %zu\n", d.x.first, d.x.last, d.x.count, d.rows, d.row_length);
        params(d.parameters);
        for (const RegionLayout &g : d.regions) {
            std::fprintf(out, "    region %zu ", g.rows);
            text(g.title);
            std::fprintf(out, " group ");
            value(g.group);
            std::fprintf(out, " %llu x %llu grid %d\n", static_cast<unsigned long long>(g.nx),
                         static_cast<unsigned long long>(g.ny), static_cast<int>(g.grid));
        }
        model(d);
        notes(n);
        desc = d;
    });

    std::fprintf(out, "  read: ");
    guarded([&] {
        std::vector<Note> n;
        const Data data = r.read(b, &n);
        const Common &c = common(data);
        std::fprintf(out, "%s %s %s %s\n", std::string(to_string(kind_of(data))).c_str(), c.request.type.c_str(),
                    c.request.dimensions.c_str(), c.request.derivative.c_str());
        params(c.parameters);
        doubles("x", &c.x);
        std::fprintf(out, "    y range ");
        value(c.minY);
        std::fprintf(out, " ");
        value(c.maxY);
        std::fprintf(out, "\n");
        PerRow p;
        if (const Array<float> *main = of_data(data, p))
            floats(*main);
        per_row(p);
        notes(n);
        std::fprintf(out, "    into same\n");
    });

    if (desc && desc->request.dimensions == "3D") {
        rows(r, b, *desc);
        std::fprintf(out, "  row info: ");
        guarded([&] {
            const RowInfo info = r.row_info(b);
            std::fprintf(out, "%s\n", std::string(to_string(desc->kind)).c_str());
            per_row(of_info(desc->kind, info));
        });
    }
}

} // namespace

void orvelio_cxx_dump(FILE *to, const Reader &r) {
    out = to;
    std::fprintf(out, "size %llu magic %d\n", static_cast<unsigned long long>(r.size()), r.is_orvel() ? 1 : 0);
    std::fprintf(out, "blocks: ");
    guarded([&] {
        const std::vector<Block> list = r.blocks();
        std::fprintf(out, "%zu\n", list.size());
        for (const Block &b : list)
            block(r, b);
    });
    std::fprintf(out, "pictures: ");
    guarded([&] {
        const std::vector<Picture> list = r.pictures();
        std::fprintf(out, "%zu\n", list.size());
        for (const Picture &p : list) {
            std::fprintf(out, "  picture %zu %s ", p.record, std::string(p.format).c_str());
            if (p.data)
                std::fprintf(out, "%zu %016llx\n", p.data->size(),
                            static_cast<unsigned long long>(digest(p.data->data(), p.data->size())));
            else
                std::fprintf(out, "none\n");
            params(*p.properties);
        }
    });
}

#ifndef ORVELIO_DUMP_NO_MAIN
int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::fprintf(out, "== %s\n", argv[i]);
        try {
            orvelio_cxx_dump(stdout, Reader::open(argv[i]));
        } catch (const Error &e) {
            std::fprintf(out, "open: %s %s\n", std::string(to_string(e.code())).c_str(), e.message().c_str());
        }
    }
    return 0;
}
#endif

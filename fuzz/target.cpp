// One fuzz target for every entry point of the core: the magic test, the directory, the
// listing, every request the listing or the directory makes possible, and the visible-image
// walk. Each read runs twice, once from memory and once through a descriptor (which takes the
// gathered-read path for 3D blocks), and both must give the same answer.
//
// Expected failures are orvelio::Error; anything else escaping is a fault. Arrays whose shape
// the file declares may fail to allocate: the allocation cap below makes them fail with
// MemoryError long before they could exhaust the fuzzer's memory.
#include "extract/extract.hpp"
#include "format/directory.hpp"
#include "format/error.hpp"
#include "format/file.hpp"
#include "format/names.hpp"
#include "images/vis_images.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace orvelio;

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
        if (is_int(v))
            u64(static_cast<uint64_t>(std::get<int64_t>(v)));
        else if (is_float(v))
            bytes(&std::get<double>(v), sizeof(double));
        else if (is_text(v))
            str(std::get<std::string>(v));
    }
    void params(const ParamDict &p) {
        u64(p.size());
        for (const auto &[name, v] : p.items()) {
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
        u64(static_cast<uint64_t>(e.kind));
        str(e.message);
        u64(static_cast<uint64_t>(e.err_no));
        str(e.raw);
        u64(e.args.size());
        for (const Value &v : e.args)
            value(v);
    }
};

void digest(Digest &d, const Result &r, const Events &events) {
    d.u64(static_cast<uint64_t>(r.kind));
    d.str(r.dimension);
    d.str(r.dataType);
    d.str(r.deriv);
    d.params(r.parameters);
    d.array(r.x);
    d.value(r.minY);
    d.value(r.maxY);
    d.array(r.y);
    d.array(r.mapX);
    d.array(r.mapY);
    d.array(r.spectra);
    d.array(r.traces);
    d.u64(r.labels.size());
    for (const std::string &l : r.labels)
        d.str(l);
    d.array(r.z);
    d.u64(r.regions.size());
    for (const Region &g : r.regions) {
        d.str(g.title);
        d.array(g.mapX);
        d.array(g.mapY);
        d.u64(g.start_time.has_value());
        if (g.start_time)
            d.array(*g.start_time);
        d.array(g.spectra);
    }
    d.u64(events.size());
    for (const Event &e : events) {
        d.u64(static_cast<uint64_t>(e.kind));
        d.str(e.text);
    }
}

void digest(Digest &d, const VisImages &v) {
    d.u64(v.pictures.size());
    for (const VisPicture &p : v.pictures) {
        d.params(p.entries);
        d.u64(p.has_image);
        d.str(p.image);
        d.str(p.format ? p.format : "(none)");
    }
    d.u64(v.order.size());
    for (size_t k : v.order)
        d.u64(k);
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

// The requests worth trying: every one the listing names, and every base name in 2D and 3D
// with every derivative whose data block the directory holds (the others fail in the location
// step, before anything is read).
std::vector<Request> requests(const std::vector<DirEntry> &dir, const std::vector<ListEntry> &listing) {
    std::set<std::tuple<std::string, std::string, std::string>> out;
    for (const ListEntry &e : listing) {
        Request r{e.dataBlockType, e.dimensions, e.derivative};
        try {
            check_request(r);
            out.emplace(r.dataBlockType, r.dimensions, r.deriv);
        } catch (const Error &) {
        }
    }
    std::set<std::tuple<int, int, int>> present; // (dataType, derivType, extendType) of data blocks
    for (const DirEntry &e : dir)
        if (e.type.paramType == 0)
            present.emplace(e.type.dataType, e.type.derivType, e.type.extendType);
    for (const RequestName &name : request_names())
        for (const auto &[deriv, extend, dims] : {std::tuple{0, kExtend2D, "2D"}, std::tuple{0, kExtend3D, "3D"},
                                                  std::tuple{1, kExtend2D, "2D"}, std::tuple{1, kExtend3D, "3D"},
                                                  std::tuple{2, kExtend2D, "2D"}, std::tuple{2, kExtend3D, "3D"},
                                                  std::tuple{3, kExtend2D, "2D"}, std::tuple{3, kExtend3D, "3D"}})
            if (present.count({name.dataType, deriv, extend}))
                out.emplace(name.name, dims, std::string(kDerivNames[static_cast<size_t>(deriv)]));
    std::vector<Request> reqs;
    for (const auto &[type, dims, deriv] : out)
        reqs.push_back(Request{type, dims, deriv});
    return reqs;
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
uint64_t undeclared_bytes(const Result &r, const Events &events) {
    uint64_t n = 0;
    for (const std::string &l : r.labels)
        n += l.size() + 1;
    for (const Region &g : r.regions)
        n += g.title.size() + 8 * g.mapX.size();
    for (const Event &e : events)
        n += e.text.size();
    return n;
}

uint64_t undeclared_bytes(const VisImages &v) {
    uint64_t n = 8 * v.order.size();
    for (const VisPicture &p : v.pictures)
        n += p.image.size() + 16 * p.entries.size();
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

[[noreturn]] void diverged(const char *what, const Request *r) {
    std::fprintf(stderr, "memory and descriptor reads differ: %s", what);
    if (r)
        std::fprintf(stderr, " %s %s %s", r->dataBlockType.c_str(), r->dimensions.c_str(), r->deriv.c_str());
    std::fprintf(stderr, "\n");
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    File mem = File::from_memory({data, size});
    const int fd = memory_fd(data, size);
    File disk = File::from_fd(fd);

    // The header, directory and listing of one source, digested.
    const auto read_head = [](Digest &d, File &f, bool &orvel, std::vector<DirEntry> &dir,
                              std::vector<ListEntry> &listing) {
        orvel = is_orvel(f);
        d.u64(orvel);
        dir = read_directory(f);
        d.u64(dir.size());
        listing = list_contents(dir);
        d.u64(listing.size());
        for (const ListEntry &e : listing) {
            d.str(e.dataBlockType);
            d.str(e.dimensions);
            d.str(e.derivative);
        }
    };
    std::vector<DirEntry> dir, dir2;
    std::vector<ListEntry> listing, listing2;
    bool orvel = false, orvel2 = false;
    const uint64_t head = run([&](Digest &d) { read_head(d, mem, orvel, dir, listing); });
    const uint64_t head_fd = run([&](Digest &d) { read_head(d, disk, orvel2, dir2, listing2); });
    if (head != head_fd)
        diverged("directory", nullptr);

    if (orvel) {
        for (const Request &req : requests(dir, listing)) {
            const auto call = [&](File &f) {
                return run([&](Digest &d) {
                    Events events;
                    Result r = extract(f, req, events);
                    check_proportion(undeclared_bytes(r, events), f.size(), "getOrvelData");
                    digest(d, r, events);
                });
            };
            if (call(mem) != call(disk))
                diverged("getOrvelData", &req);
        }
    }

    const auto vis = [&](File &f) {
        return run([&](Digest &d) {
            const VisImages v = read_vis_images(f);
            check_proportion(undeclared_bytes(v), f.size(), "getVisImages");
            digest(d, v);
        });
    };
    if (vis(mem) != vis(disk))
        diverged("getVisImages", nullptr);

    close(fd);
    return 0;
}

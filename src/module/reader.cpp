// _Reader: the reader facade for the package's own modules. One open file, many calls, any
// number of threads reading rows at once. Errors are those of the module's functions, with the
// error's code and offset attached as orvel_code and orvel_offset.
#include "arrays.hpp"
#include "core_call.hpp"
#include "objects.hpp"

#include <nanobind/stl/optional.h>

#include <map>
#include <memory>

namespace orvelio::py {

namespace {

// The open file and its reader. Shared by the calls running on it, so that close() while
// another thread reads leaves that read its file; the last holder closes it (holding the GIL).
struct State {
    std::unique_ptr<OpenFile> file;
    std::optional<Reader> reader;

    ~State() {
        reader.reset();
        file.reset();
    }
};

[[noreturn]] void raise_annotated(const Error &e) {
    set_error(e, true);
    throw nb::python_error();
}

// Runs work() without the GIL; core errors become annotated Python exceptions.
template <class F> auto unlocked(F &&work) {
    using R = std::invoke_result_t<F &>;
    std::optional<R> result;
    try {
        nb::gil_scoped_release release;
        result.emplace(work());
    } catch (const Error &e) {
        raise_annotated(e);
    }
    return std::move(*result);
}

// A Python buffer, released on destruction.
class Buffer {
  public:
    Buffer(nb::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0)
            throw nb::python_error();
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    const Py_buffer &view() const { return view_; }

  private:
    Py_buffer view_{};
};

bool is_float32_format(const char *format) {
    const std::string_view f = format ? format : "B";
    return f == "f" || f == "<f" || f == "=f";
}

nb::tuple shape_tuple(const std::vector<size_t> &shape) {
    nb::list out;
    for (size_t d : shape)
        out.append(nb::int_(d));
    return nb::tuple(out);
}

nb::list text_list(const std::vector<std::string> &texts) {
    nb::list out;
    for (const std::string &t : texts)
        out.append(utf8(t));
    return out;
}

class PyReader {
  public:
    explicit PyReader(nb::handle path) {
        auto state = std::make_shared<State>();
        state->file = std::make_unique<OpenFile>(path);
        int err = 0;
        try {
            nb::gil_scoped_release release;
            err = state->file->open();
            if (!err)
                state->reader.emplace(Reader::from_fd(state->file->fd()));
        } catch (const Error &e) {
            raise_annotated(e);
        }
        if (err)
            state->file->raise_open_error(err);
        state_ = std::move(state);
    }

    void close() {
        state_.reset();
        parameter_blocks_.clear();
    }

    uint64_t size() { return reader(*state()).size(); }

    bool is_orvel() {
        auto s = state();
        try {
            nb::gil_scoped_release release;
            return reader(*s).is_orvel();
        } catch (const Error &) {
            return false;
        }
    }

    nb::list list() {
        auto s = state();
        std::vector<Block> blocks = unlocked([&] { return reader(*s).blocks(); });
        nb::list out;
        for (const Block &b : blocks)
            out.append(nb::make_tuple(cached_str(b.type), cached_str(b.dimensions), cached_str(b.derivative)));
        return out;
    }

    nb::dict describe(nb::handle request) {
        auto s = state();
        const Block block = request_block(request);
        const Description d = unlocked([&] { return reader(*s).describe(block); });
        nb::dict out;
        out["request"] = nb::make_tuple(cached_str(d.request.type), cached_str(d.request.dimensions),
                                        cached_str(d.request.derivative));
        out["kind"] = utf8(to_string(d.kind));
        out["shape"] = shape_tuple(d.shape);
        out["dtype"] = utf8(d.dtype);
        out["x"] = nb::make_tuple(d.x.first, d.x.last, d.x.count);
        // The blocks merged, not their merge: a block that many data blocks merge is one
        // dictionary, made once.
        nb::list blocks;
        for (const std::shared_ptr<const Parameters> &block : d.parameter_blocks) {
            auto [it, added] = parameter_blocks_.try_emplace(block.get());
            if (added)
                it->second = {block, to_python(*block)};
            blocks.append(it->second.second);
        }
        out["parameter_blocks"] = nb::tuple(blocks);
        out["rows"] = d.rows;
        out["row_length"] = d.row_length;
        nb::list regions;
        for (const RegionLayout &r : d.regions) {
            nb::dict region;
            region["title"] = utf8(r.title);
            region["rows"] = r.rows;
            regions.append(region);
        }
        out["regions"] = regions;
        return out;
    }

    nb::dict info(nb::handle request) {
        auto s = state();
        const Block block = request_block(request);
        const Kind kind = unlocked([&] { return reader(*s).describe(block).kind; });
        RowInfo info = unlocked([&] { return reader(*s).row_info(block); });
        nb::dict out;
        if (kind == Kind::image || kind == Kind::image_traces) {
            out["mapX"] = to_numpy(info.mapX);
            out["mapY"] = to_numpy(info.mapY);
        }
        if (kind == Kind::image_traces || kind == Kind::time_traces || kind == Kind::trace_map)
            out["labels"] = text_list(info.labels);
        if (kind == Kind::time_series)
            out["z"] = to_numpy(info.z);
        if (kind == Kind::point_map || kind == Kind::trace_map) {
            nb::list regions;
            for (Region &r : info.regions) {
                nb::dict region;
                region["title"] = utf8(r.title);
                region["mapX"] = to_numpy(r.mapX);
                region["mapY"] = to_numpy(r.mapY);
                region["start_time"] = r.start_time ? to_numpy(*r.start_time) : nb::none();
                regions.append(region);
            }
            out["regions"] = regions;
        }
        return out;
    }

    nb::object read(nb::handle request, bool warn) {
        auto s = state();
        const Block block = request_block(request);
        std::vector<Note> notes;
        std::optional<Data> data;
        try {
            nb::gil_scoped_release release;
            data.emplace(reader(*s).read(block, &notes));
        } catch (const Error &e) {
            emit(notes, warn);
            raise_annotated(e);
        }
        emit(notes, warn);
        return result_object(*data);
    }

    void read_rows(nb::handle request, nb::handle rows, nb::handle out, std::optional<size_t> region) {
        auto s = state();
        const Block block = request_block(request);
        nb::object rows_array = nb::module_::import_("numpy").attr("ascontiguousarray")(rows, "int64");
        Buffer r(rows_array, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
        if (r.view().ndim != 1)
            raise_annotated(Error(ErrorDetail::bad_request, "rows must be one-dimensional"));
        Buffer o(out, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
        const Py_buffer &ov = o.view();
        const size_t n = static_cast<size_t>(r.view().shape[0]);
        if (ov.ndim != 2 || ov.itemsize != 4 || !is_float32_format(ov.format) ||
            static_cast<size_t>(ov.shape[0]) != n)
            raise_annotated(Error(ErrorDetail::bad_request,
                                  "out must be a writable C-contiguous float32 array of shape (len(rows), row_length)"));
        const auto *signed_rows = static_cast<const int64_t *>(r.view().buf);
        for (size_t i = 0; i < n; ++i)
            if (signed_rows[i] < 0)
                raise_annotated(Error(ErrorDetail::bad_row, "row " + std::to_string(signed_rows[i]) +
                                                                " is out of range"));
        const std::span<const uint64_t> list(reinterpret_cast<const uint64_t *>(signed_rows), n);
        const std::span<float> dst(static_cast<float *>(ov.buf), static_cast<size_t>(ov.len) / sizeof(float));
        unlocked([&] {
            reader(*s).read_rows(block, list, dst, region);
            return true;
        });
    }

    nb::list pictures() {
        auto s = state();
        const std::vector<Picture> found = unlocked([&] { return reader(*s).pictures(); });
        return picture_list(found);
    }

  private:
    std::shared_ptr<State> state() {
        if (!state_)
            throw nb::value_error("I/O operation on closed file");
        return state_;
    }
    static const Reader &reader(const State &s) { return *s.reader; }

    std::shared_ptr<State> state_;
    // The dictionary of each parameter block described so far (the block kept, so that its
    // address names it); used with the GIL held.
    std::map<const Parameters *, std::pair<std::shared_ptr<const Parameters>, nb::object>> parameter_blocks_;
};

} // namespace

void bind_reader(nb::module_ &m) {
    nb::class_<PyReader>(m, "_Reader")
        .def(nb::init<nb::handle>(), nb::arg("path"))
        .def("close", &PyReader::close)
        .def_prop_ro("size", &PyReader::size)
        .def("is_orvel", &PyReader::is_orvel)
        .def("list", &PyReader::list)
        .def("describe", &PyReader::describe, nb::arg("request"))
        .def("info", &PyReader::info, nb::arg("request"))
        .def("read", &PyReader::read, nb::arg("request"), nb::arg("warn") = false)
        .def("read_rows", &PyReader::read_rows, nb::arg("request"), nb::arg("rows"), nb::arg("out"),
             nb::arg("region") = nb::none())
        .def("pictures", &PyReader::pictures);
}

} // namespace orvelio::py

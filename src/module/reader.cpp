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

// A Python callable read_at(offset, view) -> count as a Source: the core calls it without the
// GIL, one call at a time; it runs with the GIL, into a memoryview of the core's buffer.
class PySource : public Source {
  public:
    PySource(nb::object read_at, uint64_t size) : read_at_(std::move(read_at)), size_(size) {}
    ~PySource() override {
        nb::gil_scoped_acquire gil;
        read_at_.reset();
    }
    uint64_t size() override { return size_; }
    size_t read_at(void *dst, size_t n, uint64_t offset) override {
        nb::gil_scoped_acquire gil;
        nb::object view = nb::steal(PyMemoryView_FromMemory(static_cast<char *>(dst), static_cast<Py_ssize_t>(n),
                                                            PyBUF_WRITE));
        if (!view.is_valid())
            throw nb::python_error();
        nb::object got = read_at_(offset, view);
        view.attr("release")(); // the callable keeps no view of the core's memory
        const size_t count = got.is_none() ? 0 : nb::cast<size_t>(got);
        return std::min(count, n + 1); // more than asked: a changed source, as the core sees it
    }

  private:
    nb::object read_at_;
    uint64_t size_;
};

// The open file (or the buffer, or the source) and its reader. Shared by the calls running on
// it, so that close() while another thread reads leaves that read its file; the last holder
// closes it (holding the GIL).
struct State {
    std::unique_ptr<OpenFile> file;
    std::unique_ptr<Buffer> buffer;
    std::optional<Reader> reader;

    ~State() {
        reader.reset();
        file.reset();
        buffer.reset();
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

// ------------------------------------------------------------------ plain objects

// The description as plain Python objects, field by field as the header lists them
// (for_each_field): structs become dicts, vectors lists, shapes and requests tuples, optionals
// None where absent, texts str, numbers int and float.
template <class T> nb::object plain(const T &v);

// The str of a field name (a literal of the header, at a fixed address), made once.
PyObject *field_name(const char *name) {
    constexpr size_t kSlots = 256;
    static std::pair<const char *, PyObject *> slots[kSlots] = {}; // kept for the process's life
    size_t i = (reinterpret_cast<uintptr_t>(name) >> 3) % kSlots;
    for (size_t probes = 0; probes < kSlots; ++probes, i = (i + 1) % kSlots) {
        if (slots[i].first == name)
            return slots[i].second;
        if (!slots[i].first) {
            PyObject *s = PyUnicode_InternFromString(name);
            if (!s)
                throw nb::python_error();
            slots[i] = {name, s};
            return s;
        }
    }
    return nb::str(name).release().ptr(); // never: the header has fewer names than slots
}

template <class T> struct IsVector : std::false_type {};
template <class T> struct IsVector<std::vector<T>> : std::true_type {};
template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};

template <class T> nb::object plain(const T &v) {
    if constexpr (std::is_same_v<T, bool>)
        return nb::bool_(v);
    else if constexpr (std::is_integral_v<T>)
        return nb::int_(v);
    else if constexpr (std::is_floating_point_v<T>)
        return nb::float_(v);
    else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>)
        return cached_str(v); // short texts (units, names) made once
    else if constexpr (std::is_same_v<T, Value>)
        return to_python(v);
    else if constexpr (std::is_same_v<T, Parameters>)
        return to_python(v);
    else if constexpr (std::is_same_v<T, Block>)
        return nb::make_tuple(cached_str(v.type), cached_str(v.dimensions), cached_str(v.derivative));
    else if constexpr (std::is_same_v<T, std::vector<size_t>>)
        return shape_tuple(v);
    else if constexpr (IsOptional<T>::value)
        return v ? plain(*v) : nb::none();
    else if constexpr (IsVector<T>::value) {
        nb::list out;
        for (const auto &item : v)
            out.append(plain(item));
        return nb::object(out);
    } else {
        nb::dict out;
        for_each_field(v, [&](const char *name, const auto &field) {
            if (PyDict_SetItem(out.ptr(), field_name(name), plain(field).ptr()) < 0)
                throw nb::python_error();
        });
        return nb::object(out);
    }
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

    explicit PyReader(std::shared_ptr<State> state) : state_(std::move(state)) {}

    // Over the bytes of a buffer, kept (and unchanged: read-only) until the reader closes.
    static PyReader from_buffer(nb::handle obj) {
        auto state = std::make_shared<State>();
        state->buffer = std::make_unique<Buffer>(obj, PyBUF_SIMPLE);
        const Py_buffer &v = state->buffer->view();
        state->reader.emplace(Reader::from_memory({static_cast<const uint8_t *>(v.buf), static_cast<size_t>(v.len)}));
        return PyReader(std::move(state));
    }

    // Over read_at(offset, view) -> count, for a source of `size` bytes.
    static PyReader from_source(nb::object read_at, uint64_t size) {
        auto state = std::make_shared<State>();
        state->reader.emplace(Reader::from_source(std::make_shared<PySource>(std::move(read_at), size)));
        return PyReader(std::move(state));
    }

    void close() {
        state_.reset();
        parameter_blocks_.clear();
    }

    uint64_t size() { return reader(*state()).size(); }

    nb::object identity() {
        const std::optional<FileIdentity> id = reader(*state()).identity();
        if (!id)
            return nb::none();
        return nb::make_tuple(id->device, id->inode, id->size, id->mtime_ns);
    }

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
        nb::dict out = nb::borrow<nb::dict>(plain(d));
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
        .def_static("from_buffer", &PyReader::from_buffer, nb::arg("buffer"))
        .def_static("from_source", &PyReader::from_source, nb::arg("read_at"), nb::arg("size"))
        .def_prop_ro("size", &PyReader::size)
        .def_prop_ro("identity", &PyReader::identity)
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

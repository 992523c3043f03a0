// _describe_files: the core's describe_files for the folder functions (orvelio.folders), run
// without the GIL, its results handed back as columns: one list per field, one item per block,
// recurring texts and shapes made once per call.
#include "arrays.hpp"
#include "capi.hpp"
#include "core_call.hpp"

#include <nanobind/stl/string.h>

#include <cstring>
#include <map>
#include <unordered_map>

namespace orvelio::py {

namespace {

// The path as the file system spells it: an ASCII str as it is, anything else through
// os.fspath and the file system encoding (the errors are theirs).
std::filesystem::path fs_path(PyObject *p) {
    Py_ssize_t n;
    if (const char *s = capi::ascii_chars(p, &n); s && std::strlen(s) == static_cast<size_t>(n))
        return std::filesystem::path(std::string(s, static_cast<size_t>(n)));
    nb::object name = nb::steal(PyOS_FSPath(p));
    if (!name.is_valid())
        throw nb::python_error();
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(name.ptr(), &encoded))
        throw nb::python_error();
    nb::object bytes = nb::steal(encoded);
    return std::filesystem::path(std::string(capi::bytes_data(encoded), static_cast<size_t>(PyBytes_Size(encoded))));
}

// Texts and shapes that recur from block to block, made once per call.
class Made {
  public:
    PyObject *text(const std::string &s) {
        auto [it, added] = texts_.try_emplace(s);
        if (added)
            it->second = utf8(s);
        return it->second.ptr();
    }
    PyObject *shape(const std::vector<size_t> &shape) {
        auto [it, added] = shapes_.try_emplace(shape);
        if (added) {
            nb::object t = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
            if (!t.is_valid())
                throw nb::python_error();
            for (size_t i = 0; i < shape.size(); ++i)
                PyTuple_SetItem(t.ptr(), static_cast<Py_ssize_t>(i), nb::int_(shape[i]).release().ptr());
            it->second = std::move(t);
        }
        return it->second.ptr();
    }
    nb::object value(const Value &v) {
        if (const std::string *s = std::get_if<std::string>(&v); s && s->size() <= 64)
            return nb::borrow(text(*s));
        return to_python(v);
    }

  private:
    std::unordered_map<std::string, nb::object> texts_;
    std::map<std::vector<size_t>, nb::object> shapes_;
};

void append(nb::list &column, PyObject *item) {
    if (PyList_Append(column.ptr(), item) < 0)
        throw nb::python_error();
}
void append(nb::list &column, const nb::object &item) { append(column, item.ptr()); }

// The unit of the x axis as the block's coordinates give it: a dimension's "spectral"
// coordinate (the last of that name), else the description's own.
const std::string &x_units(const Description &d) {
    const Coordinate *spectral = &d.spectral;
    for (const Dimension &dim : d.dims)
        for (const Coordinate &c : dim.coordinates)
            if (c.name == "spectral")
                spectral = &c;
    return spectral->quantity.units.udunits;
}

// The spectra's values as one float32 array of (files, values) when every file is described
// with one block of values of one length; otherwise a list of one array per file (None where it
// has none).
nb::object values_of(std::vector<FileDescription> &found) {
    std::optional<size_t> width;
    bool uniform = !found.empty();
    for (const FileDescription &f : found) {
        if (f.blocks.size() != 1 || f.blocks[0].description.kind != Kind::spectrum) {
            uniform = false;
            break;
        }
        const size_t n = f.blocks[0].values.size();
        uniform = uniform && (!width || *width == n);
        width = n;
    }
    if (uniform) {
        Array<float> out = Array<float>::empty({found.size(), *width});
        for (size_t i = 0; i < found.size(); ++i)
            std::copy(found[i].blocks[0].values.begin(), found[i].blocks[0].values.end(), out.data() + i * *width);
        return to_numpy(out);
    }
    nb::list out;
    for (FileDescription &f : found) {
        if (f.blocks.size() != 1 || f.blocks[0].description.kind != Kind::spectrum) {
            append(out, Py_None);
            continue;
        }
        std::vector<float> &v = f.blocks[0].values;
        Array<float> a = Array<float>::empty({v.size()});
        std::copy(v.begin(), v.end(), a.data());
        append(out, to_numpy(a));
    }
    return nb::object(out);
}

nb::dict describe_files_py(nb::handle paths, nb::handle parameters, unsigned threads, nb::handle block,
                           bool values) {
    DescribeOptions options;
    options.threads = threads;
    options.values = values;
    for (nb::handle code : parameters)
        options.parameters.push_back(nb::cast<std::string>(code));
    if (!block.is_none())
        options.block = request_block(block);
    std::vector<std::filesystem::path> list;
    for (nb::handle p : paths)
        list.push_back(fs_path(p.ptr()));
    std::vector<FileDescription> found;
    try {
        nb::gil_scoped_release release;
        found = describe_files(list, options);
    } catch (const Error &e) {
        set_error(e);
        throw nb::python_error();
    }

    // status[i]: 0 described, 1 not an Orvel file, 2 failed (errors[i]: its code and message).
    std::string status(found.size(), '\0');
    nb::dict errors;
    nb::list file, request, kind, shape, npt, x_first, x_last, units, complete, acquired;
    std::vector<nb::list> chosen(options.parameters.size());
    Made made;
    std::optional<AxisRange> last_x;
    nb::object axis[3];
    for (size_t i = 0; i < found.size(); ++i) {
        const FileDescription &f = found[i];
        status[i] = static_cast<char>(f.status);
        if (f.error) {
            const std::string_view code = to_string(f.error->code());
            errors[nb::int_(i)] = nb::make_tuple(nb::str(code.data(), code.size()), utf8(f.error->what()));
        }
        nb::object index = nb::int_(i);
        for (const DescribedBlock &b : f.blocks) {
            const Description &d = b.description;
            append(file, index);
            append(request, made.text(d.request.type + " " + d.request.dimensions + " " + d.request.derivative));
            append(kind, made.text(std::string(to_string(d.kind))));
            append(shape, made.shape(d.shape));
            // Files of one folder mostly share their axis: its numbers made once while they do.
            if (!last_x || last_x->first != d.x.first || last_x->last != d.x.last || last_x->count != d.x.count) {
                last_x = d.x;
                axis[0] = nb::int_(d.x.count), axis[1] = nb::float_(d.x.first), axis[2] = nb::float_(d.x.last);
            }
            append(npt, axis[0]);
            append(x_first, axis[1]);
            append(x_last, axis[2]);
            append(units, made.text(x_units(d)));
            append(complete, d.complete() ? Py_True : Py_False);
            append(acquired, d.acquired.utc ? nb::object(nb::float_(*d.acquired.utc)) : nb::none());
            for (size_t k = 0; k < chosen.size(); ++k)
                append(chosen[k], made.value(b.chosen[k]));
        }
    }
    nb::dict out;
    out["status"] = nb::bytes(status.data(), status.size());
    out["errors"] = errors;
    out["file"] = file;
    out["block"] = request;
    out["kind"] = kind;
    out["shape"] = shape;
    out["npt"] = npt;
    out["x_first"] = x_first;
    out["x_last"] = x_last;
    out["x_units"] = units;
    out["complete"] = complete;
    out["acquired"] = acquired;
    nb::list columns;
    for (nb::list &c : chosen)
        append(columns, c);
    out["parameters"] = columns;
    if (values)
        out["values"] = values_of(found);
    {
        nb::gil_scoped_release release; // the descriptions let go of without the GIL
        std::vector<FileDescription>().swap(found);
    }
    return out;
}

} // namespace

void bind_files(nb::module_ &m) {
    m.def("_describe_files", &describe_files_py, nb::arg("paths"), nb::arg("parameters") = nb::tuple(),
          nb::arg("threads") = 1, nb::arg("block") = nb::none(), nb::arg("values") = false,
          "Describes many files on `threads` threads without the GIL: their blocks as columns.");
}

} // namespace orvelio::py

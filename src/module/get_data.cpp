// getOrvelData: the request words, the file, and the result object of the data's kind.
#include "args.hpp"
#include "core_call.hpp"
#include "extract/extract.hpp"
#include "functions.hpp"
#include "results/results.hpp"

#include <nanobind/ndarray.h>

namespace orvelio::py {

namespace {

// The numpy array that takes over the array's memory.
template <class T> nb::object to_numpy(Array<T> &a) {
    const std::vector<size_t> shape = a.shape();
    T *data = a.release();
    nb::capsule owner(data, [](void *p) noexcept { std::free(p); });
    return nb::ndarray<nb::numpy, T>(data, shape.size(), shape.data(), owner).cast();
}

nb::list to_list(const std::vector<std::string> &texts) {
    nb::list out;
    for (const std::string &t : texts)
        out.append(utf8(t));
    return out;
}

nb::object construct(ResultClass cls, const nb::dict &kwargs) {
    PyObject *obj = PyObject_Call(result_class(cls), nb::tuple().ptr(), kwargs.ptr());
    if (!obj)
        throw nb::python_error();
    return nb::steal(obj);
}

nb::object region_object(Region &region) {
    nb::dict kw;
    kw["title"] = utf8(region.title);
    kw["spectra"] = to_numpy(region.spectra);
    kw["mapX"] = to_numpy(region.mapX);
    kw["mapY"] = to_numpy(region.mapY);
    kw["start_time"] = region.start_time ? to_numpy(*region.start_time) : nb::none();
    return construct(ResultClass::Region, kw);
}

nb::object result_object(Result &r) {
    nb::dict kw;
    kw["dimension"] = utf8(r.dimension);
    kw["dataType"] = utf8(r.dataType);
    kw["deriv"] = utf8(r.deriv);
    kw["x"] = to_numpy(r.x);
    using K = Result::Kind;
    ResultClass cls = ResultClass::Single;
    switch (r.kind) {
    case K::Single:
        kw["y"] = to_numpy(r.y);
        break;
    case K::Image:
        cls = ResultClass::Image;
        break;
    case K::ImageTRC:
        cls = ResultClass::ImageTRC;
        break;
    case K::TimeResolved:
        cls = ResultClass::TimeResolved;
        break;
    case K::TimeResolvedTRC:
        cls = ResultClass::TimeResolvedTRC;
        break;
    case K::MultiRegion:
        cls = ResultClass::MultiRegion;
        break;
    case K::MultiRegionTRC:
        cls = ResultClass::MultiRegionTRC;
        break;
    }
    kw["minY"] = to_python(r.minY);
    kw["maxY"] = to_python(r.maxY);
    kw["parameters"] = to_python(r.parameters);
    if (r.kind == K::Image || r.kind == K::ImageTRC) {
        kw["mapX"] = to_numpy(r.mapX);
        kw["mapY"] = to_numpy(r.mapY);
    }
    if (r.kind == K::Image || r.kind == K::TimeResolved) {
        if (r.kind == K::TimeResolved)
            kw["z"] = to_numpy(r.z);
        kw["spectra"] = to_numpy(r.spectra);
    }
    if (r.kind == K::ImageTRC || r.kind == K::TimeResolvedTRC || r.kind == K::MultiRegionTRC)
        kw["labels"] = to_list(r.labels);
    if (r.kind == K::ImageTRC || r.kind == K::TimeResolvedTRC)
        kw["traces"] = to_numpy(r.traces);
    if (r.kind == K::MultiRegion || r.kind == K::MultiRegionTRC) {
        nb::list regions;
        for (Region &region : r.regions)
            regions.append(region_object(region));
        kw["regions"] = regions;
    }
    return construct(cls, kw);
}

// Item i of the request, upper-cased by its own upper().
std::string request_word(nb::handle datablock, Py_ssize_t i) {
    nb::object item = nb::steal(PyObject_GetItem(datablock.ptr(), nb::int_(i).ptr()));
    if (!item.is_valid())
        throw nb::python_error();
    nb::object upper = item.attr("upper")();
    if (!PyUnicode_Check(upper.ptr())) {
        PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(upper.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(upper.ptr(), &n);
    if (!s)
        throw nb::python_error();
    return std::string(s, static_cast<size_t>(n));
}

} // namespace

PyObject *getOrvelData(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"getOrvelData", {"path", "datablock"}, 2}, args, kwargs, parsed) ||
        !check_str_or_none("path", parsed.values[0]))
        return nullptr;
    return guarded([&] {
        nb::handle datablock = parsed.values[1];
        Request req;
        req.dataBlockType = request_word(datablock, 0);
        req.dimensions = request_word(datablock, 1);
        req.deriv = request_word(datablock, 2);
        check_request(req);

        OpenFile of(parsed.values[0]);
        Events events;
        Result r;
        try {
            r = released([&] { return extract(of.file(), req, events); });
        } catch (const Error &) {
            emit(events);
            throw;
        }
        of.close();
        emit(events);
        return result_object(r);
    });
}

} // namespace orvelio::py

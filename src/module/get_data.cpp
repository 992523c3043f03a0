// getOrvelData: the request words, the file, and the result object of the data's kind.
#include "args.hpp"
#include "arrays.hpp"
#include "capi.hpp"
#include "core_call.hpp"
#include "extract/extract.hpp"
#include "functions.hpp"
#include "results/results.hpp"

namespace orvelio::py {

namespace {

nb::list to_list(const std::vector<std::string> &texts) {
    nb::list out;
    for (const std::string &t : texts)
        out.append(utf8(t));
    return out;
}

nb::object make(ResultClass cls, std::initializer_list<PyObject *> own, std::span<PyObject *const> base = {}) {
    PyObject *obj = new_result(cls, std::span(own.begin(), own.size()), base);
    if (!obj)
        throw nb::python_error();
    return nb::steal(obj);
}

nb::object region_object(Region &region) {
    nb::object title = utf8(region.title), mapX = to_numpy(region.mapX), mapY = to_numpy(region.mapY),
               start_time = region.start_time ? to_numpy(*region.start_time) : nb::none(),
               spectra = to_numpy(region.spectra);
    return make(ResultClass::Region, {title.ptr(), mapX.ptr(), mapY.ptr(), start_time.ptr(), spectra.ptr()});
}

nb::object result_object(Result &r) {
    // BaseDataReturn's values, in its parameters' order.
    nb::object dimension = cached_str(r.dimension), dataType = cached_str(r.dataType), deriv = cached_str(r.deriv),
               parameters = to_python(r.parameters), x = to_numpy(r.x), minY = to_python(r.minY),
               maxY = to_python(r.maxY);
    PyObject *const base[] = {dimension.ptr(), dataType.ptr(), deriv.ptr(), parameters.ptr(),
                              x.ptr(),         minY.ptr(),     maxY.ptr()};
    using K = Result::Kind;
    switch (r.kind) {
    case K::Single: {
        nb::object y = to_numpy(r.y);
        return make(ResultClass::Single, {y.ptr()}, base);
    }
    case K::Image: {
        nb::object mapX = to_numpy(r.mapX), mapY = to_numpy(r.mapY), spectra = to_numpy(r.spectra);
        return make(ResultClass::Image, {mapX.ptr(), mapY.ptr(), spectra.ptr()}, base);
    }
    case K::ImageTRC: {
        nb::object mapX = to_numpy(r.mapX), mapY = to_numpy(r.mapY), labels = to_list(r.labels),
                   traces = to_numpy(r.traces);
        return make(ResultClass::ImageTRC, {mapX.ptr(), mapY.ptr(), labels.ptr(), traces.ptr()}, base);
    }
    case K::TimeResolved: {
        nb::object z = to_numpy(r.z), spectra = to_numpy(r.spectra);
        return make(ResultClass::TimeResolved, {z.ptr(), spectra.ptr()}, base);
    }
    case K::TimeResolvedTRC: {
        nb::object labels = to_list(r.labels), traces = to_numpy(r.traces);
        return make(ResultClass::TimeResolvedTRC, {labels.ptr(), traces.ptr()}, base);
    }
    case K::MultiRegion:
    case K::MultiRegionTRC: {
        nb::list regions;
        for (Region &region : r.regions)
            regions.append(region_object(region));
        if (r.kind == K::MultiRegion)
            return make(ResultClass::MultiRegion, {regions.ptr()}, base);
        nb::object labels = to_list(r.labels);
        return make(ResultClass::MultiRegionTRC, {labels.ptr(), regions.ptr()}, base);
    }
    }
    throw std::logic_error("unknown result kind");
}

// Item i of the request, upper-cased by its own upper().
std::string request_word(nb::handle datablock, Py_ssize_t i) {
    nb::object item = nb::steal(PyObject_GetItem(datablock.ptr(), nb::int_(i).ptr()));
    if (!item.is_valid())
        throw nb::python_error();
    nb::object upper = item.attr("upper")();
    if (!PyUnicode_Check(upper.ptr())) {
        PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", capi::type_name(upper.ptr()).c_str());
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

        Events events;
        Result r;
        try {
            r = with_file(parsed.values[0], [&](File &f) { return extract(f, req, events); });
        } catch (const Error &) {
            emit(events);
            throw;
        }
        emit(events);
        return result_object(r);
    });
}

} // namespace orvelio::py

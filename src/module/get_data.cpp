// getOrvelData: the request words, the file, and the result object of the data's kind.
#include "args.hpp"
#include "arrays.hpp"
#include "capi.hpp"
#include "core_call.hpp"
#include "functions.hpp"
#include "results.hpp"

namespace orvelio::py {

namespace {

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

nb::list region_list(std::vector<Region> &regions) {
    nb::list out;
    for (Region &region : regions)
        out.append(region_object(region));
    return out;
}

} // namespace

nb::object result_object(Data &data) {
    Common &c = std::visit([](auto &r) -> Common & { return r; }, data);
    // BaseDataReturn's values, in its parameters' order.
    nb::object dimension = cached_str(c.request.dimensions), dataType = cached_str(c.request.type),
               deriv = cached_str(c.request.derivative), parameters = to_python(c.parameters), x = to_numpy(c.x),
               minY = to_python(c.minY), maxY = to_python(c.maxY);
    PyObject *const base[] = {dimension.ptr(), dataType.ptr(), deriv.ptr(), parameters.ptr(),
                              x.ptr(),         minY.ptr(),     maxY.ptr()};
    const ResultClass cls = kClassOfKind[data.index()];
    return std::visit(
        [&](auto &r) -> nb::object {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, Spectrum>) {
                nb::object y = to_numpy(r.y);
                return make(cls, {y.ptr()}, base);
            } else if constexpr (std::is_same_v<R, Image>) {
                nb::object mapX = to_numpy(r.mapX), mapY = to_numpy(r.mapY), spectra = to_numpy(r.spectra);
                return make(cls, {mapX.ptr(), mapY.ptr(), spectra.ptr()}, base);
            } else if constexpr (std::is_same_v<R, ImageTraces>) {
                nb::object mapX = to_numpy(r.mapX), mapY = to_numpy(r.mapY), labels = text_list(r.labels),
                           traces = to_numpy(r.traces);
                return make(cls, {mapX.ptr(), mapY.ptr(), labels.ptr(), traces.ptr()}, base);
            } else if constexpr (std::is_same_v<R, TimeSeries>) {
                nb::object z = to_numpy(r.z), spectra = to_numpy(r.spectra);
                return make(cls, {z.ptr(), spectra.ptr()}, base);
            } else if constexpr (std::is_same_v<R, TimeTraces>) {
                nb::object labels = text_list(r.labels), traces = to_numpy(r.traces);
                return make(cls, {labels.ptr(), traces.ptr()}, base);
            } else if constexpr (std::is_same_v<R, PointMap>) {
                nb::object regions = region_list(r.regions);
                return make(cls, {regions.ptr()}, base);
            } else {
                static_assert(std::is_same_v<R, TraceMap>);
                nb::object regions = region_list(r.regions);
                nb::object labels = text_list(r.labels);
                return make(cls, {labels.ptr(), regions.ptr()}, base);
            }
        },
        data);
}

PyObject *getOrvelData(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"getOrvelData", {"path", "datablock"}, 2}, args, kwargs, parsed) ||
        !check_str_or_none("path", parsed.values[0]))
        return nullptr;
    return guarded([&] {
        const Block block = request_block(parsed.values[1]);
        validate(block); // before the file is opened

        std::vector<Note> notes;
        Data data;
        try {
            data = with_reader(parsed.values[0], [&](Reader &r) { return r.read(block, &notes); });
        } catch (const Error &) {
            emit(notes);
            throw;
        }
        emit(notes);
        return result_object(data);
    });
}

} // namespace orvelio::py

// getVisImages: the visible pictures of a file, one dictionary each.
#include "functions.hpp"

#include "args.hpp"
#include "core_call.hpp"
#include "objects.hpp"

#include <map>

namespace orvelio::py {

nb::list picture_list(const std::vector<Picture> &pictures) {
    // Pictures that share a record share its objects (each gets a dictionary of its own).
    struct Made {
        std::vector<std::pair<nb::object, nb::object>> values;
        nb::object image;
        bool done = false;
    };
    std::map<size_t, Made> records;
    nb::list out;
    for (const Picture &pic : pictures) {
        Made &made = records[pic.record];
        if (!made.done) {
            for (const auto &[label, value] : *pic.properties)
                made.values.emplace_back(utf8(label), to_python(value));
            if (pic.data)
                made.image = nb::bytes(pic.data->data(), pic.data->size());
            made.done = true;
        }
        nb::dict d;
        for (const auto &[label, value] : made.values)
            if (PyDict_SetItem(d.ptr(), label.ptr(), value.ptr()) < 0)
                throw nb::python_error();
        if (pic.data) {
            d["image"] = made.image;
            d["imgext"] = pic.format.empty() ? nb::none() : nb::object(utf8(pic.format));
        }
        out.append(d);
    }
    return out;
}

PyObject *getVisImages(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"getVisImages", {"path"}, 1}, args, kwargs, parsed))
        return nullptr;
    if (!check_str_or_none("path", parsed.values[0]))
        return nullptr;
    return guarded([&] {
        std::vector<Picture> found = with_reader(parsed.values[0], [](Reader &r) { return r.pictures(); });
        return nb::object(picture_list(found));
    });
}

} // namespace orvelio::py

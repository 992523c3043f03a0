// getVisImages: the visible pictures of a file, one dictionary each.
#include "functions.hpp"

#include "args.hpp"
#include "core_call.hpp"
#include "objects.hpp"

#include <map>

namespace orvelio::py {

nb::list picture_list(const std::vector<Picture> &pictures) {
    // Pictures that share a record share its bytes object.
    std::map<const std::string *, nb::object> images;
    nb::list out;
    for (const Picture &pic : pictures) {
        nb::dict d;
        for (const auto &[label, value] : pic.properties)
            d[utf8(label)] = to_python(value);
        if (pic.data) {
            nb::object &image = images[pic.data.get()];
            if (!image.is_valid())
                image = nb::bytes(pic.data->data(), pic.data->size());
            d["image"] = image;
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

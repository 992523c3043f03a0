// getVisImages: the visible pictures of a file, one dictionary each.
#include "functions.hpp"

#include "args.hpp"
#include "core_call.hpp"
#include "images/vis_images.hpp"

namespace orvelio::py {

PyObject *getVisImages(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"getVisImages", {"path"}, 1}, args, kwargs, parsed))
        return nullptr;
    if (!check_str_or_none("path", parsed.values[0]))
        return nullptr;
    return guarded([&] {
        VisImages found = with_file(parsed.values[0], [](File &f) { return read_vis_images(f); });

        // Pictures that share a record share its objects (each gets a dictionary of its own);
        // each record's bytes are dropped once they have been copied.
        std::vector<nb::object> images(found.pictures.size());
        std::vector<std::vector<std::pair<nb::object, nb::object>>> values(found.pictures.size());
        nb::list out;
        for (size_t k : found.order) {
            VisPicture &pic = found.pictures[k];
            if (values[k].empty())
                for (const auto &[label, value] : pic.entries.items())
                    values[k].emplace_back(utf8(label), to_python(value));
            nb::dict d;
            for (const auto &[label, value] : values[k])
                if (PyDict_SetItem(d.ptr(), label.ptr(), value.ptr()) < 0)
                    throw nb::python_error();
            if (pic.has_image) {
                if (!images[k].is_valid()) {
                    images[k] = nb::bytes(pic.image.data(), pic.image.size());
                    std::string().swap(pic.image);
                }
                d["image"] = images[k];
                d["imgext"] = pic.format ? nb::object(nb::str(pic.format)) : nb::none();
            }
            out.append(d);
        }
        return nb::object(out);
    });
}

} // namespace orvelio::py

// help, listContents, isOrvelFile, decode_string and OrvelDict.
#include "functions.hpp"

#include "args.hpp"
#include "core_call.hpp"

namespace orvelio::py {

namespace {

constexpr const char *kHelpLines[] = {
    "This library contains the following functions:",
    "\tlistContents('path') :    This function returns a list containing the data blocks, their dimensions and "
    "derivative type",
    "\tisOrvelFile('path'):    This function returns true if the file is an Orvel file, false otherwise",
    "\tgetOrvelData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called description (ie: "
    "returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type of data block "
    "requested.",
    "\tgetVisImages('path'):",
    "\t\tThis function returns a list that contains an entry for each visible image in the file.",
    "\n For more detailed descriptions please consult the documentation.",
};

nb::dict code_table(std::span<const CodeName> table) {
    nb::dict d;
    for (const CodeName &e : table)
        d[nb::str(e.code.data(), e.code.size())] = nb::str(e.name.data(), e.name.size());
    return d;
}

// The single `path` argument of a function.
bool path_arg(const char *func, PyObject *args, PyObject *kwargs, ParsedArgs &parsed) {
    return parse_args({func, {"path"}, 1}, args, kwargs, parsed);
}

} // namespace

PyObject *help(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"help", {}, 0}, args, kwargs, parsed))
        return nullptr;
    return guarded([] {
        nb::object print = nb::module_::import_("builtins").attr("print");
        for (const char *line : kHelpLines)
            print(line);
        return nb::none();
    });
}

PyObject *isOrvelFile(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!path_arg("isOrvelFile", args, kwargs, parsed))
        return nullptr;
    return guarded([&] {
        return nb::bool_(with_reader(parsed.values[0], [](Reader &r) { return r.is_orvel(true); }));
    });
}

PyObject *listContents(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!path_arg("listContents", args, kwargs, parsed))
        return nullptr;
    return guarded([&] {
        std::vector<Block> blocks = with_reader(parsed.values[0], [](Reader &r) { return r.blocks(); });
        nb::list out;
        for (const Block &b : blocks)
            out.append(nb::make_tuple(cached_str(b.type), cached_str(b.dimensions), cached_str(b.derivative)));
        return nb::object(out);
    });
}

PyObject *decode_string(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"decode_string", {"s", "encodings"}, 1}, args, kwargs, parsed))
        return nullptr;
    return guarded([&]() -> nb::object {
        nb::handle s = parsed.values[0];
        nb::object encodings = parsed.values[1] ? nb::borrow(parsed.values[1])
                                                : nb::object(nb::make_tuple("ascii", "utf8", "latin1"));
        bool tried = false;
        for (nb::handle encoding : encodings) {
            tried = true;
            try {
                return s.attr("decode")(encoding);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_UnicodeDecodeError))
                    throw;
            }
        }
        if (!tried)
            return nb::none();
        return s.attr("decode")("ascii", "ignore");
    });
}

PyObject *OrvelDict(PyObject *, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args({"OrvelDict", {}, 0}, args, kwargs, parsed))
        return nullptr;
    return guarded([] { return nb::object(code_table(parameter_names())); });
}

nb::dict make_param_labels() { return code_table(parameter_labels()); }

} // namespace orvelio::py

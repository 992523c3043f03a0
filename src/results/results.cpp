// The result classes are ordinary Python classes, created with type(name, bases, namespace)
// so that they behave exactly like classes written in Python: instances carry a __dict__,
// callers may subclass them, and pickling finds them as orvelio.<name>. Their methods are
// C functions wrapped as instance methods, so they bind to the instance like Python
// functions do and receive it as their first positional argument.
#include "results.hpp"

#include "module/args.hpp"
#include "texts.hpp"

#include <cstring>

namespace orvelio::py {

namespace {

constexpr size_t kClassCount = 9;

// One strong reference per class, held for the life of the process.
PyObject *g_classes[kClassCount] = {};

PyObject *class_of(ResultClass c) { return g_classes[static_cast<size_t>(c)]; }

// Owns one reference.
class Ref {
  public:
    explicit Ref(PyObject *o = nullptr) : p_(o) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_;
};

// Stores every parsed argument after the instance in the attribute of the same name, in
// parameter order. The one exception is `deriv`, kept as `derivative`.
bool store_arguments(const ArgSpec &spec, const ParsedArgs &args) {
    PyObject *self = args.values[0];
    size_t i = 0;
    for (const char *name : spec.names) {
        if (i > 0) {
            const char *attr = std::strcmp(name, "deriv") == 0 ? "derivative" : name;
            if (PyObject_SetAttrString(self, attr, args.values[i]) < 0)
                return false;
        }
        ++i;
    }
    return true;
}

// self.description = self.description + text
bool extend_description(PyObject *self, const char *text) {
    Ref current(PyObject_GetAttrString(self, "description"));
    if (!current)
        return false;
    Ref tail(PyUnicode_FromString(text));
    if (!tail)
        return false;
    Ref joined(PyNumber_Add(current.get(), tail.get()));
    return joined && PyObject_SetAttrString(self, "description", joined.get()) == 0;
}

// super(cls, self).__init__(**kwds)
bool init_parent(ResultClass cls, PyObject *self, PyObject *kwds) {
    Ref parent(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), class_of(cls), self, nullptr));
    if (!parent)
        return false;
    Ref init(PyObject_GetAttrString(parent.get(), "__init__"));
    if (!init)
        return false;
    Ref no_args(PyTuple_New(0));
    if (!no_args)
        return false;
    Ref result(PyObject_Call(init.get(), no_args.get(), kwds));
    return static_cast<bool>(result);
}

// The constructor of every subclass of BaseDataReturn: store the own arguments, let the
// parent initialise the rest from the collected keywords, then extend the description.
// `kwds` collected by parse_args is a dict of its own, so the parent gets a copy.
PyObject *init_result(ResultClass cls, const ArgSpec &spec, const char *text, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args(spec, args, kwargs, parsed) || !store_arguments(spec, parsed) ||
        !init_parent(cls, parsed.values[0], parsed.extra) || !extend_description(parsed.values[0], text))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *base_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"}, 8};
    ParsedArgs parsed;
    if (!parse_args(spec, args, kwargs, parsed) || !store_arguments(spec, parsed))
        return nullptr;
    Ref text(PyUnicode_FromString(texts::kBaseText));
    if (!text || PyObject_SetAttrString(parsed.values[0], "description", text.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// __str__ and __repr__ of BaseDataReturn and of Region: the named attribute as it is now.
PyObject *attribute_text(const ArgSpec &spec, const char *attr, PyObject *args, PyObject *kwargs) {
    ParsedArgs parsed;
    if (!parse_args(spec, args, kwargs, parsed))
        return nullptr;
    return PyObject_GetAttrString(parsed.values[0], attr);
}

PyObject *base_str(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__str__", {"self"}, 1};
    return attribute_text(spec, "description", args, kwargs);
}

PyObject *base_repr(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__repr__", {"self"}, 1};
    return attribute_text(spec, "description", args, kwargs);
}

PyObject *single_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "y"}, 2, true};
    return init_result(ResultClass::Single, spec, texts::kSingleText, args, kwargs);
}

PyObject *image_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "mapX", "mapY", "spectra"}, 4, true};
    return init_result(ResultClass::Image, spec, texts::kImageText, args, kwargs);
}

PyObject *image_trc_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "mapX", "mapY", "labels", "traces"}, 5, true};
    return init_result(ResultClass::ImageTRC, spec, texts::kImageTRCText, args, kwargs);
}

PyObject *time_resolved_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "z", "spectra"}, 3, true};
    return init_result(ResultClass::TimeResolved, spec, texts::kTimeResolvedText, args, kwargs);
}

PyObject *time_resolved_trc_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "labels", "traces"}, 3, true};
    return init_result(ResultClass::TimeResolvedTRC, spec, texts::kTimeResolvedTRCText, args, kwargs);
}

PyObject *multi_region_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "regions"}, 2, true};
    return init_result(ResultClass::MultiRegion, spec, texts::kMultiRegionText, args, kwargs);
}

PyObject *multi_region_trc_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "labels", "regions"}, 3, true};
    return init_result(ResultClass::MultiRegionTRC, spec, texts::kMultiRegionTRCText, args, kwargs);
}

PyObject *region_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__init__", {"self", "title", "mapX", "mapY", "start_time", "spectra"}, 6};
    ParsedArgs parsed;
    if (!parse_args(spec, args, kwargs, parsed) || !store_arguments(spec, parsed))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *region_repr(PyObject *, PyObject *args, PyObject *kwargs) {
    static const ArgSpec spec{"__repr__", {"self"}, 1};
    return attribute_text(spec, "title", args, kwargs);
}

PyCFunction as_method(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

// Method tables, in definition order; each ends with an empty entry.
PyMethodDef g_base_methods[] = {{"__init__", as_method(base_init), kFlags, nullptr},
                                {"__str__", as_method(base_str), kFlags, nullptr},
                                {"__repr__", as_method(base_repr), kFlags, nullptr},
                                {}};
PyMethodDef g_single_methods[] = {{"__init__", as_method(single_init), kFlags, nullptr}, {}};
PyMethodDef g_image_methods[] = {{"__init__", as_method(image_init), kFlags, nullptr}, {}};
PyMethodDef g_image_trc_methods[] = {{"__init__", as_method(image_trc_init), kFlags, nullptr}, {}};
PyMethodDef g_time_resolved_methods[] = {{"__init__", as_method(time_resolved_init), kFlags, nullptr}, {}};
PyMethodDef g_time_resolved_trc_methods[] = {{"__init__", as_method(time_resolved_trc_init), kFlags, nullptr}, {}};
PyMethodDef g_multi_region_methods[] = {{"__init__", as_method(multi_region_init), kFlags, nullptr}, {}};
PyMethodDef g_region_methods[] = {{"__init__", as_method(region_init), kFlags, nullptr},
                                  {"__repr__", as_method(region_repr), kFlags, nullptr},
                                  {}};
PyMethodDef g_multi_region_trc_methods[] = {{"__init__", as_method(multi_region_trc_init), kFlags, nullptr}, {}};

struct ClassDef {
    const char *name;
    bool derived; // base BaseDataReturn, otherwise object
    const char *doc;
    PyMethodDef *methods;
};

// In the order of ResultClass, which is the order the classes are bound in.
const ClassDef kClasses[kClassCount] = {
    {"BaseDataReturn", false, texts::kBaseDoc, g_base_methods},
    {"SingleDataReturn", true, texts::kSingleDoc, g_single_methods},
    {"ImageDataReturn", true, texts::kImageDoc, g_image_methods},
    {"ImageTRCDataReturn", true, texts::kImageTRCDoc, g_image_trc_methods},
    {"TimeResolvedDataReturn", true, texts::kTimeResolvedDoc, g_time_resolved_methods},
    {"TimeResolvedTRCDataReturn", true, texts::kTimeResolvedTRCDoc, g_time_resolved_trc_methods},
    {"MultiRegionDataReturn", true, texts::kMultiRegionDoc, g_multi_region_methods},
    {"Region", false, texts::kRegionDoc, g_region_methods},
    {"MultiRegionTRCDataReturn", true, texts::kMultiRegionTRCDoc, g_multi_region_trc_methods},
};

bool set_item(PyObject *dict, const char *key, const char *text) {
    Ref value(PyUnicode_FromString(text));
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject *make_class(const ClassDef &def, PyObject *module_name) {
    Ref body(PyDict_New());
    if (!body || PyDict_SetItemString(body.get(), "__module__", module_name) < 0 ||
        !set_item(body.get(), "__qualname__", def.name) || !set_item(body.get(), "__doc__", def.doc))
        return nullptr;
    for (PyMethodDef *m = def.methods; m->ml_name; ++m) {
        Ref function(PyCFunction_NewEx(m, nullptr, module_name));
        if (!function)
            return nullptr;
        Ref method(PyInstanceMethod_New(function.get()));
        if (!method || PyDict_SetItemString(body.get(), m->ml_name, method.get()) < 0)
            return nullptr;
    }
    PyObject *base = def.derived ? class_of(ResultClass::Base) : reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    Ref bases(PyTuple_Pack(1, base));
    if (!bases)
        return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "sOO", def.name, bases.get(), body.get());
}

} // namespace

bool add_result_classes(PyObject *ns) {
    Ref module_name(PyUnicode_FromString("orvelio"));
    if (!module_name)
        return false;
    for (size_t i = 0; i < kClassCount; ++i) {
        PyObject *cls = make_class(kClasses[i], module_name.get());
        if (!cls)
            return false;
        Py_XSETREF(g_classes[i], cls);
        if (PyDict_SetItemString(ns, kClasses[i].name, cls) < 0)
            return false;
    }
    return true;
}

PyObject *result_class(ResultClass c) { return class_of(c); }

} // namespace orvelio::py

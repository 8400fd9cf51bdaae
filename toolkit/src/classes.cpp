// Class builders: namespace preparation, metaclass selection and class creation.
#include "qyb/python.h"

#include "qyb/classes.h"

#include "qyb/errors.h"
#include "qyb/objects.h"

namespace qyb {

namespace {

// The most derived metaclass of `bases`, as the interpreter picks it for a class statement.
py::object calculate_metaclass(const py::tuple& bases) {
    PyTypeObject* winner = &PyType_Type;
    for (py::handle base : bases) {
        PyTypeObject* t = Py_TYPE(base.ptr());
        if (PyType_IsSubtype(winner, t)) {
            continue;
        }
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

ClassBuilder::ClassBuilder(py::handle module, const char* name,
                           std::initializer_list<py::handle> bases)
    : module_(module), name_(name), bases_(bases.size()) {
    std::size_t i = 0;
    for (py::handle b : bases) {
        bases_[i++] = py::reinterpret_borrow<py::object>(b);
    }
    metaclass_ = calculate_metaclass(bases_);
    py::str pyname(name);
    if (has(metaclass_, qyb::name<"__prepare__">())) {
        namespace_ = metaclass_.attr("__prepare__")(pyname, bases_);
    } else {
        namespace_ = py::dict();
    }
    set("__module__", module_.attr("__name__"));
    set("__qualname__", pyname);
}

void ClassBuilder::set(const char* key, py::handle value) {
    check(PyObject_SetItem(namespace_.ptr(), py::str(key).ptr(), value.ptr()));
}

ClassBuilder& ClassBuilder::doc(const char* text) {
    set("__doc__", py::str(text));
    return *this;
}

ClassBuilder& ClassBuilder::field(const char* name, Annotation annotation) {
    if (!has_annotations_) {
        set("__annotations__", annotations_);
        has_annotations_ = true;
    }
    annotations_[py::str(name)] = annotation.value();
    return *this;
}

ClassBuilder& ClassBuilder::field(const char* name, Annotation annotation, py::object default_value) {
    field(name, std::move(annotation));
    set(name, default_value);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
    set(name, value);
    return *this;
}

ClassBuilder& ClassBuilder::method(FunctionDef def) {
    py::object f = make_function(def, module_, name_.c_str());
    methods_.append(f);
    set(def.name, f);
    return *this;
}

ClassBuilder& ClassBuilder::static_method(FunctionDef def) { return wrapped_method(std::move(def), PyStaticMethod_New); }

ClassBuilder& ClassBuilder::class_method(FunctionDef def) { return wrapped_method(std::move(def), PyClassMethod_New); }

ClassBuilder& ClassBuilder::wrapped_method(FunctionDef def, PyObject* (*wrap)(PyObject*)) {
    py::object f = make_function(def, module_, name_.c_str());
    methods_.append(f);
    set(def.name, steal(wrap(f.ptr())));
    return *this;
}

py::object ClassBuilder::build() {
    py::object cls = metaclass_(py::str(name_), bases_, namespace_);
    for (py::handle f : methods_) {
        set_defining_class(f, cls);
    }
    return cls;
}

py::object make_exception(py::handle module, const char* name, py::handle base, const char* doc) {
    ClassBuilder c(module, name, {base});
    if (doc != nullptr) {
        c.doc(doc);
    }
    return c.build();
}

}  // namespace qyb

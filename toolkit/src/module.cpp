// The part runner and the import steps that the parts use.
#include "qyb/python.h"

#include "qyb/module.h"

#include <string>

#include "qyb/errors.h"
#include "qyb/names.h"
#include "qyb/objects.h"

namespace qyb {

namespace {

std::string step_name(const char* part, const char* what) {
    return std::string("<") + part + " part: " + what + ">";
}

}  // namespace

void Part::note_failure(const char* what, std::source_location where) const {
    // The exception stays in the C++ exception; fetch it into the interpreter long enough to
    // add the frame, then hand it back.
    restore_current_exception();
    _PyTraceback_Add(step_name(name_, what).c_str(), where.file_name(), static_cast<int>(where.line()));
    throw_error();
}

void Part::import(const char* dotted, std::source_location where) {
    std::string what = std::string("import ") + dotted;
    step(what.c_str(), where, [&] {
        py::object top = py::reinterpret_steal<py::object>(PyImport_ImportModuleLevelObject(
            py::str(dotted).ptr(), module_.attr("__dict__").ptr(), nullptr, nullptr, 0));
        if (!top) {
            throw_error();
        }
        std::string first(dotted);
        first = first.substr(0, first.find('.'));
        module_.attr(first.c_str()) = top;
    });
}

void Part::import_as(const char* module, const char* as, std::source_location where) {
    std::string what = std::string("import ") + module + " as " + as;
    step(what.c_str(), where, [&] {
        py::object m = py::reinterpret_steal<py::object>(PyImport_ImportModule(module));
        if (!m) {
            throw_error();
        }
        module_.attr(as) = m;
    });
}

void Part::import_from(const char* module, std::initializer_list<const char*> names, int level,
                       std::source_location where) {
    std::string what = std::string("from ") + std::string(static_cast<std::size_t>(level), '.') +
                       module + " import";
    for (const char* n : names) {
        what += std::string(" ") + n;
    }
    step(what.c_str(), where, [&] {
        py::tuple fromlist(names.size());
        std::size_t i = 0;
        for (const char* n : names) {
            fromlist[i++] = py::str(n);
        }
        py::object m = py::reinterpret_steal<py::object>(PyImport_ImportModuleLevelObject(
            py::str(module).ptr(), module_.attr("__dict__").ptr(), nullptr, fromlist.ptr(), level));
        if (!m) {
            throw_error();
        }
        for (const char* n : names) {
            module_.attr(n) = import_name(m, n);
        }
    });
}

void Part::import_star(const char* module, int level, std::source_location where) {
    std::string what = std::string("from ") + std::string(static_cast<std::size_t>(level), '.') +
                       module + " import *";
    step(what.c_str(), where, [&] {
        py::tuple fromlist = py::make_tuple(py::str("*"));
        py::object m = py::reinterpret_steal<py::object>(PyImport_ImportModuleLevelObject(
            py::str(module).ptr(), module_.attr("__dict__").ptr(), nullptr, fromlist.ptr(), level));
        if (!m) {
            throw_error();
        }
        // The interpreter's own rules and messages for a star import.
        PyObject* listed = PyObject_GetAttrString(m.ptr(), "__all__");
        bool public_only = listed == nullptr;
        if (public_only) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw_error();
            }
            PyErr_Clear();
            PyObject* dict = PyObject_GetAttrString(m.ptr(), "__dict__");
            if (dict == nullptr) {
                raise(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
            }
            listed = PyMapping_Keys(dict);
            Py_DECREF(dict);
            if (listed == nullptr) {
                throw_error();
            }
        }
        py::object all = py::reinterpret_steal<py::object>(listed);
        py::object module_name = qyb::get(m, qyb::name<"__name__">(), qyb::name<"?">());
        for (py::handle name : all) {
            if (!PyUnicode_Check(name.ptr())) {
                PyErr_Format(PyExc_TypeError, "%s in %S.%s must be str, not %.100s",
                             public_only ? "Key" : "Item", module_name.ptr(),
                             public_only ? "__dict__" : "__all__", Py_TYPE(name.ptr())->tp_name);
                throw_error();
            }
            if (public_only && PyUnicode_GET_LENGTH(name.ptr()) > 0 &&
                PyUnicode_READ_CHAR(name.ptr(), 0) == '_') {
                continue;
            }
            module_.attr(name) = steal(PyObject_GetAttr(m.ptr(), name.ptr()));
        }
    });
}

void Part::bind(const char* name, py::handle value, std::source_location where) {
    std::string what = std::string("bind ") + name;
    step(what.c_str(), where, [&] { module_.attr(name) = value; });
}

py::object Part::get(const char* name, std::source_location where) const {
    std::string what = std::string("read ") + name;
    return step(what.c_str(), where, [&] { return py::object(module_.attr(name)); });
}

void Part::def(const FunctionDef& def, std::source_location where) {
    std::string what = std::string("def ") + def.name;
    step(what.c_str(), where, [&] { module_.attr(def.name) = make_function(def, module_); });
}

py::object Part::bind_class(ClassBuilder& builder, std::source_location where) {
    std::string what = std::string("class ") + builder.name();
    return step(what.c_str(), where, [&] {
        py::object cls = builder.build();
        module_.attr(builder.name().c_str()) = cls;
        return cls;
    });
}

py::object import_name(py::handle module, const char* name) {
    PyObject* v = PyObject_GetAttrString(module.ptr(), name);
    if (v != nullptr) {
        return py::reinterpret_steal<py::object>(v);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw_error();
    }
    PyErr_Clear();
    // A sub-module that is being imported may not be an attribute of its package yet.
    py::object pkgname = py::reinterpret_steal<py::object>(PyObject_GetAttrString(module.ptr(), "__name__"));
    if (!pkgname) {
        PyErr_Clear();
    } else if (PyUnicode_Check(pkgname.ptr())) {
        py::str full = py::str(pkgname) + py::str(".") + py::str(name);
        PyObject* sub = PyImport_GetModule(full.ptr());
        if (sub != nullptr) {
            return py::reinterpret_steal<py::object>(sub);
        }
        if (PyErr_Occurred()) {
            throw_error();
        }
    }
    py::object modname = pkgname ? pkgname : py::str("<unknown module name>");
    py::object path = get(module, qyb::name<"__file__">(), py::none());
    py::str message = path.is_none()
                          ? py::str("cannot import name {!r} from {!r} (unknown location)")
                                .format(py::str(name), modname)
                          : py::str("cannot import name {!r} from {!r} ({})")
                                .format(py::str(name), modname, path);
    PyErr_SetImportError(message.ptr(), modname.ptr(), path.ptr());
    throw_error();
}

int prepare_bindings() noexcept {
    try {
        py::detail::get_internals();
        return 0;
    } catch (std::exception&) {
        restore_current_exception();
        return -1;
    }
}

int run_parts(PyObject* module, std::span<const PartDef> parts) noexcept {
    const PartDef* current = nullptr;
    if (prepare_bindings() < 0) {
        return -1;
    }
    try {
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        for (const PartDef& part : parts) {
            current = &part;
            Part p(m, part.name);
            part.define(p);
        }
        return 0;
    } catch (std::exception&) {
        restore_current_exception();
    }
    // Leave no half-made module behind for a later import to find.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (current != nullptr) {
        PyErr_Restore(type, value, tb);
        _PyTraceback_Add(step_name(current->name, "initialisation").c_str(), __FILE__, __LINE__);
        PyErr_Fetch(&type, &value, &tb);
    }
    // Only this module's own entry: a module imported earlier under the same name stays.
    PyObject* name = PyModule_GetNameObject(module);
    if (name != nullptr) {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* entry = PyDict_GetItemWithError(modules, name);
        if (entry == module && PyDict_DelItem(modules, name) < 0) {
            PyErr_Clear();
        }
        Py_DECREF(name);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return -1;
}

}  // namespace qyb

// Class builders: Python classes made through their real metaclass from native members.
#pragma once

#include "qyb/python.h"

#include <initializer_list>
#include <string>

#include <pybind11/pybind11.h>

#include "qyb/function.h"

namespace qyb {

namespace py = pybind11;

// Builds a class as a `class` statement would: the metaclass is the most derived metaclass of
// the bases, the namespace comes from its __prepare__ and holds __module__, __qualname__, the
// docstring, __annotations__ and the members in the order they are added.
class ClassBuilder {
public:
    ClassBuilder(py::handle module, const char* name, std::initializer_list<py::handle> bases = {});

    ClassBuilder& doc(const char* text);
    // A dataclass-style field: its annotation, and its default as a class attribute.
    ClassBuilder& field(const char* name, Annotation annotation);
    ClassBuilder& field(const char* name, Annotation annotation, py::object default_value);
    ClassBuilder& attr(const char* name, py::object value);
    ClassBuilder& method(FunctionDef def);
    ClassBuilder& static_method(FunctionDef def);
    ClassBuilder& class_method(FunctionDef def);

    const std::string& name() const { return name_; }
    py::object build();

private:
    void set(const char* key, py::handle value);
    // A method wrapped as staticmethod or classmethod would wrap it.
    ClassBuilder& wrapped_method(FunctionDef def, PyObject* (*wrap)(PyObject*));

    py::handle module_;
    std::string name_;
    py::tuple bases_;
    py::object metaclass_;
    py::object namespace_;
    py::list methods_;  // the native functions of the body, told their class once it exists
    py::dict annotations_;
    bool has_annotations_ = false;
};

// `class name(base): pass`, for exception classes with an empty body.
py::object make_exception(py::handle module, const char* name, py::handle base,
                          const char* doc = nullptr);

}  // namespace qyb

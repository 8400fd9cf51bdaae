// The part runner: a module's initialisation as an ordered list of parts, each of which makes
// its imports and then binds its constants, classes and functions.
#pragma once

#include "qyb/python.h"

#include <initializer_list>
#include <source_location>
#include <span>

#include <pybind11/pybind11.h>

#include "qyb/classes.h"
#include "qyb/function.h"

namespace qyb {

namespace py = pybind11;

// One part of a module's initialisation. Every step that fails adds itself (what it was
// doing and where it is declared) to the traceback before the error leaves.
class Part {
public:
    Part(py::module_ module, const char* name) : module_(std::move(module)), name_(name) {}

    // `import a.b.c`: imports the dotted module and binds its top-level name.
    void import(const char* dotted, std::source_location where = std::source_location::current());
    // `import <module> as <as>` for a module whose name is chosen by the build.
    void import_as(const char* module, const char* as,
                   std::source_location where = std::source_location::current());
    // `from <module> import names...`; `level` > 0 for a relative import.
    void import_from(const char* module, std::initializer_list<const char*> names, int level = 0,
                     std::source_location where = std::source_location::current());
    // `from <module> import *`: the names of its __all__, else its names without a leading "_".
    void import_star(const char* module, int level = 0,
                     std::source_location where = std::source_location::current());

    void bind(const char* name, py::handle value,
              std::source_location where = std::source_location::current());
    // The module attribute as it is bound now, for defaults fixed at definition.
    py::object get(const char* name, std::source_location where = std::source_location::current()) const;

    // Makes a module-level function and binds it.
    void def(const FunctionDef& def, std::source_location where = std::source_location::current());
    // Builds the class and binds it under its own name; returns it.
    py::object bind_class(ClassBuilder& builder,
                          std::source_location where = std::source_location::current());

    py::module_& module() { return module_; }
    const char* name() const { return name_; }

    // Runs `step`; on failure adds `what` at `where` to the traceback and rethrows.
    template <class F>
    auto step(const char* what, std::source_location where, F&& step_body) const {
        try {
            return step_body();
        } catch (std::exception&) {
            note_failure(what, where);
            throw;
        }
    }

private:
    [[noreturn]] void note_failure(const char* what, std::source_location where) const;

    py::module_ module_;
    const char* name_;
};

struct PartDef {
    const char* name;
    void (*define)(Part&);
};

// Builds pybind11's internals now. error_already_set's destructor uses them, and built lazily
// there a failure could only end the process: an exec slot calls this before its first
// pybind11 step. Returns 0, or -1 with the error set.
int prepare_bindings() noexcept;

// Runs the parts in order on `module` (prepare_bindings first). Returns 0, or -1 with the failing step's exception set
// and the module's entry removed from sys.modules.
int run_parts(PyObject* module, std::span<const PartDef> parts) noexcept;

// `from <module> import <name>` on an already imported module: the attribute, else the
// sub-module of that name in sys.modules, else the interpreter's ImportError.
py::object import_name(py::handle module, const char* name);

}  // namespace qyb

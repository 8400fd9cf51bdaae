// A test module of native functions whose bodies return their bound arguments, so the tests
// can compare them with equivalent Python defs.
#include "qyb/python.h"

#include <array>
#include <new>
#include <string>

#include "qyb/toolkit.h"

namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::kwargs;
using qyb::kwonly;
using qyb::name;
using qyb::varargs;

// The body of every function whose test compares only how its arguments are bound: it returns
// them all, however many the declaration has.
py::object echo(const qyb::Call& call) {
    py::object out = qyb::steal(PyTuple_New(static_cast<Py_ssize_t>(call.size())));
    for (std::size_t i = 0; i < call.size(); ++i) {
        PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(call[i].ptr()));
    }
    return out;
}

py::object raise_value_error(const qyb::Call& call) {
    auto [value] = call.args<1>();
    qyb::raise(PyExc_ValueError, py::str("bad value: {!r}").format(value));
}

qyb::FunctionDef fails_def() { return {.name = "fails", .params = {arg("value")}, .body = raise_value_error}; }

py::object read_global(const qyb::Call& call) {
    auto [global_name] = call.args<1>();
    return call.global(global_name);
}

qyb::FunctionDef read_global_def() { return {.name = "read_global", .params = {arg("name")}, .body = read_global}; }

py::object recurse(const qyb::Call& call) {
    auto [n_value] = call.args<1>();
    const long n = n_value.cast<long>();
    if (n == 0) {
        return py::int_(0);
    }
    return qyb::invoke(call.function(), py::int_(n - 1));
}

qyb::FunctionDef recurse_def() { return {.name = "recurse", .params = {arg("n")}, .body = recurse}; }

// A class made on each call, as a class statement would: methods of each kind, a field.
py::object make_class(const qyb::Call& call) {
    auto [class_name] = call.args<1>();
    std::string text = py::str(class_name);
    qyb::ClassBuilder c(qyb::steal(PyImport_ImportModule("_toolkit_test")), text.c_str());
    c.doc("Made at run time.")
        .field("size", "int", py::int_(0))
        .method({.name = "method", .params = {arg("self"), arg("x")}, .body = echo})
        .static_method({.name = "smethod", .params = {arg("x", "int")}, .returns = "int", .body = echo})
        .class_method({.name = "cmethod", .params = {arg("cls"), kwonly("k", py::none())}, .body = echo});
    return c.build();
}

qyb::FunctionDef make_class_def() { return {.name = "make_class", .params = {arg("name", "str")}, .body = make_class}; }

py::object double_body(const qyb::Call& call) {
    auto [x] = call.args<1>();
    return qyb::steal(PyNumber_Add(x.ptr(), x.ptr()));
}

qyb::FunctionDef double_def() {
    return {.name = "double", .params = {arg("x")}, .body = double_body, .held = {py::str("held by double")}};
}

// `double(x)` as a def naming the module's `double` would call it; natively while it is the
// original, with what the original holds.
py::object call_double(const qyb::Call& call) {
    auto [x] = call.args<1>();
    qyb::Shortcut f = call.shortcut<"double">(double_body);
    if (f) {
        return py::make_tuple(f.original().held(0), double_body(call));
    }
    return py::make_tuple(py::none(), qyb::invoke(f.bound(), x));
}

qyb::FunctionDef call_double_def() { return {.name = "call_double", .params = {arg("x")}, .body = call_double}; }

// x * factor + offset.
py::object scale_body(const qyb::Call& call) {
    auto [x, factor, offset] = call.args<3>();
    py::object product = qyb::steal(PyNumber_Multiply(x.ptr(), factor.ptr()));
    return qyb::steal(PyNumber_Add(product.ptr(), offset.ptr()));
}

qyb::FunctionDef scale_def() {
    return {.name = "scale",
            .params = {arg("x"), arg("factor", py::int_(2)), kwonly("offset", py::int_(0))},
            .body = scale_body};
}

// `scale(x)` as a def naming the module's `scale` calls it: a core written for the defaults
// `scale` is made with while the shortcut holds, else the call the def would make.
py::object call_scale(const qyb::Call& call) {
    auto [x] = call.args<1>();
    qyb::Shortcut f = call.shortcut<"scale">(scale_body);
    if (f) {
        return py::make_tuple("core", qyb::steal(PyNumber_Multiply(x.ptr(), py::int_(2).ptr())));
    }
    return py::make_tuple("call", f(x));
}

qyb::FunctionDef call_scale_def() { return {.name = "call_scale", .params = {arg("x")}, .body = call_scale}; }

// Functions a test takes out of the module, so that nothing else holds them.
py::object call_then_read_global(const qyb::Call& call) {
    auto [callback, global_name] = call.args<2>();
    qyb::invoke(callback);
    return call.global(global_name);
}

qyb::FunctionDef disposable_call_def() {
    return {.name = "disposable_call", .params = {arg("callback"), arg("name")}, .body = call_then_read_global};
}

qyb::FunctionDef disposable_cycle_def() {
    return {.name = "disposable_cycle", .params = {arg("name")}, .body = read_global};
}

py::object point_post_init(const qyb::Call& call) {
    auto [self] = call.args<1>();
    if (py::int_(qyb::get(self, name<"x">())).cast<long>() < 0) {
        qyb::raise(PyExc_ValueError, "x must not be negative");
    }
    return py::none();
}

qyb::FunctionDef point_post_init_def() {
    return {.name = "__post_init__", .params = {arg("self")}, .body = point_post_init};
}

// `super().__init__(*args)` from a native __init__, then records which class ran.
py::object chained_init(const qyb::Call& call) {
    auto [self, args] = call.args<2>();
    // `f(*args)`: the collector's tuple is passed as it is.
    qyb::steal(PyObject_Call(qyb::get(call.super(self), name<"__init__">()).ptr(), args.ptr(), nullptr));
    py::str chain(qyb::get(self, name<"chain">(), py::str("")));
    qyb::set(self, name<"chain">(), qyb::steal(PyUnicode_Concat(chain.ptr(), py::str("native;").ptr())));
    return py::none();
}

qyb::FunctionDef chained_init_def() {
    return {.name = "__init__", .params = {arg("self"), varargs("args")}, .body = chained_init};
}

py::object module_level_super(const qyb::Call& call) {
    auto [obj] = call.args<1>();
    return call.super(obj);
}

qyb::FunctionDef module_level_super_def() {
    return {.name = "module_level_super", .params = {arg("obj")}, .body = module_level_super};
}

void functions_part(qyb::Part& p) {
    // The binder's cases, all on echo.
    py::int_ two(2);
    p.def({.name = "f0", .body = echo});
    p.def({.name = "f1", .params = {arg("x")}, .body = echo});
    p.def({.name = "f2", .params = {arg("x"), arg("y")}, .body = echo});
    p.def({.name = "f3", .params = {arg("x"), arg("y"), arg("z")}, .body = echo});
    p.def({.name = "f4", .params = {arg("a"), arg("b"), arg("c"), arg("d")}, .body = echo});
    p.def({.name = "f_defaults", .params = {arg("x"), arg("y", py::int_(1)), arg("z", two)}, .body = echo});
    p.def({.name = "f_one_default", .params = {arg("x", py::none())}, .body = echo});
    p.def({.name = "f_kwonly", .params = {arg("x"), kwonly("k"), kwonly("m", py::int_(3))}, .body = echo});
    p.def({.name = "f_kwonly2", .params = {kwonly("k"), kwonly("m")}, .body = echo});
    p.def({.name = "f_kwargs", .params = {arg("x"), kwargs("kw")}, .body = echo});
    p.def({.name = "f_all",
           .params = {arg("a"), arg("b", two), kwonly("c"), kwonly("d", py::int_(4)), kwargs("rest")},
           .body = echo});
    p.def({.name = "f_varargs", .params = {arg("x"), varargs("args")}, .body = echo});
    p.def({.name = "f_only_varargs", .params = {varargs("args", "int"), kwonly("k", py::int_(1))}, .body = echo});
    p.def({.name = "f_var_all",
           .params = {arg("a"), arg("b", two), varargs("more"), kwonly("c"), kwonly("d", py::int_(4)),
                      kwargs("rest")},
           .body = echo});
    p.def({.name = "annotated",
           .params = {arg("payload", "bytes | str"), kwonly("max_bytes", "int", py::int_(262144))},
           .returns = "Any",
           .doc = "Decode a payload.",
           .body = echo});
    p.def(fails_def());
    p.def(read_global_def());
    p.def(recurse_def());
    p.def(make_class_def());
    p.def(double_def());
    p.def(call_double_def());
    p.def(scale_def());
    p.def(call_scale_def());
    p.def(disposable_call_def());
    p.def(disposable_cycle_def());

    qyb::ClassBuilder thing(p.module(), "Thing");
    thing.doc("A class of native methods.")
        .method({.name = "method", .params = {arg("self"), arg("x"), kwonly("flag", py::bool_(false))}, .body = echo})
        .static_method({.name = "smethod", .params = {arg("x", "int")}, .returns = "int", .body = echo})
        .class_method({.name = "cmethod", .params = {arg("cls"), arg("value")}, .body = echo});
    p.bind_class(thing);

    // Evaluated annotations: the objects themselves, as a def without postponed evaluation keeps them.
    py::object typing = qyb::steal(PyImport_ImportModule("typing"));
    py::handle str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    py::handle int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    py::object list_of_str = qyb::steal(Py_GenericAlias(reinterpret_cast<PyObject*>(&PyList_Type), str_type.ptr()));
    py::object thing_cls = p.get("Thing");
    py::object list_alias = qyb::item(qyb::get(typing, name<"List">()), str_type);
    py::object literal = qyb::item(qyb::get(typing, name<"Literal">()), py::make_tuple("a", "b"));
    p.def({.name = "evaluated",
           .params = {arg("items", qyb::Annotation(list_of_str)), arg("kind", qyb::Annotation(list_alias), py::none()),
                      kwonly("mode", qyb::Annotation(literal), py::str("a")),
                      kwonly("thing", qyb::Annotation(thing_cls), py::none()), kwargs("rest", "int")},
           .returns = qyb::Annotation(py::none()),
           .body = echo});
    py::object dataclasses = qyb::steal(PyImport_ImportModule("dataclasses"));
    qyb::ClassBuilder record(p.module(), "Record");
    record.field("name", qyb::Annotation(str_type))
        .field("tags", qyb::Annotation(list_of_str), py::tuple())
        .field("limit", qyb::Annotation(qyb::item(qyb::get(typing, name<"ClassVar">()), int_type)), py::int_(3))
        .field("owner", "Thing | None", py::none());
    p.bind("Record", qyb::call_method(dataclasses, name<"dataclass">(), record.build()));

    qyb::ClassBuilder point(p.module(), "Point");
    point.field("x", "int").field("y", "int", py::int_(0)).method(point_post_init_def());
    py::object frozen = qyb::call_method(dataclasses, name<"dataclass">(), qyb::kw<"frozen">(py::bool_(true)));
    p.bind("Point", qyb::invoke(frozen, point.build()));

    py::object protocol = qyb::get(typing, name<"Protocol">());
    qyb::ClassBuilder store(p.module(), "Store", {protocol});
    store.method({.name = "get", .params = {arg("self"), arg("reference", "str")}, .returns = "str",
                  .body = [](const qyb::Call&) -> py::object { return py::none(); }});
    p.bind_class(store);

    qyb::ClassBuilder chained(p.module(), "Chained", {PyExc_ValueError});
    chained.method(chained_init_def());
    p.bind_class(chained);
    p.def(module_level_super_def());

    p.bind("Failure", qyb::make_exception(p.module(), "Failure", PyExc_RuntimeError, "A failure."));
}

// ---------------------------------------------------------------------------------------
// The dialect a body speaks, each function the native twin of a def in the tests.

// def named(a, b, *, c=None): return (c, b, a)
py::object named(const qyb::Call& call) {
    auto [a, b, c] = call.args<3>();
    return py::make_tuple(c, b, a);
}

qyb::FunctionDef named_def() {
    return {.name = "named", .params = {arg("a"), arg("b"), kwonly("c", py::none())}, .body = named};
}

// Declared with two parameters, reads three.
py::object miscounted(const qyb::Call& call) {
    auto [a, b, c] = call.args<3>();
    return py::make_tuple(a, b, c);
}

qyb::FunctionDef miscounted_def() { return {.name = "miscounted", .params = {arg("a"), arg("b")}, .body = miscounted}; }

// def getattr_or(obj, attr, fallback): return getattr(obj, attr, fallback)
py::object getattr_or(const qyb::Call& call) {
    auto [obj, attr, fallback] = call.args<3>();
    return qyb::get(obj, attr, fallback);
}

qyb::FunctionDef getattr_or_def() {
    return {.name = "getattr_or", .params = {arg("obj"), arg("attr"), arg("fallback")}, .body = getattr_or};
}

// def has_attribute(obj, attr): return hasattr(obj, attr)
py::object has_attribute(const qyb::Call& call) {
    auto [obj, attr] = call.args<2>();
    return py::bool_(qyb::has(obj, attr));
}

qyb::FunctionDef has_attribute_def() {
    return {.name = "has_attribute", .params = {arg("obj"), arg("attr")}, .body = has_attribute};
}

// def call_keywords(f, a, b, c): return f(a, x=b, y=c)
py::object call_keywords(const qyb::Call& call) {
    auto [f, a, b, c] = call.args<4>();
    return qyb::invoke(f, a, qyb::kw<"x">(b), qyb::kw<"y">(c));
}

qyb::FunctionDef call_keywords_def() {
    return {.name = "call_keywords", .params = {arg("f"), arg("a"), arg("b"), arg("c")}, .body = call_keywords};
}

// def call_dict(f, a, d): return f(a, **d)
py::object call_dict(const qyb::Call& call) {
    auto [f, a, d] = call.args<3>();
    return qyb::invoke(f, a, qyb::keywords(d));
}

qyb::FunctionDef call_dict_def() {
    return {.name = "call_dict", .params = {arg("f"), arg("a"), arg("d")}, .body = call_dict};
}

// def call_method_keywords(obj, a, b): return obj.method(a, x=b)
py::object call_method_keywords(const qyb::Call& call) {
    auto [obj, a, b] = call.args<3>();
    return qyb::call_method(obj, name<"method">(), a, qyb::kw<"x">(b));
}

qyb::FunctionDef call_method_keywords_def() {
    return {.name = "call_method_keywords", .params = {arg("obj"), arg("a"), arg("b")}, .body = call_method_keywords};
}

// def pairs(k1, v1, k2, v2): return {k1: v1, k2: v2}
py::object pairs(const qyb::Call& call) {
    auto [k1, v1, k2, v2] = call.args<4>();
    return qyb::dict_of({{k1, v1}, {k2, v2}});
}

qyb::FunctionDef pairs_def() {
    return {.name = "pairs", .params = {arg("k1"), arg("v1"), arg("k2"), arg("v2")}, .body = pairs};
}

// def handle_then(fails, handler):
//     try: return fails()
//     except ValueError as e: return handler(e)
py::object handle_then(const qyb::Call& call) {
    auto [fails, handler] = call.args<2>();
    try {
        return qyb::invoke(fails);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) {
            throw;
        }
        qyb::Except handling(e);
        return qyb::invoke(handler, e.value());
    }
}

qyb::FunctionDef handle_then_def() {
    return {.name = "handle_then", .params = {arg("fails"), arg("handler")}, .body = handle_then};
}

// def clean_then_raise(fails, cleanup):
//     try: return fails()
//     except BaseException: cleanup(); raise
py::object clean_then_raise(const qyb::Call& call) {
    auto [fails, cleanup] = call.args<2>();
    try {
        return qyb::invoke(fails);
    } catch (std::exception&) {
        qyb::Except failure;
        qyb::invoke(cleanup);
        failure.reraise();
    }
}

qyb::FunctionDef clean_then_raise_def() {
    return {.name = "clean_then_raise", .params = {arg("fails"), arg("cleanup")}, .body = clean_then_raise};
}

// A C++ failure in the try: cleanup() sees it as the MemoryError it raises.
py::object clean_after_bad_alloc(const qyb::Call& call) {
    auto [cleanup] = call.args<1>();
    try {
        throw std::bad_alloc();
    } catch (std::exception&) {
        qyb::Except failure;
        qyb::invoke(cleanup);
        failure.reraise();
    }
}

qyb::FunctionDef clean_after_bad_alloc_def() {
    return {.name = "clean_after_bad_alloc", .params = {arg("cleanup")}, .body = clean_after_bad_alloc};
}

// An exception object that was never raised, handled while `then` runs: as throwing `exc`
// into a generator whose clean-up calls `then`.
py::object handling_object(const qyb::Call& call) {
    auto [exc, then] = call.args<2>();
    qyb::Except handling(exc);
    return qyb::invoke(then);
}

qyb::FunctionDef handling_object_def() {
    return {.name = "handling_object", .params = {arg("exc"), arg("then")}, .body = handling_object};
}

// def try_finally(body, cleanup):
//     try: return body()
//     finally: cleanup()
py::object try_finally(const qyb::Call& call) {
    auto [body, cleanup] = call.args<2>();
    return qyb::finally([&] { return qyb::invoke(body); }, [&] { qyb::invoke(cleanup); });
}

qyb::FunctionDef try_finally_def() {
    return {.name = "try_finally", .params = {arg("body"), arg("cleanup")}, .body = try_finally};
}

// The same with a body that returns nothing: returns None.
py::object try_finally_void(const qyb::Call& call) {
    auto [body, cleanup] = call.args<2>();
    qyb::finally([&] { qyb::invoke(body); }, [&] { qyb::invoke(cleanup); });
    return py::none();
}

qyb::FunctionDef try_finally_void_def() {
    return {.name = "try_finally_void", .params = {arg("body"), arg("cleanup")}, .body = try_finally_void};
}

// def reraise_from(fails, make):
//     try: fails()
//     except ValueError as e: raise make() from e
py::object reraise_from(const qyb::Call& call) {
    auto [fails, make] = call.args<2>();
    try {
        qyb::invoke(fails);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) {
            throw;
        }
        qyb::Except handling(e);
        qyb::raise_from(qyb::invoke(make), e.value());
    }
    return py::none();
}

qyb::FunctionDef reraise_from_def() {
    return {.name = "reraise_from", .params = {arg("fails"), arg("make")}, .body = reraise_from};
}

// def clock(): return time.monotonic()
py::object clock(const qyb::Call& call) { return call.monotonic(); }

qyb::FunctionDef clock_def() { return {.name = "clock", .body = clock}; }

void dialect_part(qyb::Part& p) {
    p.import("time");
    p.def(named_def());
    p.def(miscounted_def());
    p.def(getattr_or_def());
    p.def(has_attribute_def());
    p.def(call_keywords_def());
    p.def(call_dict_def());
    p.def(call_method_keywords_def());
    p.def(pairs_def());
    p.def(handle_then_def());
    p.def(clean_then_raise_def());
    p.def(clean_after_bad_alloc_def());
    p.def(handling_object_def());
    p.def(try_finally_def());
    p.def(try_finally_void_def());
    p.def(reraise_from_def());
    p.def(clock_def());
}

constexpr std::array<qyb::PartDef, 2> kParts = {{{"functions", functions_part}, {"dialect", dialect_part}}};

int exec_module(PyObject* module) { return qyb::run_parts(module, kParts); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "_toolkit_test", nullptr, 0, nullptr, slots,
                   nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__toolkit_test() { return PyModuleDef_Init(&def); }

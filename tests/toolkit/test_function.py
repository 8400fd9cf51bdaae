"""Native functions against the equivalent Python defs: signatures, dunders, binding, errors."""
import contextlib
import dataclasses
import functools
import gc
import inspect
import os
import pickle
import subprocess
import sys
import typing
import weakref

import pytest

import _toolkit_test as native


def f0():
    return ()


def f1(x):
    return (x,)


def f2(x, y):
    return (x, y)


def f3(x, y, z):
    return (x, y, z)


def f4(a, b, c, d):
    return (a, b, c, d)


def f_defaults(x, y=1, z=2):
    return (x, y, z)


def f_one_default(x=None):
    return (x,)


def f_kwonly(x, *, k, m=3):
    return (x, k, m)


def f_kwonly2(*, k, m):
    return (k, m)


def f_kwargs(x, **kw):
    return (x, kw)


def f_all(a, b=2, *, c, d=4, **rest):
    return (a, b, c, d, rest)


def f_varargs(x, *args):
    return (x, args)


def f_only_varargs(*args: "int", k=1):
    return (args, k)


def f_var_all(a, b=2, *more, c, d=4, **rest):
    return (a, b, more, c, d, rest)


def annotated(payload: "bytes | str", *, max_bytes: "int" = 262144) -> "Any":
    """Decode a payload."""
    return (payload, max_bytes)


def evaluated(items: list[str], kind: typing.List[str] = None, *, mode: typing.Literal["a", "b"] = "a",
              thing: native.Thing = None, **rest: "int") -> None:
    return (items, kind, mode, thing, rest)


PAIRS = [f0, f1, f2, f3, f4, f_defaults, f_one_default, f_kwonly, f_kwonly2, f_kwargs, f_all, f_varargs,
         f_only_varargs, f_var_all, annotated, evaluated]

# (args, kwargs) applied to every pair; each either binds or raises TypeError in both.
CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3), {}),
    ((1, 2, 3, 4, 5), {}),
    ((), {"x": 1}),
    ((1,), {"x": 1}),
    ((1,), {"y": 2}),
    ((), {"k": 1}),
    ((1,), {"k": 1}),
    ((1, 2), {"k": 1}),
    ((1, 2, 3), {"k": 1, "m": 2}),
    ((1,), {"c": 3}),
    ((1,), {"c": 3, "zz": 9, "a2": 1}),
    ((1, 2), {"c": 3, "b": 2}),
    ((), {"payload": b"x", "max_bytes": 5}),
    ((b"x", 5), {}),
    ((), {"a": 1, "b": 2, "c": 3, "d": 4}),
    ((), {"z": 1}),
    ((), {"args": 1}),
    ((1,), {"more": (2,), "c": 3}),
    ((1,), {1: 2}),
]


def outcome(fn, args, kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except TypeError as e:
        return ("TypeError", str(e))


@pytest.mark.parametrize("py_fn", PAIRS, ids=lambda f: f.__name__)
def test_shape_matches_python_def(py_fn):
    fn = getattr(native, py_fn.__name__)
    assert inspect.signature(fn) == inspect.signature(py_fn)
    assert str(inspect.signature(fn)) == str(inspect.signature(py_fn))
    for attr in ("__name__", "__qualname__", "__defaults__", "__kwdefaults__", "__annotations__", "__doc__"):
        assert getattr(fn, attr) == getattr(py_fn, attr), attr
    assert fn.__module__ == "_toolkit_test"


@pytest.mark.parametrize("py_fn", PAIRS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("args,kwargs", CALLS)
def test_binding_and_errors_match_python_def(py_fn, args, kwargs):
    fn = getattr(native, py_fn.__name__)
    # Python's messages name the def's qualname; ours is the same plain name.
    assert outcome(fn, args, kwargs) == outcome(py_fn, args, kwargs)


def test_defaults_are_one_store_with_the_dunders():
    fn = native.f_all
    assert fn(1, c=0) == (1, 2, 0, 4, {})
    old = fn.__defaults__, dict(fn.__kwdefaults__)
    try:
        fn.__defaults__ = (20,)
        fn.__kwdefaults__["d"] = 40
        assert fn(1, c=0) == (1, 20, 0, 40, {})
        assert str(inspect.signature(fn)) == "(a, b=20, *, c, d=40, **rest)"
        fn.__kwdefaults__ = None
        with pytest.raises(TypeError, match=r"^f_all\(\) missing 1 required keyword-only argument: 'd'$"):
            fn(1, c=0)
        fn.__defaults__ = None
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'b'"):
            fn(1, c=0, d=0)
    finally:
        fn.__defaults__, fn.__kwdefaults__ = old
    with pytest.raises(TypeError):
        fn.__defaults__ = [1]


def test_kwargs_collector_is_fresh_and_ordered():
    first = native.f_kwargs(1, b=2, a=3)
    second = native.f_kwargs(1, b=2, a=3)
    assert list(first[1]) == ["b", "a"]
    assert first[1] is not second[1]
    assert native.f_kwargs(1, **{"x2": 0}) == (1, {"x2": 0})


class PyThing:
    def method(self, x, *, flag=False):
        return (self, x, flag)

    @staticmethod
    def smethod(x: "int") -> "int":
        return (x,)

    @classmethod
    def cmethod(cls, value):
        return (cls, value)


def test_methods_bind_like_python_functions():
    thing = native.Thing()
    bound = thing.method
    assert inspect.ismethod(bound) and bound.__func__ is native.Thing.__dict__["method"]
    assert bound(5) == (thing, 5, False)
    assert native.Thing.method(thing, 6, flag=True) == (thing, 6, True)
    assert str(inspect.signature(bound)) == str(inspect.signature(PyThing().method))
    assert native.Thing.method.__qualname__ == "Thing.method"
    assert native.Thing.smethod(3) == (3,) and thing.smethod(3) == (3,)
    assert inspect.signature(native.Thing.smethod) == inspect.signature(PyThing.smethod)
    assert native.Thing.cmethod(4) == (native.Thing, 4)
    assert inspect.signature(native.Thing.cmethod) == inspect.signature(PyThing.cmethod)
    with pytest.raises(TypeError) as native_err:
        thing.method(1, 2)
    with pytest.raises(TypeError) as py_err:
        PyThing().method(1, 2)
    assert str(native_err.value) == str(py_err.value).replace("PyThing", "Thing")
    assert native.Thing.__doc__ == "A class of native methods."
    assert native.Thing.__module__ == "_toolkit_test"


def test_works_under_wraps_and_contextmanager():
    @functools.wraps(native.annotated)
    def wrapper(*a, **k):
        return native.annotated(*a, **k)

    assert wrapper.__wrapped__ is native.annotated
    assert wrapper.__annotations__ == native.annotated.__annotations__
    assert inspect.signature(wrapper) == inspect.signature(annotated)

    managed = contextlib.contextmanager(native.f1)
    assert managed.__name__ == "f1" and inspect.signature(managed) == inspect.signature(f1)
    native.f1.__dict__["tag"] = "kept"
    assert native.f1.tag == "kept"


def test_body_errors_propagate_and_globals_are_live():
    with pytest.raises(ValueError, match=r"^bad value: 7$"):
        native.fails(7)
    native.later = 5
    assert native.read_global("later") == 5
    native.later = 6
    assert native.read_global("later") == 6
    with pytest.raises(NameError, match="name 'missing_name' is not defined"):
        native.read_global("missing_name")


def test_frozen_dataclass_from_native_class():
    point = native.Point(1)
    assert dataclasses.is_dataclass(point)
    assert [f.name for f in dataclasses.fields(native.Point)] == ["x", "y"]
    assert native.Point.__annotations__ == {"x": "int", "y": "int"}
    assert point == native.Point(1, 0) and hash(point) == hash(native.Point(1, 0))
    assert dataclasses.asdict(point) == {"x": 1, "y": 0}
    assert repr(point) == "Point(x=1, y=0)"
    with pytest.raises(dataclasses.FrozenInstanceError):
        point.x = 2
    with pytest.raises(ValueError, match="x must not be negative"):
        native.Point(-1)
    assert pickle.loads(pickle.dumps(point)) == point
    assert issubclass(native.Failure, RuntimeError) and native.Failure.__doc__ == "A failure."


def test_evaluated_annotations_are_the_objects_themselves():
    annotations = native.evaluated.__annotations__
    assert annotations["return"] is None and annotations["thing"] is native.Thing
    assert annotations["items"] == list[str] and annotations["rest"] == "int"
    signature = inspect.signature(native.evaluated)
    assert signature.return_annotation is None
    assert signature.parameters["kind"].annotation == typing.List[str]
    assert typing.get_type_hints(native.evaluated)["mode"] == typing.Literal["a", "b"]

    assert native.Record.__annotations__ == {"name": str, "tags": list[str], "limit": typing.ClassVar[int],
                                             "owner": "Thing | None"}
    # The evaluated ClassVar keeps `limit` a class attribute, not a field.
    assert [(f.name, f.type) for f in dataclasses.fields(native.Record)] == [
        ("name", str), ("tags", list[str]), ("owner", "Thing | None")]
    assert native.Record("n").limit == 3 and native.Record("n").tags == ()


def test_repr_and_type_flags():
    assert repr(native.f1).startswith("<function f1 at 0x")
    assert inspect.isroutine(native.f1)
    assert callable(native.f1)


def test_protocol_class_through_its_metaclass():
    import typing

    assert type(native.Store) is type(typing.Protocol)
    assert native.Store._is_protocol and native.Store.__mro__[1] is typing.Protocol
    assert native.Store.get.__annotations__ == {"reference": "str", "return": "str"}
    assert native.Store.get(object(), "ref") is None
    with pytest.raises(TypeError, match="Protocols cannot be instantiated"):
        native.Store()
    with pytest.raises(TypeError, match="runtime_checkable"):
        isinstance(object(), native.Store)


def test_pickle_and_copy_treat_functions_as_module_globals():
    import copy

    assert pickle.loads(pickle.dumps(native.f1)) is native.f1
    assert pickle.loads(pickle.dumps(native.Thing.smethod)) is native.Thing.smethod
    assert copy.copy(native.f_all) is native.f_all
    assert copy.deepcopy({"f": native.f_all})["f"] is native.f_all
    assert native.f1.__reduce__() == "f1"


def test_global_lookup_falls_back_to_builtins(monkeypatch):
    import builtins

    monkeypatch.setattr(builtins, "qyb_only_in_builtins", 7, raising=False)
    assert native.read_global("qyb_only_in_builtins") == 7
    assert native.read_global("len") is len


def test_function_dropped_by_its_caller_mid_call_stays_alive():
    holder = functools.partial(vars(native).pop("disposable_call"))

    def drop_the_only_reference():
        holder.__setstate__((print, (), {}, None))
        gc.collect()

    native.later = "still here"
    assert holder(drop_the_only_reference, "later") == "still here"


def test_runaway_recursion_is_a_recursion_error():
    with pytest.raises(RecursionError):
        native.recurse(10**6)
    assert native.recurse(10) == 0


def test_function_reached_after_the_collector_cleared_it():
    seen = []

    class Finalized:
        def __init__(self, ref):
            self.ref = ref

        def __del__(self):
            function = self.ref()
            seen.append((repr(function), function.__name__))

    class Holder:
        def __del__(self):
            self.late = Finalized(weakref.ref(self.function))

    holder = Holder()
    holder.function = vars(native).pop("disposable_cycle")
    holder.function.__dict__["holder"] = holder
    del holder
    gc.collect()
    assert len(seen) == 1 and seen[0][0].startswith("<function") and type(seen[0][1]) is str


def test_signature_can_be_set_and_wrappers_defer_to_what_they_wrap():
    def model(a, b=2):
        pass

    fn = native.f_var_all
    saved = {name: getattr(fn, name) for name in functools.WRAPPER_ASSIGNMENTS}
    try:
        fn.__signature__ = inspect.signature(model)
        assert str(inspect.signature(fn)) == "(a, b=2)"
        del fn.__signature__
        functools.update_wrapper(fn, model)
        assert str(inspect.signature(fn)) == "(a, b=2)"
    finally:
        fn.__dict__.pop("__wrapped__", None)
        for name, value in saved.items():
            setattr(fn, name, value)
    assert str(inspect.signature(fn)) == "(a, b=2, *more, c, d=4, **rest)"


def test_failed_second_load_keeps_the_first_module(tmp_path):
    code = """
import importlib.util, sys
import _toolkit_test as first
spec = importlib.util.find_spec("_toolkit_test")
second = importlib.util.module_from_spec(spec)
sys.modules["typing"] = None
try:
    spec.loader.exec_module(second)
except ImportError:
    pass
else:
    raise SystemExit("loaded")
assert sys.modules["_toolkit_test"] is first
print("ok")
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "ok", done.stderr


def test_super_in_a_native_method_uses_the_defining_class():
    class Sub(native.Chained):
        def __init__(self, *args):
            self.chain = "python;"
            super().__init__(*args)

    error = Sub("a", 1)
    assert error.args == ("a", 1) and error.chain == "python;native;"
    assert native.Chained("b").args == ("b",)
    alias = native.Chained.__init__
    other = native.Chained.__new__(native.Chained)
    alias(other, "c")  # the defining class, not the name the method was reached by
    assert other.args == ("c",)
    with pytest.raises(RuntimeError, match=r"^super\(\): __class__ cell not found$"):
        native.module_level_super(object())


def test_shortcut_runs_natively_only_while_the_original_is_bound(monkeypatch):
    import importlib.util

    assert native.call_double(3) == ("held by double", 6)
    monkeypatch.setattr(native, "double", lambda x: x * 10)
    assert native.call_double(3) == (None, 30)
    # The same body made for another load of the module is not this module's original.
    spec = importlib.util.find_spec("_toolkit_test")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    monkeypatch.setattr(native, "double", other.double)
    assert native.call_double(3) == (None, 6)
    assert other.call_double(3) == ("held by double", 6)
    monkeypatch.undo()
    assert native.call_double("ab") == ("held by double", "abab")
    monkeypatch.delattr(native, "double")
    with pytest.raises(NameError, match="name 'double' is not defined"):
        native.call_double(3)


# How the defaults of `scale(x, factor=2, *, offset=0)` are changed, and what `scale(5)` then
# gives. Its shortcut's core assumes factor 2 and offset 0.
@pytest.mark.parametrize("change, expected", [
    (lambda f, mp: mp.setattr(f, "__defaults__", (3,)), ("call", 15)),
    (lambda f, mp: mp.setattr(f, "__defaults__", None), TypeError),
    (lambda f, mp: mp.setattr(f, "__kwdefaults__", {"offset": 1}), ("call", 11)),
    (lambda f, mp: mp.setitem(f.__kwdefaults__, "offset", 1), ("call", 11)),
    (lambda f, mp: mp.delitem(f.__kwdefaults__, "offset"), TypeError),
    (lambda f, mp: mp.setitem(f.__kwdefaults__, "other", 1), ("call", 10)),   # no longer vouched for
    (lambda f, mp: mp.setattr(f, "__kwdefaults__", {"offset": 0}), ("core", 10)),  # the same items
    (lambda f, mp: mp.setattr(f, "__defaults__", f.__defaults__), ("core", 10)),  # the same tuple
], ids=["defaults", "no defaults", "kwdefaults", "kwdefaults in place", "kwdefault removed",
        "kwdefaults grown", "kwdefaults equal", "defaults same"])
def test_shortcut_holds_only_with_the_defaults_its_core_was_made_for(monkeypatch, change, expected):
    assert native.call_scale(5) == ("core", 10)
    with monkeypatch.context() as mp:
        change(native.scale, mp)
        if expected is TypeError:
            with pytest.raises(TypeError, match=r"^scale\(\) missing 1 required"):
                native.call_scale(5)
        else:
            assert native.call_scale(5) == expected
    assert native.call_scale(5) == ("core", 10)     # the very defaults again


@pytest.mark.parametrize("attr", ["__defaults__", "__kwdefaults__", "__annotations__"])
def test_optional_attributes_take_none_or_their_type_as_a_def_does(attr):
    def model():
        pass

    fn = native.f_one_default
    saved = getattr(fn, attr)
    try:
        messages = []
        for target in (fn, model):
            with pytest.raises(TypeError) as refused:
                setattr(target, attr, [1])
            messages.append(str(refused.value))
            setattr(target, attr, None)
        assert messages[0] == messages[1]
        assert getattr(fn, attr) == getattr(model, attr)
    finally:
        setattr(fn, attr, saved)
    assert getattr(fn, attr) == saved


# ---------------------------------------------------------------------------------------
# The body dialect: each native function against the def it stands for.

def named(a, b, *, c=None):
    return (c, b, a)


def getattr_or(obj, attr, fallback):
    return getattr(obj, attr, fallback)


def has_attribute(obj, attr):
    return hasattr(obj, attr)


def call_keywords(f, a, b, c):
    return f(a, x=b, y=c)


def call_dict(f, a, d):
    return f(a, **d)


def call_method_keywords(obj, a, b):
    return obj.method(a, x=b)


def pairs(k1, v1, k2, v2):
    return {k1: v1, k2: v2}


def handle_then(fails, handler):
    try:
        return fails()
    except ValueError as e:
        return handler(e)


def clean_then_raise(fails, cleanup):
    try:
        return fails()
    except BaseException:
        cleanup()
        raise


def try_finally(body, cleanup):
    try:
        return body()
    finally:
        cleanup()


def reraise_from(fails, make):
    try:
        fails()
    except ValueError as e:
        raise make() from e


def chain(exc):
    """An exception's identity down its __cause__ and __context__ links, as text."""
    if exc is None:
        return None
    return (type(exc).__name__, str(exc), exc.__suppress_context__, chain(exc.__cause__), chain(exc.__context__))


def result(fn, *args):
    try:
        return ("ok", fn(*args))
    except BaseException as e:  # noqa: B036 - the outcome itself is compared
        return ("raised", chain(e))


def twins(py_fn):
    return [py_fn, getattr(native, py_fn.__name__)]


class Attributes:
    present = "here"

    @property
    def broken(self):
        raise KeyError("broken getter")

    @property
    def missing(self):
        raise AttributeError("missing by property")

    def __getattr__(self, attr):
        if attr == "dynamic":
            return "made"
        raise AttributeError(attr)


@pytest.mark.parametrize("attr", ["present", "dynamic", "absent", "missing", "broken", 1])
def test_getattr_with_default_and_hasattr_let_all_but_attribute_error_through(attr):
    obj = Attributes()
    for fn, args in ((getattr_or, (obj, attr, "fallback")), (has_attribute, (obj, attr))):
        expected, got = (result(f, *args) for f in twins(fn))
        assert got == expected, fn.__name__
    if attr == "broken":
        assert result(native.has_attribute, obj, attr)[0] == "raised"


def test_arguments_by_name_bind_in_declaration_order():
    for args, kwargs in (((1, 2), {}), ((1,), {"b": 2, "c": 3}), ((), {"c": 3, "a": 1, "b": 2})):
        assert native.named(*args, **kwargs) == named(*args, **kwargs)


def test_a_body_reading_more_arguments_than_declared_is_refused():
    with pytest.raises(SystemError, match=r"miscounted\(\) body reads 3 arguments; the call holds 2"):
        native.miscounted(1, 2)


def recorder(*args, **kwargs):
    return (args, list(kwargs.items()))


class Target:
    def method(self, *args, **kwargs):
        return (self, args, list(kwargs.items()))


@pytest.mark.parametrize("fn,args", [
    (call_keywords, (recorder, 1, 2, 3)),
    (call_keywords, (lambda a, x: a, 1, 2, 3)),              # unexpected keyword y
    (call_keywords, (lambda x, y, a=0: a, 1, 2, 3)),         # x given twice
    (call_dict, (recorder, 1, {"b": 2, "a": 1})),
    (call_dict, (recorder, 1, {})),
    (call_dict, (lambda a, b: (a, b), 1, {"a": 2})),         # a given twice
    (call_dict, (recorder, 1, {1: 2})),                      # keywords must be strings
    (call_dict, (dict, "not pairs", {"x": 1})),
    (call_method_keywords, (Target(), 1, 2)),
    (call_method_keywords, (object(), 1, 2)),                # no such method
])
def test_calls_with_keywords_match_the_call_expression(fn, args):
    expected, got = (result(f, *args) for f in twins(fn))
    assert got == expected
    # The second call reuses the keyword names made by the first.
    assert result(getattr(native, fn.__name__), *args) == got


@pytest.mark.parametrize("k1,k2", [("a", "b"), ("b", "a"), ("a", "a"), (1, 1.0), ([], "a")])
def test_dict_from_pairs_keeps_their_order(k1, k2):
    expected, got = (result(f, k1, "v1", k2, "v2") for f in twins(pairs))
    assert got == expected
    if got[0] == "ok":
        assert list(native.pairs(k1, "v1", k2, "v2").items()) == list(pairs(k1, "v1", k2, "v2").items())


def fail_with(exc):
    def fails():
        raise exc
    return fails


def seen_by_exc_info(log):
    def look(*args):
        log.append(sys.exc_info()[1])
        return "handled"
    return look


@pytest.mark.parametrize("failure", [ValueError("bad"), KeyError("other"), None])
def test_except_makes_the_caught_exception_the_one_being_handled(failure):
    fails = fail_with(failure) if failure is not None else (lambda: "fine")
    for handler in (seen_by_exc_info([]), fail_with(RuntimeError("in handler"))):
        expected, got = (result(f, fails, handler) for f in twins(handle_then))
        assert got == expected
    log = []
    result(native.handle_then, fails, seen_by_exc_info(log))
    assert log == ([failure] if isinstance(failure, ValueError) else [])
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("cleanup_fails", [False, True])
def test_except_reraises_the_same_exception_untouched(cleanup_fails):
    def fails():
        try:
            raise KeyError("inner")
        except KeyError:
            raise ValueError("outer")

    log = []
    cleanup = fail_with(OSError("cleanup")) if cleanup_fails else seen_by_exc_info(log)
    outcomes = []
    for fn in twins(clean_then_raise):
        # Called inside an except of the caller's: a bare raise keeps the exception's own context.
        try:
            raise LookupError("caller's")
        except LookupError:
            outcomes.append(result(fn, fails, cleanup))
    assert outcomes[1] == outcomes[0]
    assert [type(e) for e in log] == ([] if cleanup_fails else [ValueError, ValueError])


def test_except_holds_a_cpp_failure_as_its_memory_error():
    log = []
    with pytest.raises(MemoryError):
        native.clean_after_bad_alloc(seen_by_exc_info(log))
    assert [type(e) for e in log] == [MemoryError]
    with pytest.raises(OSError) as info:
        native.clean_after_bad_alloc(fail_with(OSError("cleanup")))
    assert type(info.value.__context__) is MemoryError


def test_except_of_an_exception_object_chains_it():
    exc = GeneratorExit()
    log = []
    assert native.handling_object(exc, seen_by_exc_info(log)) == "handled"
    assert log == [exc]
    with pytest.raises(RuntimeError) as info:
        native.handling_object(exc, fail_with(RuntimeError("clean-up")))
    assert info.value.__context__ is exc
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("body_fails", [False, True])
@pytest.mark.parametrize("cleanup_fails", [False, True])
def test_finally_runs_the_cleanup_on_every_path(body_fails, cleanup_fails):
    body = fail_with(ValueError("body")) if body_fails else (lambda: "result")
    outcomes, logs = [], []
    for fn in twins(try_finally):
        log = []
        cleanup = fail_with(OSError("cleanup")) if cleanup_fails else seen_by_exc_info(log)
        outcomes.append(result(fn, body, cleanup))
        logs.append([type(e) for e in log])
    assert outcomes[1] == outcomes[0]
    assert logs[1] == logs[0]
    ran = []
    void = result(native.try_finally_void, body, lambda: ran.append(1))
    assert ran == [1] and (void == ("ok", None)) != body_fails


@pytest.mark.parametrize("fails", [fail_with(ValueError("bad")), fail_with(KeyError("other")), lambda: None])
def test_raise_from_inside_except_chains_as_python(fails):
    make = lambda: RuntimeError("made")  # noqa: E731
    expected, got = (result(f, fails, make) for f in twins(reraise_from))
    assert got == expected


def test_clock_is_the_module_time_as_bound_now(monkeypatch):
    first = native.clock()
    assert isinstance(first, float) and native.clock() >= first

    class Fixed:
        @staticmethod
        def monotonic():
            return 42

    monkeypatch.setattr(native, "time", Fixed)
    assert native.clock() == 42
    monkeypatch.delattr(native, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        native.clock()

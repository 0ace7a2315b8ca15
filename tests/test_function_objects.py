"""The function objects of kofa: attributes, introspection, binding, pickling."""
import copy
import ctypes
import inspect
import json
import pickle
import sys
import types
import weakref

import numpy
import pytest

import kofa
from helpers import run_script, sample

NAMES = ("gaussian_mixture", "exponential_mixture", "exponential_gaussian_mixture")
FUNCS = {name: getattr(kofa, name) for name in NAMES}

# def line, parameters, locals after the parameters, signature
TABLE = {
    "gaussian_mixture": (
        9, "X k init_mean init_cov n_iter eps",
        "mean cov _n_iter prob mean_ cov_ weight i sample m c",
        "(X, k=2, init_mean=None, init_cov=None, n_iter=1000, eps=1e-05)"),
    "exponential_mixture": (
        39, "X k init_lambda n_iter eps", "lambda_ _n_iter prob lambda__ weight i sample m c l",
        "(X, k=2, init_lambda=None, n_iter=1000, eps=1e-05)"),
    "exponential_gaussian_mixture": (
        89, "X exponential_k gaussian_k init_lambda init_mean init_cov n_iter eps",
        "lambda_ mean cov _n_iter exponential_prob gaussian_prob mean_ cov_ lambda__ "
        "exponential_weight gaussian_weight i sample m c l",
        "(X, exponential_k=1, gaussian_k=1, init_lambda=None, init_mean=None, "
        "init_cov=None, n_iter=1000, eps=1e-05)"),
}

DOC_LINES = [
    (0, ""), (4, "只能用于一维数据"), (0, ""), (4, "Parameters"), (4, "----------"),
    (4, "X : TYPE"), (8, "DESCRIPTION."),
    (4, "k : TYPE, optional"), (8, "DESCRIPTION. The default is 2."),
    (4, "init_lambda : TYPE, optional"), (8, "DESCRIPTION. The default is None."),
    (4, "n_iter : TYPE, optional"), (8, "DESCRIPTION. The default is 1000."),
    (4, "eps : TYPE, optional"), (8, "DESCRIPTION. The default is 0.00001."),
    (0, ""), (4, "Returns"), (4, "-------"), (4, "None."), (0, ""), (4, ""),
]
EXPONENTIAL_DOC = "\n".join(" " * n + text for n, text in DOC_LINES)

Text = type("Text", (str,), {})
MUTABLE = ("__doc__", "__name__", "__qualname__", "__defaults__", "__kwdefaults__",
           "__annotations__", "__module__")


@pytest.fixture(autouse=True)
def restore_functions():
    saved = [(f, {a: getattr(f, a) for a in MUTABLE}, f.__dict__, dict(f.__dict__))
             for f in FUNCS.values()]
    yield
    for f, attrs, attr_dict, contents in saved:
        for attr, value in attrs.items():
            setattr(f, attr, value)
        f.__dict__ = attr_dict
        attr_dict.clear()
        attr_dict.update(contents)


def error_of(action):
    with pytest.raises(Exception) as info:
        action()
    return type(info.value), str(info.value)


@pytest.mark.parametrize("name", NAMES)
def test_code_object(name):
    line, params, local_names, _ = TABLE[name]
    params, local_names = tuple(params.split()), tuple(local_names.split())
    code = FUNCS[name].__code__
    assert type(code) is types.CodeType
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount,
            code.co_nlocals) == (len(params), 0, 0, len(params) + len(local_names))
    assert code.co_varnames == params + local_names
    assert (code.co_filename, code.co_name, code.co_firstlineno) == ("kofa.cpp", name, line)
    # Before 3.11 the code constructor adds CO_NOFREE (64) to every code
    # object without free or cell variables, as it does for plain functions.
    assert code.co_flags == (67 if sys.version_info < (3, 11) else 3)
    # CPython 3.13 raises a stack size of 0 to 1 whatever it is given.
    assert code.co_code == b""
    assert code.co_stacksize == (1 if sys.version_info >= (3, 13) else 0)
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_plain_attributes(name):
    f = FUNCS[name]
    assert str(inspect.signature(f)) == TABLE[name][3]
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "kofa"
    assert f.__self__ is None and f.__closure__ is None and f.__kwdefaults__ is None
    assert f.__globals__ is vars(kofa)
    assert f.__annotations__ == {} and f.__annotations__ is f.__annotations__


def test_docstrings():
    assert kofa.gaussian_mixture.__doc__ is None
    assert kofa.exponential_gaussian_mixture.__doc__ is None
    doc = kofa.exponential_mixture.__doc__
    assert (len(EXPONENTIAL_DOC), len(EXPONENTIAL_DOC.encode())) == (396, 412)
    assert doc == EXPONENTIAL_DOC
    assert kofa.exponential_mixture.__doc__ is doc


ALIASED = {"func_" + n: "__%s__" % n
           for n in ("doc", "name", "dict", "globals", "closure", "code", "defaults")}
NAME = "__name__ must be set to a string object"
QUALNAME = "__qualname__ must be set to a string object"
TO_DICT = "setting function's dictionary to a non-dict"
DEL_DICT = "function's dictionary may not be deleted"
DEFAULTS = "__defaults__ must be set to a tuple object"


@pytest.mark.parametrize("attr, new, bad, message, after_delete", [
    # a str after_delete is the TypeError text that deleting raises
    ("__doc__", "new text", None, None, None), ("func_doc", 12, None, None, None),
    ("__name__", Text("renamed"), 1, NAME, NAME), ("func_name", Text("renamed"), b"x", NAME, NAME),
    ("__qualname__", "Outer.inner", None, QUALNAME, QUALNAME),
    ("__dict__", {"other": 1}, [("a", 1)], TO_DICT, DEL_DICT),
    ("func_dict", {"other": 1}, None, TO_DICT, DEL_DICT),
    ("__defaults__", (5,), 3, DEFAULTS, None), ("func_defaults", None, [2], DEFAULTS, None),
    ("__kwdefaults__", {"k": 3}, 3, "__kwdefaults__ must be set to a dict object", None),
    ("__annotations__", {"X": 1}, 3, "__annotations__ must be set to a dict object", {}),
    ("__module__", 12, None, None, None),
])
def test_assign_and_delete(attr, new, bad, message, after_delete):
    f = kofa.exponential_mixture
    setattr(f, attr, new)
    assert getattr(f, attr) is new and getattr(f, ALIASED.get(attr, attr)) is new
    if message is not None:
        assert error_of(lambda: setattr(f, attr, bad)) == (TypeError, message)
        assert getattr(f, attr) is new
    if type(after_delete) is str:
        assert error_of(lambda: delattr(f, attr)) == (TypeError, after_delete)
        assert getattr(f, attr) is new
    else:
        delattr(f, attr)  # __doc__: the definition's text does not come back
        assert getattr(f, attr) == after_delete


@pytest.mark.parametrize("attr", ["__self__", "__globals__", "func_globals", "__closure__",
                                  "func_closure", "__code__", "func_code"])
def test_read_only_attributes(attr):
    f = kofa.exponential_mixture
    before = getattr(f, attr)
    assert error_of(lambda: setattr(f, attr, {}))[0] is AttributeError
    assert error_of(lambda: delattr(f, attr))[0] is AttributeError
    assert getattr(f, attr) is before and getattr(f, ALIASED.get(attr, attr)) is before


def test_repr_follows_qualname():
    f = kofa.gaussian_mixture
    assert repr(f).lower() == f"<function gaussian_mixture at {hex(id(f))}>".lower()
    f.__qualname__ = "Outer.inner"
    assert repr(f).lower() == f"<function Outer.inner at {hex(id(f))}>".lower()


def test_assigned_defaults_change_only_introspection(capsys):
    f = kofa.exponential_mixture
    f.__defaults__ = (1, None, 1, 1e-05)
    assert str(inspect.signature(f)) == "(X, k=1, init_lambda=None, n_iter=1, eps=1e-05)"
    start = [1.0, 5.0]
    f(sample(), init_lambda=start, eps=-1.0)
    # k is still 2 (both start values were replaced by fitted arrays) and
    # n_iter still 1000 (a negative eps never converges: one line per iteration)
    assert all(type(value) is numpy.ndarray for value in start)
    assert len(capsys.readouterr().out.splitlines()) == 1000
    del f.__defaults__
    assert str(inspect.signature(f)) == "(X, k, init_lambda, n_iter, eps)"


def test_identity_weakref_arbitrary_attributes_and_no_subclass():
    f, g = kofa.gaussian_mixture, kofa.exponential_mixture
    assert weakref.ref(f)() is f
    assert f == f and f != g and {f: 1, g: 2}[f] == 1 and hash(f) == hash(f)
    f.custom = 5
    assert f.__dict__["custom"] == 5
    with pytest.raises(TypeError):
        class Sub(type(f)):
            pass


FREED = """
import gc, json, weakref, kofa
function = kofa.exponential_mixture
calls = []
ref = weakref.ref(function, lambda r: calls.append(r() is None))
del kofa.exponential_mixture, function
gc.collect()
print(json.dumps([calls, ref() is None]))
"""


def test_weak_references_die_with_the_function():
    proc = run_script(FREED)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [[True], True]


def descriptor_get(cls):
    """cls's tp_descr_get slot, callable with any instance (the __get__
    wrapper turns None into no instance; C callers need not)."""
    # The PyVarObject header (a PyObject, larger on free-threaded builds, and
    # ob_size), then 31 pointer-sized fields (3.8 to 3.13).
    offset = object.__basicsize__ + 8 + 31 * 8
    address = ctypes.c_void_p.from_address(id(cls) + offset).value
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)(address)


def test_binds_as_a_method(capsys):
    plain = lambda: None  # noqa: E731 - a Python function, to check the slot's offset
    assert descriptor_get(types.FunctionType)(plain, None, int) is plain
    assert descriptor_get(type(kofa.exponential_mixture))(kofa.exponential_mixture, None, int) \
        is kofa.exponential_mixture

    class Sample(numpy.ndarray):
        fit = kofa.exponential_mixture

    assert Sample.fit is kofa.exponential_mixture
    s = sample().view(Sample)
    assert type(s.fit) is types.MethodType and s.fit.__self__ is s
    start = [1.0, 5.0]
    weight, lambda_ = s.fit(2, start, 1)  # the instance is X
    assert lambda_ is start and weight.shape == (2,)
    assert error_of(lambda: s.fit(X=1)) == (
        TypeError, "exponential_mixture() got multiple values for keyword argument 'X'")


@pytest.mark.parametrize("qualname", [None, "Outer.inner"])
@pytest.mark.parametrize("name", NAMES)
def test_reduce_and_pickle(name, qualname):
    """Pickling stores the module attribute's name, whatever __qualname__ says."""
    f = FUNCS[name]
    if qualname is not None:
        f.__qualname__ = qualname
    try:
        assert f.__reduce__() == name and type(f.__reduce__()) is str
        assert f.__reduce__() is not f.__reduce__()  # a new str every time
        assert f.__reduce__(1, "ignored") == name
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(f, protocol)) is f
        assert copy.deepcopy(f) is f
    finally:
        f.__qualname__ = name

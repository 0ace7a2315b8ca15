"""Arbitrary and hostile arguments for the three fits.

Whatever a caller passes, a call returns its result tuple or raises an
exception that carries exactly one traceback entry of the module, naming the
function called. The examples run in a child interpreter, so that a crash
fails the test instead of the run; the child writes each example to a log
file before making the call, and a crash or hang reports the last one.

The default run is derandomised. For a longer, randomised search:

    KOFA_FUZZ_EXAMPLES=100000 python -m pytest tests/test_fuzz.py
"""
import io
import math
import os
import signal
import subprocess
import sys
import types
import warnings

import numpy
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

import kofa  # noqa: E402
from helpers import TESTS_DIR, kofa_entries  # noqa: E402

PARAMETERS = {
    "gaussian_mixture": ("X", "k", "init_mean", "init_cov", "n_iter", "eps"),
    "exponential_mixture": ("X", "k", "init_lambda", "n_iter", "eps"),
    "exponential_gaussian_mixture": ("X", "exponential_k", "gaussian_k", "init_lambda",
                                     "init_mean", "init_cov", "n_iter", "eps"),
}
RESULT_LENGTH = {"gaussian_mixture": 3, "exponential_mixture": 2, "exponential_gaussian_mixture": 5}
LONG_RUN = os.environ.get("KOFA_FUZZ_EXAMPLES")
EXAMPLES = int(LONG_RUN or 2000)  # per function


# ---------------------------------------------------------------- hostile objects

class Boom(Exception):
    pass


class Halt(BaseException):
    pass


def boom(self, *args, **kwargs):
    raise self.exc()


class Hostile:
    def __init__(self, exc=Boom):
        self.exc = exc

    def __repr__(self):
        return "{}({})".format(type(self).__name__, self.exc.__name__)


class HostileList(list):
    def __init__(self, items=(), exc=Boom):
        list.__init__(self, items)
        self.exc = exc

    def __repr__(self):
        return "{}({}, {})".format(type(self).__name__, list.__repr__(self), self.exc.__name__)


def fail_quietly(call):
    try:
        call()
    except Exception:
        pass


def swap_numpy(self, other):
    """Compared with a change sum: rebinds or deletes the module's numpy."""
    if self.exc is Boom:
        kofa.numpy = types.SimpleNamespace()
    else:
        kofa.__dict__.pop("numpy", None)
    return False


def doomed_items(self):
    """New objects whose only owner is the fit; dying, they call a fit."""
    for _ in range(2):
        yield HOSTILE["CallsOnDelete"](self.exc)


def clear_and_hold_itself(self):
    items = list.copy(self)
    self.clear()
    self.append(self)
    return iter(items)


def first_item_then_raise(self):
    yield from list.copy(self)[:1]
    raise self.exc()


arithmetic = ["__{}__".format(op) for op in "add radd sub rsub mul rmul truediv rtruediv pow rpow "
              "neg abs lt gt float array".split()]
HOSTILE = {name: type(name, (Hostile,), members) for name, members in {
    "RaisingBool": {"__bool__": boom},
    "RaisingLen": {"__len__": boom},
    "HugeLen": {"__len__": lambda self: 2 ** 100},
    "RaisingIndex": {"__index__": boom},
    "SmallIndex": {"__index__": lambda self: 2},
    "RaisingArithmetic": dict.fromkeys(arithmetic, boom),
    "RaisingRtruediv": {"__rtruediv__": boom},
    "UntestableComparison": dict.fromkeys(["__lt__", "__gt__"],
                                          lambda self, other: HOSTILE["RaisingBool"](self.exc)),
    "SwapsNumpy": {"__lt__": swap_numpy, "__gt__": swap_numpy},
    "Reentrant": {"__bool__": lambda self: fail_quietly(
        lambda: kofa.exponential_mixture(numpy.zeros(3))) or True},
    "CallsOnDelete": {"__del__": lambda self: fail_quietly(lambda: kofa.gaussian_mixture(None))},
}.items()}
HOSTILE_LISTS = {name: type(name, (HostileList,), members) for name, members in {
    "ClearsOnBool": {"__bool__": lambda self: self.clear() or True},
    "RaisingIter": {"__iter__": first_item_then_raise},
    "MutatingIter": {"__iter__": clear_and_hold_itself},
    "DoomedItems": {"__iter__": doomed_items},
    "ClearsOnSetitem": {"__setitem__": lambda self, index, value: self.clear()},
    "RaisingSetitem": {"__setitem__": boom},
    "RaisingGetitem": {"__getitem__": boom},
}.items()}
HOSTILE_ARRAYS = [type("RaisingMin", (numpy.ndarray,), {"min": boom, "exc": Boom}),
                  type("NoUfuncs", (numpy.ndarray,), {"__array_ufunc__": None}),
                  type("ShapeLies", (numpy.ndarray,), {"shape": property(lambda self: (2, "d"))})]


class CollidingKey:
    """A keyword key that hashes like a parameter name; its equality test
    raises, claims a match or gives a result that cannot be truth-tested."""
    def __init__(self, name, answer):
        self.name, self.answer = name, answer

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.answer is None:
            raise Boom()
        return self.answer

    def __repr__(self):
        return "CollidingKey({!r}, {!r})".format(self.name, self.answer)


class StrKey(str):
    pass


# ---------------------------------------------------------------- strategies

exceptions = st.sampled_from([Boom, Halt, StopIteration, MemoryError])
specials = st.sampled_from([0, 1, -1, 2 ** 63, -2 ** 63 - 1, 10 ** 400, 0.0, -0.0, 5e-324,
                            math.nan, math.inf, -math.inf, 1e308, True, False, None])
scalars = st.one_of(specials, st.integers(-2 ** 70, 2 ** 70), st.floats(),
                    st.complex_numbers(max_magnitude=1e6), st.text(max_size=3), st.binary(max_size=3))
dtypes = st.sampled_from(["bool", "int8", "uint8", "int64", "float16", "float32", "float64",
                          "complex128", "U2"])


def view(array, how):
    if array.ndim == 0 or how == 0:
        return array
    if how == 1:
        return array[::-2]
    if how == 2:
        return array.T
    readonly = numpy.array(array)
    readonly.setflags(write=False)
    return readonly


def object_array(items, column):
    array = numpy.empty(len(items), dtype=object)
    for i, item in enumerate(items):
        array[i] = item
    return array.reshape(-1, 1) if column else array


def make(cls, *args):
    return cls(*args)


def sample_arrays(elements, columns=st.integers(1, 3)):
    shapes = st.tuples(st.integers(1, 8), columns)
    return st.builds(view, hnp.arrays(numpy.float64, shapes, elements=elements), st.integers(0, 3))


def often(strategy, *others):
    """Mostly draws from `strategy`, now and then from one of the others."""
    rest = st.one_of(*others)
    return st.integers(0, 7).flatmap(lambda i: rest if i in (3, 4) else strategy)


arrays = st.builds(view, hnp.arrays(dtypes, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0,
                                                             max_side=4)), st.integers(0, 3))
finite = st.floats(-5, 20)
data = often(finite, specials.filter(lambda v: isinstance(v, float)))
samples = st.one_of(sample_arrays(st.floats(0, 20)), sample_arrays(finite), sample_arrays(data))
# The exponential components read one value per row.
columns = often(sample_arrays(st.floats(0, 20), st.just(1)), samples)
hostile = st.one_of(
    st.builds(make, st.sampled_from(sorted(HOSTILE.values(), key=repr)), exceptions),
    st.builds(make, st.sampled_from(sorted(HOSTILE_LISTS.values(), key=repr)),
              st.lists(st.one_of(data, st.lists(data, max_size=3)), max_size=3), exceptions),
    st.builds(lambda a, cls: a.view(cls), samples, st.sampled_from(HOSTILE_ARRAYS)),
)
anything = st.recursive(
    st.one_of(scalars, arrays, hostile),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
                            st.builds(object_array, st.lists(inner, max_size=3), st.booleans())),
    max_leaves=6)
# Counts stay small: a huge k with supplied means would build k default covariances.
counts = often(st.integers(1, 3), st.integers(-2, 4),
               specials.filter(lambda v: not (isinstance(v, int) and v > 4)),
               st.builds(make, st.sampled_from([HOSTILE["SmallIndex"], HOSTILE["RaisingIndex"]]),
                         exceptions),
               st.sampled_from([2.0, "2", numpy.int64(2), numpy.array(2), [2]]))
matrices = st.one_of(st.builds(lambda s, d: numpy.diag([s] * d), data, st.integers(1, 3)),
                     hnp.arrays(numpy.float64, st.integers(1, 3).map(lambda d: (d, d)), elements=data),
                     st.lists(st.lists(data, min_size=1, max_size=2), min_size=1, max_size=2))
starts = {
    "init_lambda": often(st.lists(st.floats(0.5, 20), min_size=1, max_size=3),
                         st.lists(often(st.floats(0.01, 20), data, specials), max_size=4)),
    "init_mean": st.lists(st.one_of(data, st.lists(data, min_size=1, max_size=3)), max_size=4),
    "init_cov": st.lists(matrices, max_size=4),
}
ROLE = {"X": often(samples, hostile, anything), "X1": often(columns, hostile, anything),
        "k": counts, "exponential_k": counts, "gaussian_k": counts, "n_iter": counts,
        "eps": often(st.floats(0, 1), anything),
        **{name: st.one_of(st.none(), start, start.map(tuple), start, anything)
           for name, start in starts.items()}}
keys = st.one_of(st.sampled_from(sorted({p for ps in PARAMETERS.values() for p in ps})),
                 st.text(max_size=3), st.builds(StrKey, st.sampled_from(["k", "X", "eps", "kk"])),
                 st.integers(), st.none(), st.tuples(), st.binary(max_size=2), st.just(math.nan),
                 st.builds(CollidingKey, st.sampled_from(["X", "k", "eps", "n_iter"]),
                           st.sampled_from([None, True, HOSTILE["RaisingBool"]()])))


@st.composite
def calls(draw, name):
    parameters = PARAMETERS[name]
    one_column = name.startswith("exponential")
    values = [draw(ROLE["X1" if p == "X" and one_column else p]) for p in parameters]
    positional = draw(often(st.integers(1, len(parameters)), st.sampled_from([0, len(parameters) + 1])))
    args = tuple(values[:positional]) + ((draw(anything),) if positional > len(parameters) else ())
    kwargs = {p: v for p, v in zip(parameters[positional:], values[positional:]) if draw(st.booleans())}
    if draw(st.integers(0, 9)) == 5:
        for key in draw(st.lists(keys, max_size=3)):
            value = draw(anything)
            try:
                kwargs[key] = value
            except Boom:
                pass
    return args, kwargs, draw(often(st.just("ignore"), st.sampled_from(["raise", "error"])))


# ---------------------------------------------------------------- the child's side

NUMPY_ERRORS = {"ignore": "ignore", "raise": "raise", "error": "warn"}


def safe_repr(value):
    try:
        return repr(value)
    except BaseException as exc:
        return "<unrepresentable {}: {!r}>".format(type(value).__name__, exc)


def drive(name, examples, log):
    """Runs in the child: the property over `examples` calls of one fit."""
    numpy.set_printoptions(threshold=20)
    function, stdout = getattr(kofa, name), sys.stdout

    @settings(max_examples=examples, derandomize=not LONG_RUN, database=None, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(calls(name))
    def property_(call):
        args, kwargs, mode = call
        try:
            {**kwargs}  # the interpreter's own merge of ** keywords must succeed first
        except BaseException:
            hypothesis.reject()
        with open(log, "w") as out:
            out.write("numpy errors: {}\nkofa.{}(*{}, **{})\n".format(
                mode, name, safe_repr(args), safe_repr(kwargs)))
        numpy.random.seed(0)
        error = result = None
        with warnings.catch_warnings(), numpy.errstate(all=NUMPY_ERRORS[mode]):
            warnings.simplefilter("error" if mode == "error" else "ignore")
            sys.stdout = io.StringIO()
            try:
                result = function(*args, **kwargs)
            except BaseException as exc:
                error = exc
            finally:
                sys.stdout = stdout
                kofa.numpy = numpy
        if error is None:
            assert type(result) is tuple and len(result) == RESULT_LENGTH[name], safe_repr(result)
        else:
            entries = kofa_entries(error)
            assert [n for n, _ in entries] == ["kofa." + name], (type(error), safe_repr(error), entries)

    property_()


# ---------------------------------------------------------------- the test

@pytest.fixture(scope="module")
def children(tmp_path_factory):
    """One child per function, all started at once."""
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(kofa.__file__)), TESTS_DIR, env.get("PYTHONPATH", "")])
    started = {}
    for name in sorted(PARAMETERS):
        folder = tmp_path_factory.mktemp(name)
        log, output = folder / "last_example.txt", open(str(folder / "output.txt"), "w+")
        source = "import test_fuzz; test_fuzz.drive({!r}, {}, {!r})".format(name, EXAMPLES, str(log))
        started[name] = (subprocess.Popen([sys.executable, "-c", source], cwd=TESTS_DIR, env=env,
                                          stdout=output, stderr=subprocess.STDOUT), log, output)
    yield started
    for child, _, output in started.values():
        if child.poll() is None:
            child.kill()
            child.wait()
        output.close()


@pytest.mark.parametrize("name", sorted(PARAMETERS))
def test_any_arguments_return_or_raise_with_one_entry(name, children):
    child, log, output = children[name]
    try:
        status = child.wait(timeout=300 + EXAMPLES / 10)
        outcome = ("killed by " + signal.Signals(-status).name if status < 0
                   else "exit status {}".format(status))
    except subprocess.TimeoutExpired:
        child.kill()
        status, outcome = child.wait(), "still running after the time-out"
    if status != 0:
        output.seek(0)
        last = log.read_text() if log.exists() else "(none)"
        pytest.fail("fuzzing {}: {}\nlast example:\n{}\noutput (tail):\n{}".format(
            name, outcome, last, output.read()[-6000:]))

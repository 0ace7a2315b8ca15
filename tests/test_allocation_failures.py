"""Failures that set no exception, and each allocation of a fit made to fail.

A C function may return its error value without setting an exception (NumPy
does under memory exhaustion); the module reports that as SystemError before
it adds its traceback entry. In the sweep, for every allocation point of a
call, from the first until the call runs through without reaching the
failure, the fit must return its result or raise with exactly one traceback
entry of the module; the process must survive, and an undisturbed call
afterwards must give the result of before.

The failures come from CPython's test module (_testcapi.set_nomemory), so
the sweep runs in a child interpreter: a crash fails the test, not the run.
"""
import contextlib
import io
import json
import os
import re
import signal
import sys
import sysconfig
import warnings

import numpy
import pytest

import kofa
from helpers import kofa_entries, run_script

try:
    import _testcapi
except ImportError:
    _testcapi = None

NUMPY_VERSION = tuple(int(part) for part in numpy.__version__.split(".")[:2])

needs_testcapi = pytest.mark.skipif(_testcapi is None,
                                    reason="needs _testcapi (CPython built with its test modules)")


class Change:
    """The change of the scales, whose sum() is a C function that misbehaves."""

    def __init__(self, callee):
        self.sum = getattr(_testcapi, callee)

    def __abs__(self):
        return self


class Scales(list):
    callee = None

    def __sub__(self, other):
        return Change(self.callee)


@needs_testcapi
@pytest.mark.parametrize("callee, exception_type, message", [
    ("return_null_without_error", SystemError, "NULL result without error in PyObject_Call"),
    # the result is dropped: the callee's exception ends the fit
    ("return_result_with_error", ValueError, ""),
])
def test_a_callee_that_breaks_the_null_rule_fails_the_step(callee, exception_type, message):
    scales = Scales([1.0, 8.0])
    scales.callee = callee
    with contextlib.redirect_stdout(io.StringIO()):
        with pytest.raises(BaseException) as caught:
            kofa.exponential_mixture(numpy.arange(1.0, 21.0).reshape(-1, 1), 2, scales, 3)
    assert (type(caught.value), str(caught.value)) == (exception_type, message)
    assert kofa_entries(caught.value) == [("kofa.exponential_mixture", 82)]


# Tiny samples, fixed starts and eps chosen so that each fit converges at its
# second pass of three: the sweep covers both the loop and the converged
# branch, with about 1,000 allocation points per fit.
SWEEP = r"""
import faulthandler, gc, io, os, sys
import numpy
import _testcapi
import kofa
from helpers import call_failing_allocation, kofa_entries

faulthandler.enable()
KIND = {kind!r}
rng = numpy.random.default_rng(3)
X1 = numpy.concatenate([rng.exponential(1.0, 10), rng.exponential(8.0, 10)]).reshape(-1, 1)
X2 = numpy.concatenate([rng.normal(0.0, 1.0, (10, 2)), rng.normal(5.0, 1.0, (10, 2))])


def arguments():
    # Fresh starts for every call: the fits update them in place.
    if KIND == "exponential_mixture":
        return (X1, 2, [0.5, 6.0], 3, 2.0)
    if KIND == "gaussian_mixture":
        return (X2, 2, [numpy.array([0.0, 0.0]), numpy.array([4.0, 4.0])],
                [numpy.eye(2), numpy.eye(2)], 3, 0.1)
    return (X1, 1, 1, numpy.array([1.25]), numpy.array([[13.58]]), numpy.array([[[45.34]]]), 3, 2.0)


def same(a, b):
    return len(a) == len(b) and all(numpy.array_equal(x, y) for x, y in zip(a, b))


fit = getattr(kofa, KIND)
real_stdout = sys.stdout
printed = io.StringIO()
# Also the warm-up: whatever the fit imports lazily is imported now, since
# an import that meets a failed allocation crashes CPython 3.13.0 itself.
sys.stdout = printed
expected = fit(*arguments())
sys.stdout = real_stdout
assert printed.getvalue().count("\n") == 2, "the sample no longer converges at the second pass"

gc.disable()
problems = []
raised = 0
point = int(os.environ.get("KOFA_SWEEP_START", "0"))
while True:
    args = arguments()
    printed.seek(0)
    printed.truncate()
    os.write(2, b"point %d\n" % point)
    # The last call's exception goes first: while a MemoryError is kept
    # alive, the next one can be the interpreter's last-resort instance,
    # with the traceback entries of before.
    result = error = None
    sys.stdout = printed
    result, error, reached = call_failing_allocation(point, fit, args)
    sys.stdout = real_stdout
    if error is not None:
        raised += 1
        entries = kofa_entries(error)
        if [name for name, line in entries] != ["kofa." + KIND]:
            problems.append((point, repr(error), entries))
    elif not same(result, expected):
        problems.append((point, "different result", result))
    if problems and problems[-1][0] == point:
        # At once: a later abort of the interpreter must not take it along.
        print("problem at allocation", *problems[-1], flush=True)
    if not reached:
        break
    point += 1
gc.enable()

sys.stdout = printed
after = fit(*arguments())
sys.stdout = real_stdout
print("points", point, "raised", raised, "problems", len(problems), "same after", same(after, expected))
"""


NUMPY_ABORTS_TAKEN_UP = 12


def last_point_and_crash(stderr):
    lines = stderr.splitlines()
    points = [line for line in lines if line.startswith("point ")]
    return "\n".join(points[-1:] + [line for line in lines if not line.startswith("point ")][-40:])


NUMPY_DIR = os.path.dirname(os.path.abspath(numpy.__file__))


KOFA_FUNCTION = re.compile(r"<function (gaussian_mixture|exponential_mixture|exponential_gaussian_mixture) at ")


def abort_inside_numpy(run):
    """(point, what) when the child aborted on a check of a debug interpreter
    that NumPy failed (under an injected failure a C function or a type slot
    of NumPy's returns NULL without an exception, or a result with one);
    None for any other ending.

    The interpreter names the callee or the slot's type that broke the rule;
    kofa's own functions are never excused. Without a name, the Python frame that ran
    last tells whose code met the broken rule: kofa has no Python frames of
    its own, so a rule that kofa breaks shows in the frame that called the
    fit, never in NumPy's files."""
    if run.returncode != -signal.SIGABRT:
        return None
    lines = run.stderr.splitlines()
    points = [int(line.split()[1]) for line in lines if line.startswith("point ")]
    fatal = [line for line in lines if "Assertion" in line or "Fatal Python error" in line]
    callee = [line for line in lines if line.startswith("SystemError: <") and " returned " in line]
    if callee:
        return None if KOFA_FUNCTION.search(callee[0]) else (points[-1], " / ".join(fatal[:1] + callee[:1]))
    slot = [line for line in fatal if re.search(r"Slot \S+ of type numpy\.", line)]
    if slot:
        return points[-1], slot[0]
    starts = [i for i, line in enumerate(lines) if "most recent call first" in line]
    frames = [line.strip() for line in lines[starts[0] + 1:] if line.strip().startswith("File ")] if starts else []
    if not frames or NUMPY_DIR not in frames[0]:
        return None
    return points[-1], " / ".join(fatal[:1] + frames[:1])


REPORTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "allocation-sweep")


def abort_report(kind, aborts, stopped):
    """One short line for the test output, naming the file that holds each
    abort's point and the check NumPy failed (some 200 characters each)."""
    name = "{}{}-numpy{}-{}.txt".format(sys.implementation.cache_tag,
                                        "d" if hasattr(sys, "gettotalrefcount") else "",
                                        numpy.__version__, kind)
    os.makedirs(REPORTS, exist_ok=True)
    path = os.path.join(REPORTS, name)
    with open(path, "w") as report:
        report.write("NumPy {} aborted the debug interpreter at {} allocation points of {}, taken up "
                     "after each{}:\n".format(numpy.__version__, len(aborts), kind,
                                               "; the sweep stopped after the last" if stopped else ""))
        report.writelines(abort + "\n" for abort in aborts)
    return "{}: NumPy aborted at {} allocation points{}; details in {}".format(
        kind, len(aborts), ", sweep stopped" if stopped else "", os.path.relpath(path))


@needs_testcapi
@pytest.mark.skipif(sys.version_info[:2] != (3, 11) and sys.version_info < (3, 13),
                    reason="the sweep runs on CPython 3.11 and on the newest CPython")
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="the free-threaded CPython 3.13 crashes under this sweep without kofa: the "
                           "plain-Python rendering of the same fits dies in mimalloc (SIGSEGV) at some points")
@pytest.mark.skipif(NUMPY_VERSION < (1, 25),
                    reason="NumPy 1.24 crashes inside its own iterator under allocation failure")
@pytest.mark.parametrize("kind", ["exponential_mixture", "gaussian_mixture", "exponential_gaussian_mixture"])
def test_every_allocation_failure_returns_or_raises_with_one_entry(kind):
    # On a debug interpreter NumPy aborts at many points; the sweep is then
    # taken up again after that point, up to a number of times, and those
    # points, with where the sweep stopped, are reported as a warning. An
    # abort anywhere else fails, and so does a problem found before an abort.
    start, numpy_aborts, problems = 0, [], []
    while True:
        run = run_script(SWEEP.format(kind=kind), KOFA_SWEEP_START=str(start))
        problems += [line for line in run.stdout.splitlines() if line.startswith("problem")]
        aborted = abort_inside_numpy(run)
        if aborted is None:
            break
        numpy_aborts.append("point {}: {}".format(*aborted))
        start = aborted[0] + 1
        if len(numpy_aborts) == NUMPY_ABORTS_TAKEN_UP:
            break
    assert problems == []
    if numpy_aborts:
        warnings.warn(abort_report(kind, numpy_aborts, stopped=aborted is not None))
        if aborted:
            return
    assert run.returncode == 0, "child died ({}) at {}".format(run.returncode,
                                                              last_point_and_crash(run.stderr))
    lines = run.stdout.splitlines()
    assert lines and lines[-1].startswith("points"), run.stdout + run.stderr[-3000:]
    words = lines[-1].split()
    assert int(words[3]) > 0 or numpy_aborts, lines[-1]  # the failures did reach the fit
    assert lines[-1].endswith("problems 0 same after True"), "\n".join(lines)


# A binding error's report: the message, then the traceback entry's code
# object (made once per place, then cached), its frame and the entry itself.
# Each allocation made to fail in a process of its own, once while no code
# object is cached and once after a first report cached it.
ERROR_PATH_POINT = r"""
import faulthandler, json
import _testcapi
import kofa
from helpers import call_failing_allocation, kofa_entries

faulthandler.enable()
if {cached}:
    try:
        kofa.gaussian_mixture()
    except TypeError:
        pass
_, error, reached = call_failing_allocation({point}, kofa.gaussian_mixture, ())
# Objects of every small size, made and dropped: a block released twice
# corrupts the allocator's lists of free blocks, which this then follows.
for size in range(4000):
    churn = [b"x" * (size % 400) for _ in range(20)]
print(json.dumps([reached, type(error).__name__, str(error) if type(error) is TypeError else "",
                  kofa_entries(error)]))
"""


@needs_testcapi
@pytest.mark.parametrize("cached", [False, True], ids=["code object made", "code object cached"])
def test_every_allocation_failure_of_an_error_report_gives_memoryerror_or_the_whole_report(cached):
    """The error raised with its one entry, or MemoryError when a part of the
    report could not be made: never the error without its entry."""
    whole = ["TypeError", "gaussian_mixture() takes at least 1 positional argument (0 given)",
             [["kofa.gaussian_mixture", 9]]]
    outcomes = []
    while not outcomes or outcomes[-1][0]:
        run = run_script(ERROR_PATH_POINT.format(cached=cached, point=len(outcomes)))
        assert run.returncode == 0, "point {}: {}".format(len(outcomes), run.stderr[-3000:])
        outcomes.append(json.loads(run.stdout))
    # (CPython 3.8 raises the TypeError without its message when the message cannot be made)
    wrong = [[point] + o for point, o in enumerate(outcomes)
             if o[1:] not in (whole, ["TypeError", ""] + whole[2:]) and (o[1] != "MemoryError" or len(o[3]) > 1)]
    assert wrong == []
    assert ["MemoryError", "", []] in [o[1:] for o in outcomes]  # some failure cost the entry

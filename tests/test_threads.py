"""kofa's fits and its import from many threads at once."""
import io
import sys
import sysconfig
import threading
import types

import numpy as np
import pytest

import kofa
from helpers import kofa_entries, run_script, sample

THREADS = 8
ROUNDS = 15


def workload(seed):
    """Calls with supplied starts on this thread's own data; two of them fail."""
    rng = np.random.default_rng(seed)
    X1 = sample(30, seed)
    X2 = np.concatenate([rng.normal(0.0, 1.0, (30, 2)), rng.normal(5.0, 1.5, (30, 2))])
    return [
        lambda: kofa.gaussian_mixture(X2, 2, [[0.0, 0.0], [5.0, 5.0]], [np.eye(2), np.eye(2)], 6),
        lambda: kofa.exponential_mixture(X1, 2, [1.0, 8.0], 6, 0.0),
        lambda: kofa.exponential_gaussian_mixture(X1, 1, 1, [1.0], [[6.0]], [np.eye(1) * 9.0], 6),
        lambda: kofa.gaussian_mixture(X2, 2, [[0.0, 0.0], [5.0, 5.0]], [np.zeros((2, 2))] * 2, 3),
        lambda: kofa.exponential_mixture(X1, 2, [0.0, 8.0], 3),
    ]


def outcome(fit):
    """The result, bit for bit, or the exception's type, text and entries."""
    try:
        result = fit()
    except Exception as exc:
        return type(exc).__name__, str(exc), kofa_entries(exc)
    return [(type(v).__name__, np.asarray(v).dtype.str, np.asarray(v).shape, np.asarray(v).tobytes())
            for v in result]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_concurrent_fits_match_the_same_fits_run_alone():
    saved_stdout, saved_interval = sys.stdout, sys.getswitchinterval()
    together, errors = {}, []
    barrier = threading.Barrier(THREADS)

    def run(seed):
        try:
            fits = workload(seed)
            barrier.wait()
            for round_ in range(ROUNDS):
                for index, fit in enumerate(fits):
                    together[seed, round_, index] = outcome(fit)
        except BaseException as exc:
            errors.append(exc)

    concurrent, alone = io.StringIO(), io.StringIO()  # the progress lines
    sys.stdout = concurrent
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=run, args=(seed,)) for seed in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        sys.setswitchinterval(saved_interval)
        sys.stdout = alone
        expected = {seed: [outcome(fit) for fit in workload(seed)] for seed in range(THREADS)}
    finally:
        sys.stdout = saved_stdout
        sys.setswitchinterval(saved_interval)
    assert errors == []
    assert len(together) == THREADS * ROUNDS * len(expected[0])
    for (seed, _, index), got in together.items():
        assert got == expected[seed][index], (seed, index)
    assert {type(o) for outcomes in expected.values() for o in outcomes} == {list, tuple}
    assert concurrent.getvalue().count("\n") == ROUNDS * alone.getvalue().count("\n")


IMPORT_FROM_THREADS = """
import importlib, sys, threading
barrier = threading.Barrier(8)
seen = []
def load(i):
    barrier.wait()
    module = importlib.import_module("kofa") if i % 2 else __import__("kofa")
    seen.append((module, module.gaussian_mixture, module.numpy))
threads = [threading.Thread(target=load, args=(i,)) for i in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(len(seen), *(len({id(entry[j]) for entry in seen}) for j in range(3)),
      seen[0][0] is sys.modules["kofa"])
"""


def test_import_from_several_threads_loads_one_module():
    child = run_script(IMPORT_FROM_THREADS)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["8", "1", "1", "1", "True"]


FITS_IN_DAEMON_THREADS_AT_EXIT = """
import threading, time
import numpy, kofa

class SlowScale(float):
    def __rtruediv__(self, other):  # Python code in the middle of a fit: the thread
        for _ in range(20000):      # keeps asking for the interpreter lock ...
            pass
        raise ValueError("scale")   # ... and the fit ends before NumPy's share of it

class Scales(list):
    def __iter__(self):  # a generator that only the fit holds
        for value in list.__iter__(self):
            yield SlowScale(value)

def fit_forever():
    X = numpy.arange(1.0, 11.0).reshape(-1, 1)
    while True:
        try:
            kofa.exponential_mixture(X, 2, Scales([1.0, 8.0]), 1)
        except Exception:
            pass

class BusyAtShutdown:
    def __del__(self):  # Python code while the interpreter shuts down
        for _ in range(2000000):
            pass

for _ in range(4):
    threading.Thread(target=fit_forever, daemon=True).start()
time.sleep(0.1)
busy = BusyAtShutdown()
"""


@pytest.mark.skipif(sys.version_info[:2] == (3, 10),
                    reason="CPython 3.10 itself crashes in take_gil when a daemon thread runs Python "
                           "code at exit: the same script without kofa crashed 7 of 40 runs")
def test_daemon_threads_inside_fits_at_exit_do_not_crash():
    # During shutdown the interpreter ends a daemon thread that asks for the
    # lock with pthread_exit, which unwinds the fit's frames on a thread that
    # no longer holds the lock: they must not touch objects then.
    for _ in range(3):
        child = run_script(FITS_IN_DAEMON_THREADS_AT_EXIT)
        assert child.returncode == 0, child.stderr[:3000]


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="only free-threaded builds run without the GIL")
def test_import_leaves_the_gil_disabled():
    child = run_script("import sys, warnings\nwarnings.simplefilter('error')\nimport kofa\n"
                       "print(sys._is_gil_enabled())", PYTHON_GIL=None)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["False"]


class ForwardingNumpy(types.ModuleType):
    """A stand-in for numpy that hands out numpy's own objects."""

    def __getattr__(self, name):
        return getattr(np, name)


class NullStream:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def large_workload(seed, shared):
    """Fits large enough for the in-place reuse, on a sample shared by every
    thread and on one of this thread's own."""
    own = np.random.default_rng(seed).normal(0.0, 1.0, (12000, 2))
    own[::2] += 5.0
    return [
        lambda: kofa.exponential_mixture(shared, 2, [1.0, 8.0], 4, 0.0),
        lambda: kofa.gaussian_mixture(own, 2, [[0.0, 0.0], [5.0, 5.0]], [np.eye(2), np.eye(2)], 4, 0.0),
        lambda: kofa.exponential_gaussian_mixture(shared, 1, 1, [1.0], [[6.0]], [np.eye(1) * 9.0], 4, 0.0),
        lambda: kofa.exponential_mixture(shared, 2, [0.0, 8.0], 3),
    ]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_fits_match_while_other_threads_swap_numpy_print_and_attributes():
    # Without the GIL every fit runs at once with the others; the process-wide
    # state they share (the cached print, the traceback code cache, the
    # module's globals, the function objects' attributes) must hold.
    import builtins

    shared = sample(6000, 11)
    stand_in, real_print = ForwardingNumpy("numpy"), builtins.print
    function = kofa.exponential_mixture
    saved = (sys.stdout, sys.getswitchinterval(), function.__defaults__, function.__doc__)
    fitters, rounds = 6, 3
    together, errors, done = {}, [], threading.Event()
    barrier = threading.Barrier(fitters + 1)

    def fit(seed):
        try:
            fits = large_workload(seed, shared)
            barrier.wait()
            for round_ in range(rounds):
                for index, one in enumerate(fits):
                    together[seed, round_, index] = outcome(one)
                    # while the swapper assigns them
                    repr(function), function.__defaults__, function.__doc__, function.__qualname__
        except BaseException as exc:
            errors.append(exc)

    def swap():
        barrier.wait()
        while not done.is_set():
            kofa.numpy = stand_in
            builtins.print = lambda *args, **kwargs: real_print(*args, **kwargs)
            function.__defaults__, function.__doc__ = (3, None, 7, 0.5), "swapped"
            function.__qualname__ = "swapped"
            repr(function), function.__dict__, function.__annotations__
            kofa.numpy, builtins.print = np, real_print
            function.__defaults__, function.__doc__ = saved[2], saved[3]
            function.__qualname__ = "exponential_mixture"

    sys.stdout = NullStream()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=fit, args=(seed,)) for seed in range(fitters)]
        swapper = threading.Thread(target=swap)
        for thread in threads + [swapper]:
            thread.start()
        for thread in threads:
            thread.join()
        done.set()
        swapper.join()
        sys.setswitchinterval(saved[1])
        expected = {seed: [outcome(one) for one in large_workload(seed, shared)] for seed in range(fitters)}
    finally:
        sys.stdout = saved[0]
        sys.setswitchinterval(saved[1])
        kofa.numpy, builtins.print = np, real_print
        function.__defaults__, function.__doc__ = saved[2], saved[3]
        function.__qualname__ = "exponential_mixture"
    assert errors == []
    assert len(together) == fitters * rounds * len(expected[0])
    for (seed, _, index), got in together.items():
        assert got == expected[seed][index], (seed, index)
    assert {type(o) for outcomes in expected.values() for o in outcomes} == {list, tuple}

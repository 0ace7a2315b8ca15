"""Buffers reused in place only where nobody can tell.

The fits multiply and divide some of their temporaries in place, as NumPy
does for the interpreter's own. Here `numpy` is replaced by stand-ins that
keep or watch what they return (strongly, weakly, in a weak-value memo) or
hand out look-alikes of NumPy's types (subclasses that take NumPy's names).
Under each, module and rendering must give the same results, output and
operator calls, and no array that the stand-in can still reach may change.
The products of the centred values (20,000 rows of two columns, 320 KB)
are large enough for the reuse to engage (from 256 KiB); the (n,) rows
are not, so that the rendering's NumPy does not elide them either: it
does so by reference count alone, weakly held arrays included. One fit has
twice the rows, whose (n,) products are reused as well; the weak stand-ins
are left out there, since the rendering's NumPy changes what they hold.
"""
import contextlib
import gc
import hashlib
import io
import json
import struct
import threading
import tracemalloc
import warnings
import weakref

import numpy as np
import pytest

import kofa
import reference
from helpers import run_script

N = 20_000


def gauss_sample(rng):
    return np.concatenate([rng.normal(0.0, 1.0, (N // 2, 2)), rng.normal(5.0, 1.5, (N // 2, 2))])


def exp_gauss_sample(rng):
    return np.concatenate([rng.exponential(1.5, N // 2), rng.normal(15.0, 2.0, N // 2)])[:, None]


# (fit, sample, start values); the starts are made afresh for every call
FITS = {
    "gaussian": ("gaussian_mixture", gauss_sample,
                 lambda: dict(init_mean=[[0.0, 0.0], [4.0, 4.0]], init_cov=[np.eye(2), np.eye(2)])),
    "exp+gauss": ("exponential_gaussian_mixture", exp_gauss_sample,
                  lambda: dict(init_lambda=[1.0], init_mean=[[12.0]], init_cov=[[[4.0]]])),
    # Single precision throughout: the products may reuse float32 buffers.
    "gaussian-float32": ("gaussian_mixture", lambda rng: gauss_sample(rng).astype(np.float32),
                         lambda: dict(init_mean=[np.zeros(2, np.float32), np.full(2, 4.0, np.float32)],
                                      init_cov=[np.eye(2, dtype=np.float32)] * 2)),
    # Two equal components: both ask numpy.exp for the same values.
    "gaussian-twins": ("gaussian_mixture", gauss_sample,
                       lambda: dict(init_mean=[[2.0, 2.0], [2.0, 2.0]], init_cov=[np.eye(2), np.eye(2)])),
    # Twice the rows: the (n,) density rows (320 KB) are reused in place too.
    "gaussian-long-rows": ("gaussian_mixture", lambda rng: np.concatenate([gauss_sample(rng), gauss_sample(rng)]),
                           lambda: dict(init_mean=[[0.0, 0.0], [4.0, 4.0]], init_cov=[np.eye(2), np.eye(2)])),
}


LOG = []  # the logged operator calls of the running call


def logging_operators(cls):
    """The arithmetic dunders that `cls` has, each logging its name; results
    of `cls`'s own type stay of the new class."""
    def wrap(name):
        plain = getattr(cls, name)

        def dunder(self, *args):
            LOG.append(name)
            value = plain(self, *args)
            return type(self)(value) if type(value) is cls and cls is float else value
        return dunder
    names = ["__mul__", "__rmul__", "__imul__", "__truediv__", "__rtruediv__", "__itruediv__",
             "__pow__"]
    return {name: wrap(name) for name in names if hasattr(cls, name)}


# Look-alikes of NumPy's array and float64 types: Python subclasses that take
# NumPy's names; the array one also says that it owns its data.
RenamedArray = type("numpy.ndarray", (np.ndarray,),
                    dict(logging_operators(np.ndarray), base=property(lambda self: None)))
RenamedFloat64 = type("numpy.float64", (float,), logging_operators(float))


class StandIn:
    """Forwards to NumPy; `returned` decides what a function's array result
    becomes. `watched` holds (reference, copy) of every array the stand-in
    can still reach; `changed` counts the ones found changed while alive."""

    def __init__(self, returned, target=np, parent=None):
        self._returned, self._target = returned, target
        self._root = parent or self
        if parent is None:
            self.watched, self.changed = [], 0
            self.memo = weakref.WeakValueDictionary()

    def check(self):
        root = self._root
        for entry in list(root.watched):
            keep, before = entry
            array = keep() if isinstance(keep, weakref.ref) else keep
            if array is not None and array.tobytes() != before:
                root.changed += 1
                root.watched.remove(entry)

    def __getattr__(self, name):
        self.check()
        value = getattr(self._target, name)
        if isinstance(value, type(np)):
            return StandIn(self._returned, value, self._root)
        if name == "r_":
            return Subscripted(self, value)
        if not callable(value) or isinstance(value, type):
            return value

        def function(*args, **kw):
            self.check()
            return self._returned(self._root, name, value, args, kw)
        return function


class Subscripted:
    def __init__(self, stand_in, r_):
        self._stand_in, self._r_ = stand_in, r_

    def __getitem__(self, key):
        return self._stand_in._returned(self._stand_in._root, "r_", lambda k: self._r_[k], (key,), {})


def kept_strongly(root, name, function, args, kw):
    result = function(*args, **kw)
    if type(result) is np.ndarray:
        root.watched.append((result, result.tobytes()))
    return result


def kept_weakly(root, name, function, args, kw):
    result = function(*args, **kw)
    if type(result) is np.ndarray:
        root.watched.append((weakref.ref(result), result.tobytes()))
    return result


def kept_by_another_thread(root, name, function, args, kw):
    """Every array result also kept by another thread: free-threaded, its
    reference is counted apart from the calling thread's own."""
    result = function(*args, **kw)
    if type(result) is np.ndarray:
        box = [result]

        def keep():
            array = box[0]
            root.watched.append((array, array.tobytes()))
        keeper = threading.Thread(target=keep)
        keeper.start()
        keeper.join()
        del box
    return result


def memoised_exp(root, name, function, args, kw):
    if name != "exp":
        return function(*args, **kw)
    (x,) = args
    key = (x.dtype.str, x.shape, x.tobytes())
    result = root.memo.get(key)
    if result is None:
        result = root.memo[key] = function(x)
        root.watched.append((weakref.ref(result), result.tobytes()))
    return result


def renamed_views(root, name, function, args, kw):
    """Views of kept arrays, as RenamedArray."""
    result = function(*args, **kw)
    if type(result) is not np.ndarray:
        return result
    root.watched.append((result, result.tobytes()))
    return result.view(RenamedArray)


def renamed_determinants(root, name, function, args, kw):
    result = function(*args, **kw)
    return RenamedFloat64(result) if name == "det" else result


def overlapping_products(root, name, function, args, kw):
    """numpy.dot's (n, d) results as an exact array whose rows overlap,
    made over a fresh array that nobody else keeps."""
    result = function(*args, **kw)
    if name != "dot" or type(result) is not np.ndarray or result.ndim != 2 or result.shape[0] < 1000:
        return result
    n, d = result.shape
    owner = np.concatenate([result[:, 0], result[-1, 1:]])
    return np.ndarray((n, d), buffer=owner, strides=(owner.itemsize, owner.itemsize))


def broadcast_exps(root, name, function, args, kw):
    """numpy.exp's (n,) results as a view of a numpy.broadcast_arrays result,
    which NumPy warns about when it is written (or asked for a writable
    buffer)."""
    result = function(*args, **kw)
    if name != "exp" or type(result) is not np.ndarray or result.ndim != 1:
        return result
    return np.broadcast_arrays(result, np.ones((1, 1)))[0][0]


def narrow_products(root, name, function, args, kw):
    """numpy.dot's (n, d) results cut to their first column, a fresh (n, 1)
    array: the product with the centred values (n, d) broadcasts to a larger
    shape than its own."""
    result = function(*args, **kw)
    if name != "dot" or type(result) is not np.ndarray or result.ndim != 2 or result.shape[0] < 1000:
        return result
    return result[:, :1].copy()


def doubled_products(root, name, function, args, kw):
    """numpy.dot's (n, d) results stacked twice, a fresh (2n, d) array: the
    centred values (n, d) match it on the trailing axis but not on the
    leading one."""
    result = function(*args, **kw)
    if name != "dot" or type(result) is not np.ndarray or result.ndim != 2 or result.shape[0] < 1000:
        return result
    return np.concatenate([result, result])


def half_products(root, name, function, args, kw):
    """numpy.dot's results in half precision: multiplied by float32 centred
    values, the plain product is float32, an in-place one would stay half."""
    result = function(*args, **kw)
    if name != "dot" or type(result) is not np.ndarray or result.ndim != 2:
        return result
    return result.astype(np.float16)


def read_only_results(root, name, function, args, kw):
    """Every array result read-only, though it owns its data."""
    result = function(*args, **kw)
    if type(result) is np.ndarray:
        result.flags.writeable = False
    return result


WITH_METADATA = np.dtype(np.float64, metadata={"made by": "stand-in"})


def with_metadata(root, name, function, args, kw):
    """Every float64 array result as a view whose dtype carries metadata;
    the dtype metadata of what numpy.r_ receives is logged."""
    if name == "r_":
        (key,) = args
        LOG.append(["r_"] + [getattr(getattr(a, "dtype", None), "metadata", None) for a in key])
    result = function(*args, **kw)
    if type(result) is np.ndarray and result.dtype == np.float64:
        return result.view(WITH_METADATA)
    return result


def nan_bits(bits):
    # native byte order: little-endian packing gives no NaN at all on s390x
    return np.frombuffer(struct.pack("=Q", bits), dtype=np.float64)[0]


NAN_DET, NAN_EXP = nan_bits(0x7FF8000000000456), nan_bits(0xFFF8000000000123)


def at_address(values, remainder):
    """A view of a new array with `values`, its data at `remainder` modulo 64."""
    buffer = np.empty(values.size + 64 // values.itemsize, values.dtype)
    start = (remainder - buffer.ctypes.data % 64) % 64 // values.itemsize
    view = buffer[start:start + values.size]
    view[...] = values
    return view


def nan_payloads(root, name, function, args, kw):
    """NaNs of two payloads and signs: numpy.linalg.det gives one (and so the
    density's normaliser, whose operations keep it), numpy.exp the other.
    Which NaN a product of two keeps depends on the loop: on NumPy 1.24 on
    the address of the result, modulo 64, and in place on more. What numpy.r_
    receives is logged as plain (the bits of `normaliser * density` for a
    result at some address) or not."""
    if name == "r_":
        (key,) = args
        LOG.append(["r_"] + [hashlib.sha256(np.asarray(a).tobytes()).hexdigest() in root.plain for a in key])
    result = function(*args, **kw)
    if name == "det":
        return NAN_DET
    if name == "exp" and type(result) is np.ndarray and result.ndim == 1:
        density = np.full_like(result, NAN_EXP)
        if not hasattr(root, "plain"):
            root.plain = set()
        for remainder in range(0, 64, 8):
            product = at_address(density, remainder)
            np.multiply(NAN_DET, density, out=product)
            root.plain.add(hashlib.sha256(product.tobytes()).hexdigest())
        # where NumPy 1.24's in-place loop keeps other NaNs than the plain one
        return at_address(density, 32)
    return result


def finalized_inverses(root, name, function, args, kw):
    """Logs every call, and when each numpy.linalg.inv result is freed."""
    LOG.append(name)
    result = function(*args, **kw)
    if name == "inv":
        weakref.finalize(result, LOG.append, "inv freed")
    return result


def finalized_copies(root, name, function, args, kw):
    """Logs every call, and when each numpy.copy result (the snapshots
    mean_, cov_ and lambda__, locals of the rendering's frame) is freed:
    when rebound, and in the interpreter's order when the fit returns."""
    LOG.append(name)
    result = function(*args, **kw)
    if name == "copy":
        weakref.finalize(result, LOG.append, "copy %d freed" % LOG.count("copy"))
    return result


STAND_INS = {"strong": kept_strongly, "other-thread": kept_by_another_thread, "weak": kept_weakly, "weak-memo": memoised_exp,
             "renamed-array": renamed_views, "renamed-float64": renamed_determinants,
             "overlapping": overlapping_products, "narrow": narrow_products, "doubled": doubled_products,
             "half": half_products, "read-only": read_only_results,
             "broadcast": broadcast_exps, "metadata": with_metadata, "nan-payloads": nan_payloads,
             "finalized-inverse": finalized_inverses, "finalized-copies": finalized_copies}


def run(impl, fit, X, starts, returned):
    """The call's result or exception, its output, its stand-in, the
    operator calls of the look-alike types (and what the stand-in logs),
    and the warnings."""
    stand_in = StandIn(returned)
    del LOG[:]
    impl.numpy = stand_in
    out = io.StringIO()
    try:
        with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(out):
            warnings.simplefilter("always")
            try:
                result = getattr(impl, fit)(X, n_iter=2, **starts())
            except Exception as exc:  # noqa: BLE001 - compared with the rendering's
                result = (type(exc), str(exc))
    finally:
        impl.numpy = np
    stand_in.check()
    gc.collect()
    shown = [(w.category.__name__, str(w.message)) for w in caught]
    return result, out.getvalue(), stand_in, list(LOG), shown


def same(a, b):
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return ((type(a), a.dtype, a.dtype.metadata, a.shape) == (type(b), b.dtype, b.dtype.metadata, b.shape)
                and a.tobytes() == b.tobytes())
    return a == b or (a != a and b != b)


# Rows of 320 KB are temporaries that the rendering's NumPy reuses itself
# when only a weak reference holds them (it goes by the reference count).
RENDERING_REUSES = {("gaussian-long-rows", "weak"), ("gaussian-long-rows", "weak-memo")}


@pytest.mark.parametrize("fit,kind", [(fit, kind) for fit in FITS for kind in STAND_INS
                                      if (fit, kind) not in RENDERING_REUSES])
def test_no_array_the_caller_can_reach_changes(fit, kind):
    name, make_sample, starts = FITS[fit]
    X = make_sample(np.random.default_rng(11))
    X_before = X.tobytes()
    got, got_out, got_stand_in, got_log, got_warnings = run(kofa, name, X, starts, STAND_INS[kind])
    want, want_out, want_stand_in, want_log, want_warnings = run(reference, name, X, starts, STAND_INS[kind])
    assert X.tobytes() == X_before
    assert (got_stand_in.changed, want_stand_in.changed) == (0, 0)
    assert got_log == want_log
    assert same(got, want), (got, want)
    assert got_out == want_out
    assert got_warnings == want_warnings


def note_unlike_nans(root, name, function, args, kw):
    """Logs, for each product of the centred values with the inverse, whether
    some element of it and of the centred values holds two NaNs of different
    bits (the product that follows then depends on NumPy's loop)."""
    result = function(*args, **kw)
    if name == "dot" and result.shape == np.shape(args[0]):
        bits = np.dtype("u%d" % result.itemsize)
        both = np.isnan(result) & np.isnan(args[0])
        LOG.append(bool((result.view(bits)[both] != args[0].view(bits)[both]).any()))
    return result


@pytest.mark.parametrize("dtype,n,signed_rows", [
    pytest.param(dtype, n, signed, id=("signed-nan-rows-%s" if signed else "%s-{}".format(n)) % dtype.__name__)
    for signed in (False, True) for dtype, n in [(np.float64, N), (np.float32, 2 * N)]])
def test_products_gone_nan_are_reused_as_before(dtype, n, signed_rows):
    """A one-component Gaussian fit loses its mean in its first pass and
    fails in its second, whose products hold NaN on both sides. Where no
    element pairs two NaNs of different bits (on x86_64 its own arithmetic
    gives one NaN; rows of NaN of both signs in X are alike element by
    element), the module reuses them as the rendering's NumPy does and never
    holds an extra (n, 2) array: its peak stays within half of one of the
    rendering's. Where some element does (an inverse whose NaNs a platform's
    fused arithmetic signed otherwise), it holds that array. Each side's
    second call is measured: a first call may import what NumPy's failure
    needs."""
    X = np.random.default_rng(5).normal(2.0, 1.5, (n, 2)).astype(dtype)
    if signed_rows:
        X[::7], X[3::7] = np.nan, -np.nan

    def peak_and_failure(impl):
        starts = dict(init_mean=[np.full(2, 2.5, dtype)], init_cov=[np.eye(2, dtype=dtype) * 3])
        tracemalloc.start()
        try:
            with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
                warnings.simplefilter("ignore", RuntimeWarning)
                impl.gaussian_mixture(X, k=1, n_iter=2, eps=-1, **starts)
        except ValueError as exc:
            return tracemalloc.get_traced_memory()[1], str(exc)
        finally:
            tracemalloc.stop()
        return None, None

    (_, first), (module_peak, failure) = peak_and_failure(kofa), peak_and_failure(kofa)
    _, (rendering_peak, rendering_failure) = peak_and_failure(reference), peak_and_failure(reference)
    assert first == failure == rendering_failure == "Percentiles must be in the range [0, 100]"
    del LOG[:]
    reference.numpy = StandIn(note_unlike_nans)
    try:
        peak_and_failure(reference)
    finally:
        reference.numpy = np
    if any(LOG):
        # The module makes a new array there, so its peak is never half an
        # array below the rendering's, whose NumPy may reuse or not (from
        # CPython 3.14, and under the sanitizers, it makes a new one too).
        assert module_peak >= rendering_peak - X.nbytes // 2, (module_peak, rendering_peak, LOG)
    else:
        assert module_peak < rendering_peak + X.nbytes // 2, (module_peak, rendering_peak, LOG)


def test_a_replaced_numpy_is_not_kept():
    """Once the caller has replaced `numpy` by another object and dropped
    the one it replaced, nothing keeps that one alive, with no further call
    of the module."""
    name, make_sample, starts = FITS["gaussian"]
    X = make_sample(np.random.default_rng(11))
    stand_in = StandIn(kept_weakly)
    gone = weakref.ref(stand_in)
    kofa.numpy = stand_in
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            kofa.gaussian_mixture(X, n_iter=1, **starts())
    finally:
        kofa.numpy = np
    del stand_in
    gc.collect()
    assert gone() is None


AT_LOAD = r"""
import json, sys, types
import numpy

# At load, a `numpy` in the module table whose `ndarray` is a Python class.
Array = type("ndarray", (numpy.ndarray,), {})
sys.modules["numpy"] = types.ModuleType("numpy")
sys.modules["numpy"].ndarray = Array
import kofa
sys.modules["numpy"] = numpy

import reference
import test_in_place as t

# The fits then get arrays of that class, which logs its operators and
# says that it owns its data.
for name, dunder in t.logging_operators(numpy.ndarray).items():
    setattr(Array, name, dunder)
Array.base = property(lambda self: None)


def as_array(root, name, function, args, kw):
    result = function(*args, **kw)
    return result.view(Array) if type(result) is numpy.ndarray else result


name, sample, starts = t.FITS["gaussian"]
X = sample(numpy.random.default_rng(11))
print(json.dumps([t.run(impl, name, X, starts, as_array)[3] for impl in (kofa, reference)]))
"""


def test_a_numpy_stand_in_at_load_lends_no_types():
    """Only NumPy's own static types are taken for NumPy's: a stand-in's
    Python class called ndarray is multiplied with its own operators."""
    run = run_script(AT_LOAD)
    assert run.returncode == 0, run.stderr[-3000:]
    got, want = json.loads(run.stdout)
    assert got == want and "__mul__" in want

"""kofa's three fits against the plain-Python rendering in reference.py.

Every case runs in both from the same global random seed, with stdout
captured and all warnings recorded, and everything observable must agree:
results (types, dtypes, shapes, layout, bytes), printed lines, which start
containers come back as the same object, the caller's containers and X
afterwards, the random state, warnings, and for failures the exception type,
message and the source line of the failing step.
"""

import contextlib
import copy
import functools
import hashlib
import inspect
import io
import struct
import warnings
import weakref

import numpy as np
import pytest

import kofa
import reference
from helpers import SOURCE_FILE, kofa_entries

EXP, GAUSS, EG = ("exponential_mixture", "gaussian_mixture",
                  "exponential_gaussian_mixture")
# result position of each start container that a fit works in and returns
STARTS = {EXP: {"init_lambda": 1}, GAUSS: {"init_mean": 1, "init_cov": 2},
          EG: {"init_lambda": 1, "init_mean": 3, "init_cov": 4}}


# ---------------------------------------------------------------- samples

def exp_sample(rng, n=None):
    n = int(rng.integers(20, 300)) if n is None else n
    scales = rng.choice([0.3, 1.0, 4.0, 25.0], size=int(rng.integers(1, 4)))
    sizes = rng.multinomial(n, np.ones(len(scales)) / len(scales))
    x = np.concatenate([rng.exponential(s, c) for s, c in zip(scales, sizes)])
    rng.shuffle(x)
    return x[:, None]


def gauss_sample(rng, d, n=None):
    n = int(rng.integers(20, 300)) if n is None else n
    blobs = int(rng.integers(1, 4))
    centres = rng.uniform(-10, 10, (blobs, d))
    spreads = rng.uniform(0.3, 3.0, (blobs, d))
    which = rng.integers(0, blobs, n)
    return centres[which] + spreads[which] * rng.normal(size=(n, d))


def exp_gauss_sample(rng, n=None):
    n = int(rng.integers(20, 300)) if n is None else n
    n_exp = int(rng.integers(n // 4, 3 * n // 4))
    x = np.concatenate([rng.exponential(rng.uniform(0.5, 3.0), n_exp),
                        rng.normal(rng.uniform(8, 30), rng.uniform(0.5, 3.0),
                                   n - n_exp)])
    rng.shuffle(x)
    return x[:, None]


def pick(rng, options, p=None):
    return options[int(rng.choice(len(options), p=p))]


def retyped(rng, X, kinds):
    dtype = pick(rng, kinds)
    if dtype is None:
        return X
    if np.dtype(dtype).kind == "i":
        return np.round(np.abs(X) * 3).astype(dtype)
    return X.astype(dtype)


# ------------------------------------------------------ start-value kinds

def start_lambda(rng, kind, count, X):
    hi = float(np.max(X)) / 2 or 1.0
    values = np.sort(rng.uniform(hi / 20, hi, count))
    return {
        "none": None, "empty": [], "zero": 0, "false": False,
        "floats": [float(v) for v in values],
        "ints": [int(v) + 1 for v in values],
        "np_floats": [np.float64(v) for v in values],
        "arrays": [np.array([v]) for v in values],
        "one_elem": np.array([values[0]]),
        "one_elem_zero": np.array([0.0]),
    }[kind]


def start_mean(rng, kind, count, X):
    rows = rng.uniform(X.min(axis=0).astype(float),
                       X.max(axis=0).astype(float), (count, X.shape[1]))
    return {"none": None, "empty": [], "arrays": list(rows),
            "nested": rows.tolist(), "numbers": [float(r[0]) for r in rows],
            "one_elem": rows[:1].copy()}[kind]


def start_cov(rng, kind, count, X):
    d = X.shape[1]
    var = X.astype(float).var(axis=0) + 0.1
    covs = []
    for _ in range(count):
        a = rng.normal(size=(d, d)) * 0.2
        covs.append(np.diag(var * rng.uniform(0.3, 2.0, d)) + a @ a.T)
    return {"none": None, "empty": [], "arrays": covs,
            "nested": [c.tolist() for c in covs],
            "one_elem": np.array(covs[:1])}[kind]


def iteration_kw(rng):
    """n_iter and eps, each sometimes left to its default (1000, 1e-5)."""
    kw = {"n_iter": pick(rng, [1, 2, 3, 5, 10, 30, 150, None]),
          "eps": pick(rng, [1e-5, 0, -1.0, 1e-2, 1e6, None])}
    return {name: v for name, v in kw.items() if v is not None}


def add_starts(rng, kw, X, starts):
    # a start left out is either omitted or passed as None
    for name, make, kinds, count in starts:
        kind = pick(rng, kinds)
        if kind != "none" or rng.random() < .5:
            kw[name] = make(rng, kind, count, X)


# ----------------------------------------------------------------- cases

class Case:
    """One call; `build()` makes fresh, identical inputs each time."""

    def __init__(self, fit, name, build, seed=7):
        self.fit, self.id, self.build, self.seed = fit, name, build, seed


def generated(fit, seed):
    def build():
        rng = np.random.default_rng(seed)
        kw = iteration_kw(rng)
        if fit == EXP:
            X = retyped(rng, exp_sample(rng),
                        [None, None, None, np.float32, np.int64])
            kw["k"] = k = pick(rng, [1, 2, 2, 3])
            add_starts(rng, kw, X, [("init_lambda", start_lambda, [
                "floats", "floats", "ints", "np_floats", "arrays", "arrays",
                "none", "empty", "zero", "false", "one_elem",
                "one_elem_zero"], k)])
        elif fit == GAUSS:
            d = pick(rng, [1, 2, 3])
            X = retyped(rng, gauss_sample(rng, d), [None, None, np.float32])
            kw["k"] = k = pick(rng, [1, 2, 2, 3])
            means = ["none", "empty", "arrays", "nested"]
            covs = ["none", "empty", "arrays", "nested"]
            means += ["numbers"] if d == 1 else []
            if d == 1 and k == 1:
                means, covs = means + ["one_elem"], covs + ["one_elem"]
            add_starts(rng, kw, X, [("init_mean", start_mean, means, k),
                                    ("init_cov", start_cov, covs, k)])
        else:
            X = retyped(rng, exp_gauss_sample(rng), [None, None, np.float32])
            kw["exponential_k"] = ek = pick(rng, [1, 1, 2])
            kw["gaussian_k"] = gk = pick(rng, [1, 1, 2])
            scales = ["floats", "arrays", "none", "empty"]
            scales += ["one_elem", "one_elem_zero"] if ek == 1 else []
            add_starts(rng, kw, X, [
                ("init_lambda", start_lambda, scales, ek),
                ("init_mean", start_mean, ["none", "nested", "arrays",
                                           "numbers"], gk),
                ("init_cov", start_cov, ["none", "nested", "arrays"], gk)])
            if isinstance(kw.get("init_lambda"), list):
                # scales of the exponential part, not of the whole sample
                kw["init_lambda"] = [v / 10 for v in kw["init_lambda"]]
        return X, kw, rng.random() < .3
    return Case(fit, "%s-gen-%d" % (PREFIX[fit], seed), build, seed)


class Doubling(list):
    """Start container whose item assignment stores twice the value."""

    def __setitem__(self, i, value):
        super().__setitem__(i, value * 2)


class Backwards(list):
    """Start container that iterates in reverse."""

    def __iter__(self):
        return reversed(list(super().__iter__()))


class FailingIter(list):
    """Start container whose first iteration fails after the first item."""

    def __iter__(self):
        if getattr(self, "failed", False):
            return super().__iter__()
        self.failed = True
        return self._failing()

    def _failing(self):
        yield from list(super().__iter__())[:1]
        raise RuntimeError("iteration failed")

    def __deepcopy__(self, memo):
        return FailingIter(copy.deepcopy(list(list.__iter__(self)), memo))


class NoTruth:
    """Start value whose truth test raises."""

    def __bool__(self):
        raise RuntimeError("no truth value")

    def __eq__(self, other):
        return type(other) is NoTruth


class Unanswerable:
    """A size that cannot be compared."""

    def __eq__(self, other):
        raise ValueError("no answer")


class SizeUnanswered(np.ndarray):
    """Sample whose arrays (and so every scale computed from it) have a size
    that cannot be compared with 1."""

    size = property(lambda self: Unanswerable())


class SizeUnread(np.ndarray):
    """Sample whose arrays cannot tell their size: reading it raises."""

    size = property(lambda self: Unanswerable.__eq__(self, 1))


def size_unanswered(f, kind=SizeUnanswered):
    return lambda r: f(r).view(kind)


def e(r):
    return exp_sample(r, n=120)


def g(r):
    return gauss_sample(r, 2, n=120)


def g1(r):
    return gauss_sample(r, 1, n=120)


def eg(r):
    return exp_gauss_sample(r, n=120)


def flat(f):
    return lambda r: f(r)[:, 0]


def listed(f):
    return lambda r: f(r).tolist()


def shifted(f, by=5.0, scale=1.0):
    return lambda r: f(r) * scale + by


def two_columns(f):
    return lambda r: np.c_[f(r), f(r)]


def plus_row(f, row):
    return lambda r: np.r_[f(r), [row]]


def matrix(f):
    def make(r):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            return np.asmatrix(f(r))
    return make


# eps of a fixed case set to the largest summed change of the first
# iteration (found by a dry run of the reference), or to the next float up
EQUAL, ABOVE = "first change", "above first change"


def at_first_change(fit, X, kw, above):
    starts = copy.deepcopy({name: kw[name] for name in STARTS[fit]})
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = getattr(reference, fit)(X, **dict(kw, n_iter=1, eps=-1.0))
    eps = max(abs(result[pos] - np.copy(start)).sum()
              for start, pos in zip(starts.values(), STARTS[fit].values()))
    return dict(starts, n_iter=3,
                eps=np.nextafter(eps, np.inf) if above else eps)


def fixed(fit, name, sample, template):
    def build():
        X = sample(np.random.default_rng(7))
        kw = copy.deepcopy(template)
        eps = kw.get("eps")
        if eps is EQUAL or eps is ABOVE:
            kw = at_first_change(fit, X, kw, eps is ABOVE)
        return X, kw, False
    return Case(fit, "%s-%s" % (PREFIX[fit], name), build)


L2 = dict(init_lambda=[0.5, 5.0])
M2 = [[-5.0, 0.0], [5.0, 0.0]]
ONE = dict(init_lambda=[1.0], init_mean=[[15.0]])
ALL = dict(ONE, init_cov=[[[4.0]]])
# k=1 updates only the first scale; the spares are one-element arrays so that
# the copies stack. On a shifted sample the second has weight 0, which the
# negative weight of the third (negative) scale replaces; convergence
# recomputes the weights and brings the 0 back.
SPARE = dict(init_lambda=[np.array([v]) for v in (5.0, 0.001, -1000.0, 100.0)])
SPARE_G = dict(SPARE, init_mean=[[15.0], [1e6]], init_cov=[[[4.0]], [[1.0]]])
FIXED = [
    (EXP, "n_iter-0", e, dict(n_iter=0)),
    # every largest responsibility exactly 0.75 (3 / (1 + 3) at x = 0): none
    # is claimed, the printed share is 0.0
    (EXP, "claimed-at-three-quarters", lambda rng: np.zeros((10, 1)), dict(init_lambda=[1.0, 1 / 3], n_iter=1)),
    (EXP, "n_iter-negative", e, dict(L2, n_iter=-3)),
    (EXP, "n_iter-float", e, dict(n_iter=2.0)),
    (EXP, "k-float-drawn", e, dict(k=2.0)),
    (EXP, "k-float-given", e, dict(L2, k=2.0)),
    (EXP, "k-str", e, dict(k="2")),
    (EXP, "k-none", e, dict(k=None)),
    (EXP, "k-bool", e, dict(k=True)),
    (EXP, "k-numpy-int", e, dict(L2, k=np.int64(2), n_iter=4)),
    (EXP, "k-0", e, dict(k=0)),
    (EXP, "k1-one-iter", e, dict(k=1, n_iter=1)),
    (EXP, "k1-two-iters", e, dict(k=1, n_iter=2)),
    (EXP, "k1-list-two-iters", e, dict(k=1, init_lambda=[2.0], n_iter=2)),
    (EXP, "tuple-start", e, dict(init_lambda=(1.0, 5.0))),
    (EXP, "zero-int-start", e, dict(init_lambda=[1.0, 0])),
    (EXP, "zero-float-start", e, dict(init_lambda=[0.0, 1.0])),
    (EXP, "zero-numpy-start", e, dict(init_lambda=[1., np.float64(0)],
                                      n_iter=3)),
    (EXP, "negative-start", e, dict(init_lambda=[-1.0, 3.0], n_iter=3)),
    (EXP, "array-start", e, dict(init_lambda=np.array([1.0, 2.0]))),
    (EXP, "number-start", e, dict(init_lambda=3.0)),
    (EXP, "start-truth-raises", e, dict(init_lambda=NoTruth())),
    # the question whether to store a scale's one element fails (an ordinary
    # exception, so the answer is no): the one-element scale array is stored
    # as it is, a row of the 2-D start array
    (EXP, "scale-size-unanswered", size_unanswered(e), dict(k=1, init_lambda=np.array([[3.0]]), n_iter=1)),
    (EXP, "scale-size-unread", size_unanswered(e, SizeUnread), dict(k=1, init_lambda=np.array([[3.0]]), n_iter=1)),
    (EXP, "start-too-short", e, dict(L2, k=3)),
    (EXP, "start-too-long", e, dict(init_lambda=[1.0, 2.0, 3.0])),
    (EXP, "start-ragged", e, dict(init_lambda=[1.0, np.ones(2)])),
    (EXP, "start-doubling-setitem", e, dict(init_lambda=Doubling([.5, 5.]),
                                            n_iter=5)),
    (EXP, "start-backwards-iter", e, dict(init_lambda=Backwards([.5, 5.]),
                                          n_iter=5)),
    (EXP, "start-iter-fails", e, dict(init_lambda=FailingIter([.5, 5.]))),
    # surplus start values take part in the weights but are not updated:
    # the zero weight of the first component is replaced by a negative one
    (EXP, "zero-weight-replaced", shifted(e),
     dict(k=1, init_lambda=[0.001, -2.0, 3.0])),
    (EXP, "negative-weight-replaces-zero", shifted(e),
     dict(SPARE, k=1, n_iter=2)),
    (EXP, "negative-weight-recomputed", shifted(e), dict(SPARE, k=1)),
    (EXP, "unsigned-scales", e, dict(init_lambda=[np.uint8(1), np.uint64(6)])),
    # the far row has density 0, so k=1 keeps a mean
    (EXP, "one-element-array-start", plus_row(e, [1e4]),
     dict(k=1, init_lambda=np.array([3.0]))),
    # where NumPy stores the array itself: the object array holds it; the
    # empty selection's NaN into int64 is NumPy's error on every release
    (EXP, "object-one-element-array-start", plus_row(e, [1e4]),
     dict(k=1, init_lambda=np.array([3.0], dtype=object))),
    (EXP, "int64-one-element-array-start", e,
     dict(k=1, init_lambda=np.array([3]), n_iter=3)),
    (EXP, "change-equals-eps", e, dict(L2, eps=EQUAL)),
    (EXP, "change-below-eps", e, dict(L2, eps=ABOVE)),
    (EXP, "eps-array", e, dict(L2, eps=np.array([1e-5, 1.0]))),
    (EXP, "eps-none", e, dict(L2, eps=None)),
    (EXP, "X-1d", flat(e), {}),
    (EXP, "X-1d-given", flat(e), L2),
    (EXP, "X-list", listed(e), {}),
    (EXP, "X-list-given", listed(e), L2),
    (EXP, "X-matrix", matrix(e), L2),
    (EXP, "X-nan", plus_row(e, [np.nan]), dict(L2, n_iter=5)),
    (EXP, "X-nan-drawn", plus_row(e, [np.nan]), {}),
    (EXP, "X-no-columns", lambda r: np.empty((30, 0)), L2),
    (EXP, "X-two-columns-k2", two_columns(e), {}),
    (EXP, "X-two-columns-k3", two_columns(e), dict(k=3)),
    (EXP, "X-two-columns-given", two_columns(e), L2),

    (GAUSS, "n_iter-0", g, dict(n_iter=0)),
    (GAUSS, "n_iter-float", g, dict(n_iter=1.5)),
    (GAUSS, "k-float-drawn", g, dict(k=2.0)),
    (GAUSS, "k-float-mean-given", g, dict(k=2.0, init_mean=M2)),
    (GAUSS, "k-float-both-given", g, dict(k=2.0, init_mean=M2,
                                          init_cov=[np.eye(2)] * 2)),
    (GAUSS, "k-str", g, dict(k="2")),
    (GAUSS, "k-0", g, dict(k=0)),
    (GAUSS, "k1-one-iter", g, dict(k=1, n_iter=1)),
    (GAUSS, "k1-two-iters", g, dict(k=1, n_iter=2)),
    (GAUSS, "tuple-mean", g, dict(init_mean=(np.zeros(2), np.ones(2)))),
    (GAUSS, "tuple-cov", g, dict(init_cov=(np.eye(2),) * 2)),
    (GAUSS, "array-mean", g, dict(init_mean=np.ones((2, 2)))),
    (GAUSS, "array-cov", g, dict(init_cov=np.ones((2, 2, 2)))),
    (GAUSS, "cov-1d-item", g1, dict(init_cov=[[1.0], [1.0]])),
    (GAUSS, "zero-cov", g, dict(init_cov=[np.zeros((2, 2)), np.eye(2)])),
    (GAUSS, "negative-det-cov", g, dict(init_cov=[np.diag([1., -1.]),
                                                  np.eye(2)])),
    (GAUSS, "means-too-short", g, dict(k=3, init_mean=M2)),
    (GAUSS, "covs-too-short", g, dict(k=3, init_cov=[np.eye(2)] * 2)),
    (GAUSS, "means-too-long", g, dict(init_mean=M2 + [[-5.0, 5.0]],
                                      init_cov=[np.eye(2)] * 3, n_iter=20)),
    # zip() stops at the shorter list; the copies see the surplus item
    (GAUSS, "means-surplus-item", g, dict(init_mean=M2 + ["x"])),
    (GAUSS, "covs-surplus-item", g, dict(init_cov=[np.eye(2)] * 2 + ["x"])),
    (GAUSS, "means-backwards-iter", g, dict(init_mean=Backwards(M2),
                                            n_iter=5)),
    (GAUSS, "means-iter-fails", g, dict(init_mean=FailingIter(M2))),
    (GAUSS, "covs-doubling-setitem", g,
     dict(init_cov=Doubling([np.eye(2) * 4] * 2), n_iter=5)),
    (GAUSS, "cov-change-equals-eps", g,
     dict(init_mean=M2, init_cov=[np.eye(2) * 4] * 2, eps=EQUAL)),
    (GAUSS, "mean-change-equals-eps", shifted(g, 0.0, 0.05),
     dict(init_mean=[[-.25, 0.], [.25, 0.]], init_cov=[np.eye(2) / 100] * 2,
          eps=EQUAL)),
    (GAUSS, "change-below-eps", g,
     dict(init_mean=M2, init_cov=[np.eye(2) * 4] * 2, eps=ABOVE)),
    (GAUSS, "X-1d", flat(g1), {}),
    (GAUSS, "X-1d-given", flat(g1), dict(init_mean=[1.0, 2.0],
                                         init_cov=[[[1.0]], [[1.0]]])),
    (GAUSS, "X-list", listed(g), {}),
    (GAUSS, "X-matrix", matrix(g), {}),
    (GAUSS, "X-inf", plus_row(g, [np.inf, 0.0]),
     dict(init_mean=M2, init_cov=[np.eye(2)] * 2)),
    (GAUSS, "X-constant-column", lambda r: np.c_[g1(r), np.ones(120)], {}),

    (EG, "n_iter-0", eg, dict(n_iter=0)),
    (EG, "n_iter-str", eg, dict(n_iter="3")),
    (EG, "exponential_k-0", eg, dict(exponential_k=0)),
    (EG, "gaussian_k-0", eg, dict(gaussian_k=0)),
    (EG, "exponential_k-float", eg, dict(exponential_k=2.0)),
    (EG, "gaussian_k-float", eg, dict(gaussian_k=2.0)),
    (EG, "gaussian_k-float-given", eg, dict(ALL, gaussian_k=1.0)),
    (EG, "array-mean", eg, dict(init_mean=np.array([[1.0], [2.0]]))),
    (EG, "array-lambda", eg, dict(init_lambda=np.ones(2))),
    (EG, "zero-int-lambda", eg, dict(init_lambda=[0])),
    (EG, "negative-lambda", eg, dict(ONE, init_lambda=[-1.0], n_iter=3)),
    (EG, "tuple-lambda", eg, dict(ONE, init_lambda=(1.0,))),
    (EG, "tuple-mean", eg, dict(init_mean=([15.0],))),
    (EG, "tuple-cov", eg, dict(init_cov=([[4.0]],))),
    (EG, "lambda-too-short", eg, dict(exponential_k=2, init_lambda=[1.0])),
    (EG, "means-too-short", eg, dict(gaussian_k=2, init_mean=[[15.0]])),
    (EG, "lambda-too-long", eg, dict(ONE, init_lambda=[1.0, 2.0])),
    (EG, "means-surplus-item", eg, dict(init_mean=[[15.0], "x"],
                                        init_cov=[[[4.0]]])),
    (EG, "covs-surplus-item", eg, dict(init_mean=[[15.0]],
                                       init_cov=[[[4.0]], "x"])),
    (EG, "two-scales-list", eg, dict(ONE, exponential_k=2,
                                     init_lambda=[0.5, 2.0], n_iter=40)),
    (EG, "zero-exponential-weight-replaced", shifted(eg),
     dict(ALL, exponential_k=1, gaussian_k=0, init_lambda=[0.001, -2.0])),
    (EG, "zero-gaussian-weight-replaced", shifted(eg),
     dict(exponential_k=0, init_lambda=[-2.0, 3.0], init_mean=[[1e6], [15.]],
          init_cov=[[[1.0]], [[4.0]]])),
    (EG, "negative-weights-replace-zeros", shifted(eg),
     dict(SPARE_G, n_iter=2)),
    (EG, "negative-weights-recomputed", shifted(eg), dict(SPARE_G, eps=ABOVE)),
    (EG, "one-element-array-lambda", eg,
     dict(ONE, init_lambda=np.array([1.0]))),
    (EG, "unsigned-one-element-array-lambda", eg,
     dict(ONE, init_lambda=np.array([3], dtype=np.uint64))),
    (EG, "cov-change-equals-eps", eg, dict(ALL, init_cov=[[[9.]]], eps=EQUAL)),
    (EG, "mean-change-equals-eps", eg, dict(ALL, init_lambda=[5.], eps=EQUAL)),
    (EG, "scale-change-equals-eps", eg, dict(ALL, init_mean=[[5.]],
                                             eps=EQUAL)),
    (EG, "change-below-eps", eg, dict(ALL, init_cov=[[[9.]]], eps=ABOVE)),
    (EG, "converge-first", eg, dict(ONE, eps=1e9)),
    (EG, "X-1d", flat(eg), {}),
    (EG, "X-1d-given", flat(eg), ALL),
    (EG, "X-list", listed(eg), {}),
    (EG, "X-two-columns", two_columns(eg), {}),
    (EG, "X-constant", lambda r: np.full((50, 1), 3.0), {}),
    # every density of the far observation is 0: both kinds' NaN are cleared
    (EG, "X-far-outlier", plus_row(eg, [1e6]), dict(ALL, n_iter=5)),
]

# Samples large enough for the in-place products to engage (from 256 KiB:
# every (n,) float64 array here is 320 KB), in the dtypes and layouts that
# decide whether a buffer may be reused.
N_LARGE = 40_000
LARGE_SAMPLES = {EXP: lambda r: exp_sample(r, N_LARGE),
                 GAUSS: lambda r: gauss_sample(r, 2, N_LARGE),
                 EG: lambda r: exp_gauss_sample(r, N_LARGE)}
LARGE_STARTS = {EXP: dict(init_lambda=[1.0, 10.0]),
                GAUSS: dict(init_mean=M2, init_cov=[[[4.0, 0.0], [0.0, 4.0]]] * 2),
                EG: dict(ONE, init_cov=[[[4.0]]])}
LAYOUTS = {
    "float64": lambda X: X,
    "float32": lambda X: X.astype(np.float32),
    "strided": lambda X: np.repeat(X, 2, axis=0)[::2],
    "fortran": np.asfortranarray,
    # the byte order this machine does not use: big-endian on x86_64 and arm64, little on s390x
    "non-native": lambda X: X.astype(np.dtype(np.float64).newbyteorder()),
}
LARGE = [(fit, "large-%s-%s" % (layout, starts),
          (lambda f, m: lambda r: m(f(r)))(LARGE_SAMPLES[fit], LAYOUTS[layout]),
          dict(LARGE_STARTS[fit] if starts == "given" else {}, n_iter=3))
         for fit in (EXP, GAUSS, EG)
         for layout, starts in [("float64", "drawn"), ("float64", "given"),
                                ("float32", "drawn"), ("float32", "given"),
                                ("strided", "given"), ("fortran", "given"),
                                ("non-native", "given")]]

PREFIX = {EXP: "exp", GAUSS: "gauss", EG: "expgauss"}
CASES = ([fixed(*row) for row in FIXED + LARGE]
         + [generated(EXP, s) for s in range(160)]
         + [generated(GAUSS, 1000 + s) for s in range(160)]
         + [generated(EG, 2000 + s) for s in range(160)])


# ------------------------------------------------------------ running

def call(fn, fit, X, kw, positional):
    if not positional:
        return fn(X, **kw)
    params = list(inspect.signature(getattr(reference, fit)).parameters
                  .values())[1:]
    last = max([i for i, p in enumerate(params) if p.name in kw] or [-1])
    return fn(X, *[kw.get(p.name, p.default) for p in params[:last + 1]])


def kofa_line(exc):
    """(display name, line) of the extension's one traceback entry."""
    entries = kofa_entries(exc)
    assert len(entries) == 1, "expected exactly one %s entry, got %r" % (
        SOURCE_FILE, entries)
    return entries[0]


def failure_place(impl, fit, exc):
    if impl is kofa:
        return kofa_line(exc)
    return "kofa." + fit, exc.kofa_line


def run(case, impl):
    X, kw, positional = case.build()
    X_before = X.copy() if isinstance(X, np.ndarray) else None
    np.random.seed(case.seed)
    out = io.StringIO()
    result = exc = where = None
    with warnings.catch_warnings(record=True) as caught, \
            contextlib.redirect_stdout(out):
        warnings.simplefilter("always")
        try:
            result = call(getattr(impl, case.fit), case.fit, X, kw, positional)
        except Exception as e:  # noqa: BLE001 - every failure is compared
            exc, where = e, failure_place(impl, case.fit, e)
    if X_before is not None:  # in C order, whatever X's layout
        assert X.tobytes() == X_before.tobytes(), "X after the call"
    given = [name for name in STARTS[case.fit] if name in kw]
    return dict(result=result, exc=exc, where=where, out=out.getvalue(),
                warnings=[(w.category, str(w.message)) for w in caught],
                state=np.random.get_state(),
                starts=[kw[name] for name in given],
                returned=[result is not None
                          and result[STARTS[case.fit][name]] is kw[name]
                          for name in given])


def _layout(a):
    # strides of the axes longer than 1; the others carry no layout
    return tuple(st for st, n in zip(a.strides, a.shape) if n > 1)


def assert_same(got, want, where):
    assert type(got) is type(want), "%s: %s, expected %s" % (
        where, type(got).__name__, type(want).__name__)
    if isinstance(want, np.ndarray):
        assert (got.dtype, got.shape, _layout(got)) == \
            (want.dtype, want.shape, _layout(want)), where
        if want.dtype == object:
            for i, (a, b) in enumerate(zip(got.flat, want.flat)):
                assert_same(a, b, "%s.flat[%d]" % (where, i))
            return
    if isinstance(want, (np.ndarray, np.generic)):
        same = got.tobytes() == want.tobytes()
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want), "%s: length" % where
        for i, (a, b) in enumerate(zip(got, want)):
            assert_same(a, b, "%s[%d]" % (where, i))
        return
    elif isinstance(want, float):
        same = struct.pack("<d", got) == struct.pack("<d", want)
    else:
        same = got == want
    assert same, "%s: %r, expected %r" % (where, got, want)


def assert_same_state(got, want):
    assert got[0] == want[0] and got[2:] == want[2:]
    assert np.array_equal(got[1], want[1]), "random state differs"


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_fit_matches_reference(case):
    got, want = run(case, kofa), run(case, reference)
    if got["exc"] is not None or want["exc"] is not None:
        assert (type(got["exc"]), str(got["exc"]), got["where"]) == \
            (type(want["exc"]), str(want["exc"]), want["where"])
    else:
        assert_same(got["result"], want["result"], "result")
    assert got["out"] == want["out"]
    assert got["returned"] == want["returned"]
    assert_same(got["starts"], want["starts"], "start containers")
    assert got["warnings"] == want["warnings"]
    assert_same_state(got["state"], want["state"])


# ------------------------- facts that pin both kofa and the reference

SAMPLES = {EXP: e, GAUSS: g, EG: eg}
IMPLEMENTATIONS = [pytest.param(kofa, id="kofa"),
                   pytest.param(reference, id="reference")]


def quiet(fn, *args, **kw):
    out = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(out):
        warnings.simplefilter("ignore")
        return fn(*args, **kw), out.getvalue().splitlines()


@pytest.mark.parametrize("impl", IMPLEMENTATIONS)
@pytest.mark.parametrize("fit,local,draws", [
    (EXP, "weight", 2),                # k scales
    (GAUSS, "weight", 4),              # k * d means
    (EG, "exponential_weight", 2)])    # one scale, one mean
@pytest.mark.parametrize("n_iter", [0, -1])
def test_no_iteration_raises_unbound_local(impl, fit, local, draws, n_iter):
    X = SAMPLES[fit](np.random.default_rng(3))
    np.random.seed(5)
    np.random.random_sample(draws)
    expected_state = np.random.get_state()
    np.random.seed(5)
    with pytest.raises(UnboundLocalError) as info:
        quiet(getattr(impl, fit), X, n_iter=n_iter)
    assert str(info.value) == \
        "local variable '%s' referenced before assignment" % local
    assert_same_state(np.random.get_state(), expected_state)


@pytest.mark.parametrize("impl", IMPLEMENTATIONS)
@pytest.mark.parametrize("n_iter", [1, 4])
@pytest.mark.parametrize("eps", [0, -1.0])
@pytest.mark.parametrize("fit,kw", [(EXP, dict(init_lambda=[0.5, 8.0])),
                                    (GAUSS, {}), (EG, ONE)])
def test_eps_never_met_runs_every_iteration(impl, n_iter, eps, fit, kw):
    X = SAMPLES[fit](np.random.default_rng(11))
    _, lines = quiet(getattr(impl, fit), X, n_iter=n_iter, eps=eps,
                     **copy.deepcopy(kw))
    assert len(lines) == n_iter
    assert all(0 <= float(v) <= 1 for v in lines)


class BrokenStdout(io.StringIO):
    def write(self, text):
        raise OSError("stdout is gone")


@pytest.mark.parametrize("impl", IMPLEMENTATIONS)
@pytest.mark.parametrize("fit,kw,line", [
    (EXP, dict(init_lambda=[0.5, 6.0]), 81), (GAUSS, {}, 31), (EG, ONE, 129)])
def test_failing_print_is_reported_at_the_progress_line(impl, fit, kw, line):
    X = SAMPLES[fit](np.random.default_rng(5))
    with warnings.catch_warnings(), \
            contextlib.redirect_stdout(BrokenStdout()), \
            pytest.raises(OSError, match="stdout is gone") as info:
        warnings.simplefilter("ignore")
        getattr(impl, fit)(X, **copy.deepcopy(kw))
    assert failure_place(impl, fit, info.value) == ("kofa." + fit, line)


@pytest.mark.parametrize("impl", IMPLEMENTATIONS)
def test_gaussian_single_component_loses_its_mean(impl):
    (weight, mean, cov), lines = quiet(impl.gaussian_mixture,
                                       g(np.random.default_rng(2)), k=1,
                                       n_iter=1)
    assert lines == ["1.0"]
    assert weight.tolist() == [1.0]
    assert np.isnan(mean).all() and np.isnan(cov[0]).all()


@pytest.mark.parametrize("impl", IMPLEMENTATIONS)
def test_immediate_convergence_returns_plain_ratio_weights(impl):
    X = e(np.random.default_rng(4))
    start = [0.5, 6.0]
    (weight, lambda_), lines = quiet(impl.exponential_mixture, X,
                                     init_lambda=start, eps=1e9)
    assert len(lines) == 1 and lambda_ is start
    assert all(isinstance(v, np.ndarray) and v.shape == (1,) for v in start)
    dens = np.array([np.exp(-X[:, 0] / l) / l for l in (0.5, 6.0)])
    prob = dens / dens.sum(0)
    np.testing.assert_allclose(weight, prob.sum(1) / prob.sum(), rtol=1e-12)


@pytest.mark.parametrize("fit", [EXP, EG])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_drawn_scales_fit_on_every_numpy(fit, seed):
    """Not only through the reference: the drawn scales array takes each new
    scale, by NumPy's own store (which warns from 1.25 to 2.3) or, where
    NumPy refuses that, as a number without a warning."""
    X = SAMPLES[fit](np.random.default_rng(seed))
    np.random.seed(seed)
    with warnings.catch_warnings(), \
            contextlib.redirect_stdout(io.StringIO()) as out:
        refused = reference._REFUSES_ARRAY_AS_ELEMENT
        warnings.simplefilter("error" if refused else "ignore", DeprecationWarning)
        result = getattr(kofa, fit)(X)
    assert out.getvalue()
    lambda_ = result[1]
    assert lambda_.dtype == np.float64 and lambda_.shape == (len(result[0]),)
    for value in result:
        assert np.isfinite(np.asarray(value, dtype=float)).all(), result


# --------------------------- order of every NumPy and interpreter operation

class Reads:
    """Logs the reads that a fit makes, and unless a read is to fail, its
    calls; the `fail_at`-th read raises."""

    def __init__(self, sample, fail_at):
        self.sample, self.fail_at, self.log, self.reads = sample, fail_at, [], 0
        self.calls, self.computed, self.repeated = fail_at is None, set(), set()

    def __call__(self, *event):
        self.log.append(event)
        self.reads += 1
        if self.reads == self.fail_at:
            raise InjectedFailure("read %d: %r" % (self.fail_at, event))

    def call(self, *event):
        """A call, an operator or an item assignment, with its operands. An
        operator on the very operands of an earlier one gives the same
        array: the rendering, which writes `X - m` twice, computes it again,
        the module only once, so only the first time counts."""
        if event[0] == "ufunc":
            if repr(event) in self.computed:
                self.repeated.add(repr(event))
                return False
            self.computed.add(repr(event))
        self.log.append(event)
        return True

    def track(self, value, made_by):
        """`value`, logging when it is freed, by what made it (the logged
        call or operator event); a NumPy scalar (a call's result, a total)
        as a 0-d array, which can be followed."""
        if isinstance(value, np.generic):
            value = np.asarray(value).view(Logged)
        if made_by and isinstance(value, np.ndarray):
            weakref.finalize(value, self.freed, made_by)
        return value

    def freed(self, made_by):
        if self.calls:
            self.log.append(("freed", made_by))


class InjectedFailure(Exception):
    pass


READS = None  # the Reads of the running call, if any
MADE_TWICE = set()  # operator events that a run made again from the same operands


def logging_calls():
    return READS is not None and READS.calls


def described(value):
    """What a logged call is given, comparable between two runs: an array
    by its dtype, shape and bytes (read without logging), anything else by
    its type and value."""
    if isinstance(value, np.ndarray):
        plain = np.asarray(value)
        if plain.dtype == object:
            return ("array", plain.shape, [described(v) for v in plain.flat])
        data = hashlib.sha256(np.ascontiguousarray(plain).tobytes()).hexdigest()[:16]
        return ("array", plain.dtype.str, plain.shape, data)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [described(v) for v in value])
    if isinstance(value, dict):
        return ("dict", sorted((k, described(v)) for k, v in value.items()))
    text = repr(value)
    return (type(value).__name__, "" if " at 0x" in text else text)


def logged_calls(head, function, track=False):
    """`function`, logging each call with its arguments under `head` (and
    with `track`, when the array it returns is freed)."""
    def calling(*args, **kw):
        if not logging_calls():
            return function(*args, **kw)
        event = (*head, described(args), described(kw))
        READS.call(*event)
        result = logged(function(*args, **kw))
        return READS.track(result, repr(event)) if track else result
    return calling


def _plain(value):
    return np.ndarray.view(value, np.ndarray) if isinstance(value, Logged) else value


class Logged(np.ndarray):
    """An array that logs its attribute reads (NumPy's own dunder lookups
    aside), the calls of its methods, its operators (every ufunc it takes
    part in) and item assignments and, for the sample itself, its item
    reads."""

    def __getattribute__(self, name):
        if READS and not name.startswith("__"):
            READS("X" if self is READS.sample else "array", name)
            value = super().__getattribute__(name)
            if callable(value) and READS.calls:
                return logged_calls(("method", name, described(self)), value)
            if name == "T" and READS.calls:  # a new view at every read
                return READS.track(value, repr(("T", described(self))))
            return value
        return super().__getattribute__(name)

    def __getitem__(self, key):
        if READS and self is READS.sample:
            READS("X", "[]")
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        if logging_calls():
            READS.call("[]=", described(self), described(key), described(value))
        super().__setitem__(key, value)

    def __array_ufunc__(self, ufunc, method, *inputs, out=None, **kw):
        made_by = None
        if logging_calls():
            event = ("ufunc", ufunc.__name__, method, described(inputs), described(kw))
            made_by = repr(event) if READS.call(*event) else False
        kw = {name: _plain(value) for name, value in kw.items()}
        if out is not None:
            kw["out"] = tuple(_plain(o) for o in out)
        result = getattr(ufunc, method)(*[_plain(i) for i in inputs], **kw)
        if out is not None:
            return out[0] if len(out) == 1 else out
        if type(result) is tuple:
            return tuple(map(logged, result))
        # one made again by the rendering only (the module keeps the first)
        # is not followed
        if made_by is None or method == "__call__" and not isinstance(result, np.ndarray):
            return logged(result)
        return READS.track(logged(result), made_by)


def logged(value):
    return value.view(Logged) if type(value) is np.ndarray else value


class Watched(list):
    """Start container that logs item writes and the first read of an item
    after its write: a read that the fit repeats without a write in between
    is one value, whether evaluated once or twice."""

    def __init__(self, name, items):
        super().__init__(items)
        self.name, self.fresh = name, set(range(len(items)))

    def __getitem__(self, i):
        if i in self.fresh:
            self.fresh.discard(i)
            READS(self.name, i)
        return super().__getitem__(i)

    def __setitem__(self, i, value):
        READS(self.name, i, "=")
        self.fresh.add(i)
        super().__setitem__(i, value)


class NumpyStandIn:
    """Stands in for the global `numpy`: logs every attribute read and every
    call of its functions, with the arguments, and forwards them; the arrays
    that its functions return log their reads and calls."""

    def __init__(self, target, path):
        self._target, self._path = target, path

    def __getattr__(self, name):
        path = self._path + "." + name
        READS(path)
        value = getattr(self._target, name)
        if isinstance(value, type(np)):
            return NumpyStandIn(value, path)
        if name == "r_":
            return _LoggedStack(value)
        if callable(value) and not isinstance(value, type):
            function = logged_calls(("call", path), value, track=True)
            # called through a C object, as NumPy's own functions are: the
            # caller keeps its arguments and releases them itself, where a
            # Python function would take them over into its *args tuple
            return functools.partial(lambda *args, **kw: logged(function(*args, **kw)))
        return value


class _LoggedStack:
    """numpy.r_, which is subscripted rather than called."""

    def __init__(self, r_):
        self._r_ = r_

    def __getitem__(self, key):
        if not logging_calls():
            return logged(self._r_[key])
        event = ("numpy.r_[]", described(key))
        READS.call(*event)
        return READS.track(logged(self._r_[key]), repr(event))


ORDER_CASES = [
    pytest.param(EXP, e, lambda: dict(eps=1e9), id="exp-drawn"),
    pytest.param(EXP, e, lambda: dict(
        init_lambda=Watched("lambda_", [.5, 5.]), n_iter=2), id="exp-given"),
    pytest.param(GAUSS, g, lambda: dict(eps=1e9), id="gauss-drawn"),
    pytest.param(GAUSS, g, lambda: dict(
        init_mean=Watched("mean", copy.deepcopy(M2)),
        init_cov=Watched("cov", [np.eye(2) * 4] * 2), n_iter=2),
        id="gauss-given"),
    pytest.param(EG, eg, lambda: dict(eps=1e9), id="expgauss-drawn"),
    pytest.param(EG, eg, lambda: dict(
        init_lambda=Watched("lambda_", [1.0]),
        init_mean=Watched("mean", [[15.0]]),
        init_cov=Watched("cov", [[[4.0]]]), n_iter=2), id="expgauss-given"),
]


CALLS = ("call", "method", "ufunc", "[]=", "numpy.r_[]")


def logged_run(impl, fit, sample, kw, fail_at=None):
    """The reads of one call and how it ended: (type, message, line)."""
    global READS
    X = sample(np.random.default_rng(7))[:40].view(Logged)
    READS = Reads(X, fail_at)
    np.random.seed(7)
    ended, numpy = None, impl.numpy
    impl.numpy = NumpyStandIn(numpy, "numpy")
    try:
        with warnings.catch_warnings(), \
                contextlib.redirect_stdout(_LoggedOutput()):
            warnings.simplefilter("ignore")
            getattr(impl, fit)(X, **kw())
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        ended = (type(exc), str(exc), failure_place(impl, fit, exc))
    finally:
        impl.numpy = numpy
    READS.calls = False
    MADE_TWICE.update(READS.repeated)
    log, READS = READS.log, None
    return in_call_order(log), ended


def in_call_order(log):
    """`log` with the arrays freed between two calls (or operators, or
    printed lines) moved after the reads between them, in the order in
    which they went: when each goes relative to the calls and to the
    others counts, not relative to a read. Arrays that the rendering
    makes twice are left out."""
    ordered, freed = [], []
    for event in log:
        if event[0] == "freed":
            if event[1] not in MADE_TWICE:
                freed.append(event)
            continue
        if event[0] in CALLS + ("print",):
            ordered += freed
            freed = []
        ordered.append(event)
    return ordered + freed


class _LoggedOutput(io.StringIO):
    def write(self, text):
        if logging_calls():
            READS.call("print", text)
        return super().write(text)


@pytest.mark.parametrize("fit,sample,kw", ORDER_CASES)
def test_reads_in_the_reference_order(fit, sample, kw):
    """Every read of `numpy`, of X, of the arrays made from them and of the
    start containers, and every call of a NumPy function or array method,
    every operator and item assignment, with its operands, comes in the
    rendering's order, and so does each array's release (in_call_order);
    failing each read in turn ends both with the same exception at the same
    source line."""
    want = logged_run(reference, fit, sample, kw)
    assert logged_run(kofa, fit, sample, kw) == want
    log, ended = want
    assert ended is None
    assert {event[0].split(".")[0] for event in log} >= {
        "numpy", "X", "array", "call", "method", "ufunc", "[]="}
    for n in range(1, sum(event[0] not in CALLS for event in log) + 1):
        want = logged_run(reference, fit, sample, kw, fail_at=n)
        assert logged_run(kofa, fit, sample, kw, fail_at=n) == want


class KeepingNumpy:
    """Stands in for the global `numpy`: every array that a function of it
    returns is a view of an array that the stand-in keeps, with a copy."""

    def __init__(self):
        self.kept = []

    def __getattr__(self, name):
        value = getattr(np, name)
        if not callable(value) or isinstance(value, type):
            return value

        def keeping(*args, **kw):
            result = value(*args, **kw)
            if type(result) is not np.ndarray:
                return result
            self.kept.append((result, result.copy()))
            return result[...]
        return keeping


@pytest.mark.parametrize("fit,sample,kw", [
    (GAUSS, g, dict(init_mean=[[0.0, 0.0], [4.0, 4.0]],
                    init_cov=[np.eye(2), np.eye(2)])),
    (EG, eg, dict(init_lambda=[1.0], init_mean=[[15.0]],
                  init_cov=[[[4.0]]])),
])
def test_arrays_seen_elsewhere_are_never_written(fit, sample, kw):
    """Products reuse only buffers that nothing else sees (and only large
    ones: the sample makes every array at least 256 KiB)."""
    X = np.concatenate([sample(np.random.default_rng(seed)) for seed in range(350)])
    want, want_lines = quiet(getattr(kofa, fit), X, n_iter=3, **copy.deepcopy(kw))
    stand_in = KeepingNumpy()
    kofa.numpy = stand_in
    try:
        got, got_lines = quiet(getattr(kofa, fit), X, n_iter=3, **copy.deepcopy(kw))
    finally:
        kofa.numpy = np
    assert len(stand_in.kept) > 20
    for array, before in stand_in.kept:
        assert np.array_equal(array, before, equal_nan=True)
    assert_same(got, want, fit)
    assert got_lines == want_lines

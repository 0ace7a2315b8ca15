"""Reproduce every row of the message table in docs/troubleshooting.md,
and the dtype table of docs/functions.md.

    python examples/mistakes.py
    python examples/mistakes.py --row 12 --row 13     # only these rows

Each case prints the row of docs/troubleshooting.md it belongs to, the
number of progress lines the fit printed, the warnings it raised, and either
the exception with its traceback entry ``File "kofa.cpp", line N`` or the
dtypes of the result (and the values that row is about).  The DataFrame row
needs pandas, which kofa does not: without it that row says so and is
skipped.
"""

import argparse
import contextlib
import io
import os
import sys
import traceback
import warnings

import numpy as np

import kofa


def attempt(label, fit, *args, **kwargs):
    out = io.StringIO()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with contextlib.redirect_stdout(out):
                result = fit(*args, **kwargs)
            error = None
        except Exception as exc:  # noqa: BLE001 - printed
            error, result = exc, None
    print("== {}: {} progress lines; warnings: {}".format(
        label, len(out.getvalue().splitlines()), summary([str(w.message) for w in caught])))
    if error is not None:
        print("   " + failure(error))
    else:
        print("   no error; result dtypes:", [dtypes(v) for v in result])
    return result


def failure(error):
    """'Type: message' and the traceback entries of kofa, on one line."""
    entries = [line.strip() for line in "".join(traceback.format_exception(
        type(error), error, error.__traceback__)).splitlines() if '"kofa.cpp"' in line]
    return "{}: {}\n   {}".format(type(error).__name__, error, "; ".join(entries))


def summary(messages):
    """The warnings in order, a repeated one counted ('x (15 times)')."""
    if not messages:
        return "none"
    counted = []
    for message in messages:
        if counted and counted[-1][0] == message:
            counted[-1][1] += 1
        else:
            counted.append([message, 1])
    return "; ".join(m if c == 1 else "{} ({} times)".format(m, c) for m, c in counted)


def dtypes(value):
    if isinstance(value, list):
        return "list of " + "/".join(sorted({str(np.asarray(v).dtype) for v in value}))
    return type(value).__name__ if not hasattr(value, "dtype") else str(value.dtype)


def flat(values):
    return [round(float(np.ravel(v)[0]), 4) for v in values]


def quiet(fit, *args, **kwargs):
    """(result or exception, progress lines) of a fit, its output and warnings kept."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = fit(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - returned
            result = exc
    return result, len(out.getvalue().splitlines())


ROWS = []


def row(number, title):
    def register(function):
        ROWS.append((number, title, function))
        return function
    return register


def data():
    """The samples every row uses: exponential data (one column), two 2-D
    normal clusters 6 sd apart, and start lists for them."""
    rng = np.random.default_rng(0)
    n = 1000
    x = np.concatenate([rng.exponential(1.0, 600), rng.exponential(8.0, 400)])
    two = rng.normal(size=(n, 2))
    two[:500] += 6.0
    return x.reshape(-1, 1), two


X, TWO = data()


def means():
    return [np.array([0.0, 0.0]), np.array([6.0, 6.0])]


def covs(scale=1.0):
    return [scale * np.eye(2), scale * np.eye(2)]


def eg_starts():
    """Start lists for exponential_gaussian_mixture on X: (lambda, mean, cov)."""
    return [1.0], [[5.0]], [[[4.0]]]


@row(1, "k=1")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture, k=1, drawn", kofa.gaussian_mixture, TWO, 1)
    attempt("exponential_mixture, k=1", kofa.exponential_mixture, X, 1, [1.0])


@row(2, "a component selected no observation, after a few progress lines")
def _():
    attempt("exponential_gaussian_mixture, X - 0.5", kofa.exponential_gaussian_mixture,
            X - 0.5, 1, 1, *eg_starts())
    attempt("exponential_mixture, X - 1.0", kofa.exponential_mixture, X - 1.0, 2, [1.0, 5.0])
    # gaussian_mixture: row 13


@row(3, "k=0, gaussian_mixture")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture, k=0", kofa.gaussian_mixture, TWO, 0)


@row(4, "k=0 or exponential_k=0")
def _():
    attempt("exponential_mixture, k=0", kofa.exponential_mixture, X, 0, [])
    attempt("exponential_gaussian_mixture, exponential_k=0", kofa.exponential_gaussian_mixture,
            X, 0, 1, [], [[5.0]], [[[4.0]]])


@row(5, "gaussian_k=0")
def _():
    attempt("exponential_gaussian_mixture, gaussian_k=0", kofa.exponential_gaussian_mixture,
            X, 1, 0, [1.0], [], [])


@row(6, "X one-dimensional, drawn start values")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture", kofa.gaussian_mixture, X[:, 0].copy(), 2)
    np.random.seed(0)
    attempt("exponential_gaussian_mixture", kofa.exponential_gaussian_mixture, X[:, 0].copy())


@row(7, "X one-dimensional, start lists")
def _():
    attempt("exponential_mixture", kofa.exponential_mixture, X[:, 0].copy(), 2, [1.0, 5.0])
    attempt("exponential_gaussian_mixture", kofa.exponential_gaussian_mixture, X[:, 0].copy(),
            1, 1, *eg_starts())


@row(8, "X transposed, exponential_mixture, start list")
def _():
    attempt("exponential_mixture, (1, n), start list", kofa.exponential_mixture, X.T, 2,
            [1.0, 5.0])


@row(9, "X transposed, exponential_mixture, drawn")
def _():
    np.random.seed(0)
    attempt("exponential_mixture, (1, n), drawn", kofa.exponential_mixture, X.T, 2)


@row(10, "X transposed, exponential_gaussian_mixture, drawn")
def _():
    np.random.seed(0)
    attempt("exponential_gaussian_mixture, (1, n), drawn", kofa.exponential_gaussian_mixture, X.T)


@row(11, "X transposed: (2 pi)^n overflows")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture, (2, n), drawn", kofa.gaussian_mixture, TWO.T.copy(), 2)
    attempt("exponential_gaussian_mixture, (1, n), start lists",
            kofa.exponential_gaussian_mixture, X.T, 1, 1, [1.0], [[5.0]], [[[4.0]]])


@row(12, "exponential_mixture with more components than the data support")
def _():
    np.random.seed(0)
    result = attempt("k=8 on 5 observations, drawn", kofa.exponential_mixture, X[:5].copy(), 8)
    print("   means:", np.round(result[1], 4).tolist())
    result = attempt("k=8 on 5 observations, start list", kofa.exponential_mixture,
                     X[:5].copy(), 8, [0.5, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0])
    print("   means:", flat(result[1]))
    np.random.seed(0)
    result = attempt("k=20 on 1000 observations, drawn", kofa.exponential_mixture, X, 20)
    values, counts = np.unique(np.ravel(result[1]), return_counts=True)
    print("   {} distinct means among 20; the most frequent, {:.4f}, {} times".format(
        len(values), values[counts.argmax()], counts.max()))


@row(13, "gaussian_mixture with k larger than n")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture, k=8 on 5 observations, drawn", kofa.gaussian_mixture,
            TWO[:5].copy(), 8)


@row(14, "many exact zeros: the times rounded to whole units")
def _():
    rounded = np.round(X)
    print("   share of zeros: {:.3f}".format(float((rounded == 0).mean())))
    attempt("exponential_mixture, start list", kofa.exponential_mixture, rounded, 2, [1.0, 5.0])
    np.random.seed(0)
    attempt("exponential_mixture, drawn", kofa.exponential_mixture, rounded, 2)
    # the first iteration's means, to see the collapse
    (weight, means_), _ = quiet(kofa.exponential_mixture, rounded, 2, [1.0, 5.0], n_iter=1)
    print("   after one iteration: means", [float(m[0]) for m in means_])
    few = X.copy()
    few[:20] = 0.0
    result = attempt("exponential_mixture, 20 zeros in 1000", kofa.exponential_mixture, few, 2,
                     [1.0, 5.0])
    print("   weights", np.round(result[0], 3).tolist(), "means", flat(result[1]))
    result = attempt("exponential_mixture, rounded, zeros set to 0.25", kofa.exponential_mixture,
                     np.where(rounded == 0, 0.25, rounded), 2, [1.0, 5.0])
    print("   weights", np.round(result[0], 3).tolist(), "means", flat(result[1]))


@row(15, "X is a list")
def _():
    attempt("gaussian_mixture", kofa.gaussian_mixture, TWO.tolist(), 2)
    attempt("exponential_mixture", kofa.exponential_mixture, X.tolist(), 2)
    attempt("exponential_gaussian_mixture", kofa.exponential_gaussian_mixture, X.tolist())


def with_value(value):
    """X and TWO with one value replaced by VALUE."""
    x, two = X.copy(), TWO.copy()
    x[5, 0] = value
    two[5, 0] = value
    return x, two


@row(16, "NaN in X, drawn start values")
def _():
    x, two = with_value(np.nan)
    np.random.seed(0)
    attempt("gaussian_mixture", kofa.gaussian_mixture, two, 2)
    np.random.seed(0)
    attempt("exponential_mixture", kofa.exponential_mixture, x, 2)
    np.random.seed(0)
    attempt("exponential_gaussian_mixture", kofa.exponential_gaussian_mixture, x)


@row(17, "NaN in X, start lists, exponential_mixture")
def _():
    x, two = with_value(np.nan)
    result = attempt("one NaN in 1000", kofa.exponential_mixture, x, 2, [1.0, 5.0])
    print("   weights", np.round(result[0], 4).tolist(), "means", flat(result[1]))
    result = attempt("that row dropped", kofa.exponential_mixture, np.delete(x, 5, axis=0), 2,
                     [1.0, 5.0])
    print("   weights", np.round(result[0], 4).tolist(), "means", flat(result[1]))


@row(18, "NaN in X, start lists, gaussian_mixture")
def _():
    x, two = with_value(np.nan)
    attempt("one NaN in 1000", kofa.gaussian_mixture, two, 2, means(), covs())


@row(19, "NaN in X, start lists, exponential_gaussian_mixture")
def _():
    x, two = with_value(np.nan)
    attempt("one NaN in 1000", kofa.exponential_gaussian_mixture, x, 1, 1, *eg_starts())


@row(20, "inf in X")
def _():
    x, two = with_value(np.inf)
    np.random.seed(0)
    attempt("gaussian_mixture, drawn", kofa.gaussian_mixture, two, 2)
    attempt("gaussian_mixture, start lists", kofa.gaussian_mixture, two, 2, means(), covs())
    np.random.seed(0)
    attempt("exponential_mixture, drawn", kofa.exponential_mixture, x, 2)
    result = attempt("exponential_mixture, start list", kofa.exponential_mixture, x, 2, [1.0, 5.0])
    print("   weights", np.round(result[0], 4).tolist(), "means", flat(result[1]))
    np.random.seed(0)
    attempt("exponential_gaussian_mixture, drawn", kofa.exponential_gaussian_mixture, x)
    attempt("exponential_gaussian_mixture, start lists", kofa.exponential_gaussian_mixture, x, 1,
            1, *eg_starts())


@row(21, "a pandas DataFrame as X")
def _():
    try:
        import pandas
    except ImportError:
        print("   skipped: pandas is not installed (pip install pandas to see this row)")
        return
    print("   pandas", pandas.__version__)
    frame, column = pandas.DataFrame(TWO, columns=["a", "b"]), pandas.DataFrame(X, columns=["t"])
    np.random.seed(0)
    attempt("gaussian_mixture, drawn", kofa.gaussian_mixture, frame, 2)
    result = attempt("gaussian_mixture, start lists", kofa.gaussian_mixture, frame, 2, means(),
                     covs())
    print("   means", np.round(np.asarray(result[1], float), 2).tolist())
    np.random.seed(0)
    attempt("exponential_gaussian_mixture, drawn", kofa.exponential_gaussian_mixture, column)
    attempt("exponential_gaussian_mixture, start lists", kofa.exponential_gaussian_mixture,
            column, 1, 1, *eg_starts())
    np.random.seed(0)
    attempt("exponential_mixture, drawn", kofa.exponential_mixture, column, 2)
    result = attempt("exponential_mixture, start list", kofa.exponential_mixture, column, 2,
                     [1.0, 5.0])
    print("   the means come back as", type(result[1][0]).__module__ + "." +
          type(result[1][0]).__name__)
    result = attempt("gaussian_mixture, drawn, frame.to_numpy(dtype=float)",
                     kofa.gaussian_mixture, frame.to_numpy(dtype=float), 2)


@row(22, "X with 2 columns, exponential_mixture, drawn, k=2")
def _():
    np.random.seed(0)
    attempt("exponential_mixture, k=2", kofa.exponential_mixture, np.abs(TWO), 2)


@row(23, "X with 2 columns, exponential_mixture, drawn, k=3")
def _():
    np.random.seed(0)
    attempt("exponential_mixture, k=3", kofa.exponential_mixture, np.abs(TWO), 3)


@row(24, "X with 2 columns, exponential_mixture, start list")
def _():
    attempt("normal data (negative values)", kofa.exponential_mixture, TWO, 2, [1.0, 5.0])
    result = attempt("positive data", kofa.exponential_mixture, np.abs(TWO), 2, [1.0, 5.0])
    print("   {} weights; means of {} values each".format(len(result[0]), np.size(result[1][0])))


@row(25, "a start value is a NumPy array")
def _():
    attempt("gaussian_mixture, init_mean array", kofa.gaussian_mixture, TWO, 2, np.array(means()),
            covs())
    attempt("gaussian_mixture, init_cov array", kofa.gaussian_mixture, TWO, 2, means(),
            np.array(covs()))
    attempt("exponential_mixture, init_lambda array", kofa.exponential_mixture, X, 2,
            np.array([1.0, 5.0]))
    attempt("exponential_gaussian_mixture, init_lambda array", kofa.exponential_gaussian_mixture,
            X, 2, 1, np.array([1.0, 3.0]), [[5.0]], [[[4.0]]])
    attempt("exponential_gaussian_mixture, init_mean array", kofa.exponential_gaussian_mixture,
            X, 1, 2, [1.0], np.array([[5.0], [8.0]]), [[[4.0]], [[4.0]]])
    attempt("exponential_gaussian_mixture, init_cov array", kofa.exponential_gaussian_mixture,
            X, 1, 2, [1.0], [[5.0], [8.0]], np.array([[[4.0]], [[4.0]]]))


@row(26, "a start value is a tuple")
def _():
    attempt("gaussian_mixture, init_mean tuple", kofa.gaussian_mixture, TWO, 2, tuple(means()),
            covs())
    attempt("gaussian_mixture, init_cov tuple", kofa.gaussian_mixture, TWO, 2, means(),
            tuple(covs()))
    attempt("exponential_mixture, init_lambda tuple", kofa.exponential_mixture, X, 2, (1.0, 5.0))
    attempt("exponential_gaussian_mixture, init_lambda tuple", kofa.exponential_gaussian_mixture,
            X, 1, 1, (1.0,), [[5.0]], [[[4.0]]])
    attempt("exponential_gaussian_mixture, init_mean tuple", kofa.exponential_gaussian_mixture,
            X, 1, 1, [1.0], ([5.0],), [[[4.0]]])
    attempt("exponential_gaussian_mixture, init_cov tuple", kofa.exponential_gaussian_mixture,
            X, 1, 1, [1.0], [[5.0]], ([[4.0]],))


@row(27, "fewer start values than k")
def _():
    attempt("gaussian_mixture, k=3, 2 means", kofa.gaussian_mixture, TWO, 3,
            means(), covs() + [np.eye(2)])
    attempt("exponential_mixture, k=3, 2 means", kofa.exponential_mixture, X, 3, [1.0, 5.0])
    attempt("exponential_gaussian_mixture, exponential_k=3, 2 means",
            kofa.exponential_gaussian_mixture, X, 3, 1, [1.0, 3.0], [[5.0]], [[[4.0]]])
    attempt("exponential_gaussian_mixture, gaussian_k=3, 2 means",
            kofa.exponential_gaussian_mixture, X, 1, 3, [1.0], [[5.0], [8.0]],
            [[[4.0]], [[4.0]], [[4.0]]])


@row(28, "more start values than k")
def _():
    attempt("exponential_mixture, k=2, 3 means", kofa.exponential_mixture, X, 2, [1.0, 5.0, 9.0])
    attempt("exponential_gaussian_mixture, exponential_k=1, 2 means",
            kofa.exponential_gaussian_mixture, X, 1, 1, [1.0, 3.0], [[5.0]], [[[4.0]]])
    result = attempt("gaussian_mixture, k=2, 3 means", kofa.gaussian_mixture, TWO, 2,
                     means() + [np.ones(2)], covs())
    print("   {} means returned".format(len(result[1])))
    result = attempt("gaussian_mixture, k=2, 3 covariances", kofa.gaussian_mixture, TWO, 2,
                     means(), covs() + [np.eye(2)])
    print("   {} covariances returned, the third unchanged: {}".format(
        len(result[2]), np.array_equal(result[2][2], np.eye(2))))
    result = attempt("exponential_gaussian_mixture, gaussian_k=1, 2 normal means",
                     kofa.exponential_gaussian_mixture, X, 1, 1, [1.0], [[5.0], [7.0]], [[[4.0]]])
    print("   normal means returned:", [np.ravel(m).tolist() for m in result[3]])


@row(29, "init_mean flat")
def _():
    attempt("gaussian_mixture, init_mean=[0, 0, 6, 6]", kofa.gaussian_mixture, TWO, 2,
            [0.0, 0.0, 6.0, 6.0], covs())


@row(30, "start means of the wrong length")
def _():
    attempt("gaussian_mixture, means of 3 values for 2 columns", kofa.gaussian_mixture, TWO, 2,
            [np.zeros(3), np.full(3, 6.0)], covs())
    result = attempt("gaussian_mixture, means of 1 value for 2 columns", kofa.gaussian_mixture,
                     TWO, 2, [np.zeros(1), np.full(1, 6.0)], covs())
    print("   means", np.round(np.asarray(result[1], float), 2).tolist())


@row(31, "variances instead of covariance matrices")
def _():
    attempt("gaussian_mixture, init_cov=[1.0, 1.0]", kofa.gaussian_mixture, TWO, 2, means(),
            [1.0, 1.0])
    attempt("gaussian_mixture, init_cov=[numpy.ones(2), numpy.ones(2)]", kofa.gaussian_mixture,
            TWO, 2, means(), [np.ones(2), np.ones(2)])
    attempt("exponential_gaussian_mixture, init_cov=[4.0]", kofa.exponential_gaussian_mixture, X,
            1, 1, [1.0], [[5.0]], [4.0])


@row(32, "covariances of the wrong size")
def _():
    attempt("gaussian_mixture, 3 x 3 for 2 columns", kofa.gaussian_mixture, TWO, 2, means(),
            [np.eye(3), np.eye(3)])
    attempt("gaussian_mixture, 1 x 1 for 2 columns", kofa.gaussian_mixture, TWO, 2, means(),
            [np.eye(1), np.eye(1)])


@row(33, "a covariance that is not positive definite")
def _():
    result = attempt("gaussian_mixture, init_cov = -identity (determinant > 0)",
                     kofa.gaussian_mixture, TWO, 2, means(), covs(-1.0))
    print("   started at means [[0, 0], [6, 6]]; ended at",
          np.round(np.asarray(result[1], float), 2).tolist(), "weights", result[0].tolist())
    attempt("gaussian_mixture, init_cov = [[1, 2], [2, 1]] (determinant < 0)",
            kofa.gaussian_mixture, TWO, 2, means(),
            [np.array([[1.0, 2.0], [2.0, 1.0]]), np.array([[1.0, 2.0], [2.0, 1.0]])])


@row(34, "eps None or a string")
def _():
    for eps in (None, "1e-5"):
        attempt("gaussian_mixture, eps={!r}".format(eps), kofa.gaussian_mixture, TWO, 2, means(),
                covs(), eps=eps)
        attempt("exponential_mixture, eps={!r}".format(eps), kofa.exponential_mixture, X, 2,
                [1.0, 5.0], eps=eps)
        attempt("exponential_gaussian_mixture, eps={!r}".format(eps),
                kofa.exponential_gaussian_mixture, X, 1, 1, *eg_starts(), eps=eps)


@row(35, "n_iter=0 or negative")
def _():
    attempt("gaussian_mixture, n_iter=0", kofa.gaussian_mixture, TWO, 2, means(), covs(), 0)
    attempt("exponential_mixture, n_iter=-1", kofa.exponential_mixture, X, 2, [1.0, 5.0], -1)
    attempt("exponential_gaussian_mixture, n_iter=0", kofa.exponential_gaussian_mixture, X, 1, 1,
            *eg_starts(), n_iter=0)


@row(36, "n_iter a float, or k of gaussian_mixture")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture, k=2.0, drawn", kofa.gaussian_mixture, TWO, 2.0)
    attempt("gaussian_mixture, n_iter=100.0", kofa.gaussian_mixture, TWO, 2, means(), covs(),
            100.0)
    attempt("exponential_mixture, n_iter=100.0", kofa.exponential_mixture, X, 2, [1.0, 5.0], 100.0)
    attempt("exponential_gaussian_mixture, n_iter=100.0", kofa.exponential_gaussian_mixture, X, 1,
            1, *eg_starts(), n_iter=100.0)


@row(37, "k or exponential_k a float, drawn start values")
def _():
    np.random.seed(0)
    attempt("exponential_mixture, k=2.0", kofa.exponential_mixture, X, 2.0)
    np.random.seed(0)
    attempt("exponential_gaussian_mixture, exponential_k=1.0", kofa.exponential_gaussian_mixture,
            X, 1.0)


@row(38, "a constant column")
def _():
    n = len(TWO)
    const = np.column_stack([TWO[:, 0], np.full(n, 3.0)])
    starts = [np.array([0.0, 3.0]), np.array([6.0, 3.0])]
    np.random.seed(0)
    attempt("drawn start values", kofa.gaussian_mixture, const, 2)
    attempt("init_cov identity", kofa.gaussian_mixture, const, 2, [s.copy() for s in starts],
            covs())
    attempt("init_cov 0.5 * identity", kofa.gaussian_mixture, const, 2,
            [s.copy() for s in starts], covs(0.5))
    attempt("the column dropped", kofa.gaussian_mixture, const[:, [0]], 2,
            [np.array([0.0]), np.array([6.0])], [np.eye(1), np.eye(1)])
    # How many iterations run before the failure: until an update puts a
    # component's mean of the constant column exactly on the constant.
    for scale in (1.0, 0.5):
        counts, exact = [], []
        for seed in range(10):
            rng = np.random.default_rng(seed)
            sample = rng.normal(size=(n, 2))
            sample[:500] += 6.0
            sample[:, 1] = 3.0
            result, lines = quiet(kofa.gaussian_mixture, sample, 2, [s.copy() for s in starts],
                                  covs(scale))
            counts.append(lines)
            # the iteration after which a mean of the column first equals 3.0 exactly
            for t in range(1, lines + 1):
                partial, _ = quiet(kofa.gaussian_mixture, sample, 2, [s.copy() for s in starts],
                                   covs(scale), t)
                if isinstance(partial, Exception) or (np.asarray(partial[1])[:, 1] == 3.0).any():
                    exact.append(t)
                    break
            else:
                exact.append(None)
        print("   init_cov {} * identity, samples 0-9: progress lines {}; a mean of the column "
              "exactly 3.0 after iteration {}".format(scale, counts, exact))


@row(39, "a start mean of an exponential component is a Python 0")
def _():
    attempt("exponential_mixture, Python 0", kofa.exponential_mixture, X, 2, [0, 5.0])
    attempt("exponential_mixture, 0.0", kofa.exponential_mixture, X, 2, [0.0, 5.0])
    attempt("exponential_gaussian_mixture, Python 0", kofa.exponential_gaussian_mixture, X, 1, 1,
            [0], [[5.0]], [[[4.0]]])


@row(40, "a start mean is numpy.float64(0)")
def _():
    attempt("exponential_mixture, numpy.float64(0)", kofa.exponential_mixture, X, 2,
            [np.float64(0), 5.0])


@row(41, "negative values in X for an exponential component")
def _():
    result = attempt("exponential_mixture, X - 0.1", kofa.exponential_mixture, X - 0.1, 2,
                     [1.0, 5.0])
    print("   weights", np.round(result[0], 3).tolist(), "means", flat(result[1]))
    attempt("exponential_mixture, X - 1.0", kofa.exponential_mixture, X - 1.0, 2, [1.0, 5.0])


@row(42, "output into a pipe that closed early")
def _():
    read_end, write_end = os.pipe()
    os.close(read_end)
    with open(write_end, "w", buffering=1) as pipe, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for fit, args in ((kofa.gaussian_mixture, (TWO, 2, means(), covs())),
                          (kofa.exponential_mixture, (X, 2, [1.0, 5.0])),
                          (kofa.exponential_gaussian_mixture, (X, 1, 1) + eg_starts())):
            try:
                with contextlib.redirect_stdout(pipe):
                    fit(*args)
                print("== {}: no error".format(fit.__name__))
            except Exception as exc:  # noqa: BLE001 - printed
                print("== {} into a closed pipe\n   {}".format(fit.__name__, failure(exc)))
        try:
            pipe.close()
        except OSError:
            pass


@row(43, "a parameter name the function does not have, or no X")
def _():
    attempt("gaussian_mixture, n_components=2", kofa.gaussian_mixture, TWO, n_components=2)
    attempt("exponential_mixture, no X", kofa.exponential_mixture)
    attempt("exponential_gaussian_mixture, no X", kofa.exponential_gaussian_mixture)


@row(44, "NaN in the result: a component selected nothing in the last iteration")
def _():
    result = attempt("exponential_mixture, k=1, n_iter=1", kofa.exponential_mixture, X, 1, [1.0],
                     1)
    print("   weight", result[0].tolist(), "mean", flat(result[1]))


@row(45, "a start list used again for a second fit")
def _():
    starts = [1.0, 5.0]
    attempt("exponential_mixture, first fit", kofa.exponential_mixture, X, 2, starts)
    print("   the start list now holds the fitted means:", flat(starts))
    attempt("exponential_mixture, the same list again", kofa.exponential_mixture, X, 2, starts)
    fresh = [1.0, 5.0]
    attempt("exponential_mixture, a copy of fresh starts each time", kofa.exponential_mixture, X,
            2, list(fresh))


@row(46, "a float16 X, exponential_mixture with a start list")
def _():
    rng = np.random.default_rng(0)
    for n in (6000, 10000):
        x = np.concatenate([rng.exponential(1.0, 6 * n // 10), rng.exponential(8.0, 4 * n // 10)])
        attempt("exponential_mixture, float16, n={}".format(n), kofa.exponential_mixture,
                x.astype(np.float16).reshape(-1, 1), 2, [1.0, 5.0])


@row(47, "an empty X")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture, drawn", kofa.gaussian_mixture, TWO[:0], 2)
    attempt("exponential_mixture, drawn", kofa.exponential_mixture, X[:0], 2)
    attempt("exponential_gaussian_mixture, drawn", kofa.exponential_gaussian_mixture, X[:0])
    attempt("gaussian_mixture, start lists", kofa.gaussian_mixture, TWO[:0], 2, means(), covs())
    attempt("exponential_mixture, start list", kofa.exponential_mixture, X[:0], 2, [1.0, 5.0])


@row(48, "a bool X, or a numpy.matrix")
def _():
    for label, data in (("bool", TWO > 3.0), ("numpy.matrix", np.matrix(TWO))):
        np.random.seed(0)
        attempt("gaussian_mixture, {}, drawn".format(label), kofa.gaussian_mixture, data, 2)
        attempt("gaussian_mixture, {}, start lists".format(label), kofa.gaussian_mixture, data, 2,
                means(), covs())


@row(49, "k=True")
def _():
    np.random.seed(0)
    attempt("gaussian_mixture, k=True, drawn", kofa.gaussian_mixture, TWO, True)
    attempt("exponential_mixture, k=True, drawn", kofa.exponential_mixture, X, True)
    attempt("exponential_gaussian_mixture, gaussian_k=True, drawn",
            kofa.exponential_gaussian_mixture, X, 1, True)


@row(50, "many dimensions, drawn start values")
def _():
    d, k = 8, 5
    rng = np.random.default_rng(0)
    centres = rng.uniform(-10.0, 10.0, (k, d))
    data = np.concatenate([c + rng.normal(size=(200, d)) for c in centres])
    for seed in (0, 4):
        np.random.seed(seed)
        attempt("gaussian_mixture, d=8, k=5, drawn, seed {}".format(seed), kofa.gaussian_mixture,
                data, k)
    attempt("gaussian_mixture, init_mean at the centres", kofa.gaussian_mixture, data, k,
            [c.copy() for c in centres])
    raised = []
    for seed in range(10):
        np.random.seed(seed)
        if isinstance(quiet(kofa.gaussian_mixture, data, k)[0], Exception):
            raised.append(seed)
    print("   drawn start values, seeds 0 to 9: {} raise ({})".format(len(raised), raised))


@row(51, "memory a fit takes")
def _():
    import tracemalloc
    n = 100000
    rng = np.random.default_rng(0)
    data = rng.normal(size=(n, 2))
    data[: n // 3] += 6.0
    data[n // 3: 2 * n // 3] -= 6.0
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    attempt("gaussian_mixture, n={}, d=2, k=3".format(n), kofa.gaussian_mixture, data, 3,
            [np.full(2, 5.0), np.zeros(2), np.full(2, -5.0)], [np.eye(2)] * 3)
    peak = tracemalloc.get_traced_memory()[1] - before
    tracemalloc.stop()
    print("   X {:.1f} MB; NumPy's arrays at their peak {:.1f} MB, {:.1f} times X".format(
        data.nbytes / 1e6, peak / 1e6, peak / data.nbytes))


def dtype_rows():
    print("\n# dtypes: float32 X (docs/functions.md, dtypes of the results)")
    X32, two32 = X.astype(np.float32), TWO.astype(np.float32)
    attempt("exponential_mixture, start list of floats", kofa.exponential_mixture, X32, 2,
            [0.5, 5.0])
    attempt("exponential_mixture, start list of numpy.float64", kofa.exponential_mixture, X32, 2,
            [np.float64(0.5), np.float64(5.0)])
    np.random.seed(0)
    attempt("exponential_mixture, drawn", kofa.exponential_mixture, X32, 2)
    attempt("gaussian_mixture, float64 start arrays", kofa.gaussian_mixture, two32, 2,
            [np.zeros(2), np.full(2, 6.0)], [np.eye(2), np.eye(2)])
    attempt("gaussian_mixture, start lists of floats", kofa.gaussian_mixture, two32, 2,
            [[0.0, 0.0], [6.0, 6.0]], [[[1.0, 0.0], [0.0, 1.0]], [[1.0, 0.0], [0.0, 1.0]]])
    attempt("gaussian_mixture, float32 start arrays", kofa.gaussian_mixture, two32, 2,
            [np.zeros(2, np.float32), np.full(2, 6.0, np.float32)],
            [np.eye(2, dtype=np.float32), np.eye(2, dtype=np.float32)])
    np.random.seed(0)
    attempt("gaussian_mixture, drawn", kofa.gaussian_mixture, two32, 2)
    attempt("exponential_gaussian_mixture, start lists", kofa.exponential_gaussian_mixture, X32,
            1, 1, [1.0], [[8.0]], [[[4.0]]])
    np.random.seed(0)
    attempt("exponential_gaussian_mixture, drawn", kofa.exponential_gaussian_mixture, X32)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--row", type=int, action="append",
                        help="only this row of the table (repeatable); 0 for the dtypes")
    args = parser.parse_args(argv)
    print("kofa {} | numpy {} | Python {}".format(kofa.__file__, np.__version__,
                                                  sys.version.split()[0]))
    for number, title, function in ROWS:
        if args.row is None or number in args.row:
            print("\n# row {}: {}".format(number, title))
            function()
    if args.row is None or 0 in args.row:
        dtype_rows()
    return 0


if __name__ == "__main__":
    sys.exit(main())

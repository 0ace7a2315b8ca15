"""Reproduce the mistakes of docs/troubleshooting.md that its newer rows
describe, and the dtype table of docs/functions.md.

    python examples/mistakes.py

Each case prints the number of progress lines the fit printed, the
warnings it raised, and either the exception with its traceback entry
``File "kofa.cpp", line N`` or the dtypes and values of the result.
"""

import contextlib
import io
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
        label, len(out.getvalue().splitlines()), [str(w.message) for w in caught] or "none"))
    if error is not None:
        entries = [line.strip() for line in "".join(traceback.format_exception(
            type(error), error, error.__traceback__)).splitlines() if '"kofa.cpp"' in line]
        print("   {}: {}".format(type(error).__name__, error))
        print("   " + "; ".join(entries))
    else:
        print("   no error; result dtypes:", [dtypes(v) for v in result])
    return result


def dtypes(value):
    if isinstance(value, list):
        return "list of " + "/".join(sorted({str(np.asarray(v).dtype) for v in value}))
    return str(value.dtype)


def main():
    print("kofa {} | numpy {}".format(kofa.__file__, np.__version__))
    rng = np.random.default_rng(0)
    n = 1000
    x = np.concatenate([rng.exponential(1.0, 600), rng.exponential(8.0, 400)])
    X = x.reshape(-1, 1)
    two = rng.normal(size=(n, 2))
    two[:500] += 6.0

    print("\n# a constant column")
    const = np.column_stack([two[:, 0], np.full(n, 3.0)])
    starts = [np.array([0.0, 3.0]), np.array([6.0, 3.0])]
    np.random.seed(0)
    attempt("drawn start values", kofa.gaussian_mixture, const, 2)
    attempt("init_cov identity", kofa.gaussian_mixture, const, 2,
            [s.copy() for s in starts], [np.eye(2), np.eye(2)])
    attempt("init_cov 0.5 * identity", kofa.gaussian_mixture, const, 2,
            [s.copy() for s in starts], [0.5 * np.eye(2), 0.5 * np.eye(2)])
    attempt("the column dropped", kofa.gaussian_mixture, const[:, [0]], 2,
            [np.array([0.0]), np.array([6.0])], [np.eye(1), np.eye(1)])

    print("\n# a zero start mean")
    attempt("Python 0", kofa.exponential_mixture, X, 2, [0, 5.0])
    attempt("numpy.float64(0)", kofa.exponential_mixture, X, 2, [np.float64(0), 5.0])

    print("\n# transposed X")
    attempt("exponential_mixture, (1, n), start list", kofa.exponential_mixture, X.T, 2,
            [1.0, 5.0])
    np.random.seed(0)
    attempt("exponential_mixture, (1, n), drawn", kofa.exponential_mixture, X.T, 2)
    np.random.seed(0)
    attempt("gaussian_mixture, (2, n), drawn", kofa.gaussian_mixture, two.T.copy(), 2)
    np.random.seed(0)
    attempt("exponential_gaussian_mixture, (1, n), drawn", kofa.exponential_gaussian_mixture, X.T)
    attempt("exponential_gaussian_mixture, (1, n), start lists",
            kofa.exponential_gaussian_mixture, X.T, 1, 1, [1.0], [[5.0]], [[[4.0]]])

    print("\n# k larger than n (n = 5)")
    np.random.seed(0)
    result = attempt("exponential_mixture, k=8, drawn", kofa.exponential_mixture, X[:5].copy(), 8)
    print("   means:", np.round(result[1], 4).tolist())
    result = attempt("exponential_mixture, k=8, start list", kofa.exponential_mixture,
                     X[:5].copy(), 8, [0.5, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0])
    print("   means:", [round(float(m[0]), 4) for m in result[1]])
    np.random.seed(0)
    attempt("gaussian_mixture, k=8, drawn", kofa.gaussian_mixture, two[:5].copy(), 8)

    print("\n# many exact zeros: the times rounded to whole units")
    rounded = np.round(X)
    print("   share of zeros: {:.3f}".format(float((rounded == 0).mean())))
    attempt("exponential_mixture, start list", kofa.exponential_mixture, rounded, 2, [1.0, 5.0])
    np.random.seed(0)
    attempt("exponential_mixture, drawn", kofa.exponential_mixture, rounded, 2)
    # the first iteration's means, to see the collapse
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        weight, means = kofa.exponential_mixture(rounded, 2, [1.0, 5.0], n_iter=1)
    print("   after one iteration: means", [float(m[0]) for m in means])
    few = X.copy()
    few[:20] = 0.0
    result = attempt("exponential_mixture, 20 zeros in 1000", kofa.exponential_mixture, few, 2,
                     [1.0, 5.0])
    print("   weights", np.round(result[0], 3).tolist(), "means",
          [round(float(m[0]), 3) for m in result[1]])
    result = attempt("exponential_mixture, rounded, zeros set to 0.25", kofa.exponential_mixture,
                     np.where(rounded == 0, 0.25, rounded), 2, [1.0, 5.0])
    print("   weights", np.round(result[0], 3).tolist(), "means",
          [round(float(m[0]), 3) for m in result[1]])

    print("\n# float32 X (docs/functions.md, dtypes of the results)")
    X32, two32 = X.astype(np.float32), two.astype(np.float32)
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


if __name__ == "__main__":
    main()

"""Seconds per iteration and per fit for each kofa fit at n = 1e4, 1e5, 1e6,
beside a textbook EM in NumPy (examples/textbook.py) and, for the Gaussian
fit, scikit-learn's GaussianMixture when it is installed.

    python bench/seconds.py                          # about 3-5 minutes on 2 cores
    OPENBLAS_NUM_THREADS=1 python bench/seconds.py   # BLAS on one thread
    python bench/seconds.py --sizes 10000,100000     # fewer sizes
    make bench ARGS="--seconds"                      # in the bench sessions, with scikit-learn

Cases, all from one seed (0) and fixed start values:

* gaussian_mixture, d=2, k=3: weights 0.4/0.35/0.25, means (0, 0), (5, 1),
  (2, 5), unit covariances; start means the true ones plus 0.5, identity
  covariances;
* exponential_mixture, k=2: weights 0.6/0.4, means 1 and 8; start 0.5, 5;
* exponential_gaussian_mixture, 1+1 (exp+gauss): 60 % exponential of mean 2, 40 %
  normal (12, sd 1.5); start 1, normal 10 with variance 4.

"per iteration": the median over a few calls of the call's time divided by
its iterations, each call run for a fixed number of iterations (kofa with
eps=-1, so it never stops early; the textbook EM and scikit-learn with a
tolerance of 0).  "per fit": one call to convergence from the start above,
with kofa's defaults (eps=1e-5, n_iter=1000); the textbook EM stops when the
log-likelihood grows by less than 1e-8 of itself; scikit-learn with its
defaults (tol=1e-3 on the mean log-likelihood per observation) and the same
start means (means_init, its own initial covariances).  Their iteration
counts differ, so compare per-iteration times for the cost of one step and
per-fit times for what a user waits.

The header gives the machine's load average before and after, and the BLAS
thread setting from the environment; run the script once with and once
without OPENBLAS_NUM_THREADS=1 for the BLAS-threads comparison.
"""

import argparse
import contextlib
import os
import platform
import statistics
import sys
import time
import warnings

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import textbook  # noqa: E402

import bench  # noqa: E402  (bench/, the script's own directory)
import kofa  # noqa: E402

try:
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.mixture import GaussianMixture
except ImportError:
    GaussianMixture = None


def load():
    try:
        return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())
    except OSError:
        return "?"


def timed(call):
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull), \
            warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.perf_counter()
        value = call()
        return time.perf_counter() - start, value


def kofa_fit(call):
    lines = bench.LineCounter()  # kofa's progress lines: its iterations
    with contextlib.redirect_stdout(lines), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.perf_counter()
        call()
        return time.perf_counter() - start, lines.count


# --------------------------------------------------------------------------


def gaussian_case(n, rng):
    weights = [0.4, 0.35, 0.25]
    means = np.array([[0.0, 0.0], [5.0, 1.0], [2.0, 5.0]])
    X = rng.standard_normal((n, 2)) + means[rng.choice(3, size=n, p=weights)]
    start = means + 0.5

    def run_kofa(n_iter, eps):
        return kofa.gaussian_mixture(X, 3, [m.copy() for m in start],
                                     [np.eye(2) for _ in range(3)], n_iter, eps)

    def run_textbook(n_iter, tol):
        return textbook.gaussian_em(X, [1 / 3] * 3, start, [np.eye(2)] * 3, n_iter, tol)[3]

    def run_sklearn(n_iter, tol):
        gm = GaussianMixture(3, covariance_type="full", max_iter=n_iter, tol=tol,
                             means_init=start, random_state=0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            gm.fit(X)
        return gm.n_iter_

    return run_kofa, run_textbook, (run_sklearn if GaussianMixture else None)


def exponential_case(n, rng):
    means = np.array([1.0, 8.0])
    x = rng.exponential(means[rng.choice(2, size=n, p=[0.6, 0.4])])
    X = x.reshape(-1, 1)

    def run_kofa(n_iter, eps):
        return kofa.exponential_mixture(X, 2, [0.5, 5.0], n_iter, eps)

    def run_textbook(n_iter, tol):
        return textbook.exponential_em(x, [0.5, 0.5], [0.5, 5.0], n_iter, tol)[2]

    return run_kofa, run_textbook, None


def exp_gauss_case(n, rng):
    x = np.where(rng.random(n) < 0.6, rng.exponential(2.0, n), rng.normal(12.0, 1.5, n))
    X = x.reshape(-1, 1)

    def run_kofa(n_iter, eps):
        return kofa.exponential_gaussian_mixture(X, 1, 1, [1.0], [[10.0]], [[[4.0]]], n_iter, eps)

    def run_textbook(n_iter, tol):
        return textbook.exp_gauss_em(x, [0.5, 0.5], 1.0, 10.0, 2.0, n_iter, tol)[5]

    return run_kofa, run_textbook, None


CASES = {
    "gaussian d=2 k=3": gaussian_case,
    "exponential k=2": exponential_case,
    "exp+gauss 1+1": exp_gauss_case,
}


def per_iteration(call, iterations, repeats):
    return statistics.median(timed(call)[0] / iterations for _ in range(repeats))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10000,100000,1000000",
                        help="comma-separated sample sizes (default: %(default)s)")
    parser.add_argument("--cases", default=",".join(CASES),
                        help="comma-separated cases (default: all: %(default)s)")
    parser.add_argument("--iterations", type=int, default=5,
                        help="iterations per timed call for the per-iteration figure")
    parser.add_argument("--repeats", type=int, default=3, help="calls per per-iteration figure")
    args = parser.parse_args(argv)
    sizes = [int(float(s)) for s in args.sizes.split(",")]

    blas = {k: v for k, v in os.environ.items()
            if k in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")}
    print("kofa {} | numpy {} | Python {} | {} cores | BLAS threads: {} | scikit-learn {}".format(
        kofa.__file__, np.__version__, platform.python_version(), os.cpu_count(),
        blas or "default", "not installed" if GaussianMixture is None
        else __import__("sklearn").__version__))
    print("load average (1, 5, 15 min) at the start: {}".format(load()))
    print()
    print("| fit | n | implementation | s per iteration | s per fit | iterations |")
    print("|---|---|---|---|---|---|")
    for name in args.cases.split(","):
        for n in sizes:
            run_kofa, run_textbook, run_sklearn = CASES[name](n, np.random.default_rng(0))
            it = args.iterations
            rows = []
            t_it = per_iteration(lambda: run_kofa(it, -1.0), it, args.repeats)
            t_fit, count = kofa_fit(lambda: run_kofa(1000, 1e-5))
            rows.append(("kofa", t_it, t_fit, count))
            t_it = per_iteration(lambda: run_textbook(it, 0.0), it, args.repeats)
            t_fit, count = timed(lambda: run_textbook(10000, 1e-8))
            rows.append(("textbook EM", t_it, t_fit, count))
            if run_sklearn is not None:
                t_it = per_iteration(lambda: run_sklearn(it, 0.0), it, args.repeats)
                t_fit, count = timed(lambda: run_sklearn(1000, 1e-3))
                rows.append(("scikit-learn", t_it, t_fit, count))
            for impl, t_it, t_fit, count in rows:
                print("| {} | {:.0e} | {} | {:.3g} | {:.3g} | {} |".format(
                    name, n, impl, t_it, t_fit, count), flush=True)
    print()
    print("load average (1, 5, 15 min) at the end: {}".format(load()))
    return 0


if __name__ == "__main__":
    sys.exit(main())

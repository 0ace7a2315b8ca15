"""How long a kofa fit takes and how much memory it needs, beside the
plain-Python rendering of the same fits (tests/reference.py), scikit-learn's
GaussianMixture and a textbook EM in NumPy (examples/textbook.py): the table
and the picture of docs/performance.md, in one command.

    python bench/seconds.py                                  # table, n = 1e4, 1e5, 1e6
    python bench/seconds.py --picture docs/performance.png   # and the picture (matplotlib)
    python bench/seconds.py --sizes 10000,100000 --cases "exponential k=2"
    python bench/seconds.py --from-json run.json --picture p.png   # redraw a saved run
    OPENBLAS_NUM_THREADS=1 nice python bench/seconds.py      # on a busy machine
    make bench NOXFLAGS="-p 3.11" ARGS="--seconds"           # in the bench session

Cases, all from one seed (0) and fixed start values near the truth:

* gaussian_mixture, d=2, k=3: weights 0.4/0.35/0.25, means (0, 0), (5, 1),
  (2, 5), unit covariances; start means the true ones plus 0.5, identity
  covariances;
* gaussian_mixture, d=10, k=5: equal weights, means 6 sd apart along the
  first five axes, unit covariances; start as above;
* exponential_mixture, k=2: weights 0.6/0.4, means 1 and 8; start 0.5, 5;
* exponential_gaussian_mixture, 1+1 (exp+gauss): 60 % exponential of mean 2,
  40 % normal (12, sd 1.5); start 1, normal 10 with variance 4.

Every figure is one call to convergence, as a user makes it: kofa and the
rendering with their defaults (eps=1e-5, n_iter=1000; the two do the same
iterations and return the same values); scikit-learn with its defaults
(tol=1e-3 on the mean log-likelihood per observation, max_iter=100) and the
same start means (means_init), Gaussian cases only; the textbook EM until the
log-likelihood grows by less than 1e-8 of itself.  The implementations take
turns within each repetition, in an order that rotates from one repetition to
the next, so a change of machine load falls on all of them alike.  A column
"x rendering" or "x scikit-learn" is the median over the repetitions of kofa's
time divided by the other's in the same repetition: that ratio drifts far less
with load than the seconds do.  "s per iteration" is kofa's time per fit
divided by its iterations.  "(CPU s)" is the median CPU time of the
process during kofa's call (all its threads): with one BLAS thread, about what
the wall clock shows on a quiet machine.  Where the seconds per fit are well
above it, the process waited for a core (or BLAS threads waited for each
other), and the seconds are inflated by as much.

Memory: the growth of the peak resident set size (VmHWM in /proc/self/status,
reset before the call) over the resident set just before the call, in a fresh
process per implementation and n, with X already made; 3 iterations (kofa's
Gaussian fit, d=2, k=3, n=1e5: 8.6 MB after 3 iterations and after a fit to
convergence, 5.4 MB after one).  Linux only; elsewhere the column says "-".

The header and the footer give the load average (1, 5, 15 minutes) and the
BLAS thread setting, and the column "load" the 1-minute load average at the
end of each row; --json keeps the raw figures, --picture draws seconds
per fit against n for the three fits.
"""

import argparse
import contextlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "examples"))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import reference  # noqa: E402
import textbook  # noqa: E402

import bench  # noqa: E402  (bench/, the script's own directory)
import kofa  # noqa: E402

try:
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.mixture import GaussianMixture
except ImportError:
    GaussianMixture = None

IMPLEMENTATIONS = ("kofa", "rendering", "scikit-learn", "textbook EM")


def load():
    try:
        return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())
    except OSError:
        return "?"


def timed(call):
    """(wall seconds, CPU seconds of the process, iterations) of one call."""
    lines = bench.LineCounter()  # kofa and the rendering print a line per iteration
    with contextlib.redirect_stdout(lines), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cpu = time.process_time()
        start = time.perf_counter()
        value = call()
        wall = time.perf_counter() - start
        cpu = time.process_time() - cpu
    return wall, cpu, (lines.count if value is None else value)


# --------------------------------------------------------------------------
# Each case makes its sample and returns one callable per implementation,
# taking (iterations, tolerance) and returning the iterations it ran, or None
# for kofa and the rendering, whose iterations are their printed lines.


def _sklearn(X, k, start):
    if GaussianMixture is None:
        return None

    def run(n_iter, tol):
        gm = GaussianMixture(k, covariance_type="full", max_iter=n_iter, tol=tol,
                             means_init=start, random_state=0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            gm.fit(X)
        return gm.n_iter_

    return run


def _gaussian(X, means, weights):
    k, d = means.shape
    start = means + 0.5

    def fits(module):
        def run(n_iter, eps):
            module.gaussian_mixture(X, k, [m.copy() for m in start],
                                    [np.eye(d) for _ in range(k)], n_iter, eps)
        return run

    def run_textbook(n_iter, tol):
        return textbook.gaussian_em(X, [1 / k] * k, start, [np.eye(d)] * k, n_iter, tol)[3]

    return {"kofa": fits(kofa), "rendering": fits(reference),
            "scikit-learn": _sklearn(X, k, start), "textbook EM": run_textbook}


def gaussian_2_3(n, rng):
    weights = [0.4, 0.35, 0.25]
    means = np.array([[0.0, 0.0], [5.0, 1.0], [2.0, 5.0]])
    X = rng.standard_normal((n, 2)) + means[rng.choice(3, size=n, p=weights)]
    return X, _gaussian(X, means, weights)


def gaussian_10_5(n, rng):
    means = np.zeros((5, 10))
    means[np.arange(5), np.arange(5)] = 6.0 / np.sqrt(2.0)   # 6 sd between any two
    X = rng.standard_normal((n, 10)) + means[rng.choice(5, size=n)]
    return X, _gaussian(X, means, [0.2] * 5)


def exponential_2(n, rng):
    x = rng.exponential(np.array([1.0, 8.0])[rng.choice(2, size=n, p=[0.6, 0.4])])
    X = x.reshape(-1, 1)

    def fits(module):
        def run(n_iter, eps):
            module.exponential_mixture(X, 2, [0.5, 5.0], n_iter, eps)
        return run

    def run_textbook(n_iter, tol):
        return textbook.exponential_em(x, [0.5, 0.5], [0.5, 5.0], n_iter, tol)[2]

    return X, {"kofa": fits(kofa), "rendering": fits(reference),
               "scikit-learn": None, "textbook EM": run_textbook}


def exp_gauss_1_1(n, rng):
    x = np.where(rng.random(n) < 0.6, rng.exponential(2.0, n), rng.normal(12.0, 1.5, n))
    X = x.reshape(-1, 1)

    def fits(module):
        def run(n_iter, eps):
            module.exponential_gaussian_mixture(X, 1, 1, [1.0], [np.array([10.0])],
                                                [np.array([[4.0]])], n_iter, eps)
        return run

    def run_textbook(n_iter, tol):
        return textbook.exp_gauss_em(x, [0.5, 0.5], 1.0, 10.0, 2.0, n_iter, tol)[5]

    return X, {"kofa": fits(kofa), "rendering": fits(reference),
               "scikit-learn": None, "textbook EM": run_textbook}


CASES = {
    "gaussian d=2 k=3": gaussian_2_3,
    "gaussian d=10 k=5": gaussian_10_5,
    "exponential k=2": exponential_2,
    "exp+gauss 1+1": exp_gauss_1_1,
}
# The picture's three fits.
PICTURED = ("gaussian d=2 k=3", "exponential k=2", "exp+gauss 1+1")
CONVERGE = {"kofa": (1000, 1e-5), "rendering": (1000, 1e-5),
            "scikit-learn": (100, 1e-3), "textbook EM": (10000, 1e-8)}


# --------------------------------------------------------------------------
# Memory, in a fresh process per figure.


def _status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def rss_child(name, n, impl):
    """Runs in a fresh process: the peak RSS growth of one call, in KiB."""
    X, runs = CASES[name](n, np.random.default_rng(0))
    small = CASES[name](100, np.random.default_rng(1))[1][impl]
    never = -1.0 if impl in ("kofa", "rendering") else 0.0   # a tolerance that never stops it
    timed(lambda: small(3, never))         # NumPy's and scikit-learn's lazy imports
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")                    # VmHWM := VmRSS
    before = _status_kib("VmRSS")
    timed(lambda: runs[impl](3, never))
    print(_status_kib("VmHWM") - before)


def rss_growth(name, n, impl):
    if not sys.platform.startswith("linux"):
        return None
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--rss-child",
                           name, str(n), impl], stdout=subprocess.PIPE,
                          universal_newlines=True)
    return int(done.stdout) * 1024 if done.returncode == 0 else None


# --------------------------------------------------------------------------


def measure(name, n, repeats, memory):
    X, runs = CASES[name](n, np.random.default_rng(0))
    present = [impl for impl in IMPLEMENTATIONS if runs[impl] is not None]
    for impl in present:                   # warm-up, at a size that costs little
        small = CASES[name](1000, np.random.default_rng(1))[1][impl]
        timed(lambda: small(*CONVERGE[impl]))
    figures = {impl: [] for impl in present}
    for rep in range(repeats):
        order = present[rep % len(present):] + present[:rep % len(present)]
        for impl in order:
            figures[impl].append(timed(lambda: runs[impl](*CONVERGE[impl])))
    result = {"case": name, "n": n, "bytes of X": X.nbytes, "load": load()}
    for impl in present:
        walls = [w for w, _, _ in figures[impl]]
        result[impl] = {"wall": walls, "cpu": [c for _, c, _ in figures[impl]],
                        "iterations": figures[impl][0][2],
                        "seconds": statistics.median(walls)}
        if impl != "kofa":
            result[impl]["kofa / this"] = statistics.median(
                k[0] / o[0] for k, o in zip(figures["kofa"], figures[impl]))
        if memory:
            result[impl]["peak RSS growth"] = rss_growth(name, n, impl)
    kofa_ = result["kofa"]
    kofa_["wall / cpu"] = statistics.median(w / c for w, c in zip(kofa_["wall"], kofa_["cpu"]))
    return result


def megabytes(count):
    if count is None:
        return "-"
    return "{:.2g}".format(count / 1e6) if count < 10e6 else "{:.0f}".format(count / 1e6)


def table_row(r):
    k = r["kofa"]

    def other(impl, ratio):
        if impl not in r:
            return "-" + (" | -" if ratio else "")
        text = "{:.3g} ({})".format(r[impl]["seconds"], r[impl]["iterations"])
        return text + (" | {:.2f}".format(r[impl]["kofa / this"]) if ratio else "")

    memory = "{} / {} ({})".format(megabytes(k.get("peak RSS growth")),
                                    megabytes(r["rendering"].get("peak RSS growth")),
                                    megabytes(r["bytes of X"]))
    return "| {} | {:.0e} | {} | {:.3g} ({:.3g}) | {:.2g} | {:.3f} | {} | {} | {} | {} |".format(
        r["case"], r["n"], k["iterations"], k["seconds"], statistics.median(k["cpu"]),
        k["seconds"] / k["iterations"], r["rendering"]["kofa / this"],
        other("scikit-learn", True), other("textbook EM", False), memory,
        r["load"].split()[0]).replace("e+0", "e")


TABLE_HEAD = (
    "| fit | n | iterations | s per fit (CPU s) | s per iteration | x rendering "
    "| scikit-learn s per fit (iterations) | x scikit-learn | textbook EM s per fit (iterations) "
    "| peak RSS growth MB, kofa / rendering (X) | load |\n"
    "|---|---|---|---|---|---|---|---|---|---|---|")


def header():
    blas = " ".join("{}={}".format(k, v) for k, v in sorted(os.environ.items())
                    if k in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"))
    return "NumPy {} | CPython {} | {} cores | BLAS threads: {}".format(
        np.__version__, platform.python_version(), os.cpu_count(), blas or "default")


def picture(run, path):
    try:
        import matplotlib
    except ImportError:
        print("no picture: matplotlib is not installed (python -m pip install matplotlib)")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    styles = {"kofa": dict(color="C0", marker="o", lw=2),
              "rendering": dict(color="C1", marker="s", ls="--"),
              "scikit-learn": dict(color="C2", marker="^", ls="-."),
              "textbook EM": dict(color="0.6", marker=".", ls=":")}
    labels = {"rendering": "plain-Python rendering", "textbook EM": "textbook EM (NumPy)"}
    cases = [c for c in PICTURED if any(r["case"] == c for r in run["results"])]
    fig, axes = plt.subplots(1, len(cases), figsize=(3.6 * len(cases), 3.4), squeeze=False,
                             sharey=True)
    for ax, case in zip(axes[0], cases):
        rows = sorted((r for r in run["results"] if r["case"] == case), key=lambda r: r["n"])
        for impl in IMPLEMENTATIONS:
            points = [(r["n"], r[impl]["seconds"]) for r in rows if impl in r]
            if points:
                ax.plot(*zip(*points), label=labels.get(impl, impl), **styles[impl])
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(case, fontsize=10)
        ax.set_xlabel("n (observations)")
        ax.grid(True, which="major", alpha=0.3)
    axes[0][0].set_ylabel("seconds per fit (to convergence)")
    handles = {}
    for ax in axes[0]:
        for h, label in zip(*ax.get_legend_handles_labels()):
            handles.setdefault(label, h)
    fig.legend(handles.values(), handles.keys(), loc="lower center", ncol=len(handles),
               fontsize=9, frameon=False)
    fig.suptitle("{}; load average {} at the start, {} at the end".format(
        run["header"], run["load at start"], run["load at end"]), fontsize=8)
    fig.tight_layout(rect=(0, 0.08, 1, 0.95))
    fig.savefig(path, dpi=110)
    print("wrote {}".format(path))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10000,100000,1000000",
                        help="comma-separated sample sizes (default: %(default)s)")
    parser.add_argument("--cases", default=",".join(CASES),
                        help="comma-separated cases (default: all: %(default)s)")
    parser.add_argument("--repeats", type=int, default=15,
                        help="calls per implementation up to n=1e4, fewer above, at least 3 "
                             "(default 15)")
    parser.add_argument("--no-memory", action="store_true", help="leave the memory column out")
    parser.add_argument("--json", help="write the raw figures to this file")
    parser.add_argument("--from-json", help="measure nothing: print and draw a saved run")
    parser.add_argument("--picture", help="draw seconds per fit against n into this file")
    parser.add_argument("--rss-child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.rss_child:
        rss_child(args.rss_child[0], int(args.rss_child[1]), args.rss_child[2])
        return 0

    if args.from_json:
        with open(args.from_json) as saved:
            run = json.load(saved)
        print(run["header"])
        print("load average (1, 5, 15 min) at the start: {}".format(run["load at start"]))
        print()
        print(TABLE_HEAD)
        for r in run["results"]:
            print(table_row(r))
        print()
        print("load average (1, 5, 15 min) at the end: {}".format(run["load at end"]))
    else:
        sizes = [int(float(s)) for s in args.sizes.split(",")]
        run = {"header": header(), "load at start": load(), "results": []}
        print("{} | scikit-learn {} | {}".format(
            run["header"], "not installed" if GaussianMixture is None
            else __import__("sklearn").__version__, kofa.__file__))
        print("load average (1, 5, 15 min) at the start: {}".format(run["load at start"]))
        print()
        print(TABLE_HEAD, flush=True)
        for name in args.cases.split(","):
            for n in sizes:
                r = measure(name, n, bench.repetitions(args.repeats, n), not args.no_memory)
                run["results"].append(r)
                print(table_row(r), flush=True)
                run["load at end"] = load()
                if args.json:              # after every row: a cut-short run keeps its rows
                    with open(args.json, "w") as saved:
                        json.dump(run, saved, indent=1)
        print()
        print("load average (1, 5, 15 min) at the end: {}".format(run["load at end"]))
    if args.picture:
        picture(run, args.picture)
    return 0


if __name__ == "__main__":
    sys.exit(main())

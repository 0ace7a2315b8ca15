"""Time and memory of the kofa fits against their plain-Python rendering.

    python bench/bench.py                 # full run (a few minutes)
    python bench/bench.py --quick         # smoke run: small n, few repetitions
    python bench/bench.py --max-n 10000 --reps 20
    PYTHONPATH=build-dev python3 bench/bench.py   # after `make dev`

For every case (a fit, its k and the dimension d of the sample) and every
sample size n, the module and tests/reference.py are run on the same data with
the same start lists, a fixed number of iterations and eps=-1, so both do
exactly the same iterations.  The calls alternate, module then reference,
repetition after repetition; the table gives the median time per iteration,
the ratio module/reference of the medians and the median and quartiles of the
ratios of the interleaved pairs (less sensitive to drift in machine load), and
the median number of minor page faults per iteration of each.  From about
n=3e4 on, the arrays come from glibc's heap, which gives memory back to the
system and takes it again from one call to the next depending on the order in
which arrays are made and released; the faults column shows when that costs
time.  Module and reference share the process and so the heap.  Peak memory is the tracemalloc peak of a
separate, untimed call (tracemalloc sees NumPy's array buffers too); that call
also checks that module and reference return the same values.

After the table come the scaling exponent of the time per iteration in n (a
least-squares fit of log t against log n from n=1000 on), the start-up cost of
`import kofa` next to `import numpy` in fresh interpreters, and, as context,
scikit-learn's GaussianMixture on the Gaussian cases when it is installed.

Each fit prints one line per iteration; those lines go to os.devnull.
"""

import argparse
import contextlib
import gc
import importlib.machinery
import importlib.util
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
import warnings

try:
    import resource
except ImportError:  # not on Windows
    resource = None

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Only tests/ is added: the repository root holds the C++ sources in kofa/,
# which Python would otherwise take for a namespace package named kofa.
sys.path.insert(0, os.path.join(ROOT, "tests"))

import reference  # noqa: E402

try:
    import kofa  # noqa: E402
except ImportError as exc:
    sys.exit("cannot import kofa ({}): install it (pip install .) or build it with "
             "'make dev' and run with PYTHONPATH=build-dev".format(exc))
if not (getattr(kofa, "__file__", None) or "").endswith(
        tuple(importlib.machinery.EXTENSION_SUFFIXES)):
    sys.exit("'kofa' is not the compiled extension module ({!r}); install it or "
             "build it with 'make dev' and run with PYTHONPATH=build-dev".format(
                 getattr(kofa, "__file__", None)))

SIZES = (100, 1000, 10_000, 100_000, 1_000_000)
SEED = 20240607


# ---- cases ---------------------------------------------------------------------

class Case:
    """One fit with fixed k (and d): makes its sample for a given n and fresh
    start values for every call (the fits write their updates into the start
    lists, so a list is never reused)."""

    def __init__(self, label, fit, sample, starts, sklearn_k=None):
        self.label = label
        self.fit = fit
        self.sample = sample          # (rng, n) -> X
        self.starts = starts          # () -> dict of start keyword arguments
        self.sklearn_k = sklearn_k    # number of Gaussian components, if comparable


def _exponential_sample(means):
    def sample(rng, n):
        parts = numpy.array_split(numpy.arange(n), len(means))
        return numpy.concatenate(
            [rng.exponential(m, len(p)) for m, p in zip(means, parts)]).reshape(-1, 1)
    return sample


def _gaussian_sample(centres, spread=1.0):
    def sample(rng, n):
        parts = numpy.array_split(numpy.arange(n), len(centres))
        return numpy.concatenate(
            [rng.normal(c, spread, (len(p), len(c))) for c, p in zip(centres, parts)])
    return sample


def _mixed_sample(exponential_means, centre, spread):
    def sample(rng, n):
        parts = numpy.array_split(numpy.arange(n), len(exponential_means) + 1)
        values = [rng.exponential(m, len(p)) for m, p in zip(exponential_means, parts)]
        values.append(rng.normal(centre, spread, len(parts[-1])))
        return numpy.concatenate(values).reshape(-1, 1)
    return sample


def _gaussian_starts(centres, variance):
    def starts():
        return {
            "init_mean": [numpy.array(c, dtype=float) + 0.5 for c in centres],
            "init_cov": [numpy.eye(len(c)) * variance for c in centres],
        }
    return starts


CENTRES_2D = [(0.0, 0.0), (5.0, 5.0), (0.0, 6.0)]
CENTRES_3D = [(0.0, 0.0, 0.0), (5.0, 5.0, 5.0)]

CASES = [
    Case("exponential k=2", "exponential_mixture", _exponential_sample([1.0, 8.0]),
         lambda: {"k": 2, "init_lambda": [0.5, 5.0]}),
    Case("exponential k=3", "exponential_mixture", _exponential_sample([1.0, 8.0, 40.0]),
         lambda: {"k": 3, "init_lambda": [0.5, 5.0, 20.0]}),
    Case("gaussian d=2 k=2", "gaussian_mixture", _gaussian_sample(CENTRES_2D[:2]),
         lambda: dict(k=2, **_gaussian_starts(CENTRES_2D[:2], 2.0)()), sklearn_k=2),
    Case("gaussian d=2 k=3", "gaussian_mixture", _gaussian_sample(CENTRES_2D),
         lambda: dict(k=3, **_gaussian_starts(CENTRES_2D, 2.0)()), sklearn_k=3),
    Case("gaussian d=3 k=2", "gaussian_mixture", _gaussian_sample(CENTRES_3D),
         lambda: dict(k=2, **_gaussian_starts(CENTRES_3D, 2.0)()), sklearn_k=2),
    Case("exp+gauss 1,1", "exponential_gaussian_mixture", _mixed_sample([2.0], 30.0, 3.0),
         lambda: {"exponential_k": 1, "gaussian_k": 1, "init_lambda": [1.0],
                  "init_mean": [numpy.array([25.0])], "init_cov": [numpy.array([[10.0]])]}),
    Case("exp+gauss 2,1", "exponential_gaussian_mixture", _mixed_sample([1.0, 8.0], 30.0, 3.0),
         lambda: {"exponential_k": 2, "gaussian_k": 1, "init_lambda": [0.5, 5.0],
                  "init_mean": [numpy.array([25.0])], "init_cov": [numpy.array([[10.0]])]}),
]


# ---- measuring -------------------------------------------------------------------

SINK = open(os.devnull, "w")


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt if resource else 0


class LineCounter:
    """Stands in for stdout during a call: counts the printed lines (a fit
    prints one per iteration)."""

    def __init__(self):
        self.count = 0

    def write(self, text):
        self.count += text.count("\n")

    def flush(self):
        pass


def timed_call(fit, X, starts, n_iter, sink=SINK):
    """(wall time, minor page faults) of one call; start values are made
    before the clock starts. n_iter None leaves n_iter and eps at their
    defaults (the call runs until it converges)."""
    kwargs = starts()
    if n_iter is not None:
        kwargs.update(n_iter=n_iter, eps=-1)
    gc.collect()
    with contextlib.redirect_stdout(sink):
        faults = minor_faults()
        begin = time.perf_counter()
        fit(X, **kwargs)
        end = time.perf_counter()
        faults = minor_faults() - faults
    return end - begin, faults


def traced_call(fit, X, starts, n_iter):
    """(tracemalloc peak in bytes, result) of one call."""
    kwargs = starts()
    gc.collect()
    tracemalloc.start()
    try:
        with contextlib.redirect_stdout(SINK):
            result = fit(X, n_iter=n_iter, eps=-1, **kwargs)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak, result


def same_values(a, b):
    """True if two fit results hold the same numbers (NaN equal to NaN)."""
    try:
        for x, y in zip(a, b):
            x = numpy.asarray(x, dtype=float)
            y = numpy.asarray(y, dtype=float)
            if x.shape != y.shape or not numpy.array_equal(x, y, equal_nan=True):
                return False
        return len(a) == len(b)
    except (TypeError, ValueError):
        return False


def sklearn_per_iteration(k, X, n_iter):
    """(seconds per EM iteration, n_iter_) of one GaussianMixture fit: the
    fit's wall time divided by the iterations it ran."""
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.mixture import GaussianMixture

    model = GaussianMixture(n_components=k, covariance_type="full", max_iter=n_iter, tol=0.0,
                            n_init=1, init_params="random", warm_start=False, random_state=0)
    gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        begin = time.perf_counter()
        model.fit(X)
        end = time.perf_counter()
    return (end - begin) / model.n_iter_, model.n_iter_


def sklearn_worker(args, cases):
    """Runs in a child process (scikit-learn brings SciPy's own OpenBLAS and
    its threads, which would disturb the timings of the main table): prints
    one tab-separated line per case and n."""
    import sklearn

    print("version\t" + sklearn.__version__, flush=True)
    for case in cases:
        if case.sklearn_k is None:
            continue
        for n in args.sizes:
            X = case.sample(numpy.random.default_rng(SEED), n)
            if n <= 10_000:
                sklearn_per_iteration(case.sklearn_k, X, args.n_iter)
            # Context only: half the repetitions of the main table, down to
            # one at n=1e6.
            runs = [sklearn_per_iteration(case.sklearn_k, X, args.n_iter)
                    for _ in range(max(1, repetitions(args.reps, n) // 2))]
            print("{}\t{}\t{!r}\t{}".format(case.label, n, statistics.median(t for t, _ in runs),
                                             min(i for _, i in runs)), flush=True)


def sklearn_context(args, results):
    """The scikit-learn figures from a child process, next to the module's."""
    command = [sys.executable, os.path.abspath(__file__), "--sklearn-worker",
               "--max-n", str(max(args.sizes)), "--reps", str(args.reps), "--n-iter", str(args.n_iter)]
    if args.only is not None:
        command += ["--only", args.only]
    done = subprocess.run(command, stdout=subprocess.PIPE, universal_newlines=True)
    if done.returncode != 0:
        out("  scikit-learn run failed (exit status {})".format(done.returncode))
        return
    widths = (17, 8, 12, 10, 14, 7)
    for line in done.stdout.splitlines():
        fields = line.split("\t")
        if fields[0] == "version":
            out("  scikit-learn {}: GaussianMixture(covariance_type='full', max_iter={}, tol=0, n_init=1, "
                "init_params='random', warm_start=False); time per iteration = fit time / n_iter_".format(
                    fields[1], args.n_iter))
            out("  " + row(("case", "n", "sklearn/it", "module/it", "module/sklearn", "n_iter_"), widths))
            out("  (sklearn: median of half as many fits as the table's repetitions, at least one)")
            continue
        label, n, seconds, n_iter_ = fields[0], int(fields[1]), float(fields[2]), fields[3]
        module = results.get((label, n), {}).get("module")
        out("  " + row((label, n, fmt_time(seconds), fmt_time(module) if module else "-",
                        "{:.3f}".format(module / seconds) if module else "-", n_iter_), widths))


def quartiles(values):
    if len(values) < 2:
        return values[0], values[0]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def repetitions(base, n):
    """Fewer repetitions for large samples: base up to n=1e4, then falling
    with sqrt(n) to a floor of 3."""
    return max(3, int(round(base * math.sqrt(min(1.0, 1e4 / n)))))


def fmt_time(seconds):
    if seconds >= 1.0:
        return "{:.3g} s".format(seconds)
    if seconds >= 1e-3:
        return "{:.3g} ms".format(seconds * 1e3)
    return "{:.3g} us".format(seconds * 1e6)


def fmt_bytes(count):
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return "{:.3g} {}".format(count / size, unit)
    return "{} B".format(count)


def row(cells, widths):
    return "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                     for i, (c, w) in enumerate(zip(cells, widths)))


def out(text=""):
    print(text, flush=True)


# ---- the comparison table -------------------------------------------------------------

HEADER = ("case", "n", "reps", "module/it", "reference/it", "ratio", "pairs: median (q1-q3)",
          "module peak", "reference peak", "same", "faults/it m/r")
WIDTHS = (17, 8, 4, 10, 12, 6, 21, 11, 14, 4, 13)


def bench_case(case, n, args):
    rng = numpy.random.default_rng(SEED)
    X = case.sample(rng, n)
    module_fit = getattr(kofa, case.fit)
    reference_fit = getattr(reference, case.fit)
    n_iter = args.n_iter
    reps = repetitions(args.reps, n)

    # Memory first, in calls of their own; they also serve as warm-up.
    module_peak, module_result = traced_call(module_fit, X, case.starts, n_iter)
    reference_peak, reference_result = traced_call(reference_fit, X, case.starts, n_iter)
    same = same_values(module_result, reference_result)
    if n <= 10_000:
        timed_call(module_fit, X, case.starts, n_iter)
        timed_call(reference_fit, X, case.starts, n_iter)

    module_times, reference_times, module_faults, reference_faults = [], [], [], []
    for _ in range(reps):
        seconds, faults = timed_call(module_fit, X, case.starts, n_iter)
        module_times.append(seconds / n_iter)
        module_faults.append(faults / n_iter)
        seconds, faults = timed_call(reference_fit, X, case.starts, n_iter)
        reference_times.append(seconds / n_iter)
        reference_faults.append(faults / n_iter)

    module_median = statistics.median(module_times)
    reference_median = statistics.median(reference_times)
    pair_ratios = [a / b for a, b in zip(module_times, reference_times)]
    q1, q3 = quartiles(pair_ratios)
    ratio = module_median / reference_median
    out(row((case.label, n, reps, fmt_time(module_median), fmt_time(reference_median),
             "{:.3f}".format(ratio),
             "{:.3f} ({:.3f}-{:.3f})".format(statistics.median(pair_ratios), q1, q3),
             fmt_bytes(module_peak),
             fmt_bytes(reference_peak), "yes" if same else "NO",
             "{:.0f}/{:.0f}".format(statistics.median(module_faults), statistics.median(reference_faults))
             if resource else "-"), WIDTHS))
    return {"module": module_median, "reference": reference_median, "ratio": ratio,
            "module_peak": module_peak, "reference_peak": reference_peak, "same": same}


def scaling_exponent(points):
    """Least-squares slope of log t against log n."""
    xs = [math.log(n) for n, _ in points]
    ys = [math.log(t) for _, t in points]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx


# ---- start-up cost ---------------------------------------------------------------------

def import_cost(reps):
    """Median wall time of fresh interpreters running `pass`, `import numpy`
    and `import numpy, kofa` (interleaved), and of `import kofa` alone
    measured inside an interpreter that has already imported numpy."""
    env = dict(os.environ)
    kofa_dir = os.path.dirname(os.path.abspath(kofa.__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        [kofa_dir] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    # Run from a directory without a kofa/ source tree in it.
    cwd = HERE

    def run(code, capture=False):
        begin = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, check=True,
                              stdout=subprocess.PIPE if capture else subprocess.DEVNULL)
        return time.perf_counter() - begin, done.stdout

    found = run("import kofa; print(kofa.__file__)", capture=True)[1].decode().strip()
    if os.path.realpath(found) != os.path.realpath(kofa.__file__):
        out("warning: the subprocesses import {} rather than {}".format(found, kofa.__file__))

    commands = {"bare": "pass", "numpy": "import numpy", "numpy+kofa": "import numpy, kofa"}
    times = {name: [] for name in commands}
    for name, code in commands.items():   # warm the file cache
        run(code)
    for _ in range(reps):
        for name, code in commands.items():
            times[name].append(run(code)[0])
    inside_code = ("import time, numpy\n"
                   "begin = time.perf_counter()\n"
                   "import kofa\n"
                   "print(time.perf_counter() - begin)\n")
    inside = [float(run(inside_code, capture=True)[1]) for _ in range(reps)]
    return {name: statistics.median(values) for name, values in times.items()}, \
        statistics.median(inside)


# ---- main -------------------------------------------------------------------------------

def blas_description():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    parts = ["{} {} ({}, {} threads)".format(info.get("internal_api"), info.get("version"),
                                             info.get("architecture"), info.get("num_threads"))
             for info in threadpool_info() if info.get("user_api") == "blas"]
    return "; ".join(parts) or "no BLAS found"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: n up to 1e4, 5 repetitions, fewer import runs")
    parser.add_argument("--max-n", type=float, default=None, help="largest sample size")
    parser.add_argument("--reps", type=int, default=None,
                        help="repetitions up to n=1e4 (fewer above; default 25, quick 5)")
    parser.add_argument("--n-iter", type=int, default=10, help="EM iterations per call (default 10)")
    parser.add_argument("--import-reps", type=int, default=None,
                        help="fresh interpreters per import measurement (default 40, quick 8)")
    parser.add_argument("--only", default=None, help="run only the cases whose label contains this")
    parser.add_argument("--no-sklearn", action="store_true", help="leave scikit-learn out")
    parser.add_argument("--sklearn-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    max_n = args.max_n if args.max_n is not None else (10_000 if args.quick else max(SIZES))
    args.sizes = [n for n in SIZES if n <= max_n]
    if args.reps is None:
        args.reps = 5 if args.quick else 25
    if args.import_reps is None:
        args.import_reps = 8 if args.quick else 40
    if args.n_iter < 1:
        parser.error("--n-iter must be at least 1")
    return args


def main():
    args = parse_arguments()
    cases = [c for c in CASES if args.only is None or args.only in c.label]
    if args.sklearn_worker:
        sklearn_worker(args, cases)
        return
    # scikit-learn is only looked for here; it runs in a child process.
    have_sklearn = False
    if args.no_sklearn:
        sklearn_note = "left out (--no-sklearn)"
    elif importlib.util.find_spec("sklearn") is None:
        sklearn_note = "not importable: skipped (python -m pip install scikit-learn)"
    else:
        have_sklearn = True
        sklearn_note = "measured in a child process after the table"

    out("kofa benchmark")
    out("  python      {} {} ({})".format(platform.python_implementation(), platform.python_version(),
                                         sys.executable))
    out("  numpy       {}".format(numpy.__version__))
    out("  BLAS        {}".format(blas_description()))
    out("  OPENBLAS_CORETYPE={!r}  cpus={}".format(os.environ.get("OPENBLAS_CORETYPE"), os.cpu_count()))
    out("  kofa        {}".format(kofa.__file__))
    out("  scikit-learn {}".format(sklearn_note))
    out("  {} iterations per call, eps=-1; sizes {}; repetitions {} up to n=1e4".format(
        args.n_iter, ", ".join("{:g}".format(n) for n in args.sizes), args.reps))
    out()

    started = time.perf_counter()
    # The first call of a fit in a process pays for one-time work inside
    # NumPy (lazy imports among it); keep that out of every measurement.
    warm = numpy.random.default_rng(SEED)
    for case in cases:
        X = case.sample(warm, 100)
        timed_call(getattr(kofa, case.fit), X, case.starts, 2)
        timed_call(getattr(reference, case.fit), X, case.starts, 2)
    results = {}
    out(row(HEADER, WIDTHS))
    for case in cases:
        for n in args.sizes:
            results[case.label, n] = bench_case(case, n, args)
        out()

    out("Scaling exponent of the time per iteration, n=1000 to {:g} (t ~ n^b)".format(max(args.sizes)))
    scaled = [n for n in args.sizes if n >= 1000]
    if len(scaled) >= 2:
        for case in cases:
            bs = []
            for who in ("module", "reference"):
                bs.append(scaling_exponent([(n, results[case.label, n][who]) for n in scaled]))
            out("  {:17}  module b={:.3f}  reference b={:.3f}".format(case.label, *bs))
    else:
        out("  needs at least two sizes from n=1000 on")
    out()

    out("Worst module/reference ratio of medians per n")
    for n in args.sizes:
        label, r = max(((c.label, results[c.label, n]["ratio"]) for c in cases), key=lambda p: p[1])
        best = min(results[c.label, n]["ratio"] for c in cases)
        out("  n={:<8g} worst {:.3f} ({}), best {:.3f}".format(n, r, label, best))
    differing = [key for key, value in results.items() if not value["same"]]
    if differing:
        out("  results differ from the reference for: " +
            ", ".join("{} n={}".format(label, n) for label, n in differing))
    out()

    out("Start-up: fresh interpreters, median of {} runs each".format(args.import_reps))
    medians, inside = import_cost(args.import_reps)
    out("  python -c pass                 {}".format(fmt_time(medians["bare"])))
    out("  python -c 'import numpy'       {}".format(fmt_time(medians["numpy"])))
    out("  python -c 'import numpy, kofa' {}".format(fmt_time(medians["numpy+kofa"])))
    out("  ratio (numpy+kofa)/numpy       {:.3f}".format(medians["numpy+kofa"] / medians["numpy"]))
    out("  import kofa after numpy, timed in-process: {}".format(fmt_time(inside)))
    out()

    out("Context: scikit-learn GaussianMixture on the Gaussian cases' data")
    if have_sklearn:
        sklearn_context(args, results)
    else:
        out("  " + sklearn_note)
    out()
    out("Total benchmark time {:.0f} s".format(time.perf_counter() - started))


if __name__ == "__main__":
    main()

"""Throughput of kofa's fits in two threads against one thread.

    python bench/threads.py                      # print this interpreter's table
    python bench/threads.py --json FILE          # ... and keep it for --report
    python bench/threads.py --report FILE...     # the kept tables side by side
    python bench/threads.py --fits exp+gauss --sizes 100000 --repetitions 9  # one fit, one size

For each sample size n (going up and back down: 1e5, 1e6, 1e5) and each fit,
two independent samples are fitted twice over: once one after the other on
one thread, once at the same time on two threads; the throughput ratio is
the serial time over the threaded time (2.0 when two cores do twice the work
in the same time; about 1.0 under the GIL). The plain-Python rendering of the
same fits (tests/reference.py) runs the same way beside kofa. The two orders,
serial first and threads first, alternate between repetitions, and the
medians are printed.

OpenBLAS (and the other BLAS NumPy may use) is held to one thread, set below
before NumPy is imported, so that the two fitting threads are the only ones
computing. `make bench-threads` runs it on the free-threaded CPython (GIL
off, then forced on with PYTHON_GIL=1) and on the release build of the same
version, and prints the three side by side.
"""

import argparse
import contextlib
import json
import os
import platform
import resource
import statistics
import sys
import sysconfig
import threading
import time

# Before NumPy is imported (in the functions below, so that --report needs
# no NumPy).
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

SIZES = (100_000, 1_000_000, 100_000)
ITERATIONS = 5  # per fit, eps=-1 so that every run does exactly these


def _cases():
    """(label, fit name, sample maker, start-keywords maker) of each fit."""
    import numpy

    def exponential(rng, n):
        return numpy.concatenate([rng.exponential(1.0, n // 2), rng.exponential(8.0, n - n // 2)]).reshape(-1, 1)

    def gaussian(rng, n):
        X = rng.normal(0.0, 1.0, (n, 2))
        X[: n // 2] += 5.0
        return X

    def mixed(rng, n):
        return numpy.concatenate([rng.exponential(2.0, n // 2), rng.normal(10.0, 1.0, n - n // 2)]).reshape(-1, 1)

    return [
        ("exponential k=2", "exponential_mixture", exponential,
         lambda: {"k": 2, "init_lambda": [0.5, 5.0]}),
        ("gaussian d=2 k=2", "gaussian_mixture", gaussian,
         lambda: {"k": 2, "init_mean": [[0.5, 0.5], [4.5, 4.5]], "init_cov": [numpy.eye(2), numpy.eye(2)]}),
        ("exp+gauss 1+1", "exponential_gaussian_mixture", mixed,
         lambda: {"exponential_k": 1, "gaussian_k": 1, "init_lambda": [1.0], "init_mean": [[9.0]],
                  "init_cov": [numpy.eye(1) * 4.0]}),
    ]


def _minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def _time_serial(run, samples):
    """(seconds, minor page faults of the process) of the fits one after the other."""
    faults = _minor_faults()
    start = time.perf_counter()
    for X in samples:
        run(X)
    return time.perf_counter() - start, _minor_faults() - faults


def _time_threaded(run, samples):
    barrier = threading.Barrier(len(samples) + 1)
    errors = []

    def work(X):
        barrier.wait()
        try:
            run(X)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(X,)) for X in samples]
    for thread in threads:
        thread.start()
    faults = _minor_faults()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    faults = _minor_faults() - faults
    if errors:
        raise errors[0]
    return elapsed, faults


def measure(repetitions, sizes=SIZES, fits=None):
    import numpy

    import kofa
    import reference

    rows = []
    rng = numpy.random.default_rng(20261207)
    for n in sizes:
        for label, name, make_sample, starts in _cases():
            if fits and not any(label.startswith(wanted) for wanted in fits):
                continue
            samples = [make_sample(rng, n), make_sample(rng, n)]
            for side, module in (("kofa", kofa), ("rendering", reference)):
                fit = getattr(module, name)

                def run(X, fit=fit, starts=starts):
                    fit(X, n_iter=ITERATIONS, eps=-1.0, **starts())

                serial, threaded = [], []
                for repetition in range(repetitions):
                    order = (_time_serial, _time_threaded) if repetition % 2 == 0 else (_time_threaded, _time_serial)
                    for timer in order:
                        (serial if timer is _time_serial else threaded).append(timer(run, samples))
                rows.append({"n": n, "fit": label, "side": side,
                             "serial": statistics.median(t for t, _ in serial),
                             "threaded": statistics.median(t for t, _ in threaded),
                             "serial_faults": statistics.median(f for _, f in serial),
                             "threaded_faults": statistics.median(f for _, f in threaded)})
    return rows


def _interpreter():
    import numpy

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default"
    return "CPython {} {} build, GIL {}, NumPy {}".format(
        platform.python_version(), build, "on" if gil else "off", numpy.__version__)


def report(tables):
    """Prints the tables side by side: one row per (n, fit, side), one group of
    columns per interpreter."""
    for index, table in enumerate(tables):
        print("[{}] {}".format(index + 1, table["interpreter"]))
    print("load average at the end of each: " + ", ".join(
        "[{}] {}".format(i + 1, t.get("load", "?")) for i, t in enumerate(tables)))
    print("seconds for two fits of {} iterations each, one thread after the other (1x) and on two "
          "threads at once (2x); ratio = 1x / 2x; minor page faults of the process during each "
          "(median; tables kept before the counts were added show -)".format(ITERATIONS))
    header = "{:>9}  {:<17} {:<10}".format("n", "fit", "side") + "".join(
        "  [{}] {:>7} {:>7} {:>5} {:>8} {:>8}".format(i + 1, "1x s", "2x s", "ratio", "1x flt", "2x flt")
        for i in range(len(tables)))
    print(header)
    print("-" * len(header))
    for position, row in enumerate(tables[0]["rows"]):
        line = "{:>9,}  {:<17} {:<10}".format(row["n"], row["fit"], row["side"])
        for table in tables:
            other = table["rows"][position]
            line += "      {:7.3f} {:7.3f} {:5.2f} {:>8} {:>8}".format(
                other["serial"], other["threaded"], other["serial"] / other["threaded"],
                *("{:.0f}".format(other[key]) if key in other else "-" for key in ("serial_faults", "threaded_faults")))
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES), help="sample sizes, in this order")
    parser.add_argument("--fits", nargs="+", metavar="FIT",
                        help="only these fits (exponential, gaussian, exp+gauss)")
    parser.add_argument("--json", help="also write this interpreter's table to FILE")
    parser.add_argument("--report", nargs="+", metavar="FILE", help="print kept tables side by side")
    args = parser.parse_args()
    if args.report:
        tables = []
        for path in args.report:
            with open(path) as stream:
                tables.append(json.load(stream))
        report(tables)
        return
    with contextlib.redirect_stdout(open(os.devnull, "w")):  # the fits' progress lines
        rows = measure(args.repetitions, args.sizes, args.fits)
    table = {"interpreter": _interpreter(), "rows": rows,
             "load": " ".join(open("/proc/loadavg").read().split()[:3]) if os.path.exists("/proc/loadavg") else "?"}
    report([table])
    if args.json:
        with open(args.json, "w") as stream:
            json.dump(table, stream)


if __name__ == "__main__":
    main()

"""Where the instructions of one EM iteration go: kofa's own code, NumPy,
libpython and the rest, counted by valgrind's callgrind.

    python bench/callgrind.py                    # exponential fit, n=1000
    python bench/callgrind.py --fit gaussian --n 10000
    PYTHONPATH=build-dev python3 bench/callgrind.py   # after `make dev`

A small driver process makes a sample and runs one fit with a fixed number of
iterations and eps=-1.  It runs twice under callgrind, with --iters A and B
iterations (10 and 40 by default); the difference of the two profiles,
divided by B - A, is the cost of one iteration, free of interpreter start-up,
imports, argument binding and everything else that a call does only once.
The same is done for the plain-Python rendering in tests/reference.py
(--no-reference leaves it out), for comparison.

The profiles are read from callgrind's output files (callgrind_annotate cannot
subtract one profile from another); --annotate also prints callgrind_annotate's
own listing of the kofa object's functions for the longer run, as a cross-check.
Functions are attributed to the shared object that holds their code.  Names of
kofa's functions need a build with a symbol table (`make dev` keeps it; an
installed wheel may be stripped, and then only the object totals mean much).

The driver runs with PYTHONHASHSEED=0 and OPENBLAS_NUM_THREADS=1: valgrind
runs threads one at a time, and idle BLAS threads would add spin-wait
instructions that have nothing to do with the fit.

Needs valgrind (Debian: apt-get update && apt-get install -y valgrind).
"""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TESTS = os.path.join(ROOT, "tests")

DRIVER = r'''
import os, sys
import numpy

which, fit_name, n, n_iter = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
if which == "module":
    import kofa as fits
else:
    import reference as fits

rng = numpy.random.default_rng(20240607)
half = n // 2
if fit_name == "exponential":
    X = numpy.concatenate([rng.exponential(1.0, half), rng.exponential(8.0, n - half)]).reshape(-1, 1)
    call = lambda: fits.exponential_mixture(X, k=2, init_lambda=[0.5, 5.0], n_iter=n_iter, eps=-1)
elif fit_name == "gaussian":
    X = numpy.concatenate([rng.normal(0.0, 1.0, (half, 2)), rng.normal(5.0, 1.0, (n - half, 2))])
    call = lambda: fits.gaussian_mixture(
        X, k=2, init_mean=[numpy.array([0.5, 0.5]), numpy.array([5.5, 5.5])],
        init_cov=[numpy.eye(2) * 2.0, numpy.eye(2) * 2.0], n_iter=n_iter, eps=-1)
else:
    X = numpy.concatenate([rng.exponential(2.0, half), rng.normal(30.0, 3.0, n - half)]).reshape(-1, 1)
    call = lambda: fits.exponential_gaussian_mixture(
        X, exponential_k=1, gaussian_k=1, init_lambda=[1.0], init_mean=[numpy.array([25.0])],
        init_cov=[numpy.array([[10.0]])], n_iter=n_iter, eps=-1)

sys.stdout = open(os.devnull, "w")
call()
'''


# ---- reading callgrind output -------------------------------------------------------

class Profile:
    """Self and inclusive instruction counts per (object, function) of one
    callgrind output file."""

    def __init__(self):
        self.self_cost = collections.Counter()
        self.call_cost = collections.Counter()   # cost of the calls each function makes

    def inclusive(self, key):
        return self.self_cost[key] + self.call_cost[key]

    def by_object(self):
        totals = collections.Counter()
        for (obj, _), cost in self.self_cost.items():
            totals[obj] += cost
        return totals

    def total(self):
        return sum(self.self_cost.values())


_NAME_LINE = re.compile(r"^(ob|fl|fi|fe|fn|cob|cfi|cfl|cfn)=(?:\((\d+)\))?\s*(.*)$")
_RECURSION = re.compile(r"'\d+$")


def read_profile(path):
    """Parses callgrind's format (name compression, `calls=` lines followed by
    the inclusive cost of the call); only the first event (Ir) is used."""
    profile = Profile()
    names = {"ob": {}, "fl": {}, "fn": {}}
    space = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl", "cfl": "fl",
             "fn": "fn", "cfn": "fn"}
    obj, fn = "???", "???"
    after_calls = False
    with open(path, errors="replace") as lines:
        for line in lines:
            if not line or line[0] in "#\n":
                continue
            first = line[0]
            if first.isdigit() or first in "+-*":
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                key = (obj, fn)
                if after_calls:
                    profile.call_cost[key] += cost
                    after_calls = False
                else:
                    profile.self_cost[key] += cost
                continue
            if line.startswith("calls="):
                after_calls = True
                continue
            match = _NAME_LINE.match(line.rstrip("\n"))
            if not match:
                continue   # header lines, jump lines, totals
            kind, number, name = match.groups()
            table = names[space[kind]]
            if number is not None:
                if name:
                    table[number] = name
                name = table.get(number, "???")
            if kind == "ob":
                obj = name
            elif kind == "fn":
                fn = _RECURSION.sub("", name)
    return profile


def difference(long, short, iterations):
    """Per-iteration profile: (long - short) / iterations."""
    result = Profile()
    for field in ("self_cost", "call_cost"):
        minuend, subtrahend = getattr(long, field), getattr(short, field)
        target = getattr(result, field)
        for key in set(minuend) | set(subtrahend):
            target[key] = (minuend[key] - subtrahend[key]) / iterations
    return result


# ---- attributing objects ---------------------------------------------------------------

def category(obj, kofa_path, python_exe):
    name = os.path.basename(obj)
    real = os.path.realpath(obj) if os.path.isabs(obj) else obj
    if real == kofa_path:
        return "kofa"
    if "/numpy.libs/" in obj or "openblas" in name:
        return "NumPy's OpenBLAS"
    if "/numpy/" in obj:
        return "NumPy"
    if name.startswith("libpython") or real == python_exe:
        return "libpython"
    if name.startswith("libm.") or name.startswith("libm-"):
        return "libm"
    if name.startswith("libc.") or name.startswith("libc-"):
        return "libc"
    if name.startswith("ld-linux"):
        return "ld.so"
    return "other"


CATEGORIES = ("kofa", "NumPy", "NumPy's OpenBLAS", "libpython", "libm", "libc", "ld.so", "other")


# ---- running ---------------------------------------------------------------------------

def run_callgrind(workdir, env, which, fit, n, n_iter, output):
    command = ["valgrind", "--tool=callgrind", "--dump-instr=no", "--collect-jumps=no",
               "--callgrind-out-file=" + output, sys.executable, "driver.py", which, fit, str(n),
               str(n_iter)]
    done = subprocess.run(command, cwd=workdir, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, universal_newlines=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        sys.exit("callgrind run failed: " + " ".join(command))
    return read_profile(output)


def per_iteration(workdir, env, which, args):
    short_iters, long_iters = args.iters
    print("  {}: {} and {} iterations under callgrind ...".format(which, short_iters, long_iters),
          flush=True)
    outputs = [os.path.join(workdir, "callgrind.{}.{}.out".format(which, i)) for i in args.iters]
    short = run_callgrind(workdir, env, which, args.fit, args.n, short_iters, outputs[0])
    long = run_callgrind(workdir, env, which, args.fit, args.n, long_iters, outputs[1])
    return difference(long, short, long_iters - short_iters), outputs[1]


def pct(part, whole):
    return 100.0 * part / whole if whole else float("nan")


def report_objects(title, profile, kofa_path, python_exe):
    total = profile.total()
    shares = collections.Counter()
    for obj, cost in profile.by_object().items():
        shares[category(obj, kofa_path, python_exe)] += cost
    print(title)
    print("  {:18} {:>14} {:>8}".format("object", "Ir/iteration", "share"))
    for name in CATEGORIES:
        if name in shares:
            print("  {:18} {:>14,.0f} {:>7.3f}%".format(name, shares[name], pct(shares[name], total)))
    print("  {:18} {:>14,.0f}".format("total", total))
    return total, shares


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fit", choices=("exponential", "gaussian", "exponential_gaussian"),
                        default="exponential", help="which fit the driver runs (default exponential, k=2)")
    parser.add_argument("--n", type=int, default=1000, help="sample size (default 1000)")
    parser.add_argument("--iters", type=int, nargs=2, default=(10, 40), metavar=("A", "B"),
                        help="iteration counts of the two runs (default 10 40)")
    parser.add_argument("--top", type=int, default=12, help="kofa functions listed (default 12)")
    parser.add_argument("--no-reference", action="store_true", help="leave tests/reference.py out")
    parser.add_argument("--annotate", action="store_true",
                        help="also print callgrind_annotate's listing of kofa's functions (longer run)")
    parser.add_argument("--keep", metavar="DIR", help="keep the callgrind output files in DIR")
    args = parser.parse_args()
    if args.iters[1] <= args.iters[0]:
        parser.error("--iters: B must be larger than A")
    if shutil.which("valgrind") is None:
        sys.exit("valgrind not found: apt-get update && apt-get install -y valgrind")

    sys.path.insert(0, TESTS)   # not the repository root: its kofa/ holds C++ sources
    try:
        import kofa
    except ImportError as exc:
        sys.exit("cannot import kofa ({}): install it or build it with 'make dev' and run "
                 "with PYTHONPATH=build-dev".format(exc))
    kofa_path = os.path.realpath(getattr(kofa, "__file__", None) or "")
    if not kofa_path.endswith(".so"):
        sys.exit("'kofa' is not the compiled extension module ({!r})".format(kofa_path))
    python_exe = os.path.realpath(sys.executable)

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(kofa_path), TESTS] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    env["PYTHONHASHSEED"] = "0"
    env["OPENBLAS_NUM_THREADS"] = "1"

    workdir = args.keep or tempfile.mkdtemp(prefix="kofa-callgrind-")
    os.makedirs(workdir, exist_ok=True)
    with open(os.path.join(workdir, "driver.py"), "w") as driver:
        driver.write(DRIVER)

    print("callgrind: {} fit, n={}, per iteration = (run of {} - run of {}) / {}".format(
        args.fit, args.n, args.iters[1], args.iters[0], args.iters[1] - args.iters[0]))
    print("  kofa   {}".format(kofa_path))
    print("  python {}".format(python_exe))
    module, module_long = per_iteration(workdir, env, "module", args)
    reference = None
    if not args.no_reference:
        reference, _ = per_iteration(workdir, env, "reference", args)
    print()

    total, shares = report_objects("kofa, instructions of one iteration by object", module,
                                   kofa_path, python_exe)
    print("  module's own code: {:.3f}% of the iteration's instructions".format(
        pct(shares["kofa"], total)))
    print()

    kofa_functions = [(key, cost) for key, cost in module.self_cost.items()
                      if os.path.realpath(key[0]) == kofa_path and abs(cost) >= 0.5]
    kofa_functions.sort(key=lambda item: -item[1])
    print("kofa's functions by self cost (Ir/iteration; inclusive = with what they call)")
    print("  {:>9} {:>7} {:>12}  {}".format("self", "share", "inclusive", "function"))
    for key, cost in kofa_functions[:args.top]:
        print("  {:>9,.0f} {:>6.3f}% {:>12,.0f}  {}".format(
            cost, pct(cost, total), module.inclusive(key), key[1]))
    if not kofa_functions:
        print("  none found (stripped build?)")
    print()

    # Inclusive cost of the fit's steps (what each step costs with the NumPy
    # and interpreter work it sets off). Steps nest, so the shares overlap.
    steps = sorted(kofa_functions, key=lambda item: -module.inclusive(item[0]))
    print("kofa's functions by inclusive cost (Ir/iteration, with everything they call)")
    print("  {:>12} {:>8}  {}".format("inclusive", "share", "function"))
    for key, _ in steps[:args.top]:
        print("  {:>12,.0f} {:>7.2f}%  {}".format(module.inclusive(key), pct(module.inclusive(key), total),
                                                 key[1]))
    print()

    if reference is not None:
        ref_total, ref_shares = report_objects("reference, instructions of one iteration by object",
                                               reference, kofa_path, python_exe)
        print()
        print("module/reference instructions per iteration: {:,.0f} / {:,.0f} = {:.3f}".format(
            total, ref_total, total / ref_total))
        for name in CATEGORIES:
            if shares.get(name) or ref_shares.get(name):
                print("  {:18} {:>+14,.0f} Ir/iteration (module - reference)".format(
                    name, shares.get(name, 0) - ref_shares.get(name, 0)))
        print()

        differences = collections.Counter()
        for key in set(module.self_cost) | set(reference.self_cost):
            differences[key[1]] += module.self_cost.get(key, 0) - reference.self_cost.get(key, 0)
        print("Largest differences by function, module - reference (Ir/iteration)")
        for name, cost in sorted(differences.items(), key=lambda item: abs(item[1]), reverse=True)[:12]:
            print("  {:>+12,.0f}  {}".format(cost, name))
        print()

    if args.annotate:
        if shutil.which("callgrind_annotate") is None:
            print("callgrind_annotate not found")
        else:
            listing = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100",
                                      module_long], stdout=subprocess.PIPE,
                                     universal_newlines=True).stdout
            print("callgrind_annotate, longer module run (whole run, not per iteration), kofa object:")
            for line in listing.splitlines():
                if kofa_path in line:
                    print("  " + line.replace(" [" + kofa_path + "]", ""))
            print()

    if args.keep:
        print("callgrind output kept in {} (callgrind_annotate FILE to inspect)".format(workdir))
    else:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()

"""The kofa fits against their plain-Python rendering in several heap histories.

    PYTHONPATH=build-dev python3 bench/heap.py              # full run (about 10 minutes)
    PYTHONPATH=build-dev python3 bench/heap.py --quick      # smoke run: n up to 1e4, few pairs
    PYTHONPATH=build-dev python3 bench/heap.py --strace     # also brk/mmap/munmap/madvise counts
    PYTHONPATH=build-dev python3 bench/heap.py --pairs 3 --sizes 100000,1000000 \
        --fits gaussian --histories fresh,repeated            # fault counts of a few cases, quickly
    make bench ARGS="--heap --markdown"                     # through nox, with a Markdown table
    PYTHONPATH=build-dev python3 bench/heap.py --against-itself  # the rendering on both sides
    PYTHONPATH=build-dev python3 bench/heap.py --solo --sizes 10000,100000,1000000  # each side alone
    PYTHONPATH=build-dev python3 bench/heap.py --iterations 10 --histories mixed,mixed-back
    PYTHONPATH=build-dev python3 bench/heap.py --histories in-turn,in-turn-back \
        --sizes 1000,10000,100000 --processes 5 --converge  # one fit after another, calls as users make them
    PYTHONPATH=build-dev python3 bench/heap.py --random-histories 20 --seed 1 --issue-cases \
        --save blocks.jsonl                                 # random histories (below)
    python3 bench/heap.py --report a.jsonl b.jsonl          # their table again, pooled from saved runs
    PYTHONPATH=build-dev python3 bench/heap.py --peak-rss   # peak resident growth of a call at n = 1e6

On the three interpreters the figures are kept for, a dev build per
interpreter run from a venv with that NumPy:

    python3.8 -m venv venv38 && venv38/bin/pip install numpy==1.24.4   # the design cell
    make dev PYTHON=venv38/bin/python DEV_DIR=build-dev38
    PYTHONPATH=build-dev38 venv38/bin/python bench/heap.py
    # likewise 3.11 with numpy==2.4.6 and 3.13 with numpy==2.5.5

or through nox, which builds the wheel and pins NumPy per cell (noxfile.py,
BENCH_CELLS):

    make bench ARGS="--heap"                     # all three cells, one after the other
    make bench NOXFLAGS="-p 3.8" ARGS="--heap"   # the design cell only (-p 3.11, -p 3.13)

glibc gives memory back to the system (trimming the top of the heap, unmapping
large blocks) and takes it again, depending on the order in which blocks are
made and freed and on what the process did before; a page taken again costs a
minor page fault.  So the time of a fit depends on the state of the heap that
it starts in, and module and rendering (tests/reference.py) must be compared
in several such states.  Each history below runs in processes of its own:

    fresh      a new process per fit and n: the measured pairs follow only a
               warm-up at n=100 (one-time work inside NumPy)
    larger     one process per fit, sizes from the largest down: each n is
               measured after the larger sizes have run
    smaller    the same from the smallest size up
    new-data   one process per fit, sizes up: a new sample (new arrays of the
               same values) is made before every pair
    repeated   a process per fit and n: a block of pairs runs unmeasured,
               the next block is measured (the same data, the same process)
    mixed      one process for all the fits: at each n, from the smallest
               up, every fit has its block in turn, on a new sample per block,
               so a fit starts from the heap the other fits left
    mixed-back the same process after the largest n, the sizes back down
    in-turn    one process for all the fits, one fit after the other: each
               fit runs its sizes from the smallest up, three blocks per n,
               each block on a new sample and of 7 calls (3 from n=1e5 on)
               alternating module and rendering
    in-turn-back  the same fit in the same process after its largest n, the
               sizes back down; the next fit then starts from the heap
               that this one left

In each, the calls come in pairs, module then rendering, and every other
pair rendering then module, so that neither side always follows the other
or a new sample; fixed starts and eps=-1, so both do exactly the same
iterations.  Every history runs in --processes processes (3 by default) and
their pairs are pooled: where glibc places the heap differs from process to
process (address-space randomisation), and with it which pages an array
spans, so one process's fault counts can be 15% off another's.

--iterations sets the iterations per call at every n (by default fewer at
larger n, see PLAN); the fault counts depend on it, since the data that a fit
selects per iteration, and with it the sizes of some arrays, change from one
iteration to the next.

The table gives, per fit, n and history: the median of the ratios of the
pairs (module/rendering time per iteration; each pair is measured under the
same conditions, so a machine whose speed drifts affects this least), the
ratio of the median times, and the median minor page faults per iteration
of each side (resource.getrusage).  Timings depend on the load of the
machine; the fault counts do not.  After the table, per fit, the worst of both
ratios and the largest fault excess over all sizes and histories (the worst
figure, not the best, is the one to quote), the tracemalloc peaks of
one untimed call of each side (in the fresh processes), and with --strace
the brk/mmap/munmap/madvise calls per iteration of each side (strace,
counted between two marker calls after a block of pairs, n up to 1e5; a
diagnostic: strace slows every system call).  --against-itself puts the
rendering on both sides: its ratios show how far from 1 the measurement
alone scatters on this machine.

--random-histories N draws N histories instead of running the fixed ones:
history h runs in a process of its own, from seed S + h (--seed S, drawn
and printed when not given), and is a sequence of --blocks blocks.  Each
block draws a fit, its components (k = 1-4 for the exponential and the
Gaussian fit, 1-3 of each kind for exp+gauss), the dimension (1-3; 1 for
the exponential fit) and n (log-uniform, 1e3 to 1e6), makes a new sample
and start values near its parameters, and calls the two sides in turn (24,
12 or 6 calls of 5, 4 or 2 iterations below 1e4, 1e5 and above), the side
that goes first alternating from block to block and from history to
history.  --issue-cases adds, in --processes processes each, the issue's
fresh-process call (exp+gauss 1+1, n = 1e5) and its one-process sequence of
exp+gauss shapes (1-2 of each kind, d 1 or 2, n = 3e4 then 1e5), both with
the issue's call (positional arguments, 30 iterations, eps 0.0), 4 calls
per block.  The table gives per fit and decade of n: the median of the
per-call time ratios (each call against the other side's next to it), the
worst block (ratio of its median times) and where it was, the worst of the
blocks whose calls return ("no raise"; a call that raises pays the C++
unwinding of the module's failure path, which no history changes), the
median faults per call of each side, and the share of blocks whose module
faults per call (median of the block) are at most the rendering's plus 500.

--solo runs each side in processes of its own, with the same history and
samples, the way a user's process holds only one of them: interleaved, each
call starts from the heap that the other side's call left, and a side that
leaves a tidy heap helps the other's fault counts.  Each module call is then
paired with the rendering's call at the same place in the other process;
the times then come from different processes and scatter far more (a
process's speed depends on where it was placed), so --solo is for the
fault counts.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench  # noqa: E402  (cases, timed and traced calls; imports kofa and reference)

kofa = bench.kofa
reference = bench.reference

FITS = {  # one case per fit
    "exponential": "exponential k=2",
    "gaussian": "gaussian d=2 k=2",
    "exp+gauss": "exp+gauss 2,1",
}
SIZES = (1000, 10_000, 100_000, 1_000_000)
HISTORIES = ("fresh", "larger", "smaller", "new-data", "repeated", "mixed", "mixed-back",
             "in-turn", "in-turn-back")
MIXED = ("mixed", "mixed-back")  # one worker per process makes both
IN_TURN = ("in-turn", "in-turn-back")  # likewise
IN_TURN_BLOCKS = 3  # blocks per n, each on a new sample
IN_TURN_CALLS = {1000: 7, 10_000: 7, 100_000: 3, 1_000_000: 3}  # per block, sides alternating
# (iterations per call, pairs per block) by n: about the same time at every n.
# At n = 1e3 an iteration is a third of a millisecond and the two sides differ
# by about 1%: more iterations and pairs keep the medians steady there.
PLAN = {1000: (20, 40), 10_000: (10, 30), 100_000: (4, 12), 1_000_000: (2, 8)}
QUICK_PLAN = {1000: (5, 5), 10_000: (5, 3)}
RANDOM_HISTORIES = ("random", "issue-fresh", "issue-shapes")  # blocks of their own (see blocks_of)
STRACE_MAX_N = 100_000  # strace slows the large sizes down too much


def case_of(fit):
    return next(c for c in bench.CASES if c.label == FITS[fit])


def sample(fit, n, seed=bench.SEED):
    return case_of(fit).sample(numpy.random.default_rng(seed), n)


# ---- worker: runs in a process of its own ------------------------------------------

def warm_up(fit):
    case = case_of(fit)
    X = sample(fit, 100)
    for side in (kofa, reference):
        bench.timed_call(getattr(side, case.fit), X, case.starts, 2)


def sides_of(case):
    """("m", module fit) and ("r", rendering fit); with --against-itself the
    rendering stands on both."""
    reference_fit = getattr(reference, case.fit)
    module_fit = reference_fit if AGAINST_ITSELF else getattr(kofa, case.fit)
    return (("m", module_fit), ("r", reference_fit))


def measured_side(name):
    """Whether this process measures the side `name` (--only measures one)."""
    return not ONLY or name == ONLY[0]


def pairs(fit, X, n_iter, count, make_data=None):
    """count interleaved pairs (module call, rendering call); per iteration
    times and faults of each side."""
    case = case_of(fit)
    sides = tuple(side for side in sides_of(case) if measured_side(side[0]))
    result = {"mt": [], "rt": [], "mf": [], "rf": []}
    for rep in range(count):
        if make_data is not None:
            X = make_data(rep)
        # Every other pair the rendering goes first, so that neither side
        # always inherits the heap that the other (or a new sample) left.
        for name, fit_ in sides if rep % 2 == 0 else sides[::-1]:
            seconds, faults = measured_call(fit_, X, case.starts, n_iter)
            result[name + "t"].append(seconds)
            result[name + "f"].append(faults)
    return result


def measured_call(fit_, X, starts, n_iter):
    """(seconds, faults) per iteration of one call; with --converge the call
    runs with the default n_iter and eps, and its printed lines tell how many
    iterations it made."""
    if not CONVERGE:
        seconds, faults = bench.timed_call(fit_, X, starts, n_iter)
        return seconds / n_iter, faults / n_iter
    lines = bench.LineCounter()
    seconds, faults = bench.timed_call(fit_, X, starts, None, sink=lines)
    iterations = max(lines.count, 1)
    return seconds / iterations, faults / iterations


def emit(record):
    print(json.dumps(record), flush=True)


def plan_of(args):
    plan = QUICK_PLAN if args.quick else PLAN
    if args.pairs:
        plan = {n: (n_iter, args.pairs) for n, (n_iter, _) in plan.items()}
    if args.iterations:
        plan = {n: (args.iterations, count) for n, (_, count) in plan.items()}
    return plan


AGAINST_ITSELF = False
MARK_CALLS = False  # marker system calls around every in-turn call, for strace
CONVERGE = False  # calls as users make them: n_iter and eps left at their defaults
ONLY = None  # "module" or "reference": that side alone (--solo)


def worker(args):
    global AGAINST_ITSELF, CONVERGE, MARK_CALLS, ONLY
    AGAINST_ITSELF, CONVERGE, MARK_CALLS, ONLY = args.against_itself, args.converge, args.mark_calls, args.only
    fit, history, plan = args.fit, args.history, plan_of(args)
    if history in RANDOM_HISTORIES:
        run_blocks(history, args.seed, args.blocks, args.first)
        return
    if history == "peak-rss":
        peak_rss(fit, int(args.sizes), args.only)
        return
    sizes = [int(n) for n in args.sizes.split(",")]
    if history == "mixed":
        mixed(fit.split(","), sizes, plan)
        return
    if history == "in-turn":
        in_turn(fit.split(","), sizes, plan)
        return
    warm_up(fit)
    if history in ("fresh", "repeated"):
        (n,) = sizes
        n_iter, count = plan[n]
        X = sample(fit, n)
        if history == "repeated":
            pairs(fit, X, n_iter, max(2, count // 2))
        emit(dict(fit=fit, history=history, n=n, **pairs(fit, X, n_iter, count)))
        if history == "fresh" and args.peaks:
            case = case_of(fit)
            peaks = {}
            for name, side in (("module", kofa), ("reference", reference)):
                peaks[name], peaks[name + "_result"] = bench.traced_call(
                    getattr(side, case.fit), X, case.starts, 2)
            emit(dict(fit=fit, history="peak", n=n, module=peaks["module"], reference=peaks["reference"],
                      same=bench.same_values(peaks["module_result"], peaks["reference_result"])))
    elif history in ("larger", "smaller"):
        data = {n: sample(fit, n) for n in sizes}
        for n in sorted(sizes, reverse=history == "larger"):
            n_iter, count = plan[n]
            emit(dict(fit=fit, history=history, n=n, **pairs(fit, data[n], n_iter, count)))
    elif history == "new-data":
        for n in sorted(sizes):
            n_iter, count = plan[n]
            emit(dict(fit=fit, history=history, n=n,
                      **pairs(fit, None, n_iter, count, lambda rep, n=n: sample(fit, n, bench.SEED + rep))))
    elif history == "strace":
        # A block of pairs, then one side's calls between two markers that
        # the caller finds in strace's output.
        (n,) = sizes
        n_iter, count = plan[n]
        X = sample(fit, n)
        pairs(fit, X, n_iter, count)
        case = case_of(fit)
        side = getattr(kofa if args.side == "module" else reference, case.fit)
        os.access(MARK + "-begin", os.F_OK)
        for _ in range(count):
            bench.timed_call(side, X, case.starts, n_iter)
        os.access(MARK + "-end", os.F_OK)
    else:
        raise SystemExit("unknown history " + history)


def mixed(fits, sizes, plan):
    """The fits side by side in one process, sizes up and back down, a new
    sample for every block."""
    for fit in fits:
        warm_up(fit)
    up = sorted(sizes)
    for block, (n, history) in enumerate([(n, "mixed") for n in up] + [(n, "mixed-back") for n in up[-2::-1]]):
        n_iter, count = plan[n]
        for fit in fits:
            X = sample(fit, n, bench.SEED + block)
            emit(dict(fit=fit, history=history, n=n, **pairs(fit, X, n_iter, count)))


def in_turn(fits, sizes, plan):
    """The fits one after the other in one process, each from the smallest n
    up and back down; blocks of 7 or 3 calls, a new sample for every block."""
    for fit in fits:
        warm_up(fit)
    up = sorted(sizes)
    path = [(n, "in-turn") for n in up] + [(n, "in-turn-back") for n in up[-2::-1]]
    for fit in fits:
        for step, (n, history) in enumerate(path):
            n_iter, _ = plan[n]
            calls = IN_TURN_CALLS[n]
            for block in range(IN_TURN_BLOCKS):
                X = sample(fit, n, bench.SEED + 100 * step + block)
                emit(dict(fit=fit, history=history, n=n, block=step * IN_TURN_BLOCKS + block,
                          **alternating(fit, X, n_iter, calls, first=block % 2)))


def alternating(fit, X, n_iter, calls, first):
    """calls calls on one sample, module and rendering taking turns (the
    rendering first if `first`); per iteration times and faults of each side."""
    case = case_of(fit)
    sides = sides_of(case)
    result = {"mt": [], "rt": [], "mf": [], "rf": []}
    for call in range(calls):
        name, fit_ = sides[(call + first) % 2]
        if not measured_side(name):
            continue
        if MARK_CALLS:
            os.access("{}-begin {} {} {}".format(MARK, name, fit, len(X)), os.F_OK)
        seconds, faults = measured_call(fit_, X, case.starts, n_iter)
        if MARK_CALLS:
            os.access(MARK + "-end", os.F_OK)
        result[name + "t"].append(seconds)
        result[name + "f"].append(faults)
    return result


# ---- random histories ------------------------------------------------------------
#
# A random history is a seeded sequence of blocks in one process: each block
# draws a fit, its component counts, the dimension and n (log-uniform from
# 1e3 to 1e6), makes a new sample, and calls kofa and the rendering on it in
# turn, the side that goes first alternating from block to block.  The same
# seed gives the same blocks, data and order.

RANDOM_BLOCKS = 14  # blocks per random history
RANDOM_FITS = ("exponential", "gaussian", "exp+gauss")
RANDOM_TARGET_EXCESS = 500  # faults per call above the rendering's still within target


def random_plan(n):
    """(iterations per call, calls per block) at n: 12 calls per side below
    1e4, 6 below 1e5 and 3 above.  A call below 1e4 takes from a fraction
    of a millisecond to a few, and with 4 calls per side a timer tick or
    another process decided the worst block there; with 3 per side above
    1e5, a side's first call, which meets the heap that the previous block
    left, is no longer half of its median."""
    if n < 10_000:
        return 5, 24
    if n < 100_000:
        return 4, 12
    return 2, 6


def random_block(rng):
    """One block's fit, shape label, sample maker and start maker, drawn from rng."""
    fit = RANDOM_FITS[rng.integers(len(RANDOM_FITS))]
    n = int(round(10 ** rng.uniform(3, 6)))
    if fit == "exponential":
        k = int(rng.integers(1, 5))
        scales = numpy.sort(10 ** rng.uniform(-0.5, 1.5, k))
        return fit, "k={}".format(k), n, exponential_data(scales), exponential_starts(scales)
    if fit == "gaussian":
        k, d = int(rng.integers(1, 5)), int(rng.integers(1, 4))
        centres = rng.uniform(-10, 10, (k, d))
        return fit, "d={} k={}".format(d, k), n, gaussian_data([], centres, 1.5, d), gaussian_starts([], centres, 3.0)
    exponential_k, gaussian_k, d = int(rng.integers(1, 4)), int(rng.integers(1, 4)), int(rng.integers(1, 4))
    scales = numpy.sort(10 ** rng.uniform(-0.5, 1.0, exponential_k))
    centres = rng.uniform(12, 40, (gaussian_k, d))
    return (fit, "d={} {}+{}".format(d, exponential_k, gaussian_k), n,
            gaussian_data(scales, centres, 2.0, d), gaussian_starts(scales, centres, 4.0))


def exponential_data(scales):
    def make(rng, n):
        parts = numpy.array_split(numpy.arange(n), len(scales))
        return numpy.concatenate([rng.exponential(s, len(p)) for s, p in zip(scales, parts)]).reshape(-1, 1)
    return make


def exponential_starts(scales):
    return lambda: {"k": len(scales), "init_lambda": [float(s) * 0.7 for s in scales]}


def gaussian_data(scales, centres, spread, d):
    """Exponential draws of each scale (d columns), then normal draws about
    each centre: for exp+gauss, or for the Gaussian fit when scales is empty."""
    def make(rng, n):
        parts = numpy.array_split(numpy.arange(n), len(scales) + len(centres))
        values = [rng.exponential(s, (len(p), d)) for s, p in zip(scales, parts)]
        values += [rng.normal(c, spread, (len(p), d)) for c, p in zip(centres, parts[len(scales):])]
        return numpy.concatenate(values)
    return make


def gaussian_starts(scales, centres, variance):
    d = centres.shape[1]

    def starts():
        gaussian = {"init_mean": [numpy.array(c) + 0.5 for c in centres],
                    "init_cov": [numpy.eye(d) * variance for _ in centres]}
        if not len(scales):
            return dict(k=len(centres), **gaussian)
        return dict(exponential_k=len(scales), gaussian_k=len(centres),
                    init_lambda=[float(s) * 0.7 for s in scales], **gaussian)
    return starts


FIT_NAMES = {"exponential": "exponential_mixture", "gaussian": "gaussian_mixture",
             "exp+gauss": "exponential_gaussian_mixture"}


def issue_block(exponential_k, gaussian_k, d, n):
    """The exp+gauss shape of the issue's one-process history: exponential(2)
    and normal(15, 2) draws, starts at scale 1, mean 12, covariance 4."""
    scales = numpy.full(exponential_k, 2.0)
    centres = numpy.full((gaussian_k, d), 15.0)
    data = gaussian_data(scales, centres, 2.0, d)

    def starts():
        return dict(exponential_k=exponential_k, gaussian_k=gaussian_k, init_lambda=[1.0] * exponential_k,
                    init_mean=[[12.0] * d for _ in range(gaussian_k)],
                    init_cov=[numpy.eye(d) * 4 for _ in range(gaussian_k)])
    return "exp+gauss", "d={} {}+{}".format(d, exponential_k, gaussian_k), n, data, starts


def blocks_of(history, seed, count):
    """The blocks of a history: random (drawn from seed), issue-fresh (the
    issue's 1+1 call at n = 1e5 in a fresh process) or issue-shapes (exp+gauss
    1-2 of each kind, d 1 or 2, n 3e4 then 1e5, one after the other)."""
    if history == "random":
        rng = numpy.random.default_rng(seed)
        return [random_block(rng) for _ in range(count)]
    if history == "issue-fresh":
        return [issue_block(1, 1, 1, 100_000)]
    if history == "issue-shapes":
        return [issue_block(e, g, d, n) for n in (30_000, 100_000) for e in (1, 2) for g in (1, 2) for d in (1, 2)]
    raise SystemExit("unknown history " + history)


def run_blocks(history, seed, count, first):
    """Runs the blocks of a history in this process, one JSON record per
    block with the per-call times and faults of each side."""
    for fit in RANDOM_FITS:
        warm_up(fit)
    for number, (fit, shape, n, data, starts) in enumerate(blocks_of(history, seed, count)):
        X = data(numpy.random.default_rng([seed, number]), n)
        if history.startswith("issue-"):  # the issue's calls: 30 iterations, eps 0.0
            n_iter, calls = 30, 4
        else:
            n_iter, calls = random_plan(n)
        if CONVERGE:
            n_iter = None
        reference_fit = getattr(reference, FIT_NAMES[fit])
        sides = (("m", reference_fit if AGAINST_ITSELF else getattr(kofa, FIT_NAMES[fit])), ("r", reference_fit))
        result = {"mt": [], "rt": [], "mf": [], "rf": [], "errors": []}
        for call in range(calls):
            name, fit_ = sides[(call + first + number) % 2]
            if not measured_side(name):
                continue
            failed = []
            if history.startswith("issue-"):  # the issue's call: eps 0.0, 30 iterations, no keywords
                seconds, faults = issue_call(failing(fit_, failed), X, starts())
            else:
                seconds, faults = bench.timed_call(failing(fit_, failed), X, starts, n_iter)
            result[name + "t"].append(seconds)
            result[name + "f"].append(faults)
            result["errors"] += [name + ": " + error for error in failed]
        emit(dict(history=history, seed=seed, block=number, fit=fit, shape=shape, n=n,
                  lead=sides[(first + number) % 2][0], **result))


def failing(fit_, failed):
    """fit_, whose exception (a drawn sample can make a fit fail, the same
    way on both sides) is noted in `failed` rather than raised: such a call
    is timed up to its failure."""
    def call(*args, **kwargs):
        try:
            fit_(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001
            failed.append(type(exc).__name__)
    return call


def issue_call(fit_, X, starts):
    args = (X, starts["exponential_k"], starts["gaussian_k"], starts["init_lambda"], starts["init_mean"],
            starts["init_cov"], 30, 0.0)
    return bench.timed_call(lambda *a, **k: fit_(*args), X, lambda: {}, None)


PEAK_RSS_CASES = ("exponential", "gaussian", "exp+gauss", "exp+gauss 1+1")
PEAK_RSS_ITERATIONS = 3


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise SystemExit("no {} in /proc/self/status".format(field))


def peak_rss(fit, n, only):
    """One call of one side at n in this fresh process: the growth of the
    resident set's peak (VmHWM, reset through /proc/self/clear_refs before
    the call) over the resident set before it, in KiB."""
    if fit == "exp+gauss 1+1":
        _, _, _, data, starts = issue_block(1, 1, 1, n)
        name = "exp+gauss"
    else:
        case = case_of(fit)
        data, starts, name = case.sample, case.starts, fit
    X = data(numpy.random.default_rng(n), n)
    side = getattr(reference if only == "reference" else kofa, FIT_NAMES[name])
    bench.timed_call(side, data(numpy.random.default_rng(1), 100), starts, 2)  # one-time work inside NumPy
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = status_kib("VmRSS")
    bench.timed_call(side, X, starts, PEAK_RSS_ITERATIONS)
    emit(dict(fit=fit, n=n, side=only, before=before, peak=status_kib("VmHWM")))


def peak_rss_report(args):
    """Per fit, the peak resident growth of one call of each side, each in
    --processes fresh processes (the median)."""
    n = int(args.max_n or 1_000_000)
    print("peak resident set growth of one call ({} iterations, n = {}), KiB over the resident set "
          "before the call; median of {} fresh processes per side".format(PEAK_RSS_ITERATIONS, n, args.processes))
    print(bench.row(("fit", "module", "rendering", "m/r"), (16, 10, 10, 6)))
    for fit in PEAK_RSS_CASES:
        growth = {}
        for side in ("module", "reference"):
            records = []
            for _ in range(args.processes):
                records += child(fit, "peak-rss", [n], args, extra=["--only", side])
            growth[side] = statistics.median(r["peak"] - r["before"] for r in records)
        print(bench.row((fit, growth["module"], growth["reference"],
                         "{:.3f}".format(growth["module"] / growth["reference"])), (16, 10, 10, 6)), flush=True)


SOLO_RECORDS = False  # the records come from --solo runs (set by the driver)


def decade(n):
    return "1e{}".format(min(5, len(str(n)) - 1))


def random_report(records, seeds, args):
    global SOLO_RECORDS
    SOLO_RECORDS = any(r.get("solo") for r in records)
    """Per (fit, n-decade): blocks, the median of the per-call time ratios
    (each module call against the rendering call next to it), the worst
    block (ratio of its median times), the median faults per call of each
    side, and the share of blocks whose median faults per call are at most
    the rendering's plus RANDOM_TARGET_EXCESS."""
    cells = {}
    for record in records:
        cells.setdefault((record["fit"], decade(record["n"])), []).append(record)
    header = ("fit", "n", "blocks", "ratio", "worst block", "where", "no raise", "faults/call m",
              "faults/call r", "within", "worst excess")
    widths = (11, 4, 6, 6, 11, 30, 8, 13, 13, 9, 16)
    print(bench.row(header, widths))
    overall = {"blocks": 0, "within": 0, "steady": 0}
    for fit in RANDOM_FITS:
        for dec in ("1e3", "1e4", "1e5"):
            blocks = cells.get((fit, dec))
            if not blocks:
                continue
            ratios, block_ratios, mf, rf, within, excess, steady = [], [], [], [], 0, [], 0
            for b in blocks:
                if not (b["mt"] and b["rt"]):
                    continue
                ratios += [m / r for m, r in zip(b["mt"], b["rt"])]
                block_ratios.append((statistics.median(b["mt"]) / statistics.median(b["rt"]), b))
                m, r = statistics.median(b["mf"]), statistics.median(b["rf"])
                mf.append(m)
                rf.append(r)
                excess.append((m - r, b))
                within += m <= r + RANDOM_TARGET_EXCESS
                # Without the block's first call, which meets the heap that
                # the previous block (another fit, another n) left and is made
                # by one side only (b["lead"]); with --solo both sides' first
                # calls are dropped alike.
                later = {"m": b["mf"], "r": b["rf"]}
                if "lead" in b and not SOLO_RECORDS:
                    later[b["lead"]] = later[b["lead"]][1:]
                else:
                    later = {side: faults[1:] for side, faults in later.items()}
                steady += (not later["m"] or not later["r"] or
                           statistics.median(later["m"]) <= statistics.median(later["r"]) + RANDOM_TARGET_EXCESS)
            if not block_ratios:
                continue
            worst, wb = max(block_ratios, key=lambda x: x[0])
            # "no raise": see the module docstring.
            completing = [ratio for ratio, b in block_ratios if not b.get("errors")]
            worst_excess, eb = max(excess, key=lambda x: x[0])
            overall["blocks"] += len(block_ratios)
            overall["within"] += within
            overall["steady"] += steady
            print(bench.row((fit, dec, len(block_ratios), fmt_ratio(statistics.median(ratios)), fmt_ratio(worst),
                             "{} {} {} n={}".format(wb["history"][:6], wb["seed"], wb["shape"], wb["n"]),
                             fmt_ratio(max(completing)) if completing else "-",
                             fmt_faults(statistics.median(mf)), fmt_faults(statistics.median(rf)),
                             "{:.0f}%/{:.0f}%".format(100.0 * within / len(block_ratios),
                                                      100.0 * steady / len(block_ratios)),
                             "{:.0f} ({})".format(worst_excess, eb["shape"])), widths))
    failed = [r for r in records if r.get("errors")]
    if failed:
        print("blocks whose calls raised (timed up to the failure, same on both sides): {} ({})".format(
            len(failed), ", ".join(sorted({"{} {}".format(r["fit"], r["shape"]) for r in failed}))))
    if overall["blocks"]:
        print("blocks within the fault target (module <= rendering + {} per call): {} of {} ({:.1f}%)".format(
            RANDOM_TARGET_EXCESS, overall["within"], overall["blocks"],
            100.0 * overall["within"] / overall["blocks"]))
        print("  the same without each block's first call: {} of {} ({:.1f}%)".format(
            overall["steady"], overall["blocks"], 100.0 * overall["steady"] / overall["blocks"]))
    print("seeds: " + " ".join(str(s) for s in seeds))


# ---- driver ----------------------------------------------------------------------------

def child(fit, history, sizes, args, extra=(), prefix=()):
    command = list(prefix) + [sys.executable, os.path.abspath(__file__), "--worker", "--fit", fit,
                              "--history", history, "--sizes", ",".join(str(n) for n in sizes)]
    if args.quick:
        command.append("--quick")
    if args.pairs:
        command += ["--pairs", str(args.pairs)]
    if args.against_itself:
        command.append("--against-itself")
    if args.iterations:
        command += ["--iterations", str(args.iterations)]
    if args.converge:
        command.append("--converge")
    command += list(extra)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.abspath(kofa.__file__))] + (
        [env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    done = subprocess.run(command, stdout=subprocess.PIPE, universal_newlines=True, cwd=HERE, env=env)
    if done.returncode != 0:
        raise SystemExit("worker failed ({}): {}".format(done.returncode, " ".join(command)))
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def random_histories(args):
    """The random histories (and with --issue-cases the issue's two), each in
    a process of its own; with --solo each side in processes of its own."""
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(3), "little")
    print("kofa against tests/reference.py in random heap histories{}".format(
        ", each side in processes of its own" if args.solo else ", interleaved in one process"), flush=True)
    print("  python {}, numpy {}, kofa {}".format(sys.version.split()[0], numpy.__version__, kofa.__file__))
    print("  {} random histories of {} blocks, seeds {}..{} (--seed {}){}".format(
        args.random_histories, args.blocks, seed, seed + args.random_histories - 1, seed,
        "; the issue's histories in {} processes each".format(args.processes) if args.issue_cases else ""))
    print(flush=True)
    runs = [("random", seed + h, h % 2) for h in range(args.random_histories)]
    if args.issue_cases:
        runs += [(history, seed + p, p % 2) for history in ("issue-fresh", "issue-shapes")
                 for p in range(args.processes)]
    started = time.perf_counter()
    records = []
    for history, run_seed, first in runs:
        extra = ["--seed", str(run_seed), "--first", str(first), "--blocks", str(args.blocks)]
        if args.solo:
            module = child("-", history, [0], args, extra=extra + ["--only", "module"])
            rendering = child("-", history, [0], args, extra=extra + ["--only", "reference"])
            done = [dict(m, rt=r["rt"], rf=r["rf"], solo=True) for m, r in zip(module, rendering)]
        else:
            done = child("-", history, [0], args, extra=extra)
        records += done
        if args.save:
            with open(args.save, "a") as saved:
                for record in done:
                    saved.write(json.dumps(record) + "\n")
        print("  {} seed {}: {} blocks ({:.0f} s)".format(history, run_seed, len(done),
                                                          time.perf_counter() - started), flush=True)
    print()
    random_report([r for r in records if r["history"] == "random"], [s for h, s, _ in runs if h == "random"], args)
    for history in ("issue-fresh", "issue-shapes"):
        chosen = [r for r in records if r["history"] == history]
        if not chosen:
            continue
        print()
        print(history + ", per block (pooled over the processes): shape, n, time ratio of the medians, "
              "faults per call m/r")
        by_shape = {}
        for r in chosen:
            into = by_shape.setdefault((r["shape"], r["n"]), {k: [] for k in ("mt", "rt", "mf", "rf")})
            for k in into:
                into[k] += r[k]
        for (shape, n), r in by_shape.items():
            print("  {:12} n={:<7} {}  {}/{}".format(shape, n, fmt_ratio(statistics.median(r["mt"]) /
                                                                        statistics.median(r["rt"])),
                                                     fmt_faults(statistics.median(r["mf"])),
                                                     fmt_faults(statistics.median(r["rf"]))))
    print("total time {:.0f} s".format(time.perf_counter() - started))


def summary(record):
    mt, rt = statistics.median(record["mt"]), statistics.median(record["rt"])
    return {
        "pairs": statistics.median(a / b for a, b in zip(record["mt"], record["rt"])),
        "medians": mt / rt,
        "mt": mt, "rt": rt,
        "mf": statistics.median(record["mf"]), "rf": statistics.median(record["rf"]),
    }


MARK = "/kofa-heap-bench-mark"
TRACED = ("brk", "mmap", "munmap", "madvise")


def traced_spans(fit, history, sizes, args, extra):
    """Runs a worker under strace; for every span between a begin marker and
    an end marker that the worker made, (the begin marker's label, counts of
    the traced calls in the span)."""
    handle, path = tempfile.mkstemp(prefix="kofa-strace-")
    os.close(handle)
    spans = []
    try:
        child(fit, history, sizes, args, extra=extra,
              prefix=["strace", "-f", "-qq", "-o", path, "-e",
                      "trace=" + ",".join(TRACED + ("access", "faccessat", "faccessat2"))])
        with open(path) as trace:
            for line in trace:
                if MARK + "-begin" in line:
                    label = line.split(MARK + "-begin", 1)[1].split('"', 1)[0].strip()
                    spans.append((label, dict.fromkeys(TRACED, 0)))
                elif MARK in line:
                    spans.append(None)
                elif spans and spans[-1] is not None:
                    name = line.split(None, 1)[-1].split("(", 1)[0].strip()
                    if name in TRACED:
                        spans[-1][1][name] += 1
    finally:
        os.unlink(path)
    return [span for span in spans if span is not None]


def strace_counts(fit, n, args, side):
    """brk, mmap, munmap and madvise calls per iteration of `side`'s block,
    counted between two marker system calls made by the worker."""
    ((_, calls),) = traced_spans(fit, "strace", [n], args, ["--side", side])
    n_iter, count = plan_of(args)[n]
    return {name: calls[name] / (n_iter * count) for name in TRACED}


def in_turn_strace_counts(fits, sizes, args):
    """brk, mmap, munmap and madvise calls per call of each side, fit and n
    in one process of the in-turn history, counted between the marker
    system calls that the worker makes around every call."""
    calls, counts = {}, {}
    for label, span in traced_spans(",".join(fits), "in-turn", sizes, args, ["--mark-calls"]):
        side, fit, n = label.split()
        key = (fit, int(n), side)
        calls[key] = calls.get(key, 0) + 1
        for name in TRACED:
            counts[key + (name,)] = counts.get(key + (name,), 0) + span[name]
    return {key: {name: counts[key + (name,)] / count for name in TRACED} for key, count in calls.items()}


def fmt_ratio(x):
    return "{:.3f}".format(x)


def fmt_faults(x):
    return "{:.0f}".format(x) if x >= 10 or x == 0 else "{:.1f}".format(x)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: n up to 1e4, few pairs")
    parser.add_argument("--fits", default=",".join(FITS), help="comma-separated, of " + ", ".join(FITS))
    parser.add_argument("--histories", default=",".join(HISTORIES),
                        help="comma-separated, of " + ", ".join(HISTORIES))
    parser.add_argument("--max-n", type=float, default=None, help="largest sample size")
    parser.add_argument("--strace", action="store_true",
                        help="also count brk/mmap/munmap/madvise (strace), n up to {:g}".format(STRACE_MAX_N))
    parser.add_argument("--pairs", type=int, default=None,
                        help="pairs per block at every n (default by n; a few suffice for the fault counts)")
    parser.add_argument("--iterations", type=int, default=None,
                        help="iterations per call at every n (default by n)")
    parser.add_argument("--converge", action="store_true",
                        help="calls with the default n_iter and eps (until convergence); figures per iteration")
    parser.add_argument("--markdown", action="store_true", help="also print the table in Markdown")
    parser.add_argument("--processes", type=int, default=3,
                        help="processes per history, whose pairs are pooled (default 3)")
    parser.add_argument("--solo", action="store_true",
                        help="each side in processes of its own, rather than interleaved in one")
    parser.add_argument("--against-itself", action="store_true",
                        help="the rendering on both sides: how far the ratios scatter by themselves")
    parser.add_argument("--random-histories", type=int, default=0, metavar="N",
                        help="N random histories (seeds S, S+1, ...), one process each, instead of the fixed ones")
    parser.add_argument("--seed", type=int, default=None, metavar="S",
                        help="first seed of the random histories (default: drawn and printed)")
    parser.add_argument("--blocks", type=int, default=RANDOM_BLOCKS,
                        help="blocks per random history (default {})".format(RANDOM_BLOCKS))
    parser.add_argument("--issue-cases", action="store_true",
                        help="also the issue's two exp+gauss histories (issue-fresh, issue-shapes), "
                             "--processes processes each")
    parser.add_argument("--peak-rss", action="store_true",
                        help="peak resident set growth of one call per fit and side at n = --max-n "
                             "(default 1e6), each in fresh processes")
    parser.add_argument("--save", metavar="FILE", help="append the random-history blocks to FILE (JSON lines)")
    parser.add_argument("--report", nargs="+", metavar="FILE",
                        help="only the random-history table of blocks saved with --save")
    # for the worker processes
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--fit", help=argparse.SUPPRESS)
    parser.add_argument("--history", help=argparse.SUPPRESS)
    parser.add_argument("--sizes", help="comma-separated subset of " + ",".join(str(n) for n in SIZES))
    parser.add_argument("--side", default="none", help=argparse.SUPPRESS)
    parser.add_argument("--only", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--peaks", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--mark-calls", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return
    if args.report:
        records = []
        for path in args.report:
            with open(path) as saved:
                records += [json.loads(line) for line in saved if line.startswith("{")]
        random_report(records, sorted({r["seed"] for r in records if r["history"] == "random"}), args)
        return
    if args.peak_rss:
        peak_rss_report(args)
        return
    if args.random_histories or args.issue_cases:
        random_histories(args)
        return

    plan = plan_of(args)
    sizes = [n for n in SIZES if n in plan and (args.max_n is None or n <= args.max_n)]
    if args.sizes:  # --sizes in the driver: a subset of the sizes
        sizes = [n for n in sizes if str(n) in args.sizes.split(",")]
    fits = [f for f in args.fits.split(",") if f]
    histories = [h for h in args.histories.split(",") if h]
    for name in fits:
        if name not in FITS:
            parser.error("unknown fit {!r}".format(name))
    for name in histories:
        if name not in HISTORIES:
            parser.error("unknown history {!r}".format(name))
    if args.strace and shutil.which("strace") is None:
        parser.error("strace not found (apt-get install strace)")

    print("{} against tests/reference.py in several heap histories{}".format(
        "tests/reference.py (AGAINST ITSELF)" if args.against_itself else "kofa",
        ", each side in processes of its own" if args.solo else ", interleaved in one process"), flush=True)
    print("  python {}, numpy {}, kofa {}".format(sys.version.split()[0], numpy.__version__, kofa.__file__))
    print("  BLAS {}; OPENBLAS_CORETYPE={!r}".format(bench.blas_description(),
                                                   os.environ.get("OPENBLAS_CORETYPE")))
    print("  cases: " + "; ".join("{} ({})".format(f, FITS[f]) for f in fits))
    print("  histories: " + ", ".join(histories))
    print("  per n: " + ", ".join("n={:g}: {} x {} pairs".format(
        n, "until convergence" if args.converge else "{} iterations".format(plan[n][0]), plan[n][1])
        for n in sizes) + "; {} processes per history".format(args.processes))
    if any(history in IN_TURN for history in histories):
        print("  in-turn: {} blocks per n of ".format(IN_TURN_BLOCKS)
              + ", ".join("{} calls at n={:g}".format(IN_TURN_CALLS[n], n) for n in sizes))
    print(flush=True)

    started = time.perf_counter()
    results, peaks = {}, {}
    runs = [(process, only) for process in range(args.processes)
            for only in (("module", "reference") if args.solo else (None,))]
    if any(history in MIXED for history in histories):
        pooled = {}
        for process, only in runs:
            extra = ["--only", only] if only else []
            for record in child(",".join(fits), "mixed", sizes, args, extra=extra):
                into = pooled.setdefault((record["fit"], record["n"], record["history"]),
                                         {key: [] for key in ("mt", "rt", "mf", "rf")})
                for key in into:
                    into[key] += record[key]
        for key, record in pooled.items():
            results[key] = summary(record)
        print("  mixed histories done ({:.0f} s)".format(time.perf_counter() - started), flush=True)
    blocks = {}  # per fit: (ratio of the medians, n, history, faults m, faults r) of each in-turn block
    if any(history in IN_TURN for history in histories):
        pooled = {}
        for process, only in runs:
            extra = ["--only", only] if only else []
            for record in child(",".join(fits), "in-turn", sizes, args, extra=extra):
                key = (record["fit"], record["n"], record["history"])
                into = pooled.setdefault(key, {k: [] for k in ("mt", "rt", "mf", "rf")})
                for k in into:
                    into[k] += record[k]
                if record["mt"] and record["rt"]:
                    block = summary(record)
                    blocks.setdefault(record["fit"], []).append(
                        (block["medians"], record["n"], record["history"], block["mf"], block["rf"]))
        for key, record in pooled.items():
            results[key] = summary(record)
        print("  in-turn histories done ({:.0f} s)".format(time.perf_counter() - started), flush=True)
    for fit in fits:
        for history in histories:
            if history in MIXED + IN_TURN:
                continue
            pooled = {}
            for process, only in runs:
                extra = ["--only", only] if only else []
                if history in ("fresh", "repeated"):
                    records = []
                    for n in sizes:
                        peaks_wanted = history == "fresh" and process == 0 and only != "reference"
                        records += child(fit, history, [n], args, extra=extra + (["--peaks"] if peaks_wanted else []))
                else:
                    records = child(fit, history, sizes, args, extra=extra)
                for record in records:
                    if record["history"] == "peak":
                        peaks[fit, record["n"]] = record
                        continue
                    into = pooled.setdefault(record["n"], {key: [] for key in ("mt", "rt", "mf", "rf")})
                    for key in into:
                        into[key] += record[key]
            for n, record in pooled.items():
                results[fit, n, history] = summary(record)
        print("  {} done ({:.0f} s)".format(fit, time.perf_counter() - started), flush=True)
    print()

    header = ("fit", "n", "history", "pairs", "medians", "module/it", "faults/it m", "faults/it r")
    widths = (12, 8, 9, 6, 7, 10, 11, 11)
    print(bench.row(header, widths))
    worst = {}  # per fit: the worst of each figure over all sizes and histories
    for fit in fits:
        worst[fit] = {"pairs": None, "medians": None, "excess": None}
        for n in sizes:
            for history in histories:
                r = results.get((fit, n, history))
                if r is None:  # the -back histories have no block at the largest n
                    continue
                print(bench.row((fit, n, history, fmt_ratio(r["pairs"]), fmt_ratio(r["medians"]),
                                 bench.fmt_time(r["mt"]), fmt_faults(r["mf"]), fmt_faults(r["rf"])),
                                widths))
                r = dict(r, excess=r["mf"] - r["rf"])
                for statistic, so_far in worst[fit].items():
                    if so_far is None or r[statistic] > so_far[0]:
                        worst[fit][statistic] = (r[statistic], n, history, r["mf"], r["rf"])
        print()
    print("worst figures per fit, over all sizes and histories:")
    for fit in fits:
        w = worst[fit]
        if w["pairs"] is None:
            continue
        print("  {}: median of the pairs {:.3f} (n={}, {}); ratio of the medians {:.3f} (n={}, {})".format(
            fit, *(w["pairs"][:3] + w["medians"][:3])))
        print("  {}  largest fault excess, module - rendering per iteration: {:.1f} (n={}, {}: {}/{})".format(
            " " * len(fit), w["excess"][0], w["excess"][1], w["excess"][2], fmt_faults(w["excess"][3]),
            fmt_faults(w["excess"][4])))
        if fit in blocks:
            ratio, n, history, mf, rf = max(blocks[fit])
            print("  {}  worst in-turn block, ratio of its medians: {:.3f} (n={}, {}; faults/it {}/{})".format(
                " " * len(fit), ratio, n, history, fmt_faults(mf), fmt_faults(rf)))
            largest = max(block[1] for block in blocks[fit])
            ratio, n, history, mf, rf = max(block for block in blocks[fit] if block[1] == largest)
            print("  {}  worst in-turn block at n={}: {:.3f} ({}; faults/it {}/{})".format(
                " " * len(fit), n, ratio, history, fmt_faults(mf), fmt_faults(rf)))
    print()

    if args.markdown:
        print("| fit | n | " + " | ".join(histories) + " |")
        print("|---|---|" + "---|" * len(histories))
        for fit in fits:
            for n in sizes:
                cells = []
                for history in histories:
                    r = results.get((fit, n, history))
                    cells.append("-" if r is None else "{} ({}/{})".format(
                        fmt_ratio(r["pairs"]), fmt_faults(r["mf"]), fmt_faults(r["rf"])))
                print("| {} | {:g} | {} |".format(FITS[fit], n, " | ".join(cells)))
        print()

    if peaks:
        print("tracemalloc peak of one call (2 iterations), fresh process")
        print(bench.row(("fit", "n", "module", "rendering", "m/r", "same"), (12, 8, 10, 10, 6, 4)))
        for fit in fits:
            for n in sizes:
                p = peaks.get((fit, n))
                if p:
                    print(bench.row((fit, n, bench.fmt_bytes(p["module"]), bench.fmt_bytes(p["reference"]),
                                     "{:.3f}".format(p["module"] / p["reference"]),
                                     "yes" if p["same"] else "NO"), (12, 8, 10, 10, 6, 4)))
        print()

    if args.strace:
        print("system calls per iteration, after a block of pairs (strace; module / rendering)")
        print(bench.row(("fit", "n", "brk", "mmap", "munmap", "madvise"), (12, 8, 13, 13, 13, 13)))
        for fit in fits:
            for n in sizes:
                if n > STRACE_MAX_N:
                    continue
                m, r = strace_counts(fit, n, args, "module"), strace_counts(fit, n, args, "reference")
                print(bench.row([fit, n] + ["{:.1f} / {:.1f}".format(m[c], r[c])
                                            for c in ("brk", "mmap", "munmap", "madvise")],
                                (12, 8, 13, 13, 13, 13)), flush=True)
        print()
        if any(history in IN_TURN for history in histories):
            print("system calls per call in the in-turn history, one process (strace; module / rendering)")
            print(bench.row(("fit", "n", "brk", "mmap", "munmap", "madvise"), (12, 8, 13, 13, 13, 13)))
            counted = in_turn_strace_counts(fits, [n for n in sizes if n <= STRACE_MAX_N], args)
            for fit in fits:
                for n in sizes:
                    m, r = counted.get((fit, n, "m")), counted.get((fit, n, "r"))
                    if m and r:
                        print(bench.row([fit, n] + ["{:.1f} / {:.1f}".format(m[c], r[c])
                                                    for c in ("brk", "mmap", "munmap", "madvise")],
                                        (12, 8, 13, 13, 13, 13)), flush=True)
            print()
    print("total time {:.0f} s".format(time.perf_counter() - started))


if __name__ == "__main__":
    main()

"""When can a kofa fit be trusted?  Measures kofa against a textbook EM
(examples/textbook.py) on generated data, and prints the tables that
docs/algorithm.md shows.

    python examples/accuracy.py                      # every part (some 25 minutes of CPU)
    python examples/accuracy.py --part gaussian-grid # one part (repeatable)
    python examples/accuracy.py --picture docs/trust.png   # also draw the grid

The drawn-start parts take long; to share them out between processes, save
each one's counts and print docs/algorithm.md's tables (and draw the
picture) from the saved files:

    python examples/accuracy.py --part drawn-starts --weights 0.5 --save a.pkl
    python examples/accuracy.py --part gaussian-grid --save grid.pkl
    python examples/accuracy.py --load a.pkl --load ... --load grid.pkl --picture docs/trust.png

Parts:

gaussian-grid    two 2-D normal components (identity covariances) whose means
                 lie SEP standard deviations apart, with weights W and 1 - W;
                 gaussian_mixture and the textbook EM both started at the true
                 values, 5 samples of n = 2000 per cell
drawn-starts     how often a fit from the start values gaussian_mixture draws
                 itself goes wrong: two components in 2-D, weights 0.5, 0.7
                 and 0.9 for the larger, 3 to 12 sd apart, n = 2000; of the
                 wrong fits, how many raised (by kind), reached n_iter or
                 ended normally, looking converged; beside it the same from
                 the true start, from init_mean 1 sd off each true mean, and
                 keeping the best of 5 drawn starts.  200 samples per cell
                 (data seeds 40000-40199), each rate with its 95 % Wilson
                 score interval (some 7 minutes of CPU)
drawn-starts-three  the same for three components in 2-D, equal weights and
                 0.6/0.3/0.1, at the corners of triangles of side 4 to 12 sd,
                 n = 3000 (some 7 minutes of CPU)
drawn-starts-high  the same in 5 and 10 dimensions: 3 and 5 components of
                 equal weight at the corners of a regular simplex of edge
                 8 sd, n = 1000 k (some 9 minutes of CPU; --weights 0.33 /
                 0.2 and --dims 5 / 10 share it out)
gaussian-three   three 2-D components at the corners of a triangle of side 4
                 or 6 sd, unequal weights, started near the truth
exponential      two exponentials, weights 0.7/0.3, means 2 and 15, from four
                 starts (the true values among them), three samples
waiting-times    the "waiting times" row of docs/algorithm.md: the same
                 mixture, n = 3000, seed 20240607, each observation's
                 component drawn first, start means 1 and 10
background-peak  a normal peak of sd 0.1 (in units of the background's mean)
                 on an exponential background: which peaks
                 exponential_gaussian_mixture keeps when started at the true
                 values; and the case of 90 % background of mean 5 with a peak
                 at 10, sd 0.5

Every fit's progress lines are captured; "it" is their number.  Warnings from
NumPy inside the fits are silenced.
"""

import argparse
import collections
import contextlib
import io
import itertools
import os
import pickle
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import several_starts  # noqa: E402
import textbook  # noqa: E402

import kofa  # noqa: E402


def quiet(fit, *args, **kwargs):
    """(result, iterations) of a kofa fit, its progress lines captured."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fit(*args, **kwargs)
    return result, len(out.getvalue().splitlines())


def flat(values):
    return np.array([float(np.ravel(v)[0]) for v in values])


# --------------------------------------------------------------------------


WEIGHTS = (0.5, 0.6, 0.7, 0.8, 0.9)
SEPARATIONS = (2, 3, 4, 5, 6, 8)
SEEDS = range(5)
N_GRID = 2000


def gaussian_grid():
    """The grid started at the truth; returns {(w, sep): (kofa median,
    textbook median, ok)} for the picture."""
    separations = SEPARATIONS
    print("## gaussian-grid: k=2, d=2, identity covariances, n = {}, seeds {}..{}, "
          "both fits started at the true values".format(N_GRID, SEEDS[0], SEEDS[-1]))
    print("cell: weight of the larger component, kofa / textbook EM (medians over the seeds); "
          "'ok' when on every seed kofa's weights")
    print("are within 0.03 of the textbook EM's and its means within 0.1 sd of them, else 'NO'; "
          "then the largest log-likelihood gap")
    print("per observation (textbook EM minus kofa) over the seeds")
    print()
    header = "| weights | " + " | ".join("{} sd".format(s) for s in separations) + " |"
    print(header)
    print("|" + "---|" * (len(separations) + 1))
    measured = {}  # (w, sep) -> (kofa median, textbook median, ok)
    for w in WEIGHTS:
        cells = []
        for sep in separations:
            true_w = np.array([w, 1 - w])
            true_m = np.array([[0.0, 0.0], [float(sep), 0.0]])
            kofa_w, text_w, gaps, ok = [], [], [], True
            for seed in SEEDS:
                rng = np.random.default_rng(seed)
                X = rng.standard_normal((N_GRID, 2)) + true_m[rng.choice(2, size=N_GRID, p=true_w)]
                try:
                    (weight, mean, cov), _ = quiet(
                        kofa.gaussian_mixture, X, 2, [m.copy() for m in true_m],
                        [np.eye(2), np.eye(2)])
                except Exception as exc:  # noqa: BLE001 - reported in the cell
                    cells.append(type(exc).__name__)
                    break
                # the component near (0, 0) first, as in true_m
                order = np.argsort(np.asarray(mean, float)[:, 0])
                weight, mean = weight[order], np.asarray(mean, float)[order]
                cov = [cov[i] for i in order]
                tw, tm, tc, _, tll = textbook.gaussian_em(X, true_w, true_m, [np.eye(2)] * 2)
                kofa_w.append(weight[0])
                text_w.append(tw[0])
                gaps.append((tll - textbook.gaussian_loglik(X, weight, mean, cov)) / N_GRID)
                if abs(weight - tw).max() > 0.03 or np.linalg.norm(mean - tm, axis=1).max() > 0.1:
                    ok = False
            else:
                cells.append("{:.2f} / {:.2f} {} {:.3f}".format(
                    np.median(kofa_w), np.median(text_w), "ok" if ok else "**NO**", max(gaps)))
                measured[w, sep] = (np.median(kofa_w), np.median(text_w), ok)
        print("| {:.1f}/{:.1f} | ".format(w, 1 - w) + " | ".join(cells) + " |")
    print()
    return measured


# Drawn start values: how often a fit from the start values gaussian_mixture
# draws itself ends wrong.  Sample i of every cell (i = 0 .. DRAWN_SAMPLES-1)
# draws its data with numpy.random.default_rng(DRAWN_SEED + i) and calls
# numpy.random.seed(DRAWN_SEED + i) before its drawn starts.  DRAWN_SEED keeps
# these samples apart from every other figure of docs/algorithm.md (data
# seeds 0-39 of the former 40-sample tables, 0-4 of the grid, 20240607).
DRAWN_SAMPLES = 200
DRAWN_SEED = 40000
DRAWN_TRIES = 5
NEAR_SD = 1.0  # the init_mean start: each true mean moved this far, in a random direction
N_ITER = 1000  # gaussian_mixture's default
ONLY_WEIGHTS = ()  # the larger weights of the rows to run; all when empty
ONLY_DIMS = ()  # the dimensions of the rows to run; all when empty
Z95 = 1.959963984540054
# part -> (rows as (d, weights), separations); n = 1000 * k
EQUAL3, EQUAL5 = (1 / 3,) * 3, (0.2,) * 5
DRAWN_PARTS = {
    "drawn-starts": ([(2, (0.5, 0.5)), (2, (0.7, 0.3)), (2, (0.9, 0.1))], (3, 4, 6, 8, 12)),
    "drawn-starts-three": ([(2, EQUAL3), (2, (0.6, 0.3, 0.1))], (4, 6, 8, 12)),
    "drawn-starts-high": ([(5, EQUAL3), (10, EQUAL3), (5, EQUAL5), (10, EQUAL5)], (8,)),
}


def corners(k, sep, d=2):
    """True means SEP apart from each other: two points on the x axis, else
    the corners of a regular simplex of edge SEP (in 2-D and k = 3 the
    equilateral triangle (0, 0), (SEP, 0), (SEP/2, SEP sqrt(3)/2))."""
    if k == 2:
        means = np.zeros((2, d))
        means[1, 0] = sep
        return means
    if d == 2 and k == 3:
        return sep * np.array([[0.0, 0.0], [1.0, 0.0], [0.5, np.sqrt(0.75)]])
    means = np.zeros((k, d))
    means[np.arange(k), np.arange(k)] = sep / np.sqrt(2)
    return means


def matched(weight, mean, cov, true_m):
    """kofa's components reordered to lie nearest the true means."""
    mean = np.asarray(mean, float)
    order = min(itertools.permutations(range(len(true_m))),
                key=lambda p: np.linalg.norm(mean[list(p)] - true_m, axis=1).sum())
    order = list(order)
    return np.asarray(weight, float)[order], mean[order], [np.asarray(cov[i], float) for i in order]


def agrees(weight, mean, tw, tm):
    return abs(weight - tw).max() <= 0.03 and np.linalg.norm(mean - tm, axis=1).max() <= 0.1


def raised_kind(exc):
    """The name a raised error is counted under."""
    text = str(exc)
    if isinstance(exc, ValueError) and text.startswith("Percentiles must be in the range"):
        return "ValueError (percentile)"
    if isinstance(exc, np.linalg.LinAlgError) and text == "Singular matrix":
        return "LinAlgError (singular)"
    return "{}: {}".format(type(exc).__name__, text[:60])


def wilson(count, samples, z=Z95):
    """95 % Wilson score interval of the rate count/samples."""
    p, scale = count / samples, 1 + z * z / samples
    centre = (p + z * z / (2 * samples)) / scale
    half = z * np.sqrt(p * (1 - p) / samples + z * z / (4 * samples * samples)) / scale
    return max(0.0, centre - half), min(1.0, centre + half)


def rate(count, samples):
    """'3.0 % (1.4–6.4)': the rate in per cent and its 95 % Wilson interval."""
    low, high = wilson(count, samples)
    return "{:.1f} % ({:.1f}–{:.1f})".format(100 * count / samples, 100 * low, 100 * high)


def drawn_cell(true_w, sep, d=2, samples=None, tries=DRAWN_TRIES):
    """Counts over the samples of one cell: wrong from the drawn start, and of
    those how many raised (by kind), reached n_iter, or ended normally before
    it; wrong from the true start, from init_mean NEAR_SD sd off the true
    means, and when the best of TRIES drawn starts by log-likelihood is kept:
    "best" skips collapsed fits (collapsed()), "best_plain" keeps the highest
    log-likelihood of examples/several_starts.py that refuses no collapsed
    fit (refuse_collapsed=False)."""
    samples = samples or DRAWN_SAMPLES
    k = len(true_w)
    n = 1000 * k
    true_m = corners(k, sep, d)
    counts = dict(samples=samples, drawn=0, raised=collections.Counter(), capped=0,
                  looked_converged=0, true=0, near=0, best=0, best_plain=0,
                  plain_kept_collapsed=0)

    def wrong(*args):
        try:
            result, iterations = quiet(kofa.gaussian_mixture, X, k, *args)
        except Exception:  # noqa: BLE001 - counted as wrong
            return True
        return not agrees(*matched(*result, true_m)[:2], tw, tm)

    for seed in range(DRAWN_SEED, DRAWN_SEED + samples):
        rng = np.random.default_rng(seed)
        X = rng.standard_normal((n, d)) + true_m[rng.choice(k, size=n, p=true_w)]
        away = rng.standard_normal((k, d))
        near_m = true_m + NEAR_SD * away / np.linalg.norm(away, axis=1, keepdims=True)
        tw, tm, tc, _, tll = textbook.gaussian_em(X, true_w, true_m, [np.eye(d)] * k)
        counts["true"] += wrong([m.copy() for m in true_m], [np.eye(d) for _ in range(k)])
        counts["near"] += wrong([m.copy() for m in near_m])
        np.random.seed(seed)
        best = plain = None
        for attempt in range(tries):
            try:
                result, iterations = quiet(kofa.gaussian_mixture, X, k)
            except Exception as exc:  # noqa: BLE001 - counted as wrong, by kind
                ll, ok, flat_out = None, False, False
                if attempt == 0:
                    counts["raised"][raised_kind(exc)] += 1
            else:
                w, m, c = matched(*result, true_m)
                ok = agrees(w, m, tw, tm)
                with np.errstate(all="ignore"):
                    try:
                        ll = several_starts.loglik(X, w, m, c, refuse_collapsed=False)
                    except np.linalg.LinAlgError:  # a singular covariance
                        ll = -np.inf
                    flat_out = collapsed(c)
                if attempt == 0 and not ok:
                    counts["capped" if iterations >= N_ITER else "looked_converged"] += 1
            if attempt == 0:
                counts["drawn"] += not ok
            if ll is not None and not np.isnan(ll):
                if plain is None or ll > plain[0]:
                    plain = (ll, ok, flat_out)
                if not flat_out and (best is None or ll > best[0]):
                    best = (ll, ok)
        counts["best"] += best is None or not best[1]
        counts["best_plain"] += plain is None or not plain[1]
        counts["plain_kept_collapsed"] += plain is not None and plain[2]
    return counts


def collapsed(cov):
    """True when a fitted covariance is singular to working precision (its
    smallest eigenvalue at most 1e-9 of its largest): its log-likelihood is
    then without bound and says nothing about the fit."""
    for c in cov:
        values = np.linalg.eigvalsh(np.asarray(c, float))
        if not values[0] > 1e-9 * values[-1]:
            return True
    return False


def row_label(d, weights):
    if d == 2:
        return "/".join("{:.2f}".format(w) for w in weights)
    return "d = {}, {} equal".format(d, len(weights))


def ended(c):
    """How the wrong drawn-start fits of a cell ended."""
    parts = ["{} {}".format(v, kind) for kind, v in sorted(c["raised"].items())]
    if c["capped"]:
        parts.append("{} reached n_iter".format(c["capped"]))
    if c["looked_converged"]:
        parts.append("{} looked converged".format(c["looked_converged"]))
    return "; ".join(parts) or "–"


def drawn_starts(part="drawn-starts"):
    """Failure rates from drawn start values; returns {(d, weights, sep): counts}."""
    rows, separations = DRAWN_PARTS[part]
    if ONLY_WEIGHTS:  # --weights: some rows only
        rows = [r for r in rows if round(r[1][0], 2) in ONLY_WEIGHTS]
    if ONLY_DIMS:  # --dims: some rows only
        rows = [r for r in rows if r[0] in ONLY_DIMS]
    print("## {}: identity covariances, means SEP sd from each other (two on a line, more at the "
          "corners of a regular simplex), n = 1000 k;".format(part))
    print("{} samples per cell (data seeds {}..{}, numpy.random.seed(seed) before the drawn "
          "starts). A fit is wrong when its weights differ by more".format(
              DRAWN_SAMPLES, DRAWN_SEED, DRAWN_SEED + DRAWN_SAMPLES - 1))
    print("than 0.03 from those of a textbook EM started at the truth, or a mean by more than "
          "0.1 sd, or it raised. Rates in per cent with")
    print("their 95 % Wilson score interval.")
    print()
    measured = {}
    started = time.process_time()
    for d, weights in rows:
        for sep in separations:
            measured[d, tuple(weights), sep] = drawn_cell(np.array(weights), sep, d)
            print("  done: {}, {} sd".format(row_label(d, weights), sep), file=sys.stderr,
                  flush=True)
    header = "| weights | " + " | ".join("{} sd".format(s) for s in separations) + " |"
    rule = "|" + "---|" * (len(separations) + 1)

    def table(title, cell):
        print(title)
        print()
        print(header)
        print(rule)
        for d, weights in rows:
            print("| {} | ".format(row_label(d, weights)) + " | ".join(
                cell(measured[d, tuple(weights), s]) for s in separations) + " |")
        print()

    print("({:.0f} s of CPU time)".format(time.process_time() - started))
    print()
    table("Wrong from one drawn start:", lambda c: rate(c["drawn"], c["samples"]))
    table("How the wrong drawn-start fits ended (counts of {}):".format(DRAWN_SAMPLES), ended)
    table("Wrong from the true start (true means, identity covariances):",
          lambda c: rate(c["true"], c["samples"]))
    table("Wrong from init_mean {:g} sd off each true mean (init_cov drawn):".format(NEAR_SD),
          lambda c: rate(c["near"], c["samples"]))
    table("Wrong when the best of {} drawn starts (highest log-likelihood; the first is the "
          "one drawn start above) is kept, fits with a collapsed covariance skipped:".format(
              DRAWN_TRIES), lambda c: rate(c["best"], c["samples"]))
    table("The same keeping the highest log-likelihood as examples/several_starts.py computes it "
          "with refuse_collapsed=False (no fit skipped); in brackets how often the kept fit had a collapsed covariance:",
          lambda c: rate(c["best_plain"], c["samples"]) + " [{}]".format(c["plain_kept_collapsed"]))
    sys.stdout.flush()
    return measured


def short_rate(count, samples):
    """'3.0 (1.4–6.4)': the rate in per cent and its 95 % Wilson interval."""
    low, high = wilson(count, samples)
    return "{:.1f} ({:.1f}–{:.1f})".format(100 * count / samples, 100 * low, 100 * high)


def report(drawn):
    """The tables of docs/algorithm.md from the counts of the drawn-starts
    parts ({part: {(d, weights, sep): counts}}, from --save runs)."""
    two_d = [(part, key) for part in ("drawn-starts", "drawn-starts-three")
             for key in drawn.get(part, {})]
    rows = list(dict.fromkeys((part, key[0], key[1]) for part, key in two_d))
    separations = sorted({key[2] for part, key in two_d})
    header = "| weights | " + " | ".join("{} sd".format(s) for s in separations) + " |"
    rule = "|" + "---|" * (len(separations) + 1)

    def cell(part, d, weights, sep, what):
        c = drawn[part].get((d, weights, sep))
        return short_rate(c[what], c["samples"]) if c else "–"

    print("## report: wrong fits in 2-D, per cent of the samples (95 % Wilson interval)")
    print()
    print("From one drawn start:")
    print()
    print(header)
    print(rule)
    for part, d, weights in rows:
        print("| {} | ".format(row_label(d, weights)) + " | ".join(
            cell(part, d, weights, s, "drawn") for s in separations) + " |")
    print()
    print("With the advice: init_mean {:g} sd off each true mean, best of {} drawn starts "
          "(collapsed fits skipped), true start:".format(NEAR_SD, DRAWN_TRIES))
    print()
    print(header.replace("| weights |", "| weights | start |"))
    print(rule + "---|")
    for part, d, weights in rows:
        for what, name in (("near", "init_mean {:g} sd off".format(NEAR_SD)),
                           ("best", "best of {}".format(DRAWN_TRIES)), ("true", "true values")):
            print("| {} | {} | ".format(row_label(d, weights), name) + " | ".join(
                cell(part, d, weights, s, what) for s in separations) + " |")
    print()
    total = collections.Counter()
    for part, key in two_d:
        c = drawn[part][key]
        total.update({"wrong": c["drawn"], "reached n_iter": c["capped"],
                      "looked converged": c["looked_converged"], **c["raised"]})
    print("2-D, all cells: {} wrong from one drawn start; {}".format(
        total.pop("wrong"), ", ".join("{} {}".format(v, k) for k, v in sorted(total.items()))))
    print()
    high = drawn.get("drawn-starts-high", {})
    if high:
        print("## report: more dimensions, equal weights, means at the corners of a regular "
              "simplex of edge SEP sd, n = 1000 k")
        print()
        print("| d | k | SEP | one drawn start | of which raised | of which looked converged | "
              "init_mean {:g} sd off | best of {}, collapsed fits skipped | true values |".format(
                  NEAR_SD, DRAWN_TRIES))
        print("|---|---|---|---|---|---|---|---|---|")
        for (d, weights, sep), c in sorted(high.items(), key=lambda item: (len(item[0][1]),
                                                                           item[0][0])):
            raised = sum(c["raised"].values())
            kinds = ", ".join("{} {}".format(v, k.split(" (")[0])
                              for k, v in sorted(c["raised"].items(), key=lambda kv: -kv[1]))
            print("| {} | {} | {} | {} | {} | {} | {} | {} | {} |".format(
                d, len(weights), sep, short_rate(c["drawn"], c["samples"]),
                short_rate(raised, c["samples"]) + ("; {}".format(kinds) if kinds else ""),
                short_rate(c["looked_converged"], c["samples"])
                + (" ({} reached n_iter)".format(c["capped"]) if c["capped"] else ""),
                short_rate(c["near"], c["samples"]), short_rate(c["best"], c["samples"]),
                short_rate(c["true"], c["samples"])))
        print()
        print("best of {} keeping the highest log-likelihood as examples/several_starts.py "
              "computes it with refuse_collapsed=False (no fit skipped):".format(DRAWN_TRIES))
        for (d, weights, sep), c in sorted(high.items()):
            print("  d = {}, k = {}, {} sd: {} % wrong, {} of {} kept a collapsed fit".format(
                d, len(weights), sep, short_rate(c["best_plain"], c["samples"]),
                c["plain_kept_collapsed"], c["samples"]))
        print()


def draw_grid(measured, drawn, path):
    """Two panels: the grid started at the truth, one square per cell
    coloured by how far kofa's weight lies from the textbook EM's; and the
    rate of wrong fits from drawn start values (k=2, d=2)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    error = np.array([[measured[w, s][1] - measured[w, s][0] for s in SEPARATIONS]
                      for w in WEIGHTS])
    figure, (ax, bx) = plt.subplots(1, 2, figsize=(14, 4.8),
                                    gridspec_kw={"width_ratios": [6, 6]})
    image = ax.imshow(error, cmap="Reds", vmin=0, vmax=0.4, origin="lower", aspect="auto")
    for i, w in enumerate(WEIGHTS):
        for j, s in enumerate(SEPARATIONS):
            kofa_w, text_w, ok = measured[w, s]
            ax.text(j, i, "{:.2f}\n{}".format(kofa_w, "ok" if ok else "NO"), ha="center",
                    va="center", fontsize=9, fontweight="normal" if ok else "bold",
                    color="white" if error[i, j] > 0.25 else "black")
    ax.set_xticks(range(len(SEPARATIONS)), ["{} sd".format(s) for s in SEPARATIONS])
    ax.set_yticks(range(len(WEIGHTS)), ["{:.1f} / {:.1f}".format(w, 1 - w) for w in WEIGHTS])
    ax.set(xlabel="distance between the two means", ylabel="true weights",
           title="Started at the truth (n = {}, seeds {}-{}):\nkofa's weight of the larger "
                 "component; ok: agrees with a textbook EM".format(N_GRID, SEEDS[0], SEEDS[-1]))
    ax.title.set_fontsize(10)
    figure.colorbar(image, ax=ax, label="textbook EM's weight minus kofa's")

    rows, separations = DRAWN_PARTS["drawn-starts"]
    cells = [[drawn[d, tuple(w), s] for s in separations] for d, w in rows]
    share = np.array([[c["drawn"] / c["samples"] for c in row] for row in cells])
    image = bx.imshow(share, cmap="Reds", vmin=0, vmax=1, origin="lower", aspect="auto")
    for i, row in enumerate(cells):
        for j, c in enumerate(row):
            low, high = wilson(c["drawn"], c["samples"])
            bx.text(j, i, "{:.1f} %\n({:.1f}–{:.1f})\ntrue {:.1f}\nbest {:.1f}".format(
                100 * share[i, j], 100 * low, 100 * high, 100 * c["true"] / c["samples"],
                100 * c["best"] / c["samples"]),
                ha="center", va="center", fontsize=7.5,
                color="white" if share[i, j] > 0.6 else "black")
    bx.set_xticks(range(len(separations)), ["{} sd".format(s) for s in separations])
    bx.set_yticks(range(len(rows)), ["{:.1f} / {:.1f}".format(*w) for d, w in rows])
    bx.set(xlabel="distance between the two means",
           title="From the start values it draws itself (n = 2000, {} samples per cell):\n"
                 "% wrong from one drawn start (95 % interval); from the true start, "
                 "best of {}".format(DRAWN_SAMPLES, DRAWN_TRIES))
    bx.title.set_fontsize(10)
    figure.colorbar(image, ax=bx, label="share of wrong fits from one drawn start")
    figure.suptitle("gaussian_mixture, k=2, d=2, identity covariances", fontsize=11)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    print("picture: " + path)
    print()


def gaussian_three():
    print("## gaussian-three: k=3, d=2, identity covariances, means at the corners of a "
          "triangle of side SEP sd, n = 3000, seed 0;")
    print("both fits started at the true means shifted by 0.3 sd and identity covariances")
    print()
    print("| weights | SEP | kofa weights | it | textbook EM weights | it | log-lik. gap per obs. |")
    print("|---|---|---|---|---|---|---|")
    n = 3000
    for weights, sep in (((0.7, 0.15, 0.15), 4), ((0.7, 0.15, 0.15), 6),
                         ((0.9, 0.05, 0.05), 4), ((0.9, 0.05, 0.05), 6),
                         ((0.4, 0.3, 0.3), 4), ((1 / 3, 1 / 3, 1 / 3), 4)):
        rng = np.random.default_rng(0)
        true_m = sep * np.array([[0.0, 0.0], [1.0, 0.0], [0.5, np.sqrt(0.75)]])
        X = rng.standard_normal((n, 2)) + true_m[rng.choice(3, size=n, p=weights)]
        start = true_m + 0.3
        (w, m, c), it = quiet(kofa.gaussian_mixture, X, 3, [s.copy() for s in start],
                              [np.eye(2) for _ in range(3)])
        tw, tm, tc, tit, tll = textbook.gaussian_em(X, [1 / 3] * 3, start, [np.eye(2)] * 3)
        gap = (tll - textbook.gaussian_loglik(X, w, np.asarray(m, float), c)) / n
        print("| {} | {} | {} | {} | {} | {} | {:.3f} |".format(
            "/".join("{:.2f}".format(v) for v in weights), sep,
            "/".join("{:.3f}".format(v) for v in w), it,
            "/".join("{:.3f}".format(v) for v in tw), tit, gap))
    print()


def exponential():
    print("## exponential: weights 0.7/0.3, means 2 and 15, n = 3000 "
          "(component chosen per observation with rng.random(n) < 0.7), seeds 0, 1, 2")
    print()
    print("| seed | start means | kofa weights | kofa means | it | textbook EM weights | "
          "textbook EM means | it | log-lik. gap per obs. |")
    print("|---|---|---|---|---|---|---|---|---|")
    n = 3000
    for seed in range(3):
        rng = np.random.default_rng(seed)
        x = np.where(rng.random(n) < 0.7, rng.exponential(2.0, n), rng.exponential(15.0, n))
        for start in ([2.0, 15.0], [1.0, 10.0], [0.5, 30.0], [5.0, 8.0]):
            (w, lam), it = quiet(kofa.exponential_mixture, x.reshape(-1, 1), k=2,
                                 init_lambda=list(start))
            means = flat(lam)
            tw, tm, tit, tll = textbook.exponential_em(x, [0.5, 0.5], start)
            gap = (tll - textbook.exponential_loglik(x, w, means)) / n
            print("| {} | {:g}, {:g} | {:.3f} / {:.3f} | {:.2f} / {:.2f} | {} | {:.3f} / {:.3f} | "
                  "{:.2f} / {:.2f} | {} | {:.3f} |".format(
                      seed, *start, *w, *means, it, *tw, *tm, tit, gap))
    print()


def waiting_times():
    print("## waiting-times: n = 3000, seed 20240607, component drawn first "
          "(rng.choice), then its exponential; start means 1 and 10")
    n = 3000
    true_w, true_m = np.array([0.7, 0.3]), np.array([2.0, 15.0])
    rng = np.random.default_rng(20240607)
    x = rng.exponential(true_m[rng.choice(2, size=n, p=true_w)])
    (w, lam), it = quiet(kofa.exponential_mixture, x.reshape(-1, 1), k=2, init_lambda=[1.0, 10.0])
    means = flat(lam)
    tw, tm, tit, tll = textbook.exponential_em(x, [0.5, 0.5], [1.0, 10.0])
    print("kofa:        weights {:.3f} / {:.3f}; means {:.2f} / {:.2f} ({} iterations); "
          "log-likelihood {:.1f}".format(*w, *means, it, textbook.exponential_loglik(x, w, means)))
    print("textbook EM: weights {:.3f} / {:.3f}; means {:.2f} / {:.2f} ({} iterations); "
          "log-likelihood {:.1f}".format(*tw, *tm, tit, tll))
    print()


def background_peak():
    n = 5000
    print("## background-peak: n = {}, exponential background of mean 1, normal peak of "
          "sd 0.1 at POSITION with share SHARE,".format(n))
    print("exponential_gaussian_mixture started at the true values; cell: fitted peak sd "
          "(true 0.1) and background weight, median over seeds 0, 1, 2; 'kept' when the")
    print("fitted peak sd is below 0.2 and its mean within 0.05 of the truth on all three seeds")
    print()
    positions = (1.0, 2.0, 3.0, 4.0, 6.0)
    shares = (0.05, 0.1, 0.15, 0.2, 0.3)
    print("| peak share | " + " | ".join("at {:g}".format(p) for p in positions) + " |")
    print("|" + "---|" * (len(positions) + 1))
    for share in shares:
        cells = []
        for pos in positions:
            sds, bgs, kept = [], [], True
            for seed in range(3):
                rng = np.random.default_rng(seed)
                background = rng.random(n) >= share
                x = np.where(background, rng.exponential(1.0, n), rng.normal(pos, 0.1, n))
                (ew, lam, gw, mean, cov), _ = quiet(
                    kofa.exponential_gaussian_mixture, x.reshape(-1, 1), 1, 1, [1.0], [[pos]],
                    [[[0.01]]])
                sd, mu = np.sqrt(flat(cov)[0]), flat(mean)[0]
                sds.append(sd)
                bgs.append(ew[0])
                kept = kept and sd < 0.2 and abs(mu - pos) < 0.05
            cells.append("{} sd {:.2f}, bg {:.2f}".format(
                "kept" if kept else "**lost**", np.median(sds), np.median(bgs)))
        print("| {:.2f} | ".format(share) + " | ".join(cells) + " |")
    print()
    print("The case of the issue: 90 % background of mean 5, peak at 10 with sd 0.5, n = 5000, "
          "seed 0, started at the true values")
    rng = np.random.default_rng(0)
    x = np.where(rng.random(n) < 0.9, rng.exponential(5.0, n), rng.normal(10.0, 0.5, n))
    (ew, lam, gw, mean, cov), it = quiet(kofa.exponential_gaussian_mixture, x.reshape(-1, 1), 1, 1,
                                         [5.0], [[10.0]], [[[0.25]]])
    print("kofa:        weights {:.3f} / {:.3f}; background mean {:.2f}; peak {:.2f}, sd {:.2f} "
          "({} iterations)".format(ew[0], gw[0], flat(lam)[0], flat(mean)[0],
                                   np.sqrt(flat(cov)[0]), it))
    t = textbook.exp_gauss_em(x, [0.9, 0.1], 5.0, 10.0, 0.5)
    print("textbook EM: weights {:.3f} / {:.3f}; background mean {:.2f}; peak {:.2f}, sd {:.2f} "
          "({} iterations)".format(t[0], t[2], t[1], t[3], t[4], t[5]))
    print()


PARTS = {
    "gaussian-grid": gaussian_grid,
    "drawn-starts": drawn_starts,
    "drawn-starts-three": lambda: drawn_starts("drawn-starts-three"),
    "drawn-starts-high": lambda: drawn_starts("drawn-starts-high"),
    "gaussian-three": gaussian_three,
    "exponential": exponential,
    "waiting-times": waiting_times,
    "background-peak": background_peak,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--part", choices=list(PARTS), action="append",
                        help="run only this part (repeatable)")
    parser.add_argument("--picture", metavar="PNG",
                        help="also draw the gaussian-grid and the k=2 drawn-starts tables into "
                             "this file (matplotlib), e.g. docs/trust.png")
    parser.add_argument("--weights", type=float, action="append", metavar="W",
                        help="drawn-starts parts: only the row whose first weight is W "
                             "(0.5, 0.7, 0.9; 0.33, 0.6; 0.33, 0.2), repeatable, to share the "
                             "work out")
    parser.add_argument("--dims", type=int, action="append", metavar="D",
                        help="drawn-starts parts: only the rows of dimension D (2; 5, 10), "
                             "repeatable")
    parser.add_argument("--save", metavar="FILE",
                        help="gaussian-grid and drawn-starts parts: also write what they "
                             "measured into FILE (pickle), for --load")
    parser.add_argument("--load", metavar="FILE", action="append",
                        help="print the tables of docs/algorithm.md from the counts of --save "
                             "runs in FILE (repeatable), and for --picture take the drawn-starts "
                             "counts from them instead of measuring them")
    parser.add_argument("--samples", type=int, default=200,
                        help="drawn-starts parts: samples per cell (default %(default)s)")
    args = parser.parse_args(argv)
    global ONLY_WEIGHTS, ONLY_DIMS, DRAWN_SAMPLES
    ONLY_WEIGHTS = tuple(round(w, 2) for w in args.weights or ())
    ONLY_DIMS = tuple(args.dims or ())
    DRAWN_SAMPLES = args.samples
    print("kofa {} | numpy {} | Python {}".format(kofa.__file__, np.__version__,
                                                  sys.version.split()[0]))
    print()
    parts = args.part or ([] if args.load else list(PARTS))
    if args.picture:  # the picture needs both grids, measured here or loaded
        parts += [name for name in ("gaussian-grid", "drawn-starts")
                  if name not in parts and not args.load]
    results = {name: PARTS[name]() for name in parts}
    if args.save:
        with open(args.save, "wb") as file:
            pickle.dump({name: value for name, value in results.items()
                         if name.startswith(("drawn-starts", "gaussian-grid"))}, file)
    loaded = {}
    for path in args.load or ():
        with open(path, "rb") as file:
            for name, counts in pickle.load(file).items():
                loaded.setdefault(name, {}).update(counts)
    if any(name.startswith("drawn-starts") for name in loaded):
        report(loaded)
    if args.picture:
        draw_grid(results.get("gaussian-grid") or loaded["gaussian-grid"],
                  results.get("drawn-starts") or loaded["drawn-starts"], args.picture)
    return 0


if __name__ == "__main__":
    sys.exit(main())

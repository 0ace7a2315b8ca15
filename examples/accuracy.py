"""When can a kofa fit be trusted?  Measures kofa against a textbook EM
(examples/textbook.py) on generated data, and prints the tables that
docs/algorithm.md shows.

    python examples/accuracy.py                      # every part (about 20 s)
    python examples/accuracy.py --part gaussian-grid # one part (repeatable)
    python examples/accuracy.py --picture docs/trust.png   # also draw the grid

Parts:

gaussian-grid    two 2-D normal components (identity covariances) whose means
                 lie SEP standard deviations apart, with weights W and 1 - W;
                 gaussian_mixture and the textbook EM both started at the true
                 values, 5 samples of n = 2000 per cell
gaussian-grid-drawn  the same with the start values that gaussian_mixture
                 draws itself (numpy.random.seed(seed) first), at separations
                 up to 12 sd; the textbook EM still starts at the truth
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
import contextlib
import io
import os
import sys
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
SEPARATIONS_DRAWN = (3, 4, 6, 8, 10, 12)
SEEDS = range(5)
N_GRID = 2000


def gaussian_grid(picture=None, drawn=False):
    separations = SEPARATIONS_DRAWN if drawn else SEPARATIONS
    if drawn:
        print("## gaussian-grid-drawn: k=2, d=2, identity covariances, n = {}, seeds {}..{}; "
              "gaussian_mixture draws its start values".format(N_GRID, SEEDS[0], SEEDS[-1]))
        print("(numpy.random.seed(seed) first), the textbook EM starts at the true values")
    else:
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
                    if drawn:
                        np.random.seed(seed)
                        (weight, mean, cov), _ = quiet(kofa.gaussian_mixture, X, 2)
                    else:
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
    if picture:
        draw_grid(measured, picture)


def draw_grid(measured, path):
    """The grid as a picture: one square per cell, coloured by how far
    kofa's weight lies from the textbook EM's."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    error = np.array([[measured[w, s][1] - measured[w, s][0] for s in SEPARATIONS]
                      for w in WEIGHTS])
    figure, ax = plt.subplots(figsize=(7.5, 4.2))
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
           title="gaussian_mixture, k=2, d=2, n = {}, seeds {}-{}, started at the truth:\n"
                 "kofa's weight of the larger component, and whether kofa agrees with a "
                 "textbook EM".format(N_GRID, SEEDS[0], SEEDS[-1]))
    ax.title.set_fontsize(10)
    figure.colorbar(image, ax=ax, label="textbook EM's weight minus kofa's")
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
    "gaussian-grid-drawn": lambda: gaussian_grid(drawn=True),
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
                        help="also draw the gaussian-grid table into this file (matplotlib), "
                             "e.g. docs/trust.png")
    args = parser.parse_args(argv)
    print("kofa {} | numpy {} | Python {}".format(kofa.__file__, np.__version__,
                                                  sys.version.split()[0]))
    print()
    for name in args.part or list(PARTS):
        if name == "gaussian-grid":
            gaussian_grid(args.picture)
        else:
            PARTS[name]()
    return 0


if __name__ == "__main__":
    sys.exit(main())

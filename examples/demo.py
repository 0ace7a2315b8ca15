"""Fit mixture models with kofa to generated samples, compare the fitted
parameters with the ones the data were drawn from, and draw the fits.

    python examples/demo.py                        # all three fits, pictures in demo-output/
    python examples/demo.py --only gaussian        # one fit (repeatable)
    python examples/demo.py --output-dir DIR       # pictures elsewhere
    python examples/demo.py --no-plots             # summary only

The pictures need matplotlib; without it the demo prints its summary only.
Every kofa fit prints one progress line per EM iteration; the demo captures
those lines and reports their number as the number of iterations.  All start
values are passed as lists: the fits write their updates into a given start
list and return that same list.
"""

import argparse
import contextlib
import io
import itertools
import os
import sys
import time

import numpy as np

import kofa

SEED = 20240607
OUTPUT_DIR = "demo-output"
N_ITER = 1000


class Fit:
    """One kofa call: its result, the progress lines it printed (one per
    iteration) and the wall time it took."""

    def __init__(self, result, lines, seconds):
        self.result = result
        self.lines = lines
        self.seconds = seconds

    @property
    def iterations(self):
        return len(self.lines)

    def report(self):
        if self.iterations < N_ITER:
            how = "converged after {} iterations".format(self.iterations)
        else:
            how = "stopped at the iteration limit, {} iterations".format(self.iterations)
        print("  {} ({:.3f} s); last progress value {:.4f}".format(
            how, self.seconds, float(self.lines[-1])))


def run_fit(fit, *args, **kwargs):
    out = io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(out):
        result = fit(*args, n_iter=N_ITER, **kwargs)
    return Fit(result, out.getvalue().splitlines(), time.perf_counter() - start)


def scalars(values):
    """Fitted scalars as floats (a start list comes back holding one-element
    arrays)."""
    return np.array([float(np.ravel(v)[0]) for v in values])


def print_table(header, rows):
    rows = [[c if isinstance(c, str) else "{:.3f}".format(c) for c in row] for row in rows]
    widths = [max(len(c) for c in column) for column in zip(header, *rows)]
    for row in [header] + rows:
        print("    " + "  ".join(c.rjust(w) for c, w in zip(row, widths)))


def exponential_density(grid, mean):
    return np.exp(-grid / mean) / mean


def normal_density(grid, mean, var):
    return np.exp(-0.5 * (grid - mean) ** 2 / var) / np.sqrt(2 * np.pi * var)


def draw_histogram(ax, x, upper, title, true_density, components, log=False):
    """Histogram of ``x`` with the fitted components (each times its fitted
    weight), their sum, and the density the sample was drawn from."""
    grid = np.linspace(0.0, upper, 500)
    ax.hist(x, bins=80, range=(0.0, upper), density=True, color="0.82", label="sample")
    curves = [(label, density(grid)) for label, density in components]
    fitted = sum(y for _, y in curves)
    ax.plot(grid, fitted, color="C3", lw=4, alpha=0.45, label="fitted mixture")
    for i, (label, y) in enumerate(curves):
        ax.plot(grid, y, "--", color="C{}".format(i), lw=1.8, label=label)
    ax.plot(grid, true_density(grid), ":", color="k", lw=1.6, label="true mixture")
    ax.set(title=title, xlabel="x", ylabel="density (log scale)" if log else "density",
           xlim=(0.0, upper))
    if log:
        ax.set_yscale("log")
        top = max(fitted.max(), true_density(grid).max())
        ax.set_ylim(true_density(upper) / 5, top * 3)
    ax.legend(frameon=False)


# --------------------------------------------------------------------------
# The demos.  Each takes a NumPy Generator, prints its report and returns a
# function that draws the fit on a matplotlib Axes.
# --------------------------------------------------------------------------


def exponential_demo(rng):
    n = 3000
    true_weight, true_mean = np.array([0.6, 0.4]), np.array([1.0, 8.0])
    x = rng.exponential(true_mean[rng.choice(2, size=n, p=true_weight)])
    X = x.reshape(-1, 1)  # one observation per row, a single column
    init_lambda = [0.5, 5.0]

    print("exponential_mixture: {} draws from 2 exponentials, start means {}".format(
        n, init_lambda))
    fit = run_fit(kofa.exponential_mixture, X, k=2, init_lambda=init_lambda)
    weight, lambda_ = fit.result
    mean = scalars(lambda_)
    fit.report()
    print("  the returned means are the start list itself: {}".format(lambda_ is init_lambda))
    order = np.argsort(mean)
    print_table(["component", "true weight", "fitted weight", "true mean", "fitted mean"],
                [[str(i + 1), true_weight[i], weight[j], true_mean[i], mean[j]]
                 for i, j in enumerate(order)])

    def draw(ax):
        draw_histogram(
            ax, x, np.percentile(x, 99),
            "exponential_mixture, k=2: {} iterations".format(fit.iterations),
            lambda g: sum(w * exponential_density(g, m) for w, m in zip(true_weight, true_mean)),
            [("{:.2f} x Exp(mean {:.2f})".format(weight[j], mean[j]),
              lambda g, j=j: weight[j] * exponential_density(g, mean[j])) for j in order],
            log=True)

    return draw


def gaussian_demo(rng):
    n = 1500
    true_weight = np.array([0.4, 0.35, 0.25])
    true_mean = np.array([[0.0, 0.0], [5.0, 1.0], [2.0, 5.0]])
    true_cov = np.array([[[1.0, 0.3], [0.3, 0.6]],
                         [[0.8, -0.4], [-0.4, 1.2]],
                         [[0.5, 0.0], [0.0, 0.9]]])
    component = rng.choice(3, size=n, p=true_weight)
    X = np.array([rng.multivariate_normal(true_mean[j], true_cov[j]) for j in component])
    init_mean = [[-1.0, 1.0], [4.0, 0.0], [3.0, 4.0]]  # k start vectors of length d

    print("gaussian_mixture: {} points in 2-D from 3 normals, start means {}".format(
        n, init_mean))
    fit = run_fit(kofa.gaussian_mixture, X, k=3, init_mean=init_mean)
    weight, mean, cov = fit.result
    mean, cov = np.asarray(mean, dtype=float), np.asarray(cov, dtype=float)
    fit.report()
    # pair fitted with true components by the nearest means
    order = min(itertools.permutations(range(3)),
                key=lambda p: sum(np.linalg.norm(mean[j] - true_mean[i]) for i, j in enumerate(p)))

    def fmt_mean(m):
        return "({:.2f}, {:.2f})".format(*m)

    def fmt_cov(c):
        return "{:.2f} {:+.2f} {:.2f}".format(c[0, 0], c[0, 1], c[1, 1])

    print_table(["component", "true weight", "fitted weight", "true mean", "fitted mean",
                 "true cov xx xy yy", "fitted cov xx xy yy"],
                [[str(i + 1), true_weight[i], weight[j], fmt_mean(true_mean[i]),
                  fmt_mean(mean[j]), fmt_cov(true_cov[i]), fmt_cov(cov[j])]
                 for i, j in enumerate(order)])

    def draw(ax):
        from matplotlib.lines import Line2D
        from matplotlib.patches import Ellipse

        ax.scatter(X[:, 0], X[:, 1], s=4, color="0.6", alpha=0.6, lw=0)
        for i, j in enumerate(order):
            values, vectors = np.linalg.eigh(cov[j])
            angle = np.degrees(np.arctan2(vectors[1, -1], vectors[0, -1]))
            for sigmas, style in ((1, "-"), (2, "--")):
                width, height = 2 * sigmas * np.sqrt(values[::-1])
                ax.add_patch(Ellipse(mean[j], width, height, angle=angle, fill=False,
                                     ls=style, lw=1.8, color="C{}".format(i)))
            ax.plot(*mean[j], "o", color="C{}".format(i), ms=8, mec="k")
            ax.plot(*true_mean[i], "kx", ms=9, mew=2)
        handles = [Line2D([], [], ls="", marker="o", color="0.6", ms=4, label="sample"),
                   Line2D([], [], ls="", marker="o", color="w", mec="k", ms=8, label="fitted mean"),
                   Line2D([], [], ls="", marker="x", color="k", mew=2, ms=9, label="true mean"),
                   Line2D([], [], color="0.3", lw=1.8, label="fitted 1-sigma ellipse"),
                   Line2D([], [], color="0.3", lw=1.8, ls="--", label="fitted 2-sigma ellipse")]
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.02, 1.0), frameon=False)
        ax.set(title="gaussian_mixture, k=3: {} iterations".format(fit.iterations),
               xlabel="x[0]", ylabel="x[1]", aspect="equal")

    return draw


def exponential_gaussian_demo(rng):
    n_exp, n_gauss = 1500, 1000
    true_scale, true_mu, true_sd = 2.0, 12.0, 1.5
    x = np.concatenate([rng.exponential(true_scale, n_exp), rng.normal(true_mu, true_sd, n_gauss)])
    X = x.reshape(-1, 1)
    init_lambda, init_mean, init_cov = [1.0], [[10.0]], [[[4.0]]]
    true_w = n_exp / (n_exp + n_gauss)

    print("exponential_gaussian_mixture: {} exponential and {} normal draws, "
          "start mean {}, start normal {} / {}".format(n_exp, n_gauss, init_lambda,
                                                       init_mean, init_cov))
    fit = run_fit(kofa.exponential_gaussian_mixture, X, exponential_k=1, gaussian_k=1,
                  init_lambda=init_lambda, init_mean=init_mean, init_cov=init_cov)
    exp_weight, lambda_, gauss_weight, mean, cov = fit.result
    scale = scalars(lambda_)[0]
    mu, var = scalars(mean)[0], scalars(cov)[0]
    fit.report()
    print_table(["component", "true weight", "fitted weight", "true mean", "fitted mean",
                 "true sd", "fitted sd"],
                [["exponential", true_w, exp_weight[0], true_scale, scale, "-", "-"],
                 ["normal", 1 - true_w, gauss_weight[0], true_mu, mu, true_sd, np.sqrt(var)]])

    def draw(ax):
        draw_histogram(
            ax, x, np.percentile(x, 99.5),
            "exponential_gaussian_mixture: {} iterations".format(fit.iterations),
            lambda g: (true_w * exponential_density(g, true_scale)
                       + (1 - true_w) * normal_density(g, true_mu, true_sd ** 2)),
            [("{:.2f} x Exp(mean {:.2f})".format(exp_weight[0], scale),
              lambda g: exp_weight[0] * exponential_density(g, scale)),
             ("{:.2f} x N({:.2f}, sd {:.2f})".format(gauss_weight[0], mu, np.sqrt(var)),
              lambda g: gauss_weight[0] * normal_density(g, mu, var))])

    return draw


DEMOS = {
    "exponential": exponential_demo,
    "gaussian": gaussian_demo,
    "exponential_gaussian": exponential_gaussian_demo,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", choices=list(DEMOS), action="append",
                        help="run only this demo (repeatable)")
    parser.add_argument("--output-dir", default=OUTPUT_DIR,
                        help="where the pictures go (default: %(default)s)")
    parser.add_argument("--no-plots", action="store_true", help="print the summary only")
    parser.add_argument("--seed", type=int, default=SEED, help="seed of the generated data")
    args = parser.parse_args(argv)

    plt = None
    if not args.no_plots:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            pass

    print("kofa {} | numpy {} | Python {} | seed {}".format(
        kofa.__file__, np.__version__, sys.version.split()[0], args.seed))
    written = []
    for name in args.only or list(DEMOS):
        print()
        # Fresh, reproducible data per demo; the global state is seeded too,
        # for fits that would draw their own start values.
        np.random.seed(args.seed)
        draw = DEMOS[name](np.random.default_rng(args.seed))
        if plt is not None:
            figure, ax = plt.subplots(figsize=(8, 5))
            draw(ax)
            figure.tight_layout()
            os.makedirs(args.output_dir, exist_ok=True)
            path = os.path.join(args.output_dir, name + ".png")
            figure.savefig(path, dpi=90)
            plt.close(figure)
            written.append(path)

    print()
    if written:
        print("pictures: " + ", ".join(written))
    elif not args.no_plots:
        print("no pictures: matplotlib is not installed "
              "(pip install matplotlib, or run make demo, which installs it)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Fit mixture models with kofa to generated samples, compare the fitted
parameters with the ones the data were drawn from, and draw the fits.

    python examples/demo.py                        # all three fits, pictures in demo-output/
    python examples/demo.py --only gaussian        # one fit (repeatable)
    python examples/demo.py --output-dir DIR       # pictures elsewhere
    python examples/demo.py --no-plots             # summary only
    python examples/demo.py --docs                 # also redraw the pictures in docs/

The pictures need matplotlib; without it the demo prints its summary only.
Every kofa fit prints one progress line per EM iteration; the demo captures
those lines and reports their number as the number of iterations.  The
exponential and the Gaussian fit draw their own start values from
numpy.random, which the demo seeds; the mixed fit gets its start values as
lists, which it updates in place and returns.  Each picture shows every
component twice in one colour: as drawn (dashed) and as fitted (solid),
numbered as in the printed table.

The last demo, background_peak, is the case that shows where kofa's fits
differ from a textbook EM: a narrow normal peak on a broad exponential
background, fitted by exponential_gaussian_mixture and by the textbook EM
written out below (textbook_em), on the same data.
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
DOCS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs")
DOCS_PICTURES = {"gaussian": "gaussian.png", "background_peak": "accuracy.png"}
N_ITER = 1000
_seed = [SEED]  # the seed of this run's data, for the pictures' titles


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

    def report(self, what=""):
        if self.iterations < N_ITER:
            how = "converged after {} iterations".format(self.iterations)
        else:
            how = "stopped at the iteration limit, {} iterations".format(self.iterations)
        print("  {}{} ({:.3f} s); last progress value {:.4f}".format(
            what, how, self.seconds, float(self.lines[-1])))


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


def textbook_em(x, weight, scale, mean, sd, n_iter=10000, tol=1e-12):
    """A textbook EM for one exponential and one normal component on the
    one-dimensional sample ``x``, for comparison with kofa: the mixing
    weights multiply the densities in the responsibilities, and every
    parameter is the ordinary responsibility-weighted estimate over all
    observations.  Stops when the log-likelihood grows by less than ``tol``
    (relative).  Returns (exponential weight, scale, normal weight, mean,
    sd, iterations)."""
    w = np.array(weight, dtype=float)
    old = -np.inf
    for iteration in range(1, n_iter + 1):
        joint = np.vstack([w[0] * exponential_density(x, scale),
                           w[1] * normal_density(x, mean, sd ** 2)])
        total = joint.sum(axis=0)
        r = joint / total
        n_k = r.sum(axis=1)
        w = n_k / len(x)
        scale = (r[0] * x).sum() / n_k[0]
        mean = (r[1] * x).sum() / n_k[1]
        sd = np.sqrt((r[1] * (x - mean) ** 2).sum() / n_k[1])
        loglik = np.log(total).sum()
        if loglik - old < tol * abs(loglik):
            break
        old = loglik
    return w[0], scale, w[1], mean, sd, iteration


def draw_components(ax, grid, components, totals=None):
    """``components``: (colour, true label, true curve, fitted label, fitted
    curve) per component.  True curves are dashed and fitted ones solid, and
    so are the two mixtures when ``totals`` (true, fitted) is given."""
    for colour, true_label, true_y, fitted_label, fitted_y in components:
        ax.plot(grid, true_y, "--", color=colour, lw=1.8, zorder=3, label=true_label)
        ax.plot(grid, fitted_y, "-", color=colour, lw=2.2, zorder=2, label=fitted_label)
    if totals is not None:
        # underneath, so that a component stays visible where it makes up
        # the whole mixture
        ax.plot(grid, totals[0], "--", color="0.25", lw=1.0, zorder=1, label="true mixture")
        ax.plot(grid, totals[1], "-", color="0.3", lw=7, alpha=0.3, zorder=1,
                solid_capstyle="butt", label="fitted mixture (grey band)")


def number(ax, x, y, i, colour, offset=(0, 6)):
    """Component i's number as in the printed table."""
    ax.annotate(str(i + 1), (x, y), xytext=offset, textcoords="offset points", ha="center",
                va="bottom", color=colour, fontsize=12, fontweight="bold",
                bbox=dict(boxstyle="round,pad=0.1", fc="white", ec="none", alpha=0.8))


# --------------------------------------------------------------------------
# The demos.  Each takes a NumPy Generator, prints its report and returns a
# function that draws the fit on a matplotlib Axes, with its figure size.
# --------------------------------------------------------------------------


def exponential_demo(rng):
    n = 3000
    true_weight, true_mean = np.array([0.6, 0.4]), np.array([1.0, 8.0])
    x = rng.exponential(true_mean[rng.choice(2, size=n, p=true_weight)])
    X = x.reshape(-1, 1)  # one observation per row, a single column

    print("exponential_mixture: {} draws from 2 exponentials, "
          "start means drawn by the fit from numpy.random".format(n))
    fit = run_fit(kofa.exponential_mixture, X, k=2)
    weight, lambda_ = fit.result
    mean = scalars(lambda_)
    fit.report()
    order = np.argsort(mean)  # fitted component paired with true component i
    print_table(["component", "true weight", "fitted weight", "true mean", "fitted mean"],
                [[str(i + 1), true_weight[i], weight[j], true_mean[i], mean[j]]
                 for i, j in enumerate(order)])

    def draw(ax):
        # On a log axis an exponential's density per unit of ln x, x f(x), is
        # a hump that peaks at its mean (height weight / e); log-spaced bins
        # hold enough draws far into the tail.
        edges = np.geomspace(np.percentile(x, 0.2), np.percentile(x, 99.9), 41)
        counts, _ = np.histogram(x, edges)
        ax.stairs(counts / (n * np.diff(np.log(edges))), edges, fill=True, color="0.86",
                  label="sample")
        grid = np.geomspace(edges[0], edges[-1], 400)

        def hump(w, m):
            return w * grid * exponential_density(grid, m)

        components = []
        for i, j in enumerate(order):
            components.append((
                "C{}".format(i),
                "{} true: {:.2f} × Exp(mean {:.2f})".format(i + 1, true_weight[i], true_mean[i]),
                hump(true_weight[i], true_mean[i]),
                "{} fitted: {:.2f} × Exp(mean {:.2f})".format(i + 1, weight[j], mean[j]),
                hump(weight[j], mean[j])))
        draw_components(ax, grid, components,
                        (sum(hump(w, m) for w, m in zip(true_weight, true_mean)),
                         sum(hump(w, m) for w, m in zip(weight, mean))))
        for i, j in enumerate(order):
            # above the fitted mixture at the component's peak
            at = sum(w * mean[j] * exponential_density(mean[j], m) for w, m in zip(weight, mean))
            number(ax, mean[j], at, i, "C{}".format(i))
        ax.set_xscale("log")
        ax.set(title="exponential_mixture, k=2: {} iterations (n = {}, seed {}); "
                     "each hump peaks at its mean".format(fit.iterations, n, _seed[0]),
               xlabel="x (log scale)", ylabel="density of ln x  (x times density of x)",
               xlim=(edges[0], edges[-1]), ylim=(0, None))
        ax.legend(loc="upper left", fontsize=9, frameon=False)

    return draw, (8, 5)


def gaussian_demo(rng):
    n = 1500
    true_weight = np.array([0.4, 0.35, 0.25])
    true_mean = np.array([[0.0, 0.0], [5.0, 1.0], [2.0, 5.0]])
    true_cov = np.array([[[1.0, 0.3], [0.3, 0.6]],
                         [[0.8, -0.4], [-0.4, 1.2]],
                         [[0.5, 0.0], [0.0, 0.9]]])
    component = rng.choice(3, size=n, p=true_weight)
    X = np.array([rng.multivariate_normal(true_mean[j], true_cov[j]) for j in component])

    print("gaussian_mixture: {} points in 2-D from 3 normals, "
          "start values drawn by the fit from numpy.random".format(n))
    fit = run_fit(kofa.gaussian_mixture, X, k=3)
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
        from matplotlib.legend_handler import HandlerTuple
        from matplotlib.lines import Line2D
        from matplotlib.patches import Ellipse

        def ellipses(m, c, style, colour):
            values, vectors = np.linalg.eigh(c)
            angle = np.degrees(np.arctan2(vectors[1, -1], vectors[0, -1]))
            for sigmas in (1, 2):
                width, height = 2 * sigmas * np.sqrt(values[::-1])
                ax.add_patch(Ellipse(m, width, height, angle=angle, fill=False, ls=style,
                                     lw=1.6, color=colour))

        ax.scatter(X[:, 0], X[:, 1], s=4, color="0.65", alpha=0.6, lw=0)
        handles = []
        for i, j in enumerate(order):
            colour = "C{}".format(i)
            ellipses(true_mean[i], true_cov[i], "--", colour)
            ellipses(mean[j], cov[j], "-", colour)
            ax.plot(*true_mean[i], "x", color="k", ms=8, mew=2)
            ax.plot(*mean[j], "o", color=colour, ms=7, mec="k")
            number(ax, mean[j][0], mean[j][1], i, colour, offset=(12, 2))
            handles.append(Line2D([], [], color=colour, ls="--", lw=1.6, label=(
                "{} true: weight {:.2f}\n   mean {}\n   cov {}".format(
                    i + 1, true_weight[i], fmt_mean(true_mean[i]), fmt_cov(true_cov[i])))))
            handles.append(Line2D([], [], color=colour, lw=1.6, label=(
                "{} fitted: weight {:.2f}\n   mean {}\n   cov {}".format(
                    i + 1, weight[j], fmt_mean(mean[j]), fmt_cov(cov[j])))))
        # The markers in the plot's empty corner; the components below it, one
        # column each (the saved picture is cropped to include them).
        ax.add_artist(ax.legend(handles=[
            Line2D([], [], ls="", marker="o", color="0.65", ms=4, label="sample"),
            Line2D([], [], ls="", marker="x", color="k", mew=2, ms=8, label="true mean"),
            tuple(Line2D([], [], ls="", marker="o", color="C{}".format(i), mec="k", ms=7)
                  for i in range(3)),
        ], labels=["sample", "true mean", "fitted mean"], loc="upper right", fontsize=9,
            handler_map={tuple: HandlerTuple(ndivide=None)}))
        ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.09), ncol=3,
                  fontsize=9, frameon=False, handlelength=2.2, columnspacing=1.5,
                  title="cov: xx xy yy", title_fontsize=9)
        ax.set(title="gaussian_mixture, k=3: {} iterations (n = {}, seed {});\n"
                     "1- and 2-sigma ellipses".format(fit.iterations, n, _seed[0]),
               xlabel="x[0]", ylabel="x[1]", aspect="equal")

    return draw, (7, 8)


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
    print("  the returned scales, means and covariances are the start lists themselves: {}".format(
        lambda_ is init_lambda and mean is init_mean and cov is init_cov))
    print_table(["component", "true weight", "fitted weight", "true mean", "fitted mean",
                 "true sd", "fitted sd"],
                [["exponential", true_w, exp_weight[0], true_scale, scale, "-", "-"],
                 ["normal", 1 - true_w, gauss_weight[0], true_mu, mu, true_sd, np.sqrt(var)]])

    def draw(ax):
        upper = np.percentile(x, 99.8)
        ax.hist(x, bins=60, range=(0.0, upper), density=True, color="0.86", label="sample")
        grid = np.linspace(0.0, upper, 500)
        true_exp = true_w * exponential_density(grid, true_scale)
        true_normal = (1 - true_w) * normal_density(grid, true_mu, true_sd ** 2)
        fitted_exp = exp_weight[0] * exponential_density(grid, scale)
        fitted_normal = gauss_weight[0] * normal_density(grid, mu, var)
        true_total, fitted_total = true_exp + true_normal, fitted_exp + fitted_normal
        top = max(true_total.max(), fitted_total.max())
        # The mixtures as wide grey bands underneath, so that each component's
        # curve stays visible where it makes up the whole mixture; every curve
        # is drawn over the whole range, tails along the axis included (the y
        # axis starts a little below 0 so that they show above it).
        ax.plot(grid, fitted_total, "-", color="0.3", lw=7, alpha=0.3, zorder=1,
                solid_capstyle="butt", label="fitted mixture (grey band)")
        ax.plot(grid, true_total, "--", color="0.25", lw=1.0, zorder=1, label="true mixture")
        for colour, true_label, true_y, fitted_label, fitted_y in [
                ("C0", "exponential true: {:.2f} × Exp(mean {:.2f})".format(true_w, true_scale),
                 true_exp,
                 "exponential fitted: {:.2f} × Exp(mean {:.2f})".format(exp_weight[0], scale),
                 fitted_exp),
                ("C1", "normal true: {:.2f} × N({:.2f}, sd {:.2f})".format(
                    1 - true_w, true_mu, true_sd), true_normal,
                 "normal fitted: {:.2f} × N({:.2f}, sd {:.2f})".format(
                     gauss_weight[0], mu, np.sqrt(var)), fitted_normal)]:
            ax.plot(grid, true_y, "--", color=colour, lw=1.6, zorder=3, label=true_label)
            ax.plot(grid, fitted_y, "-", color=colour, lw=2.0, zorder=2, label=fitted_label)
        ax.set(title="exponential_gaussian_mixture: {} iterations (n = {}, seed {})".format(
                   fit.iterations, len(x), _seed[0]),
               xlabel="x", ylabel="density (each component times its weight)",
               xlim=(0.0, upper), ylim=(-0.025 * top, 1.05 * top))
        ax.legend(loc="upper center", fontsize=9, frameon=False)

    return draw, (8, 5)


def background_peak_demo(rng):
    """Where kofa's fit is biased: a narrow normal peak (20%) on a broad
    exponential background (80%), beside a textbook EM on the same data."""
    n = 5000
    true = {"exponential weight": 0.8, "exponential mean": 3.0, "normal weight": 0.2,
            "normal mean": 6.4, "normal sd": 0.3}
    background = rng.random(n) < true["exponential weight"]
    x = np.where(background, rng.exponential(true["exponential mean"], n),
                 rng.normal(true["normal mean"], true["normal sd"], n))
    X = x.reshape(-1, 1)
    start = (1.0, 5.0, 2.0)  # exponential mean, normal mean, normal sd

    print("background_peak: where kofa is biased. {} draws, {:.0%} exponential (mean {:g}) "
          "and {:.0%} a narrow normal peak ({:g}, sd {:g}),".format(
              n, true["exponential weight"], true["exponential mean"], true["normal weight"],
              true["normal mean"], true["normal sd"]))
    print("  fitted by exponential_gaussian_mixture from the start mean {:g}, normal {:g} "
          "sd {:g}, and from the true values,".format(*start))
    print("  and by a textbook EM (weights in the responsibilities, ordinary M-step) "
          "from the first start with weights 0.5/0.5")

    def kofa_fit(scale, mean, sd):
        fit = run_fit(kofa.exponential_gaussian_mixture, X, exponential_k=1, gaussian_k=1,
                      init_lambda=[scale], init_mean=[[mean]], init_cov=[[[sd ** 2]]])
        exp_weight, lambda_, gauss_weight, mean_, cov = fit.result
        return fit, (float(exp_weight[0]), scalars(lambda_)[0], float(gauss_weight[0]),
                     scalars(mean_)[0], np.sqrt(scalars(cov)[0]))

    fit, kofa_values = kofa_fit(*start)
    fit.report("kofa from the first start: ")
    from_true, kofa_true_values = kofa_fit(true["exponential mean"], true["normal mean"],
                                           true["normal sd"])
    from_true.report("kofa from the true values: ")
    textbook = textbook_em(x, [0.5, 0.5], *start)
    print("  textbook EM: converged after {} iterations".format(textbook[-1]))
    print_table(["parameter", "true", "kofa", "kofa from true", "textbook EM"],
                [[name, value, k, kt, t] for (name, value), k, kt, t
                 in zip(true.items(), kofa_values, kofa_true_values, textbook[:5])])

    def draw(ax):
        upper = np.percentile(x, 99.8)
        ax.hist(x, bins=120, range=(0.0, upper), density=True, color="0.86", label="sample")
        grid = np.linspace(0.0, upper, 1000)

        def total(w_exp, scale, w_normal, mean, sd):
            return (w_exp * exponential_density(grid, scale)
                    + w_normal * normal_density(grid, mean, sd ** 2))

        def label(name, values):
            return "{}: {:.2f} × Exp(mean {:.2f}) + {:.2f} × N({:.2f}, sd {:.2f})".format(
                name, *values)

        ax.plot(grid, total(*true.values()), "--", color="k", lw=1.4,
                label=label("true", list(true.values())))
        ax.plot(grid, total(*kofa_values), "-", color="C3", lw=2.2,
                label=label("kofa", kofa_values))
        ax.plot(grid, total(*kofa_true_values), "-", color="C1", lw=1.6,
                label=label("kofa from true", kofa_true_values))
        # The textbook EM's curve lies on the true one: draw it as markers
        # (every 20th grid point) so that both stay visible, and again in an
        # inset around the peak.
        ax.plot(grid, total(*textbook[:5]), "o", color="C0", ms=4.5, mfc="none", mew=1.2,
                markevery=(10, 20), label=label("textbook EM (circles)", textbook[:5]))
        ax.set(title="Narrow peak on a broad background (n = {}, seed {}): kofa against a "
                     "textbook EM".format(n, _seed[0]),
               xlabel="x", ylabel="density", xlim=(0.0, upper), ylim=(0, None))
        ax.legend(loc="upper right", fontsize=9, frameon=False)
        inset = ax.inset_axes([0.55, 0.22, 0.42, 0.42])
        near = (grid > true["normal mean"] - 4 * true["normal sd"]) \
            & (grid < true["normal mean"] + 4 * true["normal sd"])
        inset.hist(x, bins=120, range=(0.0, upper), density=True, color="0.86")
        inset.plot(grid[near], total(*true.values())[near], "--", color="k", lw=1.4)
        inset.plot(grid[near], total(*kofa_true_values)[near], "-", color="C1", lw=1.6)
        inset.plot(grid[near], total(*kofa_values)[near], "-", color="C3", lw=1.6)
        inset.plot(grid[near], total(*textbook[:5])[near], "o", color="C0", ms=4, mfc="none",
                   mew=1.1, markevery=3)
        inset.set_xlim(grid[near][0], grid[near][-1])
        inset.set_ylim(0, None)
        inset.set_title("around the peak", fontsize=9)
        inset.tick_params(labelsize=8)
        ax.indicate_inset_zoom(inset, edgecolor="0.5")

    return draw, (9, 5)


DEMOS = {
    "exponential": exponential_demo,
    "gaussian": gaussian_demo,
    "exponential_gaussian": exponential_gaussian_demo,
    "background_peak": background_peak_demo,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", choices=list(DEMOS), action="append",
                        help="run only this demo (repeatable)")
    parser.add_argument("--output-dir", default=OUTPUT_DIR,
                        help="where the pictures go (default: %(default)s)")
    parser.add_argument("--no-plots", action="store_true", help="print the summary only")
    parser.add_argument("--seed", type=int, default=SEED, help="seed of the generated data")
    parser.add_argument("--docs", action="store_true",
                        help="also write the pictures that docs/ shows ({})".format(
                            ", ".join(sorted(DOCS_PICTURES.values()))))
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
        # for the fits that draw their own start values.
        np.random.seed(args.seed)
        _seed[0] = args.seed
        draw, size = DEMOS[name](np.random.default_rng(args.seed))
        if plt is not None:
            figure, ax = plt.subplots(figsize=size)
            draw(ax)
            figure.tight_layout()
            os.makedirs(args.output_dir, exist_ok=True)
            path = os.path.join(args.output_dir, name + ".png")
            figure.savefig(path, dpi=90, bbox_inches="tight")
            written.append(path)
            if args.docs and name in DOCS_PICTURES:
                path = os.path.normpath(os.path.join(DOCS_DIR, DOCS_PICTURES[name]))
                figure.savefig(path, dpi=90, bbox_inches="tight")
                written.append(path)
            plt.close(figure)

    print()
    if written:
        print("pictures: " + ", ".join(written))
    elif not args.no_plots:
        print("no pictures: matplotlib is not installed "
              "(pip install matplotlib, or run make demo, which installs it)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

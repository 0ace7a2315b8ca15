"""Fit mixture models with kofa to generated samples and compare the fitted
parameters with the ones the data were drawn from.

    python examples/demo.py                  # all demos
    python examples/demo.py --plot demo.png  # also draw the fits (needs matplotlib)

Every kofa fit prints one progress line per EM iteration; the demo captures
those lines and reports their number as the number of iterations.
"""

import argparse
import contextlib
import io
import sys
import time

import numpy as np

import kofa

SEED = 20240607


class Fit:
    """The outcome of one kofa call: its result, the progress lines it
    printed (one per iteration) and the wall time it took."""

    def __init__(self, result, lines, seconds):
        self.result = result
        self.lines = lines
        self.seconds = seconds

    @property
    def iterations(self):
        return len(self.lines)


def run_fit(fit, *args, **kwargs):
    out = io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(out):
        result = fit(*args, **kwargs)
    seconds = time.perf_counter() - start
    lines = [line for line in out.getvalue().splitlines() if line.strip()]
    return Fit(result, lines, seconds)


def scalar(x):
    """A fitted scalar parameter as a float (kofa stores updated values as
    one-element arrays in the start-value list)."""
    return float(np.ravel(x)[0])


def print_table(header, rows):
    widths = [max(len(str(c)) for c in column) for column in zip(header, *rows)]
    for row in [header] + rows:
        print("    " + "  ".join(str(c).rjust(w) for c, w in zip(row, widths)))


def print_fit_line(fit, n_iter):
    note = " (the iteration limit)" if fit.iterations >= n_iter else ""
    last = fit.lines[-1].strip() if fit.lines else "-"
    try:
        last = "{:.4f}".format(float(last))
    except ValueError:
        pass
    print(
        "  {} iterations{} in {:.3f} s; last progress value {}".format(
            fit.iterations, note, fit.seconds, last
        )
    )


# --------------------------------------------------------------------------
# Demos.  Each takes a NumPy Generator and a matplotlib Axes (or None), prints
# its report and, given an Axes, draws the sample and the fitted density.
# --------------------------------------------------------------------------


def exponential_demo(rng, ax):
    n = 3000
    true_weight = np.array([0.6, 0.4])
    true_mean = np.array([1.0, 8.0])
    init_lambda = [0.5, 5.0]  # start values are passed as a list
    n_iter = 1000

    component = rng.choice(len(true_weight), size=n, p=true_weight)
    x = rng.exponential(true_mean[component])
    X = x.reshape(-1, 1)  # one observation per row, a single column

    print("Exponential mixture: {} draws from 2 components, start means {}".format(n, init_lambda))
    fit = run_fit(kofa.exponential_mixture, X, k=2, init_lambda=init_lambda, n_iter=n_iter)
    weight, lambda_ = fit.result
    fitted_weight = np.asarray(weight, dtype=float).ravel()
    fitted_mean = np.array([scalar(m) for m in lambda_])
    print_fit_line(fit, n_iter)

    order = np.argsort(fitted_mean)
    rows = []
    for i, j in enumerate(order):
        rows.append(
            [
                i + 1,
                "{:.3f}".format(true_weight[i]),
                "{:.3f}".format(fitted_weight[j]),
                "{:.3f}".format(true_mean[i]),
                "{:.3f}".format(fitted_mean[j]),
            ]
        )
    print_table(["component", "true weight", "fitted weight", "true mean", "fitted mean"], rows)

    if ax is not None:
        grid = np.linspace(0.0, np.percentile(x, 99), 400)

        def density(w, m):
            return sum(wi / mi * np.exp(-grid / mi) for wi, mi in zip(w, m))

        ax.hist(x, bins=120, range=(0.0, grid[-1]), density=True, color="0.8", label="sample")
        ax.plot(grid, density(true_weight, true_mean), "k--", label="true density")
        ax.plot(grid, density(fitted_weight, fitted_mean), "C3", label="fitted density")
        ax.set_title("exponential_mixture, k=2")
        ax.set_xlabel("x")
        ax.legend()


DEMOS = {
    "exponential": exponential_demo,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--only", choices=sorted(DEMOS), action="append", help="run only this demo (repeatable)"
    )
    parser.add_argument("--plot", metavar="FILE", help="save a figure of the fits (needs matplotlib)")
    parser.add_argument("--seed", type=int, default=SEED, help="seed of the generated data")
    args = parser.parse_args(argv)

    names = args.only or list(DEMOS)
    axes = [None] * len(names)
    figure = None
    if args.plot:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            parser.error("--plot needs matplotlib (pip install kofa[plot])")
        figure, grid = plt.subplots(1, len(names), figsize=(6 * len(names), 4.5), squeeze=False)
        axes = list(grid[0])

    print("kofa {} | numpy {} | Python {} | seed {}".format(
        getattr(kofa, "__file__", "?"), np.__version__, sys.version.split()[0], args.seed))
    for name, ax in zip(names, axes):
        print()
        # Fresh, reproducible data per demo; the global state is seeded too,
        # for fits that draw their own start values.
        np.random.seed(args.seed)
        DEMOS[name](np.random.default_rng(args.seed), ax)

    if figure is not None:
        figure.tight_layout()
        figure.savefig(args.plot, dpi=100)
        print("\nfigure written to {}".format(args.plot))
    return 0


if __name__ == "__main__":
    sys.exit(main())

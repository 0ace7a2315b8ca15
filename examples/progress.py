"""Iteration count, convergence and a live progress display for kofa's fits,
without changing them.

    python examples/progress.py            # a fit that converges, one that hits the cap
    python examples/progress.py --live     # the same with a live display on stderr

Every kofa fit prints one line per iteration on standard output (the share
of observations whose largest responsibility is above 0.75) and says nothing
else about convergence: the fit stopped early, i.e. converged, exactly when
it printed fewer than ``n_iter`` lines.  ``run()`` captures those lines and
says so; with ``live=True`` it also rewrites one status line on standard
error as the iterations go.  Copy it as it is (standard library only).

Caveats: ``contextlib.redirect_stdout`` swaps ``sys.stdout`` for the whole
process, so do not print from other threads during a fit; and a fit that
converged in its very last allowed iteration also prints ``n_iter`` lines,
so "reached the cap" means "did not converge before iteration n_iter".
"""

import contextlib
import inspect
import sys
import time


class Progress:
    """A file-like object for ``contextlib.redirect_stdout``: keeps every
    progress value and, if ``live``, shows the latest on ``stream``."""

    def __init__(self, n_iter, live=False, stream=sys.stderr, every=0.2):
        self.n_iter, self.live, self.stream, self.every = n_iter, live, stream, every
        self.values = []
        self.drawn = False  # whether the live line was written
        self._partial = ""
        self._start = self._shown = time.monotonic()

    def write(self, text):
        self._partial += text
        *lines, self._partial = self._partial.split("\n")
        for line in lines:
            if line.strip():
                self.values.append(float(line))
        now = time.monotonic()
        if self.live and lines and now - self._shown >= self.every:
            self._shown, self.drawn = now, True
            self.stream.write("\riteration {:>6} of at most {}  share {:.4f}  {:6.1f} s".format(
                len(self.values), self.n_iter, self.values[-1], now - self._start))
            self.stream.flush()
        return len(text)

    def flush(self):
        pass


class Result:
    """What a fit returned, with the facts its output leaves implicit."""

    def __init__(self, value, values, n_iter, seconds):
        self.value = value            # the fit's own return value
        self.values = values          # the progress values, one per iteration
        self.iterations = len(values)
        self.n_iter = n_iter
        self.reached_cap = self.iterations >= n_iter  # else it converged
        self.seconds = seconds

    def __repr__(self):
        return "<{} iterations of at most {}, {}, {:.2f} s>".format(
            self.iterations, self.n_iter,
            "reached the cap: did not converge" if self.reached_cap else "converged",
            self.seconds)


def run(fit, *args, live=False, **kwargs):
    """Call the kofa function ``fit`` with these arguments, capturing its
    progress lines; returns a ``Result``."""
    n_iter = inspect.signature(fit).bind(*args, **kwargs).arguments.get("n_iter", 1000)
    progress = Progress(n_iter, live=live)
    start = time.monotonic()
    try:
        with contextlib.redirect_stdout(progress):
            value = fit(*args, **kwargs)
    finally:
        if progress.drawn:
            sys.stderr.write("\n")
    return Result(value, progress.values, n_iter, time.monotonic() - start)


if __name__ == "__main__":
    import numpy as np

    import kofa

    live = "--live" in sys.argv[1:]
    rng = np.random.default_rng(0)
    x = np.concatenate([rng.exponential(1.0, 1800), rng.exponential(8.0, 1200)])
    result = run(kofa.exponential_mixture, x.reshape(-1, 1), k=2, init_lambda=[0.5, 5.0],
                 live=live)
    print("exponential_mixture, n = 3000:", result)
    print("  last progress values:", result.values[-3:])

    X = rng.standard_normal((200000, 2))  # one blob fitted with k=2: no clear answer
    result = run(kofa.gaussian_mixture, X, k=2, init_mean=[[-1.0, 0.0], [1.0, 0.0]],
                 init_cov=[np.eye(2), np.eye(2)], n_iter=40, eps=1e-12, live=live)
    print("gaussian_mixture, n = 200000, n_iter=40, eps=1e-12:", result)
    weight, mean, cov = result.value
    print("  weights:", weight.round(3))

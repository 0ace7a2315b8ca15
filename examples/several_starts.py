"""Fit gaussian_mixture from several drawn starts and keep the one with the
highest log-likelihood.

    python examples/several_starts.py

A fit from the start values gaussian_mixture draws itself can end far from
the best fit and look converged (docs/algorithm.md, "From drawn start
values").  A fit from one seed cannot tell you that; several seeds, compared
by the mixture log-likelihood of what each returned, can.  best_of() below
needs only NumPy and kofa; it is written to be copied.  Keeping the best
does not remove kofa's bias with unequal weights: check the fit you keep
(examples/check_fit.py).

The sample: three 2-D normal clusters with identity covariances, weights
0.6/0.3/0.1, means (0, 0), (7, 0) and (3.5, 6), n = 3000, drawn with
numpy.random.default_rng(0); the fits draw their start values after
numpy.random.seed(seed), seeds 0 to 9.
"""

import contextlib
import io
import os
import sys
import warnings

import numpy as np

import kofa

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_fit import check  # noqa: E402


def loglik(X, weight, mean, cov, refuse_collapsed=True):
    """Mixture log-likelihood per observation of normal components (weight,
    mean, cov) for X (n, d); -inf for a covariance that is not positive
    definite or, with refuse_collapsed, has collapsed (its smallest
    eigenvalue at most 1e-9 of its largest: rounding then makes its
    log-determinant, and the log-likelihood, without bound)."""
    d = X.shape[1]
    logs = []
    for w, m, c in zip(weight, np.asarray(mean, float), np.asarray(cov, float)):
        if refuse_collapsed:
            eigenvalues = np.linalg.eigvalsh(c)
            if not eigenvalues[0] > 1e-9 * eigenvalues[-1]:
                return -np.inf
        sign, logdet = np.linalg.slogdet(c)
        if sign <= 0 or not w > 0:
            return -np.inf
        maha = ((X - m) @ np.linalg.inv(c) * (X - m)).sum(axis=1)
        logs.append(np.log(w) - 0.5 * (d * np.log(2 * np.pi) + logdet + maha))
    logs = np.array(logs)
    top = logs.max(axis=0)
    return float((top + np.log(np.exp(logs - top).sum(axis=0))).mean())


def best_of(X, k, seeds=range(5), **kwargs):
    """gaussian_mixture(X, k) from the start values drawn after
    numpy.random.seed(seed) for each seed; returns (log-likelihood per
    observation, seed, (weight, mean, cov)) of the best, and every try as a
    list of (seed, log-likelihood, iterations, error).  kwargs go to the fit
    (n_iter, eps); no start lists, which the fit would change in place."""
    best, tries = None, []
    for seed in seeds:
        np.random.seed(seed)
        lines = io.StringIO()
        try:
            with contextlib.redirect_stdout(lines), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = kofa.gaussian_mixture(X, k, **kwargs)
        except (ValueError, np.linalg.LinAlgError) as exc:  # a failed try is skipped
            tries.append((seed, None, len(lines.getvalue().splitlines()), exc))
            continue
        ll = loglik(X, *result)
        tries.append((seed, ll, len(lines.getvalue().splitlines()), None))
        if best is None or ll > best[0]:
            best = (ll, seed, result)
    return best, tries


def main():
    rng = np.random.default_rng(0)
    n, weights = 3000, [0.6, 0.3, 0.1]
    true_m = np.array([[0.0, 0.0], [7.0, 0.0], [3.5, 6.0]])
    X = rng.standard_normal((n, 2)) + true_m[rng.choice(3, size=n, p=weights)]
    print("three clusters, weights {}, means {}, n = {}".format(weights, true_m.tolist(), n))
    print("kofa {} | numpy {} | Python {}".format(kofa.__file__, np.__version__,
                                                  sys.version.split()[0]))
    print()
    best, tries = best_of(X, 3, seeds=range(10))
    print("seed  log-lik./obs.  iterations  gap to a textbook EM started there  weights")
    for seed, ll, iterations, error in tries:
        if error is not None:
            print("{:>4}  raised {}: {}".format(seed, type(error).__name__, error))
            continue
        np.random.seed(seed)  # the same fit again, for its parameters
        with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            weight, mean, cov = kofa.gaussian_mixture(X, 3)
        _, _, _, ll_kofa, ll_em = check(X, weight, mean, cov)
        print("{:>4}  {:>13.4f}  {:>10}  {:>34.4f}  {}".format(
            seed, ll, iterations, ll_em - ll_kofa, np.round(np.sort(weight)[::-1], 3).tolist()))
    ll, seed, (weight, mean, cov) = best
    print()
    print("kept: seed {}, log-likelihood per observation {:.4f}".format(seed, ll))
    print("  weights", np.round(weight, 3).tolist())
    print("  means  ", np.round(np.asarray(mean, float), 2).tolist())
    _, m, _, ll_kofa, ll_em = check(X, weight, mean, cov)
    print("  a textbook EM started there gains {:.4f} per observation".format(ll_em - ll_kofa))


if __name__ == "__main__":
    main()

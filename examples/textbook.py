"""A textbook EM for each of kofa's three mixtures, and the mixture
log-likelihood of any parameters, in a few lines of NumPy each.

These are the yardsticks of docs/algorithm.md: the check-your-fit recipe
compares the log-likelihood of kofa's parameters with that of a textbook
EM's on the same data, and examples/accuracy.py measures kofa against them.

A textbook EM multiplies each component density by its mixing weight before
normalising the responsibilities, and re-estimates every parameter as the
responsibility-weighted average over all observations.  Each function here
stops when the log-likelihood grows by less than ``tol`` (relative) and
returns the parameters, the number of iterations and the log-likelihood.

    import textbook                      # with examples/ on sys.path
    w, m, c, iterations, loglik = textbook.gaussian_em(X, w0, m0, c0)
"""

import numpy as np


def gaussian_logpdf(X, mean, cov):
    """log N(x; mean, cov) for every row x of X (n, d)."""
    d = X.shape[1]
    diff = X - mean
    sign, logdet = np.linalg.slogdet(cov)
    maha = (diff @ np.linalg.inv(cov) * diff).sum(axis=1)
    return -0.5 * (d * np.log(2 * np.pi) + logdet + maha)


def exponential_logpdf(x, mean):
    """log of exp(-x/mean)/mean for every value of x (n,)."""
    return -x / mean - np.log(mean)


def _logsumexp(logs):
    top = logs.max(axis=0)
    return top + np.log(np.exp(logs - top).sum(axis=0))


def gaussian_loglik(X, weight, mean, cov):
    """Mixture log-likelihood of (weight, mean, cov) for X (n, d)."""
    logs = np.array([np.log(w) + gaussian_logpdf(X, m, c)
                     for w, m, c in zip(weight, np.asarray(mean, float), np.asarray(cov, float))])
    return float(_logsumexp(logs).sum())


def exponential_loglik(x, weight, mean):
    """Mixture log-likelihood of (weight, mean) for the values x (n,) or (n, 1)."""
    x = np.ravel(x)
    logs = np.array([np.log(w) + exponential_logpdf(x, m)
                     for w, m in zip(weight, np.ravel(np.asarray(mean, float)))])
    return float(_logsumexp(logs).sum())


def exp_gauss_loglik(x, exp_weight, scale, gauss_weight, mean, cov):
    """Mixture log-likelihood of exponential and normal components side by
    side, for the values x (n,) or (n, 1)."""
    X = np.reshape(x, (-1, 1))
    logs = [np.log(w) + exponential_logpdf(X[:, 0], s)
            for w, s in zip(exp_weight, np.ravel(np.asarray(scale, float)))]
    logs += [np.log(w) + gaussian_logpdf(X, np.reshape(m, (1,)), np.reshape(c, (1, 1)))
             for w, m, c in zip(gauss_weight, np.asarray(mean, float), np.asarray(cov, float))]
    return float(_logsumexp(np.array(logs)).sum())


def gaussian_em(X, weight, mean, cov, n_iter=10000, tol=1e-10):
    """Textbook EM for k multivariate normals on X (n, d)."""
    w = np.array(weight, float)
    m = np.array(mean, float)
    c = np.array(cov, float)
    old = -np.inf
    for iteration in range(1, n_iter + 1):
        logs = np.array([np.log(w[j]) + gaussian_logpdf(X, m[j], c[j]) for j in range(len(w))])
        total = _logsumexp(logs)
        r = np.exp(logs - total)
        n_k = r.sum(axis=1)
        w = n_k / len(X)
        m = (r @ X) / n_k[:, None]
        c = np.array([((X - m[j]).T * r[j]) @ (X - m[j]) / n_k[j] for j in range(len(w))])
        loglik = float(total.sum())
        if loglik - old < tol * abs(loglik):
            break
        old = loglik
    return w, m, c, iteration, gaussian_loglik(X, w, m, c)


def exponential_em(x, weight, mean, n_iter=10000, tol=1e-10):
    """Textbook EM for k exponentials on the values x (n,) or (n, 1)."""
    x = np.ravel(x)
    w = np.array(weight, float)
    m = np.array(mean, float)
    old = -np.inf
    for iteration in range(1, n_iter + 1):
        logs = np.log(w)[:, None] + exponential_logpdf(x[None, :], m[:, None])
        total = _logsumexp(logs)
        r = np.exp(logs - total)
        n_k = r.sum(axis=1)
        w = n_k / len(x)
        m = (r @ x) / n_k
        loglik = float(total.sum())
        if loglik - old < tol * abs(loglik):
            break
        old = loglik
    return w, m, iteration, exponential_loglik(x, w, m)


def exp_gauss_em(x, weight, scale, mean, sd, n_iter=10000, tol=1e-10):
    """Textbook EM for one exponential (mean ``scale``) and one normal
    (``mean``, ``sd``) on the values x; ``weight`` = (exponential, normal).
    Returns (exponential weight, scale, normal weight, mean, sd,
    iterations, log-likelihood)."""
    x = np.ravel(x)
    w = np.array(weight, float)
    old = -np.inf
    for iteration in range(1, n_iter + 1):
        logs = np.array([np.log(w[0]) + exponential_logpdf(x, scale),
                         np.log(w[1]) - 0.5 * np.log(2 * np.pi * sd ** 2)
                         - 0.5 * (x - mean) ** 2 / sd ** 2])
        total = _logsumexp(logs)
        r = np.exp(logs - total)
        n_k = r.sum(axis=1)
        w = n_k / len(x)
        scale = (r[0] @ x) / n_k[0]
        mean = (r[1] @ x) / n_k[1]
        sd = np.sqrt((r[1] @ (x - mean) ** 2) / n_k[1])
        loglik = float(total.sum())
        if loglik - old < tol * abs(loglik):
            break
        old = loglik
    return (w[0], scale, w[1], mean, sd, iteration,
            exp_gauss_loglik(x, [w[0]], [scale], [w[1]], [[mean]], [[[sd ** 2]]]))

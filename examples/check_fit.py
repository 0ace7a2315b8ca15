"""Check a gaussian_mixture fit against a textbook EM on the same data.

    python examples/check_fit.py

The recipe (docs/algorithm.md, "Check your fit"): start a textbook EM at
kofa's own result and let it climb.  If kofa's parameters were a maximum of
the likelihood, the textbook EM has nowhere to go: the log-likelihood hardly
grows and the weights and means stay where they are.  If it moves them, the
textbook EM's result is the better fit.  check() below needs only NumPy; it
is written to be copied.  examples/textbook.py has the same for the
exponential and the exponential-plus-normal mixtures.
"""

import contextlib
import io

import numpy as np

import kofa


def check(X, weight, mean, cov, n_iter=2000):
    """Textbook EM for normal components, started at kofa's (weight, mean,
    cov); returns its (weight, mean, cov) and the log-likelihood per
    observation of kofa's parameters and of its own."""
    w, m, c = np.array(weight, float), np.array(mean, float), np.array(cov, float)

    def log_joint(w, m, c):  # log(w_j N(x_i; m_j, c_j)), shape (k, n)
        d = X.shape[1]
        return np.array([np.log(w[j]) - 0.5 * (
            d * np.log(2 * np.pi) + np.linalg.slogdet(c[j])[1]
            + ((X - m[j]) @ np.linalg.inv(c[j]) * (X - m[j])).sum(axis=1))
            for j in range(len(w))])

    def loglik(w, m, c):  # per observation
        a = log_joint(w, m, c)
        top = a.max(axis=0)
        return float((top + np.log(np.exp(a - top).sum(axis=0))).mean())

    start = loglik(w, m, c)
    for _ in range(n_iter):
        a = log_joint(w, m, c)
        r = np.exp(a - a.max(axis=0))
        r /= r.sum(axis=0)  # responsibilities, weighted by w
        n_k = r.sum(axis=1)
        w, m = n_k / len(X), (r @ X) / n_k[:, None]
        c = np.array([((X - m[j]).T * r[j]) @ (X - m[j]) / n_k[j] for j in range(len(w))])
    return w, m, c, start, loglik(w, m, c)


def demo(title, weights, separation, n=2000, seed=0):
    rng = np.random.default_rng(seed)
    true_m = np.array([[0.0, 0.0], [separation, 0.0]])
    X = rng.standard_normal((n, 2)) + true_m[rng.choice(2, size=n, p=weights)]
    with contextlib.redirect_stdout(io.StringIO()):
        weight, mean, cov = kofa.gaussian_mixture(X, k=2, init_mean=[m.copy() for m in true_m],
                                                  init_cov=[np.eye(2), np.eye(2)])
    w, m, c, ll_kofa, ll_em = check(X, weight, mean, cov)
    print("{}: weights {} drawn {} sd apart, n = {}, seed {}".format(title, weights, separation,
                                                                    n, seed))
    print("  kofa        weights", np.round(weight, 3), "means", np.round(np.asarray(mean), 2).tolist())
    print("  textbook EM weights", np.round(w, 3), "means", np.round(m, 2).tolist())
    print("  log-likelihood per observation: kofa {:.4f}, textbook EM {:.4f}, gap {:.4f}".format(
        ll_kofa, ll_em, ll_em - ll_kofa))


if __name__ == "__main__":
    demo("agree", [0.5, 0.5], 6.0)
    demo("disagree", [0.8, 0.2], 4.0)

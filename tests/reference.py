"""Plain Python + NumPy rendering of the three kofa fits.

Each function does, operation for operation and in the same order, what the
extension does in C++, so that the two can be compared bit for bit: same
results, same printed progress values, same draws from NumPy's global random
state, same warnings and the same exceptions.

When an exception escapes a fit, the source line that the extension tags the
failing step with is attached to it as ``exc.kofa_line``.  The line is kept in
a local int that is reassigned before every step; nothing else is added to
the hot path, so bench/ can time these functions as the baseline.
"""

import numpy


def _unbound(name):
    return UnboundLocalError(
        "local variable '%s' referenced before assignment" % name)


# NumPy 2.4 refuses to store a one-element array into one element of a
# numeric array; earlier releases store its element.
_REFUSES_ARRAY_AS_ELEMENT = tuple(
    int(part) for part in numpy.__version__.split(".")[:2]) >= (2, 4)


def _scale_to_store(scales, m):
    """What the scale store writes into ``scales[i]``: ``m`` itself, NumPy's
    own store, except where NumPy refuses it: into a NumPy array that does
    not hold objects, the one element of a one-element ``m``.  The tests
    never fail the fit: an ordinary exception while making them means no."""
    if not _REFUSES_ARRAY_AS_ELEMENT:
        return m
    try:
        one = (isinstance(scales, numpy.ndarray) and not scales.dtype == object
               and m.size == 1)
    except Exception:  # noqa: BLE001 - a question, not a step
        one = False
    return m.item() if one else m


def _gaussian_densities(X, mean, cov):
    """One row of normal densities per (mean, covariance) pair, stacked."""
    rows = []
    for m, c in zip(mean, cov):
        norm = 1.0 / ((2.0 * numpy.pi) ** X.shape[1]
                      * numpy.linalg.det(c)) ** 0.5
        rows.append(norm * numpy.exp(-0.5 * (
            numpy.dot(X - m, numpy.linalg.inv(c)) * (X - m)).sum(axis=1)))
    return numpy.r_[rows]


def gaussian_mixture(X, k=2, init_mean=None, init_cov=None, n_iter=1000,
                     eps=1e-5):
    weight = None  # stays None when no iteration runs
    line = 10
    try:
        mean = init_mean if init_mean else numpy.random.uniform(
            X.min(axis=0), X.max(axis=0), (k, X.shape[1]))
        line = 11
        cov = init_cov if init_cov else [
            numpy.eye(X.shape[1]) * (X.max(axis=0) - X.min(axis=0)) / k / 2
            for _ in range(k)]

        line = 13
        for _n_iter in range(n_iter):
            line = 15
            prob = _gaussian_densities(X, mean, cov)
            line = 16
            prob = prob / prob.sum(0)
            line = 17
            prob[numpy.isnan(prob)] = 0
            line = 18
            mean_ = numpy.copy(mean)
            line = 19
            cov_ = numpy.copy(cov)

            line = 21
            weight = prob.sum(1) / prob.sum()
            weight[weight == 0] = weight.min()

            line = 24
            for i in range(k):
                line = 25
                sample = prob[i] > numpy.percentile(prob[i],
                                                    (1 - weight[i]) * 100)
                line = 27
                mean[i] = ((X[sample].T * prob[i][sample]).sum(axis=1)
                           / prob[i][sample].sum())
                line = 29
                cov[i] = (numpy.dot((X - mean[i]).T * prob[i], X - mean[i])
                          / prob[i].sum())
                line = 24

            line = 31
            print((prob.max(axis=0) > 0.75).sum() / prob.shape[1])
            line = 32
            if abs(mean - mean_).sum() < eps and abs(cov - cov_).sum() < eps:
                line = 33
                weight = prob.sum(1) / prob.sum()
                line = 35
                mean = (numpy.dot(X.T, prob.T) / prob.sum(axis=1)).T
                break
            line = 13

        line = 37
        if weight is None:
            raise _unbound('weight')
        return weight, mean, cov
    except BaseException as exc:
        exc.kofa_line = line
        raise


def exponential_mixture(X, k=2, init_lambda=None, n_iter=1000, eps=1e-5):
    weight = None  # stays None when no iteration runs
    line = 62
    try:
        lambda_ = init_lambda if init_lambda else numpy.random.uniform(
            X.min(axis=0), X.max(axis=0) / 2, k)

        line = 64
        for _n_iter in range(n_iter):
            line = 66
            prob = numpy.concatenate(
                [(1 / l) * numpy.exp((-1 / l) * X) for l in lambda_],
                axis=1).T
            line = 67
            prob = prob / prob.sum(0)
            line = 68
            prob[numpy.isnan(prob)] = 0
            line = 69
            lambda__ = numpy.copy(lambda_)

            line = 71
            weight = prob.sum(1) / prob.sum()
            line = 72
            weight[weight == 0] = weight.min()

            line = 74
            for i in range(k):
                line = 75
                sample = prob[i] > numpy.percentile(prob[i],
                                                    (1 - weight[i]) * 100)
                line = 77
                m = ((X[sample].T * prob[i][sample]).sum(axis=1)
                     / prob[i][sample].sum())
                line = 79
                lambda_[i] = _scale_to_store(lambda_, m)
                line = 74

            line = 81
            print((prob.max(axis=0) > 0.75).sum() / prob.shape[1])
            line = 82
            if abs(lambda_ - lambda__).sum() < eps:
                line = 83
                weight = prob.sum(1) / prob.sum()
                break
            line = 64

        line = 87
        if weight is None:
            raise _unbound('weight')
        return weight, lambda_
    except BaseException as exc:
        exc.kofa_line = line
        raise


def exponential_gaussian_mixture(X, exponential_k=1, gaussian_k=1,
                                 init_lambda=None, init_mean=None,
                                 init_cov=None, n_iter=1000, eps=1e-5):
    exponential_weight = None  # stays None when no iteration runs
    line = 90
    try:
        lambda_ = init_lambda if init_lambda else numpy.random.uniform(
            X.min(axis=0), X.max(axis=0) / 100, exponential_k)
        line = 91
        mean = init_mean if init_mean else numpy.random.uniform(
            X.min(axis=0), X.max(axis=0), (gaussian_k, X.shape[1]))
        line = 92
        cov = init_cov if init_cov else [
            numpy.eye(X.shape[1]) * (X.max(axis=0) - X.min(axis=0))
            / gaussian_k / 2
            for _ in range(gaussian_k)]

        line = 94
        for _n_iter in range(n_iter):
            line = 96
            exponential_prob = numpy.concatenate(
                [(1 / l) * numpy.exp((-1 / l) * X) for l in lambda_],
                axis=1).T
            line = 97
            gaussian_prob = _gaussian_densities(X, mean, cov)
            line = 98
            total = numpy.r_[exponential_prob, gaussian_prob].sum(0)
            exponential_prob = exponential_prob / total
            line = 99
            gaussian_prob = gaussian_prob / total
            line = 100
            exponential_prob[numpy.isnan(exponential_prob)] = 0
            line = 101
            gaussian_prob[numpy.isnan(gaussian_prob)] = 0

            line = 105
            mean_ = numpy.copy(mean)
            line = 106
            cov_ = numpy.copy(cov)
            line = 107
            lambda__ = numpy.copy(lambda_)

            line = 109
            grand = numpy.r_[exponential_prob, gaussian_prob].sum()
            exponential_weight = exponential_prob.sum(1) / grand
            line = 110
            gaussian_weight = gaussian_prob.sum(1) / grand
            line = 111
            exponential_weight[exponential_weight == 0] = numpy.r_[
                exponential_weight, gaussian_weight].min()
            line = 112
            gaussian_weight[gaussian_weight == 0] = numpy.r_[
                exponential_weight, gaussian_weight].min()

            line = 114
            for i in range(exponential_k):
                line = 115
                sample = exponential_prob[i] > numpy.percentile(
                    exponential_prob[i], (1 - exponential_weight[i]) * 100)
                line = 117
                m = ((X[sample].T * exponential_prob[i][sample]).sum(axis=1)
                     / exponential_prob[i][sample].sum())
                line = 119
                lambda_[i] = _scale_to_store(lambda_, m)
                line = 114
            line = 120
            for i in range(gaussian_k):
                line = 121
                sample = gaussian_prob[i] > numpy.percentile(
                    gaussian_prob[i], (1 - gaussian_weight[i]) * 100)
                line = 123
                mean[i] = ((X[sample].T * gaussian_prob[i][sample]).sum(axis=1)
                           / gaussian_prob[i][sample].sum())
                line = 125
                cov[i] = (numpy.dot((X - mean[i]).T * gaussian_prob[i],
                                    X - mean[i])
                          / gaussian_prob[i].sum())
                line = 120

            line = 129
            print((numpy.r_[exponential_prob, gaussian_prob].max(axis=0)
                   > 0.75).sum() / exponential_prob.shape[1])
            line = 130
            if (abs(mean - mean_).sum() < eps
                    and abs(cov - cov_).sum() < eps
                    and abs(lambda_ - lambda__).sum() < eps):
                line = 131
                grand = numpy.r_[exponential_prob, gaussian_prob].sum()
                exponential_weight = exponential_prob.sum(1) / grand
                line = 132
                gaussian_weight = gaussian_prob.sum(1) / grand
                break
            line = 94

        line = 136
        if exponential_weight is None:
            raise _unbound('exponential_weight')
        return exponential_weight, lambda_, gaussian_weight, mean, cov
    except BaseException as exc:
        exc.kofa_line = line
        raise

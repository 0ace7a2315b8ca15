// The module docstring: the manual that help(kofa) shows.  Lines stay within
// 75 columns so that pydoc's four-space indent fits an 80-column terminal.
#pragma once

namespace kofa {

inline constexpr char kModuleDoc[] = R"doc(
Created on Thu Oct 19 19:00:20 2023

Finite mixture models fitted by expectation-maximisation (EM).

Functions
---------
gaussian_mixture(X, k=2, init_mean=None, init_cov=None, n_iter=1000,
                 eps=1e-05) -> (weight, mean, cov)
    A mixture of k multivariate normal components.
exponential_mixture(X, k=2, init_lambda=None, n_iter=1000, eps=1e-05)
        -> (weight, lambda_)
    A mixture of k exponential components, component i with the density
    exp(-x / l_i) / l_i: l_i is its mean.
exponential_gaussian_mixture(X, exponential_k=1, gaussian_k=1,
                             init_lambda=None, init_mean=None,
                             init_cov=None, n_iter=1000, eps=1e-05)
        -> (exponential_weight, lambda_, gaussian_weight, mean, cov)
    Exponential and normal components side by side in one mixture.

The docstring of exponential_mixture is a template (its first line says,
in Chinese, "for one-dimensional data only"); its "Returns None." is not
what the function returns (see Returns below).  The other two functions
have no docstring of their own.

Parameters
----------
X : numpy.ndarray, shape (n, d)
    The sample, one observation per row; never modified.  Exponential
    components read each row as one value, so exponential_mixture and
    exponential_gaussian_mixture want one column, shape (n, 1).
k : int, default 2
    Number of components (gaussian_mixture, exponential_mixture).
exponential_k, gaussian_k : int, default 1
    Numbers of exponential and of normal components
    (exponential_gaussian_mixture), each at least 1.
init_mean : list or None, default None
    Start means: a list of k (gaussian_k) rows of d values, e.g. [[10.0]]
    for one column.  Default: drawn uniformly between the column minima
    and maxima of X.
init_cov : list or None, default None
    Start covariances: a list of k (gaussian_k) (d, d) matrices, e.g.
    [[[4.0]]].  Default: for every component the diagonal matrix of the
    column ranges (max - min, not squared) divided by 2 * k
    (2 * gaussian_k).
init_lambda : list or None, default None
    Start means of the exponential components: a list of k
    (exponential_k) numbers.  Default: drawn uniformly between min(X) and
    max(X) / 2 (exponential_mixture) or max(X) / 100
    (exponential_gaussian_mixture).
n_iter : int, default 1000
    Largest number of iterations.  n_iter <= 0 runs none and raises
    UnboundLocalError.
eps : float, default 1e-05
    Convergence tolerance (see Convergence).

Returns
-------
gaussian_mixture : (weight, mean, cov)
    weight: float64 array (k,), each component's share of all
    responsibilities.  mean: on convergence a new float64 array (k, d);
    otherwise the init_mean list, or the drawn (k, d) array, holding the
    last update.  cov: the init_cov list, or a new list of k float64
    arrays (d, d).
exponential_mixture : (weight, lambda_)
    weight: float64 array (k,).  lambda_: the init_lambda list, or a new
    float64 array (k,) when the start means were drawn.
exponential_gaussian_mixture : (exponential_weight, lambda_,
                                gaussian_weight, mean, cov)
    exponential_weight (exponential_k,) and gaussian_weight (gaussian_k,):
    float64 arrays that together sum to 1.  lambda_, mean, cov: the start
    lists, or a new float64 array (exponential_k,), a new float64 array
    (gaussian_k, 1) and a new list of gaussian_k float64 arrays (1, 1).

Start values
------------
A start value counts as given when it is true: None and [] mean "draw".
Pass lists: a NumPy array of more than one element cannot be truth-tested
and raises ValueError.  A given list is used in place, not copied: the fit
writes every update into it by item assignment and returns that very list,
so afterwards it holds the fitted values as NumPy arrays (for one-column
data, one-element arrays).  gaussian_mixture returns a new mean array on
convergence; its init_mean list then keeps the means of the last update.
Drawn start values come from NumPy's global random state: call
numpy.random.seed first for a reproducible fit.

Progress output
---------------
Every iteration prints one line on standard output through print(): the
share of observations whose largest responsibility is strictly above 0.75,
a number between 0 and 1.  To silence or capture the lines:

    import contextlib, io
    with contextlib.redirect_stdout(io.StringIO()) as out:
        weight, lambda_ = kofa.exponential_mixture(X)
    iterations = len(out.getvalue().splitlines())

examples/progress.py wraps this: iteration count, whether n_iter was
reached, and a live progress line on standard error.

Convergence
-----------
The fit stops after the first iteration in which, for each parameter, the
sum over all entries of |new - old| is strictly below eps (the means and
the covariances for gaussian_mixture, the means for exponential_mixture,
and the normal means, the covariances and the exponential means for
exponential_gaussian_mixture), or after n_iter iterations.  Nothing
reports which: fewer than n_iter progress lines means that it converged.

Notes
-----
Two choices make the results differ from a textbook EM, and from the
parameters the data were drawn from when components overlap:

1. The densities of an observation are divided by their sum without
   being multiplied by the mixing weights first.  The weights, each
   component's share of all responsibilities, are returned and otherwise
   only set the share in rule 2.  An observation whose densities sum to
   0, inf or NaN gets responsibility 0 from every component.
2. A component of weight w re-estimates its location (exponential mean
   or normal mean) only from the observations whose responsibility for it
   lies strictly above the (1 - w) * 100-th percentile of all its
   responsibilities (numpy.percentile, linear interpolation): roughly the
   share w of the data that it claims most strongly, weighted by
   responsibility.

A covariance is re-estimated from all observations about the new mean,
weighted by the responsibilities; nothing is added to its diagonal.  On
convergence gaussian_mixture replaces the means by the ordinary
responsibility-weighted means over all observations (the covariances stay
those of the last update); the other two fits return the selected means.
A component that selects nothing (equal responsibilities everywhere, as
with k=1, or weight 0) gets a NaN location, and the next iteration raises
ValueError from numpy.percentile.

Measured against a textbook EM (docs/algorithm.md): normal components of
equal weight come out right from 4 sd apart; unequal weights need 5 sd
(0.7/0.3) to 8 sd (0.9/0.1) from a start at the true values, and more
from drawn start values; mixtures of exponentials are biased from any
start, the true values included; a narrow normal peak on an exponential
background is kept only when it is large and far out.  Check a fit by
starting a textbook EM at its result (examples/check_fit.py).

Errors
------
No argument is checked.  NumPy's and the interpreter's exceptions reach the
caller unchanged, with one traceback entry 'File "kofa.cpp", line N, in
kofa.<function>' that marks the failing step.  The most common:

ValueError: Percentiles must be in the range [0, 100]
    In the iteration before, a component selected no observation and
    its location became NaN: k=1, a component of weight 0, negative
    data in an exponential fit, a start mean numpy.float64(0), k larger
    than the number of observations (gaussian_mixture), or many exact
    zeros in X (rounded times: the smaller exponential mean becomes 0).
    Pass k >= 2, positive start means, and data > 0 without many
    exact zeros.
IndexError: tuple index out of range, or AxisError: axis 1 is out of
bounds for array of dimension 1
    X is one-dimensional: pass X.reshape(-1, 1).
OverflowError: (34, 'Numerical result out of range'); ValueError:
operands could not be broadcast together with shapes (2,1000) (2,);
ValueError: shape mismatch: objects cannot be broadcast to a single
shape
    X is transposed, shape (d, n) or (1, n): pass X.T, one observation
    per row.
OverflowError: Range exceeds valid bounds
    NaN in X with drawn start values (with given ones, rows holding NaN
    are ignored silently): drop those rows first.
ValueError: The truth value of an array with more than one element is
ambiguous
    A start value is a NumPy array: pass a list, e.g. a.tolist().
TypeError: 'tuple' object does not support item assignment
    A start value is a tuple: pass a list.
UnboundLocalError: local variable 'weight' referenced before assignment
    n_iter <= 0 ('exponential_weight' for exponential_gaussian_mixture).
numpy.linalg.LinAlgError: Singular matrix
    A singular covariance, e.g. a constant column of X: drop the column
    (init_cov does not help, the first update makes its variance 0).
ZeroDivisionError: division by zero
    A start mean of an exponential component is a Python 0.
No error, but repeated means
    exponential_mixture with k larger than the number of observations.
BrokenPipeError: [Errno 32] Broken pipe
    Standard output was closed (a pipe into head) while the fit printed
    its progress line: capture the lines with contextlib.redirect_stdout.

Arithmetic trouble gives inf or NaN and NumPy's RuntimeWarnings under the
caller's numpy.errstate.  The step at line N of the traceback entry:

    step                            gaussian  exponential  exp+gauss
    binding the arguments           9         39           89
    start values                    10, 11    62           90, 91, 92
    next iteration (range(n_iter))  13        64           94
    densities                       15        66           96, 97
    responsibilities, NaN to 0      16, 17    67, 68       98-101
    copies of the parameters        18, 19    69           105-107
    weights                         21        71, 72       109-112
    next component (range(k))       24        74           114, 120
    percentile and selection        25        75           115, 121
    new location, stored            27        77, 79       117, 119, 123
    new covariance, stored          29        -            125
    progress line (print)           31        81           129
    convergence test                32        82           130
    weights, means on convergence   33, 35    83           131, 132
    return                          37        87           136

Examples
--------
>>> import contextlib, io
>>> import numpy as np
>>> import kofa
>>> rng = np.random.default_rng(0)
>>> x = np.concatenate([rng.exponential(1.0, 1800),
...                     rng.exponential(8.0, 1200)])
>>> with contextlib.redirect_stdout(io.StringIO()) as out:
...     weight, lambda_ = kofa.exponential_mixture(
...         x.reshape(-1, 1), k=2, init_lambda=[0.5, 5.0])
>>> len(out.getvalue().splitlines())  # iterations
13
>>> weight.round(3)
array([0.451, 0.549])
>>> [round(float(m[0]), 3) for m in lambda_]  # drawn with 1 and 8
[0.441, 7.286]
)doc";

}  // namespace kofa

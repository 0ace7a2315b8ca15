"""Finite mixture models fitted by expectation-maximisation (EM).

Three fits, each driving NumPy from C++: ``gaussian_mixture``,
``exponential_mixture`` and ``exponential_gaussian_mixture``.

Common to all three:

* ``X`` is a two-dimensional NumPy array of shape (n, d), one observation
  per row; exponential components read each row as one value, so the fits
  that hold them are meant for a single column, shape (n, 1).
* Every iteration prints one line on standard output: the share of
  observations whose largest responsibility is strictly above 0.75, a number
  between 0 and 1.  The number of lines is the number of iterations run.
* Start values are passed as Python lists.  A start value counts as given
  when it is true, so ``None`` and ``[]`` mean "draw start values from
  NumPy's global random state" (``numpy.random.seed`` makes that
  reproducible), and a NumPy array of more than one element raises
  ValueError because it cannot be truth-tested.
* A given start list is the fit's working container: the fit writes its
  updates into it by item assignment and returns that same list object.
  After a fit on a one-column ``X`` its items are one-element arrays.
* The fit stops when the summed absolute change of every parameter is
  strictly below ``eps``, or after ``n_iter`` iterations; the result does
  not tell which.  ``n_iter`` <= 0 raises UnboundLocalError.
* Failures are NumPy's or the interpreter's own exceptions, with one
  traceback entry ``File "kofa.cpp", line N, in kofa.<function>``.
* Dtypes: the results are float64 arrays for a float64 ``X``, and the
  annotations below say float64.  For another dtype (float32) the arrays
  have the dtype that NumPy's promotion of ``X`` with the start values
  gives: ``exponential_mixture`` on a float32 ``X`` with a start list of
  Python floats returns float32 weights and float32 one-element means;
  ``gaussian_mixture`` returns float32 only when its start means and
  covariances are float32 arrays; ``exponential_gaussian_mixture`` returned
  float64 in every case tried (docs/functions.md, "Dtypes of the results").
  Pass ``X.astype(numpy.float64)`` for float64 results.
"""

# Private names only, so that completions on ``kofa.`` offer nothing that
# the module does not have.
from typing import Any as _Any
from typing import SupportsIndex as _SupportsIndex

import numpy as _np
import numpy.typing as _npt

_Float64Array = _npt.NDArray[_np.float64]
# Counts: range() takes anything with __index__; the drawn start covariances
# of normal components also divide by the count, which takes an int or a
# NumPy integer but not every __index__ object.
_Count = _SupportsIndex
_NormalCount = int | _np.integer[_Any]

# doctest's table of extra tests: an empty dict, set when the module loads.
__test__: dict[str, _Any]

def gaussian_mixture(
    X: _npt.NDArray[_Any],
    k: _NormalCount = 2,
    init_mean: list[_Any] | None = None,
    init_cov: list[_Any] | None = None,
    n_iter: _Count = 1000,
    eps: float = 1e-05,
) -> tuple[_Float64Array, _Float64Array | list[_Any], list[_Any]]:
    """Fit a mixture of ``k`` multivariate normal components to ``X``.

    ``X`` has shape (n, d).  ``init_mean`` is a list of ``k`` vectors of
    length d, ``init_cov`` a list of ``k`` (d, d) matrices; without them the
    means are drawn uniformly between the column minima and maxima, and every
    covariance starts as the diagonal matrix of the column ranges divided by
    2k.

    Returns ``(weight, mean, cov)``:

    * ``weight``: float64 array (k,), each component's share of the
      responsibilities;
    * ``mean``: on convergence a new float64 array (k, d) of the
      responsibility-weighted means over all observations; after
      ``n_iter`` iterations without convergence the ``mean`` container
      (the ``init_mean`` list, or the drawn (k, d) array);
    * ``cov``: the ``init_cov`` list, or a new list of ``k`` float64
      arrays (d, d).

    Prints one progress line per iteration.  A singular covariance raises
    ``numpy.linalg.LinAlgError``.
    """

def exponential_mixture(
    X: _npt.NDArray[_Any],
    k: _Count = 2,
    init_lambda: list[_Any] | None = None,
    n_iter: _Count = 1000,
    eps: float = 1e-05,
) -> tuple[_Float64Array, _Float64Array | list[_Any]]:
    """Fit a mixture of ``k`` exponential distributions to one-column data.

    ``X`` has shape (n, 1).  Component i has the density
    ``exp(-x / lambda_i) / lambda_i``: ``lambda_i`` is its mean.
    ``init_lambda`` is a list of ``k`` start means; without it they are
    drawn uniformly between the minimum and half the maximum of ``X``.

    Returns ``(weight, lambda_)``:

    * ``weight``: float64 array (k,), the mixing weights (float32 for a
      float32 ``X`` with a start list of Python floats, and then the
      means too: see the module docstring);
    * ``lambda_``: the ``init_lambda`` list, whose items are then
      one-element arrays holding the fitted means, or a new float64
      array (k,) when the start means were drawn.

    Prints one progress line per iteration.
    """

def exponential_gaussian_mixture(
    X: _npt.NDArray[_Any],
    exponential_k: _Count = 1,
    gaussian_k: _NormalCount = 1,
    init_lambda: list[_Any] | None = None,
    init_mean: list[_Any] | None = None,
    init_cov: list[_Any] | None = None,
    n_iter: _Count = 1000,
    eps: float = 1e-05,
) -> tuple[
    _Float64Array,
    _Float64Array | list[_Any],
    _Float64Array,
    _Float64Array | list[_Any],
    list[_Any],
]:
    """Fit exponential and Gaussian components side by side in one mixture.

    ``X`` has shape (n, 1).  ``init_lambda`` is a list of ``exponential_k``
    start means of the exponential components, ``init_mean`` a list of
    ``gaussian_k`` rows of one value, ``init_cov`` a list of ``gaussian_k``
    (1, 1) matrices.  Without them the exponential means are drawn between
    the minimum and a hundredth of the maximum of ``X``, the Gaussian means
    between its minimum and maximum, and the covariances start as the range
    of ``X`` divided by ``2 * gaussian_k``.  The responsibilities and the
    weights of both kinds together sum to one.

    Returns ``(exponential_weight, lambda_, gaussian_weight, mean, cov)``:

    * ``exponential_weight``: float64 array (exponential_k,);
    * ``lambda_``: the ``init_lambda`` list, or a new float64 array
      (exponential_k,);
    * ``gaussian_weight``: float64 array (gaussian_k,);
    * ``mean``: the ``init_mean`` list, or a new float64 array
      (gaussian_k, 1);
    * ``cov``: the ``init_cov`` list, or a new list of ``gaussian_k``
      float64 arrays (1, 1).

    Prints one progress line per iteration.
    """

// The three EM fits. Each runs inside the fit boundary (fit.hpp): it returns
// its result tuple, or throws with the Python exception pending after
// tagging the failing step's source line in `step`.
#pragma once

#include "kofa/fits/fit.hpp"

namespace kofa::fits {

Ref gaussian_mixture(Steps& step, View X, View k, View init_mean, View init_cov, View n_iter, View eps);

Ref exponential_mixture(Steps& step, View X, View k, View init_lambda, View n_iter, View eps);

Ref exponential_gaussian_mixture(Steps& step, View X, View exponential_k, View gaussian_k, View init_lambda,
                                 View init_mean, View init_cov, View n_iter, View eps);

}  // namespace kofa::fits

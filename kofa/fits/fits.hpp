// The three EM fits. Each returns its result tuple, or null with the Python
// exception pending and one traceback entry added at the failing step.
#pragma once

#include "kofa/ref.hpp"

namespace kofa::fits {

inline constexpr const char* kGaussianMixture = "kofa.gaussian_mixture";
inline constexpr const char* kExponentialMixture = "kofa.exponential_mixture";
inline constexpr const char* kExponentialGaussianMixture = "kofa.exponential_gaussian_mixture";

PyObject* gaussian_mixture(View X, View k, View init_mean, View init_cov, View n_iter, View eps);

PyObject* exponential_mixture(View X, View k, View init_lambda, View n_iter, View eps);

PyObject* exponential_gaussian_mixture(View X, View exponential_k, View gaussian_k, View init_lambda,
                                       View init_mean, View init_cov, View n_iter, View eps);

}  // namespace kofa::fits

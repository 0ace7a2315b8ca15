// The three public functions: their parameter lists, introspection data and
// the binders through which calls reach the fits.
#pragma once

#include "kofa/binding.hpp"
#include "kofa/function_type.hpp"

namespace kofa {

struct PublicFunction {
    FunctionDef def;
    Signature signature;
    const View* const* locals;  // variable names after the parameters
    Py_ssize_t local_count;
};

inline constexpr int kPublicFunctionCount = 3;

// In namespace order: gaussian_mixture, exponential_mixture,
// exponential_gaussian_mixture.
extern const PublicFunction public_functions[kPublicFunctionCount];

}  // namespace kofa

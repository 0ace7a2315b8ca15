// The three public functions, in the order in which loading publishes them.
#pragma once

#include "kofa/function_record.hpp"

namespace kofa {

extern const FunctionRecord gaussian_mixture_function;
extern const FunctionRecord exponential_mixture_function;
extern const FunctionRecord exponential_gaussian_mixture_function;

inline const FunctionRecord* const public_functions[] = {
    &gaussian_mixture_function,
    &exponential_mixture_function,
    &exponential_gaussian_mixture_function,
};

}  // namespace kofa

#include "kofa/functions.hpp"

#include "kofa/binding.hpp"
#include "kofa/fits/fits.hpp"
#include "kofa/state.hpp"

#include <cstddef>
#include <iterator>
#include <utility>

namespace kofa {

namespace {

const char exponential_mixture_doc[] =
    "\n"
    "    \xE5\x8F\xAA\xE8\x83\xBD\xE7\x94\xA8\xE4\xBA\x8E\xE4\xB8\x80\xE7\xBB\xB4\xE6\x95\xB0\xE6\x8D\xAE\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    X : TYPE\n"
    "        DESCRIPTION.\n"
    "    k : TYPE, optional\n"
    "        DESCRIPTION. The default is 2.\n"
    "    init_lambda : TYPE, optional\n"
    "        DESCRIPTION. The default is None.\n"
    "    n_iter : TYPE, optional\n"
    "        DESCRIPTION. The default is 1000.\n"
    "    eps : TYPE, optional\n"
    "        DESCRIPTION. The default is 0.00001.\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    None.\n"
    "\n"
    "    ";

// The number of parameters of a fit: its arguments after the step tag.
template <class... Arguments>
constexpr std::size_t parameter_count(Ref (*)(fits::Steps&, Arguments...)) {
    return sizeof...(Arguments);
}

// The binder of a function: binds the call to the record's parameters, one
// strong reference per parameter for the whole call, and runs the fit inside
// its boundary, which reports a failure with the record's display name.
template <const FunctionRecord& function, auto fit, std::size_t... I>
PyObject* bind_and_fit(PyObject* args, PyObject* kwargs, std::index_sequence<I...>) {
    Ref values[sizeof...(I)];
    if (!bind_arguments(function, args, kwargs, values)) return nullptr;
    return fits::run_fit(function.display_name, [&](fits::Steps& step) { return fit(step, View(values[I])...); });
}

template <const FunctionRecord& function, auto fit>
PyObject* binder(PyObject*, PyObject* args, PyObject* kwargs) {
    return bind_and_fit<function, fit>(args, kwargs, std::make_index_sequence<parameter_count(fit)>{});
}

// ---- gaussian_mixture ------------------------------------------------------

constexpr Parameter gaussian_parameters[] = {
    {&id.X, nullptr},           {&id.k, &constant.two},          {&id.init_mean, nullptr},
    {&id.init_cov, nullptr},    {&id.n_iter, &constant.thousand}, {&id.eps, &constant.default_eps},
};
constexpr const View* gaussian_locals[] = {&id.mean,   &id.cov, &id._n_iter, &id.prob, &id.mean_, &id.cov_,
                                           &id.weight, &id.i,   &id.sample,  &id.m,    &id.c};
static_assert(std::size(gaussian_parameters) == parameter_count(fits::gaussian_mixture));

// ---- exponential_mixture ---------------------------------------------------

constexpr Parameter exponential_parameters[] = {
    {&id.X, nullptr},
    {&id.k, &constant.two},
    {&id.init_lambda, nullptr},
    {&id.n_iter, &constant.thousand},
    {&id.eps, &constant.default_eps},
};
constexpr const View* exponential_locals[] = {&id.lambda_, &id._n_iter, &id.prob, &id.lambda__, &id.weight,
                                              &id.i,       &id.sample,  &id.m,    &id.c,        &id.l};
static_assert(std::size(exponential_parameters) == parameter_count(fits::exponential_mixture));

// ---- exponential_gaussian_mixture ------------------------------------------

constexpr Parameter exponential_gaussian_parameters[] = {
    {&id.X, nullptr},           {&id.exponential_k, &constant.one}, {&id.gaussian_k, &constant.one},
    {&id.init_lambda, nullptr}, {&id.init_mean, nullptr},           {&id.init_cov, nullptr},
    {&id.n_iter, &constant.thousand}, {&id.eps, &constant.default_eps},
};
constexpr const View* exponential_gaussian_locals[] = {
    &id.lambda_, &id.mean,   &id.cov,      &id._n_iter,            &id.exponential_prob, &id.gaussian_prob,
    &id.mean_,   &id.cov_,   &id.lambda__, &id.exponential_weight, &id.gaussian_weight,  &id.i,
    &id.sample,  &id.m,      &id.c,        &id.l};
static_assert(std::size(exponential_gaussian_parameters) == parameter_count(fits::exponential_gaussian_mixture));

template <std::size_t N>
constexpr Py_ssize_t count_of(const Parameter (&)[N]) {
    return static_cast<Py_ssize_t>(N);
}
template <std::size_t N>
constexpr Py_ssize_t count_of(const View* const (&)[N]) {
    return static_cast<Py_ssize_t>(N);
}

}  // namespace

const FunctionRecord gaussian_mixture_function = {
    "gaussian_mixture", &id.gaussian_mixture, "kofa.gaussian_mixture", 9,
    gaussian_parameters, count_of(gaussian_parameters), gaussian_locals, count_of(gaussian_locals),
    nullptr, binder<gaussian_mixture_function, fits::gaussian_mixture>,
};

const FunctionRecord exponential_mixture_function = {
    "exponential_mixture", &id.exponential_mixture, "kofa.exponential_mixture", 39,
    exponential_parameters, count_of(exponential_parameters), exponential_locals, count_of(exponential_locals),
    exponential_mixture_doc, binder<exponential_mixture_function, fits::exponential_mixture>,
};

const FunctionRecord exponential_gaussian_mixture_function = {
    "exponential_gaussian_mixture", &id.exponential_gaussian_mixture, "kofa.exponential_gaussian_mixture", 89,
    exponential_gaussian_parameters, count_of(exponential_gaussian_parameters), exponential_gaussian_locals,
    count_of(exponential_gaussian_locals), nullptr,
    binder<exponential_gaussian_mixture_function, fits::exponential_gaussian_mixture>,
};

}  // namespace kofa

#include "kofa/functions.hpp"

#include "kofa/fits/fits.hpp"
#include "kofa/state.hpp"

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

// Parameter names, the values of omitted parameters (null: None; X has no
// default) and the local names that follow the parameters in __code__.

const View* const gaussian_parameters[] = {&id.X, &id.k, &id.init_mean, &id.init_cov, &id.n_iter, &id.eps};
const View* const gaussian_omitted[] = {
    nullptr, &constant.two, nullptr, nullptr, &constant.thousand, &constant.default_eps};
const View* const gaussian_locals[] = {&id.mean,  &id.cov,    &id._n_iter, &id.prob,   &id.mean_, &id.cov_,
                                       &id.weight, &id.i, &id.sample, &id.m, &id.c};

const View* const exponential_parameters[] = {&id.X, &id.k, &id.init_lambda, &id.n_iter, &id.eps};
const View* const exponential_omitted[] = {
    nullptr, &constant.two, nullptr, &constant.thousand, &constant.default_eps};
const View* const exponential_locals[] = {&id.lambda_, &id._n_iter, &id.prob, &id.lambda__, &id.weight,
                                          &id.i,       &id.sample,  &id.m,    &id.c,        &id.l};

const View* const exponential_gaussian_parameters[] = {&id.X,           &id.exponential_k, &id.gaussian_k,
                                                       &id.init_lambda, &id.init_mean,     &id.init_cov,
                                                       &id.n_iter,      &id.eps};
const View* const exponential_gaussian_omitted[] = {
    nullptr, &constant.one, &constant.one, nullptr, nullptr, nullptr, &constant.thousand, &constant.default_eps};
const View* const exponential_gaussian_locals[] = {
    &id.lambda_, &id.mean,  &id.cov,     &id._n_iter, &id.exponential_prob, &id.gaussian_prob,
    &id.mean_,   &id.cov_,  &id.lambda__, &id.exponential_weight, &id.gaussian_weight,
    &id.i,       &id.sample, &id.m,      &id.c,       &id.l};

template <size_t N>
constexpr Py_ssize_t count_of(const View* const (&)[N]) {
    return static_cast<Py_ssize_t>(N);
}

PyObject* call_gaussian_mixture(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref v[kMaxParameters];
    if (!bind_arguments(public_functions[0].signature, args, kwargs, v)) return nullptr;
    return fits::gaussian_mixture(v[0], v[1], v[2], v[3], v[4], v[5]);
}

PyObject* call_exponential_mixture(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref v[kMaxParameters];
    if (!bind_arguments(public_functions[1].signature, args, kwargs, v)) return nullptr;
    return fits::exponential_mixture(v[0], v[1], v[2], v[3], v[4]);
}

PyObject* call_exponential_gaussian_mixture(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref v[kMaxParameters];
    if (!bind_arguments(public_functions[2].signature, args, kwargs, v)) return nullptr;
    return fits::exponential_gaussian_mixture(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
}

}  // namespace

const PublicFunction public_functions[kPublicFunctionCount] = {
    {{"gaussian_mixture", call_gaussian_mixture, nullptr},
     {"gaussian_mixture", fits::kGaussianMixture, 9, count_of(gaussian_parameters), gaussian_parameters,
      gaussian_omitted},
     gaussian_locals,
     count_of(gaussian_locals)},
    {{"exponential_mixture", call_exponential_mixture, exponential_mixture_doc},
     {"exponential_mixture", fits::kExponentialMixture, 39, count_of(exponential_parameters),
      exponential_parameters, exponential_omitted},
     exponential_locals,
     count_of(exponential_locals)},
    {{"exponential_gaussian_mixture", call_exponential_gaussian_mixture, nullptr},
     {"exponential_gaussian_mixture", fits::kExponentialGaussianMixture, 89,
      count_of(exponential_gaussian_parameters), exponential_gaussian_parameters, exponential_gaussian_omitted},
     exponential_gaussian_locals,
     count_of(exponential_gaussian_locals)},
};

}  // namespace kofa

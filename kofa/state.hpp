// Process-wide state: everything that does not depend on a call's arguments,
// made once when the module is loaded and kept until the process ends. The
// members are plain pointers on purpose: nothing here is released at exit,
// when the interpreter may already be gone.
#pragma once

#include "kofa/ref.hpp"

#include <cstdint>

namespace kofa {

// Identifiers used by binding, introspection and the fits, interned at load.
#define KOFA_IDENTIFIERS(N)                                                                   \
    /* parameters */                                                                         \
    N(X) N(k) N(init_mean) N(init_cov) N(n_iter) N(eps) N(init_lambda) N(exponential_k)      \
    N(gaussian_k)                                                                            \
    /* locals of the fits */                                                                 \
    N(mean) N(cov) N(_n_iter) N(prob) N(mean_) N(cov_) N(weight) N(i) N(sample) N(m) N(c)    \
    N(lambda_) N(lambda__) N(l) N(exponential_prob) N(gaussian_prob) N(exponential_weight)   \
    N(gaussian_weight)                                                                       \
    /* the module's and the function names */                                                \
    N(kofa) N(gaussian_mixture) N(exponential_mixture) N(exponential_gaussian_mixture)       \
    /* NumPy and array attributes */                                                         \
    N(numpy) N(random) N(uniform) N(min) N(max) N(axis) N(sum) N(eye) N(pi) N(exp) N(dot)    \
    N(linalg) N(det) N(inv) N(concatenate) N(r_) N(isnan) N(copy) N(percentile) N(T)         \
    N(shape) N(ndarray) N(float64) N(float32) N(dtype) N(size) N(item) N(base)               \
    N(__version__)                                                                           \
    /* builtins, and the code-object fields set for introspection */                       \
    N(print) N(range) N(zip) N(replace) N(co_argcount) N(co_nlocals) N(co_varnames)          \
    N(co_flags) N(co_code) N(co_linetable) N(co_exceptiontable) N(co_stacksize)

struct Identifiers {
#define KOFA_DECLARE_IDENTIFIER(id) View id;
    KOFA_IDENTIFIERS(KOFA_DECLARE_IDENTIFIER)
#undef KOFA_DECLARE_IDENTIFIER
    View axis_keyword;  // the keyword-names tuple ("axis",)
};

struct Constants {
    View half, one_float, two_float, three_quarters, default_eps, minus_half;
    View zero, one, two, hundred, thousand, minus_one;
};

struct ProcessState {
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;         // the module being loaded, then the loaded one
    PyObject* loaded_module = nullptr;  // set, for the create phase, once a load has finished
    PyObject* namespace_ = nullptr;     // the module's dict
    PyObject* builtins = nullptr;
    PyObject* range = nullptr;        // builtins fetched once at load
    PyObject* zip = nullptr;
    PyObject* source_file = nullptr;  // shown in traceback entries and code objects
};

// The release of the NumPy imported at load, where its module says it:
// behaviours the fits follow changed between releases.
struct NumpyRelease {
    bool known = false;
    int major = 0, minor = 0;
    bool before(int other_major, int other_minor) const {
        return major < other_major || (major == other_major && minor < other_minor);
    }
};

// Reads numpy.__version__ as an attribute, as Python code would (a module
// subclass may answer it from __getattr__). Whatever fails to give a str
// of "MAJOR.MINOR..." (no such attribute, another type, text that is not
// UTF-8, an exception of any kind) leaves the release unknown, with no
// exception pending.
NumpyRelease read_numpy_release(PyObject* numpy_module);

extern Identifiers id;
extern Constants constant;
extern ProcessState process;

// The file name shown by code objects and traceback entries.
inline constexpr const char* kSourceFile = "kofa.cpp";

// Makes whichever identifiers and constants do not exist yet, so a load
// retried after a failure makes only what the failed one did not. Returns
// false with an exception set when memory runs out.
bool make_identifiers_and_constants();

}  // namespace kofa

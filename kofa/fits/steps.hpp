// The steps that the fits share. Each is a short sequence of NumPy operations
// through the object protocol, in the order in which the fits evaluate them;
// a failure throws PythonError with the exception pending (see ops.hpp).
//
// Shapes: X (n, d), one observation per row; K components of one kind;
// prob (K, n), one row of responsibilities per component; weight (K,);
// scales K numbers; means (K, d); covs K matrices (d, d). The exponential
// steps read each row of X as one value, so they mean d = 1.
#pragma once

#include "kofa/fits/fit.hpp"

namespace kofa::fits {

// ---- start values -----------------------------------------------------------

// numpy.random.uniform(X.min(axis=0), X.max(axis=0) / divisor, count): (count,) for d = 1
Ref random_scales(View X, View divisor, View count);

// numpy.random.uniform(X.min(axis=0), X.max(axis=0), (k, X.shape[1])): (k, d)
Ref random_means(View X, View k);

// [numpy.eye(d) * (X.max(axis=0) - X.min(axis=0)) / k / 2 for each of k]: k arrays (d, d)
Ref default_covariances(View X, View k);

// ---- expectation --------------------------------------------------------------

// numpy.concatenate([(1 / l) * numpy.exp((-1 / l) * X) for l in scales], axis=1).T:
// (K, n), one density row per scale
Ref exponential_density_rows(View X, View scales);

// numpy.r_[[normal density row of (m, c) for m, c in zip(means, covs)]]:
// (K, n), K the shorter of means and covs.
Ref gaussian_density_rows(View X, View means, View covs);

// numpy.r_[a, b]: (Ka, n) on (Kb, n) gives (Ka + Kb, n); (Ka,) on (Kb,) gives (Ka + Kb,)
Ref stack(View a, View b);

// prob / prob.sum(0): each observation's densities as shares of their total;
// (K, n) divided by the (n,) column sums, into a new array: the caller's
// prob is a named local of the rendering, whose old value goes only once the
// new one exists.
Ref normalised(View prob);

// prob[numpy.isnan(prob)] = 0, in place: an observation whose total was 0,
// infinite or NaN is claimed by nobody.
void clear_nan(View prob);

// ---- maximisation -------------------------------------------------------------

// numpy.copy(value): taken before the parameters are re-estimated; a list of
// K arrays (d, d) becomes one array (K, d, d).
Ref snapshot(View value);

// prob.sum(1) / prob.sum(): each component's share of the total
// responsibility, (K,).
Ref weight_shares(View prob);

// weight[weight == 0] = smallest, in place on weight (K,), with `smallest`
// taken before the mask.
void replace_zero_weights(View weight, Ref smallest);

// The observations that component i claims most strongly: its responsibility
// row prob[i] (n,) and the mask (n,) of the entries strictly above the
// (1 - weight[i]) * 100-th percentile of that row. The mask is stored in
// `sample`, the fit's own local that lives from one component and one
// iteration to the next as the rendering's does: the previous mask goes once
// the new one exists.
struct Selection {
    Ref row;
    View sample;
};
Selection select_most_responsible(View prob, View i, View weight, Ref& sample);

// (X[sample].T * row[sample]).sum(axis=1) / row[sample].sum(): the
// responsibility-weighted location of the s selected observations only;
// (d, s) times (s,), summed to (d,).
Ref weighted_location(View X, const Selection& selection);

// numpy.dot((X - means[i]).T * row, X - means[i]) / row.sum(): the weighted
// scatter of all n observations about the new mean (d,), read once, after
// the lookup of numpy.dot; (d, n) times (n, d) gives (d, d).
Ref covariance_scatter(View X, View means, View i, View row);

// for i in range(k): each exponential component's scale from the observations
// it claims most strongly, stored with scales[i] = m; where NumPy refuses
// that store (see remember_numpy_release), a one-element m is stored as its
// element. m is the fit's own local, like sample: each goes once the next
// one exists, the last when the fit returns.
// Notes whether the NumPy imported at load refuses to store a one-element
// array into one element of a numeric array (2.4 and later), from the release
// read at load; one that could not be read counts as one that refuses.
void remember_numpy_release(const NumpyRelease& release);

struct ScaleUpdateLines {
    int loop, select, location, store;
};
void update_scales(Steps& step, const ScaleUpdateLines& lines, View X, View prob, View weight, View k,
                   View scales, Ref& sample, Ref& m);

// for i in range(k): each Gaussian component's mean from the observations it
// claims most strongly, then its covariance about that new mean.
struct GaussianUpdateLines {
    int loop, select, mean, cov;
};
void update_gaussians(Steps& step, const GaussianUpdateLines& lines, View X, View prob, View weight, View k,
                      View means, View covs, Ref& sample);

// ---- progress and convergence ------------------------------------------------

// (prob.max(axis=0) > 0.75).sum() / counted.shape[1], printed as one line:
// the share of the n observations that some component claims above 0.75.
void print_claimed_share(View prob, View counted);
// The same for responsibilities stacked for this alone, which go as soon as
// their column maxima exist.
void print_stacked_claimed_share(Ref stacked, View counted);

// abs(current - previous).sum() < eps: the summed absolute change of a
// parameter array, compared strictly.
bool changed_less_than(View current, View previous, View eps);

}  // namespace kofa::fits

// gaussian_mixture: k multivariate normal components.
#include "kofa/fits/fit.hpp"
#include "kofa/fits/fits.hpp"
#include "kofa/fits/steps.hpp"

#include <utility>

namespace kofa::fits {

Ref gaussian_mixture(Steps& step, View X, View k, View init_mean, View init_cov, View n_iter, View eps) {
    step(10);
    Ref mean = truth(init_mean) ? Ref::borrow(init_mean) : random_means(X, k);
    step(11);
    Ref cov = truth(init_cov) ? Ref::borrow(init_cov) : default_covariances(X, k);
    Ref weight;
    // The rendering's locals, in the order of its frame, each released when
    // the rendering rebinds it: the previous value goes only once the new
    // one exists (docs/performance-records.md, "The rendering's lifetimes").
    Ref prob, mean_, cov_, sample;
    ReleasedInOrder release_at_exit(prob, mean_, cov_, sample);

    RangeLoop passes(step, 13, n_iter);
    while (Ref pass = passes.next()) {
        // Expectation: densities normalised per observation, not weighted.
        step(15);
        prob = gaussian_density_rows(X, mean, cov);
        step(16);
        prob = normalised(prob);
        step(17);
        clear_nan(prob);

        // Maximisation: each mean from the observations its component
        // claims most strongly, each covariance from all of them.
        step(18);
        mean_ = snapshot(mean);
        step(19);
        cov_ = snapshot(cov);
        step(21);
        weight = weight_shares(prob);
        replace_zero_weights(weight, call_method(weight, id.min));
        update_gaussians(step, {24, 25, 27, 29}, X, prob, weight, k, mean, cov, sample);

        step(31);
        print_claimed_share(prob, prob);
        step(32);
        if (changed_less_than(mean, mean_, eps) && changed_less_than(cov, cov_, eps)) {
            // Converged: the returned means are the ordinary soft-weighted
            // means over all observations; the covariances stay.
            step(33);
            weight = weight_shares(prob);
            step(35);
            Ref dot = numpy_attr(id.dot);
            Ref X_T = attr(X, id.T);
            Ref prob_T = attr(prob, id.T);
            Ref weighted_sums = call(dot, std::move(X_T), std::move(prob_T));
            Ref totals = call_method_with_axis(prob, id.sum, constant.one);
            Ref means_T = std::move(weighted_sums) / std::move(totals);
            mean = attr(means_T, id.T);
            break;
        }
    }

    step(37);
    if (!weight) raise_unbound_local("weight");
    return tuple_of(weight, mean, cov);
}

}  // namespace kofa::fits

// exponential_gaussian_mixture: exponential and Gaussian components side by
// side, sharing one set of responsibilities and one set of weights.
#include "kofa/fits/fit.hpp"
#include "kofa/fits/fits.hpp"
#include "kofa/fits/steps.hpp"

#include <utility>

namespace kofa::fits {

namespace {

// Both kinds' weights as shares of the grand total of all responsibilities,
// which stays in the fit's local `grand` until the next one exists.
void weight_shares_of_both(Steps& step, int exponential_line, int gaussian_line, View exponential_prob,
                           View gaussian_prob, Ref& grand, Ref& exponential_weight, Ref& gaussian_weight) {
    step(exponential_line);
    // The stacked rows go before the previous total.
    Ref sum = call_method(stack(exponential_prob, gaussian_prob), id.sum);
    grand = std::move(sum);
    exponential_weight = call_method(exponential_prob, id.sum, constant.one) / grand;
    step(gaussian_line);
    gaussian_weight = call_method(gaussian_prob, id.sum, constant.one) / grand;
}

}  // namespace

Ref exponential_gaussian_mixture(Steps& step, View X, View exponential_k, View gaussian_k, View init_lambda, View init_mean, View init_cov, View n_iter, View eps) {
    step(90);
    Ref lambda_ =
        truth(init_lambda) ? Ref::borrow(init_lambda) : random_scales(X, constant.hundred, exponential_k);
    step(91);
    Ref mean = truth(init_mean) ? Ref::borrow(init_mean) : random_means(X, gaussian_k);
    step(92);
    Ref cov = truth(init_cov) ? Ref::borrow(init_cov) : default_covariances(X, gaussian_k);
    Ref exponential_weight, gaussian_weight;

    // The rendering's locals, in the order of its frame, each released when
    // the rendering rebinds it: the previous value goes only once the new
    // one exists, so a live block always sits above the ones being freed
    // (docs/performance-records.md, "The rendering's lifetimes").
    Ref exponential_prob, gaussian_prob, total, mean_, cov_, lambda__, grand, sample, m;
    ReleasedInOrder release_at_exit(exponential_prob, gaussian_prob, total, mean_, cov_, lambda__, grand, sample,
                                    m);
    RangeLoop passes(step, 94, n_iter);
    while (Ref pass = passes.next()) {
        // Expectation: one per-observation total over both kinds.
        step(96);
        exponential_prob = exponential_density_rows(X, lambda_);
        step(97);
        gaussian_prob = gaussian_density_rows(X, mean, cov);
        step(98);
        // The stacked rows go before the previous total, as the rendering's
        // temporary goes before its local is rebound.
        Ref sums = call_method(stack(exponential_prob, gaussian_prob), id.sum, constant.zero);
        total = std::move(sums);
        exponential_prob = exponential_prob / total;
        step(99);
        gaussian_prob = gaussian_prob / total;
        step(100);
        clear_nan(exponential_prob);
        step(101);
        clear_nan(gaussian_prob);

        // Maximisation: exponential components first, then Gaussian ones.
        step(105);
        mean_ = snapshot(mean);
        step(106);
        cov_ = snapshot(cov);
        step(107);
        lambda__ = snapshot(lambda_);
        weight_shares_of_both(step, 109, 110, exponential_prob, gaussian_prob, grand, exponential_weight,
                              gaussian_weight);
        // The stacked weights go once their minimum exists, before the mask.
        step(111);
        Ref smallest = call_method(stack(exponential_weight, gaussian_weight), id.min);
        replace_zero_weights(exponential_weight, std::move(smallest));
        step(112);
        smallest = call_method(stack(exponential_weight, gaussian_weight), id.min);
        replace_zero_weights(gaussian_weight, std::move(smallest));

        update_scales(step, {114, 115, 117, 119}, X, exponential_prob, exponential_weight, exponential_k,
                      lambda_, sample, m);
        update_gaussians(step, {120, 121, 123, 125}, X, gaussian_prob, gaussian_weight, gaussian_k, mean, cov,
                         sample);

        step(129);
        print_stacked_claimed_share(stack(exponential_prob, gaussian_prob), exponential_prob);
        step(130);
        if (changed_less_than(mean, mean_, eps) && changed_less_than(cov, cov_, eps) &&
            changed_less_than(lambda_, lambda__, eps)) {
            weight_shares_of_both(step, 131, 132, exponential_prob, gaussian_prob, grand,
                                  exponential_weight, gaussian_weight);
            break;
        }
    }

    step(136);
    if (!exponential_weight) raise_unbound_local("exponential_weight");
    return tuple_of(exponential_weight, lambda_, gaussian_weight, mean, cov);
}

}  // namespace kofa::fits

// exponential_mixture: k exponential components fitted to one-column data.
#include "kofa/fits/fit.hpp"
#include "kofa/fits/fits.hpp"
#include "kofa/fits/steps.hpp"

namespace kofa::fits {

Ref exponential_mixture(Steps& step, View X, View k, View init_lambda, View n_iter, View eps) {
    step(62);
    Ref lambda_ = truth(init_lambda) ? Ref::borrow(init_lambda) : random_scales(X, constant.two, k);
    Ref weight;

    // The rendering's locals, in the order of its frame, each released when
    // the rendering rebinds it: the previous value goes only once the new
    // one exists (docs/performance-records.md, "The rendering's lifetimes").
    Ref prob, lambda__, sample, m;
    ReleasedInOrder release_at_exit(prob, lambda__, sample, m);
    RangeLoop passes(step, 64, n_iter);
    while (Ref pass = passes.next()) {
        // Expectation: densities normalised per observation, not weighted.
        step(66);
        prob = exponential_density_rows(X, lambda_);
        step(67);
        prob = normalised(prob);
        step(68);
        clear_nan(prob);

        // Maximisation: each scale from the observations its component
        // claims most strongly.
        step(69);
        lambda__ = snapshot(lambda_);
        step(71);
        weight = weight_shares(prob);
        step(72);
        replace_zero_weights(weight, call_method(weight, id.min));
        update_scales(step, {74, 75, 77, 79}, X, prob, weight, k, lambda_, sample, m);

        step(81);
        print_claimed_share(prob, prob);
        step(82);
        if (changed_less_than(lambda_, lambda__, eps)) {
            step(83);
            weight = weight_shares(prob);
            break;
        }
    }

    step(87);
    if (!weight) raise_unbound_local("weight");
    return tuple_of(weight, lambda_);
}

}  // namespace kofa::fits

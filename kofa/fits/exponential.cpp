// exponential_mixture: k exponential components fitted to one-column data.
#include "kofa/fits/fit.hpp"
#include "kofa/fits/fits.hpp"
#include "kofa/fits/steps.hpp"

namespace kofa::fits {

PyObject* exponential_mixture(View X, View k, View init_lambda, View n_iter, View eps) {
    return run_fit(kExponentialMixture, [&](Steps& step) {
        step(62);
        Ref lambda_ = truth(init_lambda) ? Ref::borrow(init_lambda) : random_scales(X, constant.two, k);
        Ref weight;

        RangeLoop passes(step, 64, n_iter);
        while (Ref pass = passes.next()) {
            // Expectation: densities normalised per observation, not weighted.
            step(66);
            Ref prob = exponential_density_rows(X, lambda_);
            step(67);
            prob = prob / call_method(prob, id.sum, constant.zero);
            step(68);
            clear_nan(prob);

            // Maximisation.
            step(69);
            Ref lambda__ = snapshot(lambda_);
            step(71);
            weight = weight_shares(prob);
            step(72);
            replace_zero_weights(weight, call_method(weight, id.min));
            RangeLoop components(step, 74, k);
            while (Ref i = components.next()) {
                step(75);
                Selection selection = select_most_responsible(prob, i, weight);
                step(77);
                Ref m = weighted_location(X, selection);
                step(79);
                set_item(lambda_, i, m);
            }

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
    });
}

}  // namespace kofa::fits

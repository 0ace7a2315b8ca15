#include "kofa/fits/steps.hpp"
#include "kofa/in_place.hpp"

#include <utility>

namespace kofa::fits {

namespace {

Ref column_min(View X) { return call_method_with_axis(X, id.min, constant.zero); }
Ref column_max(View X) { return call_method_with_axis(X, id.max, constant.zero); }
Ref dimension(View X) { return item(attr(X, id.shape), constant.one); }

Ref random_uniform() { return attr(numpy_attr(id.random), id.uniform); }

// The normal density of every observation under one component, computed as
// it stands: very small densities become 0 rather than being rescaled.
Ref gaussian_density_row(View X, View m, View c) {
    Ref two_pi = constant.two_float * numpy_attr(id.pi);
    Ref scale = power(two_pi, dimension(X));
    two_pi.reset();
    Ref determinant = call(attr(numpy_attr(id.linalg), id.det), c);
    // Each operand goes once its result exists, as the interpreter's
    // temporaries do.
    Ref scaled = std::move(scale) * std::move(determinant);
    Ref root = power(scaled, constant.half);
    scaled.reset();
    Ref normaliser = constant.one_float / root;
    root.reset();

    Ref exp = numpy_attr(id.exp);
    Ref dot = numpy_attr(id.dot);
    Ref centred = X - m;
    Ref inverse = call(attr(numpy_attr(id.linalg), id.inv), c);
    // The products below reuse the buffer of the array that only this row
    // holds, where NumPy's elision reuses the rendering's temporaries (from
    // 256 KiB, in_place.cpp), and each array goes where the rendering's
    // temporary goes. The centred values are made once, where the rendering
    // frees its first `X - m` after the product with the inverse and makes
    // the second. Making them twice would give glibc the rendering's very
    // sequence of blocks, but it cost the Gaussian fit some 12% of its time
    // in every history, more than the page faults it saves in the few where
    // the heap takes another course (docs/performance-records.md).
    Ref product = call(dot, centred, inverse);
    // The inverse goes once its one use is done, where the rendering's
    // temporary argument goes.
    inverse.reset();
    Ref weighted = temporary_times(std::move(product), centred);
    centred.reset();
    Ref squared_distance = call_method_with_axis(weighted, id.sum, constant.one);
    weighted.reset();
    Ref exponent = times_temporary(constant.minus_half, std::move(squared_distance));
    Ref density = call(exp, exponent);
    exponent.reset();
    return times_temporary(normaliser, std::move(density));
}

}  // namespace

Ref random_scales(View X, View divisor, View count) {
    Ref uniform = random_uniform();
    Ref low = column_min(X);
    Ref high = column_max(X) / divisor;
    return call(uniform, std::move(low), std::move(high), count);
}

Ref random_means(View X, View k) {
    Ref uniform = random_uniform();
    Ref low = column_min(X);
    Ref high = column_max(X);
    Ref size = tuple_of(k, dimension(X));
    return call(uniform, std::move(low), std::move(high), std::move(size));
}

Ref default_covariances(View X, View k) {
    Iterator components(call(View(process.range), k));
    Ref covariances = new_list();
    while (Ref i = components.next()) {
        Ref eye = numpy_attr(id.eye);
        Ref identity = call(eye, dimension(X));
        Ref high = column_max(X);
        // Each operand goes once its result exists, as the interpreter's
        // temporaries do.
        Ref spread = std::move(high) - column_min(X);
        Ref scaled = std::move(identity) * std::move(spread);
        Ref per_component = std::move(scaled) / k;
        Ref covariance = std::move(per_component) / constant.two;
        append(covariances, covariance);
    }
    return covariances;
}

Ref exponential_density_rows(View X, View scales) {
    Ref concatenate = numpy_attr(id.concatenate);
    Ref columns = new_list();
    Iterator components(scales);
    while (Ref l = components.next()) {
        Ref inverse = constant.one / l;
        Ref exp = numpy_attr(id.exp);
        Ref exponent = (constant.minus_one / l) * X;
        Ref exponential = call(exp, exponent);
        exponent.reset();
        append(columns, times_temporary(std::move(inverse), std::move(exponential)));
    }
    return attr(call_with_axis(concatenate, constant.one, columns), id.T);
}

Ref gaussian_density_rows(View X, View means, View covs) {
    Ref rows = new_list();
    Iterator components(call(View(process.zip), means, covs));
    while (Ref pair = components.next()) {
        Ref m, c;
        unpack_pair(pair, m, c);
        append(rows, gaussian_density_row(X, m, c));
    }
    // numpy.r_ is looked up once the rows are made.
    Ref r_ = numpy_attr(id.r_);
    return item(r_, rows);
}

Ref stack(View a, View b) { return item(numpy_attr(id.r_), tuple_of(a, b)); }

Ref normalised(View prob) { return prob / call_method(prob, id.sum, constant.zero); }

void clear_nan(View prob) {
    Ref isnan = numpy_attr(id.isnan);
    set_item(prob, call(isnan, prob), constant.zero);
}

Ref snapshot(View value) { return call(numpy_attr(id.copy), value); }

Ref weight_shares(View prob) {
    Ref row_sums = call_method(prob, id.sum, constant.one);
    return std::move(row_sums) / call_method(prob, id.sum);
}

void replace_zero_weights(View weight, Ref smallest) {
    Ref zero = equal(weight, constant.zero);
    set_item(weight, std::move(zero), std::move(smallest));
}

Selection select_most_responsible(View prob, View i, View weight, Ref& sample) {
    Ref row = item(prob, i);
    Ref percentile = numpy_attr(id.percentile);
    Ref percentage = (constant.one - item(weight, i)) * constant.hundred;
    Ref threshold = call(percentile, row, percentage);
    Ref mask = greater(row, threshold);
    threshold.reset();
    sample = std::move(mask);
    return Selection{std::move(row), View(sample)};
}

Ref weighted_location(View X, const Selection& selection) {
    Ref selected = attr(item(X, selection.sample), id.T);
    Ref responsibility = item(selection.row, selection.sample);
    Ref product = selected * responsibility;
    // The selected observations go once their product exists, as the
    // rendering's temporary does; the selected responsibilities stay for
    // their sum, where the rendering selects them again (a boolean
    // selection over n costs more than the heap could give back).
    selected.reset();
    Ref weighted_sum = call_method_with_axis(product, id.sum, constant.one);
    product.reset();
    return std::move(weighted_sum) / call_method(responsibility, id.sum);
}

Ref covariance_scatter(View X, View means, View i, View row) {
    Ref dot = numpy_attr(id.dot);
    Ref mean = item(means, i);
    Ref centred = X - mean;
    Ref scatter = call(dot, attr(centred, id.T) * row, centred);
    return std::move(scatter) / call_method(row, id.sum);
}

namespace {

// A question about the arguments that must not fail the fit: an exception
// while answering it means "no". Anything that is not an ordinary Exception
// (KeyboardInterrupt, say) still ends the fit.
bool answered_no() {
    ensure_exception(kSilentOperation);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    PyErr_Clear();
    return false;
}

// Whether NumPy refuses scales[i] = m for a one-element array m in an
// element of a numeric array. Releases before 2.4 store the element (from
// 1.25 with a DeprecationWarning); 2.4 raises "setting an array element with
// a sequence". Written once at load, before the functions exist.
bool numpy_refuses_array_as_element = true;

// Whether the scale store writes m's one element rather than m itself: only
// where NumPy would refuse m (see above), that is into a NumPy array that
// does not hold objects, and only when m has exactly one element. Elsewhere
// the store is the plain one, with NumPy's own conversion: a list keeps the
// array m, an object array holds it.
bool stores_one_element(View scales, View m) {
    if (!numpy_refuses_array_as_element) return false;
    Ref numpy_module = Ref::steal(lookup_module_global(id.numpy));
    if (!numpy_module) return answered_no();
    Ref ndarray = Ref::steal(PyObject_GetAttr(numpy_module.get(), id.ndarray.get()));
    if (!ndarray) return answered_no();
    if (!PyType_Check(ndarray.get()) ||
        !PyObject_TypeCheck(scales.get(), reinterpret_cast<PyTypeObject*>(ndarray.get())))
        return false;
    Ref dtype = Ref::steal(PyObject_GetAttr(scales.get(), id.dtype.get()));
    if (!dtype) return answered_no();
    const int holds_objects =
        PyObject_RichCompareBool(dtype.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type), Py_EQ);
    if (holds_objects != 0) return holds_objects < 0 ? answered_no() : false;
    Ref size = Ref::steal(PyObject_GetAttr(m.get(), id.size.get()));
    if (!size) return answered_no();
    const int one = PyObject_RichCompareBool(size.get(), constant.one.get(), Py_EQ);
    if (one < 0) return answered_no();
    return one == 1;
}

}  // namespace

void remember_numpy_release(const NumpyRelease& release) {
    numpy_refuses_array_as_element = !release.known || !release.before(2, 4);
}

void update_scales(Steps& step, const ScaleUpdateLines& lines, View X, View prob, View weight, View k,
                   View scales, Ref& sample, Ref& m) {
    RangeLoop components(step, lines.loop, k);
    while (Ref i = components.next()) {
        step(lines.select);
        Selection selection = select_most_responsible(prob, i, weight, sample);
        step(lines.location);
        m = weighted_location(X, selection);
        step(lines.store);
        if (stores_one_element(scales, m)) {
            Ref element = call_method(m, id.item);
            set_item(scales, i, element);
        } else {
            set_item(scales, i, m);
        }
    }
}

void update_gaussians(Steps& step, const GaussianUpdateLines& lines, View X, View prob, View weight, View k,
                      View means, View covs, Ref& sample) {
    RangeLoop components(step, lines.loop, k);
    while (Ref i = components.next()) {
        step(lines.select);
        Selection selection = select_most_responsible(prob, i, weight, sample);
        step(lines.mean);
        set_item(means, i, weighted_location(X, selection));
        step(lines.cov);
        set_item(covs, i, covariance_scatter(X, means, i, selection.row));
    }
}

namespace {

// Each array goes as soon as the next one exists, as the interpreter's
// temporaries do: held to the end, they raise the fit's peak memory.
void print_share_above(Ref highest, View counted) {
    Ref claimed = greater(highest, constant.three_quarters);
    highest.reset();
    Ref count = call_method(claimed, id.sum);
    claimed.reset();
    Ref share = std::move(count) / dimension(counted);
    check_status(print_one(share.get()));
}

}  // namespace

void print_claimed_share(View prob, View counted) {
    print_share_above(call_method_with_axis(prob, id.max, constant.zero), counted);
}

void print_stacked_claimed_share(Ref stacked, View counted) {
    Ref highest = call_method_with_axis(stacked, id.max, constant.zero);
    stacked.reset();
    print_share_above(std::move(highest), counted);
}

// Each temporary goes once the value made from it exists, as the
// interpreter's do.
bool changed_less_than(View current, View previous, View eps) {
    Ref difference = current - previous;
    Ref magnitude = absolute(difference);
    difference.reset();
    Ref change = call_method(magnitude, id.sum);
    magnitude.reset();
    Ref below = less(change, eps);
    change.reset();
    return truth(below);
}

}  // namespace kofa::fits

// The event-search kernel: the roots and extrema of a smooth scalar function of
// time, found by sampling it on a step it cannot change sign twice within and
// refining each bracket. Plain C++, header-only, no Python: rise and set,
// culmination, shadow entry and exit, and the times of closest approach of the
// conjunction screening all go through here.
//
// Time is a double (seconds from an origin the caller chooses, so that the
// resolution stays far below a microsecond over years). The refinement is
// Brent's method (R. P. Brent, "Algorithms for Minimization without
// Derivatives", 1973, ch. 4): inverse quadratic interpolation and secant steps,
// with bisection whenever they would not shrink the bracket fast enough, so it
// converges on every bracket and superlinearly on smooth functions.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

namespace astrovia::events {

// A root of f in [a, b], where f(a) and f(b) have opposite signs (or one is 0),
// to within `tol` seconds. fa, fb: the values already known at a and b.
// At most `max_iter` evaluations; the best estimate so far is returned then.
template <class F>
double refine_root(F&& f, double a, double fa, double b, double fb, double tol, int max_iter = 100) {
    if (fa == 0.0) return a;
    if (fb == 0.0) return b;
    double c = a, fc = fa, d = b - a, e = d;
    for (int iter = 0; iter < max_iter; ++iter) {
        if ((fb > 0.0) == (fc > 0.0)) {
            c = a;
            fc = fa;
            d = e = b - a;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b, b = c, c = a;
            fa = fb, fb = fc, fc = fa;
        }
        const double tol1 = 2.0 * std::numeric_limits<double>::epsilon() * std::fabs(b) + 0.5 * tol;
        const double m = 0.5 * (c - b);
        if (std::fabs(m) <= tol1 || fb == 0.0) return b;
        if (std::fabs(e) >= tol1 && std::fabs(fa) > std::fabs(fb)) {
            double p, q, r;
            const double s = fb / fa;
            if (a == c) {  // secant
                p = 2.0 * m * s;
                q = 1.0 - s;
            } else {  // inverse quadratic interpolation
                q = fa / fc;
                r = fb / fc;
                p = s * (2.0 * m * q * (q - r) - (b - a) * (r - 1.0));
                q = (q - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (p > 0.0) q = -q;
            else p = -p;
            if (2.0 * p < std::fmin(3.0 * m * q - std::fabs(tol1 * q), std::fabs(e * q))) {
                e = d;
                d = p / q;
            } else {
                d = m;
                e = m;
            }
        } else {
            d = m;
            e = m;
        }
        a = b;
        fa = fb;
        b += std::fabs(d) > tol1 ? d : (m > 0.0 ? tol1 : -tol1);
        fb = f(b);
    }
    return b;
}

// Every sign change of f on [t0, t1], sampled at t0, t0 + step, ..., t1 (the
// last sample at t1 exactly), refined to `tol`. For each root calls
// on_root(t, rising) with rising = true where f goes from negative to
// non-negative. A sample exactly at zero counts as non-negative, so a function
// that touches zero from above reports nothing, and one that starts at zero
// reports no root at t0. `step` must be positive; the caller derives it so that
// f cannot change sign twice between samples. Returns the number of roots.
template <class F, class OnRoot>
std::size_t find_roots(F&& f, double t0, double t1, double step, double tol, OnRoot&& on_root) {
    if (!(t1 > t0) || !(step > 0.0)) return 0;
    std::size_t found = 0;
    double ta = t0, fa = f(ta);
    const double n_steps = std::ceil((t1 - t0) / step);
    for (double k = 1.0; k <= n_steps; k += 1.0) {
        const double tb = k == n_steps ? t1 : t0 + k * step;
        const double fb = f(tb);
        const bool neg_a = fa < 0.0, neg_b = fb < 0.0;
        if (neg_a != neg_b && std::isfinite(fa) && std::isfinite(fb)) {
            // Refine on the function shifted so that a sample at zero counts as non-negative.
            auto g = [&](double t) {
                const double v = f(t);
                return v < 0.0 ? v : (v == 0.0 ? std::numeric_limits<double>::min() : v);
            };
            const double ga = neg_a ? fa : (fa == 0.0 ? std::numeric_limits<double>::min() : fa);
            const double gb = neg_b ? fb : (fb == 0.0 ? std::numeric_limits<double>::min() : fb);
            on_root(refine_root(g, ta, ga, tb, gb, tol), neg_a);
            ++found;
        }
        ta = tb;
        fa = fb;
    }
    return found;
}

// The root of a sign change of f between two samples (fa = f(a), fb = f(b),
// one negative and the other not), with the convention of find_roots: a value
// of exactly zero counts as non-negative.
template <class F>
double refine_sign_change(F&& f, double a, double fa, double b, double fb, double tol) {
    constexpr double tiny = std::numeric_limits<double>::min();
    auto g = [&](double t) {
        const double v = f(t);
        return v < 0.0 ? v : (v == 0.0 ? tiny : v);
    };
    return refine_root(g, a, fa < 0.0 ? fa : (fa == 0.0 ? tiny : fa), b, fb < 0.0 ? fb : (fb == 0.0 ? tiny : fb),
                       tol);
}

// Every sign change of f over samples the caller has already taken (shared by
// several functions of one propagated state, or at irregular instants): t[0] <
// t[1] < ... < t[n-1], fv[i] = f(t[i]). Brackets with a non-finite end are
// skipped. on_root(t, rising, i): the root, refined to `tol`, lies in
// [t[i], t[i+1]]. Returns the number of roots.
template <class F, class OnRoot>
std::size_t find_roots_sampled(F&& f, const double* t, const double* fv, std::size_t n, double tol,
                               OnRoot&& on_root) {
    std::size_t found = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double fa = fv[i], fb = fv[i + 1];
        const bool neg_a = fa < 0.0, neg_b = fb < 0.0;
        if (neg_a == neg_b || !std::isfinite(fa) || !std::isfinite(fb)) continue;
        on_root(refine_sign_change(f, t[i], fa, t[i + 1], fb, tol), neg_a, i);
        ++found;
    }
    return found;
}

// A root of f in [a, b], where f(a) = fa and f(b) = fb have opposite signs (or
// one is 0), for a function that gives its derivative with its value:
// fdf(t, f, df). Newton's method from `guess`, kept inside the shrinking
// bracket: wherever a Newton step would leave it, or would not halve it as
// fast as bisection, a bisection step is taken instead (W. H. Press et al.,
// "Numerical Recipes", 3rd ed., 2007, sec. 9.4). Quadratic convergence near
// the root; never worse than bisection. Stops when a step is below `tol`.
template <class FDF>
double refine_root_newton(FDF&& fdf, double a, double fa, double b, double fb, double guess, double tol,
                          int max_iter = 100) {
    if (fa == 0.0) return a;
    if (fb == 0.0) return b;
    double lo = a, hi = b;  // f(lo) < 0 < f(hi)
    if (fa > 0.0) lo = b, hi = a;
    double x = (guess > std::fmin(a, b) && guess < std::fmax(a, b)) ? guess : 0.5 * (a + b);
    double dx_old = std::fabs(b - a), dx = dx_old;
    double f, df;
    fdf(x, f, df);
    for (int iter = 0; iter < max_iter; ++iter) {
        if (f == 0.0 || !std::isfinite(f)) return x;
        if (f < 0.0) lo = x;
        else hi = x;
        const bool newton_leaves = !(((x - hi) * df - f) * ((x - lo) * df - f) < 0.0);
        if (newton_leaves || std::fabs(2.0 * f) > std::fabs(dx_old * df)) {
            dx_old = dx;
            dx = 0.5 * (hi - lo);
            x = lo + dx;
        } else {
            dx_old = dx;
            dx = f / df;
            x -= dx;
        }
        if (std::fabs(dx) < tol) return x;
        fdf(x, f, df);
    }
    return x;
}

// The local maxima of g on [t0, t1] from the sign changes of its derivative dg
// (positive to negative), each refined to `tol`: on_max(t). A maximum at an
// end of the interval is not reported here; callers look at the ends
// themselves (a pass cut by the window, an approach straddling it).
template <class DG, class OnMax>
std::size_t find_maxima(DG&& dg, double t0, double t1, double step, double tol, OnMax&& on_max) {
    std::size_t n = 0;
    find_roots(std::forward<DG>(dg), t0, t1, step, tol, [&](double t, bool rising) {
        if (!rising) on_max(t), ++n;
    });
    return n;
}

// The local minima of g from its derivative (negative to positive): on_min(t).
template <class DG, class OnMin>
std::size_t find_minima(DG&& dg, double t0, double t1, double step, double tol, OnMin&& on_min) {
    std::size_t n = 0;
    find_roots(std::forward<DG>(dg), t0, t1, step, tol, [&](double t, bool rising) {
        if (rising) on_min(t), ++n;
    });
    return n;
}

}  // namespace astrovia::events

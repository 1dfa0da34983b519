// astrovia.frames._geodetic: the loops of astrovia.frames.geodetic. Rows of
// (N, 3) float64 arrays (any strides) in, a fresh C-ordered (N, 3) array out;
// the loop runs without the interpreter lock, on OpenMP threads for large N
// (each row is independent, so the result does not depend on the thread count).
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>

#include "_native/buffer.hpp"
#include "frames/epoch_inputs.hpp"
#include "frames/geodetic_kernel.hpp"

namespace nb = nanobind;
using namespace astrovia;
using native::Float64View;

namespace {

constexpr Py_ssize_t kSerialLimit = 20000;

void check_ellipsoid(double a, double f) {
    if (!(a > 0.0 && std::isfinite(a) && f >= 0.0 && f < 1.0)) {
        throw nb::value_error("the ellipsoid needs a finite a > 0 and 0 <= f < 1");
    }
}

// Rows are taken kBlock at a time (see geodetic_block).
constexpr Py_ssize_t kBlock = 64;

// The rows of an (N, 3) input through block(src, dst, first row, row count)
// into a fresh (N, 3) output, without the interpreter lock.
template <class Block>
nb::object rows_map(nb::handle in, const char* name, double a, double f, Block block) {
    check_ellipsoid(a, f);
    const Float64View v(in, 2, false, name);
    if (v.shape(1) != 3) {
        throw nb::value_error((std::string(name) + " must have 3 columns, not " + std::to_string(v.shape(1))).c_str());
    }
    const Py_ssize_t n = v.shape(0);
    const native::Output out = native::zeros_output({n, 3}, name);
    const frames::Rows src(v), dst(*out);
    const Py_ssize_t blocks = (n + kBlock - 1) / kBlock;
    {
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (n > kSerialLimit)
        for (Py_ssize_t b = 0; b < blocks; ++b) {
            const Py_ssize_t i0 = b * kBlock;
            block(src, dst, i0, std::min(kBlock, n - i0));
        }
    }
    return out.array;
}

// Geodetic coordinates of kBlock rows at once, the same numbers as
// geodetic_from_itrf row by row: the terms of the outside route for every row
// of the block first (a loop of square roots and divisions only, which the
// compiler turns into vector instructions), then the arctangents, and rows of
// any other route through the scalar kernel.
void geodetic_block(const frames::Rows& src, const frames::Rows& dst, Py_ssize_t i0, Py_ssize_t m, double a, double f) {
    double x[kBlock], y[kBlock], z[kBlock], num[kBlock], den[kBlock], delta[kBlock], h[kBlock];
    for (Py_ssize_t k = 0; k < m; ++k) {
        x[k] = src.at(i0 + k, 0);
        y[k] = src.at(i0 + k, 1);
        z[k] = src.at(i0 + k, 2);
    }
    for (Py_ssize_t k = 0; k < m; ++k) {
        frames::outside_terms(std::sqrt(x[k] * x[k] + y[k] * y[k]), z[k], a, f, num[k], den[k], delta[k], h[k]);
    }
    for (Py_ssize_t k = 0; k < m; ++k) {
        double out[3];
        if (frames::takes_outside_route(x[k], y[k], z[k], a)) {
            out[0] = frames::atan2_octant(num[k], den[k]) + delta[k];
            out[1] = frames::atan2_octant(y[k], x[k]);
            out[2] = h[k];
        } else {
            const double r[3] = {x[k], y[k], z[k]};
            frames::geodetic_from_itrf(r, a, f, out[0], out[1], out[2]);
        }
        dst.store(i0 + k, out);
    }
}

}  // namespace

NB_MODULE(_geodetic, m) {
    m.doc() = "Native loops of astrovia.frames.geodetic (use that module).";
    m.def(
        "geodetic_rows",
        [](nb::handle r, double a, double f) {
            return rows_map(r, "r", a, f, [a, f](const frames::Rows& src, const frames::Rows& dst, Py_ssize_t i0,
                                                 Py_ssize_t m) { geodetic_block(src, dst, i0, m, a, f); });
        },
        nb::arg("r"), nb::arg("a"), nb::arg("f"),
        nb::sig("def geodetic_rows(r: NDArray[numpy.float64], a: float, f: float) -> NDArray[numpy.float64]"),
        "Earth-fixed positions (N, 3) [m] -> (N, 3) rows of latitude, longitude [rad] and height [m].");
    m.def(
        "itrf_rows",
        [](nb::handle lla, double a, double f) {
            return rows_map(lla, "lla", a, f, [a, f](const frames::Rows& src, const frames::Rows& dst, Py_ssize_t i0,
                                                     Py_ssize_t m) {
                for (Py_ssize_t i = i0; i < i0 + m; ++i) {
                    double x[3], y[3];
                    src.load(i, x);
                    frames::itrf_from_geodetic(x[0], x[1], x[2], a, f, y);
                    dst.store(i, y);
                }
            });
        },
        nb::arg("lla"), nb::arg("a"), nb::arg("f"),
        nb::sig("def itrf_rows(lla: NDArray[numpy.float64], a: float, f: float) -> NDArray[numpy.float64]"),
        "(N, 3) rows of latitude, longitude [rad] and height [m] -> Earth-fixed positions (N, 3) [m].");
}

// astrovia.frames._geodetic: the loops of astrovia.frames.geodetic. Rows of
// (N, 3) float64 arrays (any strides) in, a fresh C-ordered (N, 3) array out;
// the loop runs without the interpreter lock, on OpenMP threads for large N
// (each row is independent, so the result does not depend on the thread count).
#include <nanobind/nanobind.h>

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

template <class Kernel>
nb::object rows_map(nb::handle in, const char* name, double a, double f, Kernel kernel) {
    check_ellipsoid(a, f);
    const Float64View v(in, 2, false, name);
    if (v.shape(1) != 3) {
        throw nb::value_error((std::string(name) + " must have 3 columns, not " + std::to_string(v.shape(1))).c_str());
    }
    const Py_ssize_t n = v.shape(0);
    const native::Output out = native::zeros_output({n, 3}, name);
    const frames::Rows src(v), dst(*out);
    {
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (n > kSerialLimit)
        for (Py_ssize_t i = 0; i < n; ++i) {
            double x[3], y[3];
            src.load(i, x);
            kernel(x, y);
            dst.store(i, y);
        }
    }
    return out.array;
}

}  // namespace

NB_MODULE(_geodetic, m) {
    m.doc() = "Native loops of astrovia.frames.geodetic (use that module).";
    m.def(
        "geodetic_rows",
        [](nb::handle r, double a, double f) {
            return rows_map(r, "r", a, f, [a, f](const double* x, double* y) {
                frames::geodetic_from_itrf(x, a, f, y[0], y[1], y[2]);
            });
        },
        nb::arg("r"), nb::arg("a"), nb::arg("f"),
        nb::sig("def geodetic_rows(r: NDArray[numpy.float64], a: float, f: float) -> NDArray[numpy.float64]"),
        "Earth-fixed positions (N, 3) [m] -> (N, 3) rows of latitude, longitude [rad] and height [m].");
    m.def(
        "itrf_rows",
        [](nb::handle lla, double a, double f) {
            return rows_map(lla, "lla", a, f, [a, f](const double* x, double* y) {
                frames::itrf_from_geodetic(x[0], x[1], x[2], a, f, y);
            });
        },
        nb::arg("lla"), nb::arg("a"), nb::arg("f"),
        nb::sig("def itrf_rows(lla: NDArray[numpy.float64], a: float, f: float) -> NDArray[numpy.float64]"),
        "(N, 3) rows of latitude, longitude [rad] and height [m] -> Earth-fixed positions (N, 3) [m].");
}

// astrovia.events._shadow: the loops behind astrovia.events.illumination and
// sunlit. TT two-part Julian dates (N, 2) and GCRF positions (N, 3) [m] in; the
// Sun from the shared Sun/Moon kernel, the conical shadow from events/shadow.hpp.
// The loop runs without the interpreter lock, on OpenMP threads for large N
// (rows are independent: the result does not depend on the thread count).
#include <nanobind/nanobind.h>

#include <cmath>

#include "_native/buffer.hpp"
#include "bodies/sun_moon.hpp"
#include "events/shadow.hpp"
#include "frames/epoch_inputs.hpp"

namespace nb = nanobind;
using namespace astrovia;
using native::Float64View;

namespace {

constexpr Py_ssize_t kSerialLimit = 2000;

// mode 0: visible fraction of the Sun's disc; mode 1: the Sun's centre visible (1.0 or 0.0).
nb::object shadow_rows(nb::handle tt, nb::handle r, double earth_radius, int mode) {
    if (!(earth_radius > 0.0 && std::isfinite(earth_radius))) {
        throw nb::value_error("the Earth's radius must be finite and positive");
    }
    const Float64View tv(tt, 2, false, "tt");
    const Float64View rv(r, 2, false, "r");
    if (tv.shape(1) != 2) throw nb::value_error("tt must have 2 columns (a two-part Julian date)");
    if (rv.shape(1) != 3) throw nb::value_error("r must have 3 columns");
    const Py_ssize_t n = tv.shape(0);
    if (rv.shape(0) != n) {
        throw nb::value_error(("r has " + std::to_string(rv.shape(0)) + " rows, but time has " +
                               std::to_string(n) + " epochs").c_str());
    }
    const native::Output out = native::zeros_output({n}, "the result");
    const frames::Rows ts(tv), rs(rv);
    char* const base = out->bytes();
    const Py_ssize_t stride = out->stride(0);
    {
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (n > kSerialLimit)
        for (Py_ssize_t i = 0; i < n; ++i) {
            double x[3], sun[3];
            rs.load(i, x);
            bodies::sun_position_gcrf(ts.at(i, 0), ts.at(i, 1), sun);
            const events::ShadowGeometry g = events::shadow_geometry(x, sun, earth_radius);
            double y;
            if (!(std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]))) y = NAN;
            else if (mode == 0) y = events::visible_fraction(g);
            else y = events::sun_centre_function(g) > 0.0 ? 1.0 : 0.0;
            std::memcpy(base + i * stride, &y, sizeof y);
        }
    }
    return out.array;
}

}  // namespace

NB_MODULE(_shadow, m) {
    m.doc() = "Native loops of astrovia.events.illumination and sunlit (use those).";
    m.def(
        "illumination_rows", [](nb::handle tt, nb::handle r, double re) { return shadow_rows(tt, r, re, 0); },
        nb::arg("tt"), nb::arg("r"), nb::arg("earth_radius"),
        nb::sig("def illumination_rows(tt: NDArray[numpy.float64], r: NDArray[numpy.float64], earth_radius: float) -> NDArray[numpy.float64]"),
        "Visible fraction of the Sun's disc at GCRF positions r (N, 3) [m] and TT dates tt (N, 2).");
    m.def(
        "sunlit_rows", [](nb::handle tt, nb::handle r, double re) { return shadow_rows(tt, r, re, 1); },
        nb::arg("tt"), nb::arg("r"), nb::arg("earth_radius"),
        nb::sig("def sunlit_rows(tt: NDArray[numpy.float64], r: NDArray[numpy.float64], earth_radius: float) -> NDArray[numpy.float64]"),
        "1.0 where the Sun's centre is visible from GCRF positions r (N, 3) [m] at TT dates tt (N, 2), else 0.0.");
}

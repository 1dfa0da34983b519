// astrovia.groundstation._look: the loop behind GroundStation.look. ITRF
// positions and velocities (N, 3) in, rows of azimuth, elevation, range and
// range rate (N, 4) out, from the topocentric kernel; without the interpreter
// lock, on OpenMP threads for large N.
#include <nanobind/nanobind.h>

#include <cmath>

#include "_native/buffer.hpp"
#include "frames/epoch_inputs.hpp"
#include "groundstation/topocentric.hpp"

namespace nb = nanobind;
using namespace astrovia;
using native::Float64View;

namespace {

constexpr Py_ssize_t kSerialLimit = 20000;

nb::object look_rows(double lat, double lon, double h, double a, double f, nb::handle r, nb::handle v) {
    const Float64View rv(r, 2, false, "r"), vv(v, 2, false, "v");
    if (rv.shape(1) != 3) throw nb::value_error("r must have 3 columns");
    if (vv.shape(1) != 3) throw nb::value_error("v must have 3 columns");
    const Py_ssize_t n = rv.shape(0);
    if (vv.shape(0) != n) {
        throw nb::value_error(("v has " + std::to_string(vv.shape(0)) + " rows, but r has " + std::to_string(n)).c_str());
    }
    const groundstation::Site site = groundstation::make_site(lat, lon, h, a, f);
    const native::Output out = native::zeros_output({n, 4}, "the look angles");
    const frames::Rows rs(rv), vs(vv), dst(*out);
    {
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (n > kSerialLimit)
        for (Py_ssize_t i = 0; i < n; ++i) {
            double x[3], u[3];
            rs.load(i, x);
            vs.load(i, u);
            const groundstation::Look L = groundstation::look(site, x, u);
            const double row[4] = {L.azimuth, L.elevation, L.range, L.range_rate};
            for (int j = 0; j < 4; ++j) std::memcpy(dst.base + i * dst.row_stride + j * dst.col_stride, &row[j], 8);
        }
    }
    return out.array;
}

}  // namespace

NB_MODULE(_look, m) {
    m.doc() = "Native loop of astrovia.groundstation.GroundStation.look (use that).";
    m.def("look_rows", &look_rows, nb::arg("lat"), nb::arg("lon"), nb::arg("alt"), nb::arg("a"), nb::arg("f"),
          nb::arg("r"), nb::arg("v"),
          nb::sig("def look_rows(lat: float, lon: float, alt: float, a: float, f: float, r: NDArray[numpy.float64], v: NDArray[numpy.float64]) -> NDArray[numpy.float64]"),
          "Azimuth, elevation [rad], range [m], range rate [m/s] (N, 4) of ITRF positions r and velocities v (N, 3) "
          "from the station at geodetic lat, lon [rad], alt [m] on the ellipsoid (a, f).");
}

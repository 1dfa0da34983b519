// astrovia.bodies._sun_moon: the loop behind Sun.position and Moon.position.
// TT two-part Julian dates (N, 2) in, astrometric geocentric GCRF positions
// (N, 3) [m] out; the loop runs without the interpreter lock (ERFA's series
// are pure functions), on OpenMP threads for large N.
#include <nanobind/nanobind.h>

#include "_native/buffer.hpp"
#include "bodies/sun_moon.hpp"
#include "frames/epoch_inputs.hpp"

namespace nb = nanobind;
using namespace astrovia;
using native::Float64View;

namespace {

constexpr Py_ssize_t kSerialLimit = 2000;

nb::object positions(nb::handle tt, int body) {
    if (body != 0 && body != 1) throw nb::value_error("body must be 0 (the Sun) or 1 (the Moon)");
    const Float64View v(tt, 2, false, "tt");
    if (v.shape(1) != 2) throw nb::value_error("tt must have 2 columns (a two-part Julian date)");
    const Py_ssize_t n = v.shape(0);
    const native::Output out = native::zeros_output({n, 3}, "the positions");
    const frames::Rows src(v), dst(*out);
    {
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (n > kSerialLimit)
        for (Py_ssize_t i = 0; i < n; ++i) {
            double p[3];
            if (body == 0) bodies::sun_position_gcrf(src.at(i, 0), src.at(i, 1), p);
            else bodies::moon_position_gcrf(src.at(i, 0), src.at(i, 1), p);
            dst.store(i, p);
        }
    }
    return out.array;
}

}  // namespace

NB_MODULE(_sun_moon, m) {
    m.doc() = "Native loop of Sun.position and Moon.position (use those).";
    m.def("positions", &positions, nb::arg("tt"), nb::arg("body"),
          nb::sig("def positions(tt: NDArray[numpy.float64], body: int) -> NDArray[numpy.float64]"),
          "TT two-part Julian dates (N, 2) -> astrometric geocentric GCRF positions (N, 3) [m] of the Sun "
          "(body 0) or the Moon (body 1).");
}

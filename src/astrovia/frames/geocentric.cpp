// astrovia.frames.geocentric: positions and velocities between GCRF, TEME and ITRF.
//
// Every function runs on the calling thread with the interpreter lock held.
#include <nanobind/nanobind.h>

#include <string>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "frames/celestial_chain.hpp"
#include "frames/epoch_inputs.hpp"

namespace nb = nanobind;
using namespace astrovia;
using frames::EpochInputs;
using frames::Rows;
using frames::Series;
using native::Float64View;

namespace {

frames::ModuleGlobals globals;

enum class Direction { itrf_from_gcrf, gcrf_from_itrf, itrf_from_teme, teme_from_itrf };

constexpr bool uses_gcrf_chain(Direction d) {
    return d == Direction::itrf_from_gcrf || d == Direction::gcrf_from_itrf;
}

// Native counterpart of each Python function: fills rows 0..N-1 of r_out and
// v_out, N being the row count of the TT (GCRF chain) or UT1 (TEME chain) dates.
template <Direction D>
void c_convert(nb::handle time, const Float64View& r_in, const Float64View& v_in, const Float64View& r_out,
               const Float64View& v_out, const char* r_name, const char* v_name) {
    constexpr bool gcrf = uses_gcrf_chain(D);
    EpochInputs in;
    frames::gather_epoch_inputs(time, globals, gcrf, in);
    const Py_ssize_t n = gcrf ? in.tt->shape(0) : in.ut1->shape(0);
    frames::check_epoch_inputs(in, n, false, gcrf ? "the row count of time.tt.jd12" : "the row count of time.ut1.jd12");
    frames::check_state_array(r_in, n, r_name);
    frames::check_state_array(v_in, n, v_name);
    frames::check_state_array(r_out, n, r_name);
    frames::check_state_array(v_out, n, v_name);

    const frames::StateRows rows(r_in, v_in, r_out, v_out);
    const Rows ut1(*in.ut1);
    const Series xp(*in.pm_x), yp(*in.pm_y), lod(*in.lod);
    if constexpr (gcrf) {
        const Rows tt(*in.tt);
        const Series dx(*in.dX), dy(*in.dY);
        frames::GcrfChain c;
        for (Py_ssize_t i = 0; i < n; ++i) {
            frames::gcrf_chain_one_epoch(tt.at(i, 0), tt.at(i, 1), ut1.at(i, 0), ut1.at(i, 1), xp[i], yp[i], dx[i],
                                         dy[i], c);
            const double omega = frames::earth_rotation_rate(lod[i]);
            rows.convert(i, [&](const double* r, const double* v, double* rr, double* vv) {
                if constexpr (D == Direction::itrf_from_gcrf) frames::itrf_from_gcrf_one_epoch(c, omega, r, v, rr, vv);
                else frames::gcrf_from_itrf_one_epoch(c, omega, r, v, rr, vv);
            });
        }
    } else {
        frames::TemeChain c;
        for (Py_ssize_t i = 0; i < n; ++i) {
            frames::teme_chain_one_epoch(ut1.at(i, 0), ut1.at(i, 1), xp[i], yp[i], D == Direction::teme_from_itrf,
                                         c);
            const double omega = frames::earth_rotation_rate(lod[i]);
            rows.convert(i, [&](const double* r, const double* v, double* rr, double* vv) {
                if constexpr (D == Direction::itrf_from_teme) frames::itrf_from_teme_one_epoch(c, omega, r, v, rr, vv);
                else frames::teme_from_itrf_one_epoch(c, omega, r, v, rr, vv);
            });
        }
    }
}

// The module function <to>_from_<from>(time, r_<from>, v_<from>): the frames
// modules' conversion shell (writable input views) around the loop of
// direction D. Its names, signature and docstring are made once and kept for
// the life of the process, as the function object refers to them.
template <Direction D>
void def_conversion(nb::module_& m, const char* from, const char* to) {
    static const std::string name = std::string(to) + "_from_" + from;
    static const std::string r_name = std::string("r_") + from, v_name = std::string("v_") + from;
    static const std::string sig = "def " + name + "(time: Time, " + r_name + ": NDArray[numpy.float64], " + v_name +
                                   ": NDArray[numpy.float64]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]";
    static const std::string doc = std::string(from) + " positions (N, 3) and velocities (N, 3) at the epochs of time to " +
                                   to + "; returns (r_" + to + ", v_" + to + ").";
    const char* r = r_name.c_str();
    const char* v = v_name.c_str();
    m.def(
        name.c_str(),
        [r, v](nb::handle time, nb::handle r_in, nb::handle v_in) {
            const native::RecursionGuard guard(" in a geocentric conversion");
            return frames::convert_states(globals, time, r_in, v_in, r, v, true,
                                          [&](const Float64View& ri, const Float64View& vi, const Float64View& ro,
                                              const Float64View& vo) { c_convert<D>(time, ri, vi, ro, vo, r, v); });
        },
        nb::arg("time").none(), nb::arg(r), nb::arg(v), nb::sig(sig.c_str()), doc.c_str());
}

}  // namespace

NB_MODULE(geocentric, m) {
    m.doc() =
        "Positions and velocities between the celestial frames GCRF and TEME and the Earth-fixed ITRF.\n\n"
        "Each function takes a Time of N epochs and two float64 arrays of at least N rows and 3 columns\n"
        "(positions in any length unit, velocities in that unit per second; any strides; writable buffers,\n"
        "which are never written) and returns fresh arrays shaped like the inputs, rows 0..N-1 converted,\n"
        "the rest zero. GCRF<->ITRF: IAU 2000A precession-nutation with the IERS pole offsets dX, dY,\n"
        "Earth rotation angle and polar motion with s' (N = rows of time.tt.jd12). TEME<->ITRF: GMST 1982\n"
        "and polar motion (N = rows of time.ut1.jd12). Earth-orientation values come from one\n"
        "EOP(time.utc.mjd) call; velocities include the Earth-rotation term with the rate corrected for LOD.";
    frames::bind_module_globals(m, globals);

    def_conversion<Direction::itrf_from_gcrf>(m, "GCRF", "ITRF");
    def_conversion<Direction::gcrf_from_itrf>(m, "ITRF", "GCRF");
    def_conversion<Direction::itrf_from_teme>(m, "TEME", "ITRF");
    def_conversion<Direction::teme_from_itrf>(m, "ITRF", "TEME");
}

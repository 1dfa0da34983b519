// astrovia.frames.geocentric: positions and velocities between GCRF, TEME and ITRF.
//
// Every function runs on the calling thread with the interpreter lock held.
#include <nanobind/nanobind.h>

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

    const Rows ri(r_in), vi(v_in), ro(r_out), vo(v_out), ut1(*in.ut1);
    const Series xp(*in.pm_x), yp(*in.pm_y), lod(*in.lod);
    double r[3], v[3], rr[3], vv[3];
    if constexpr (gcrf) {
        const Rows tt(*in.tt);
        const Series dx(*in.dX), dy(*in.dY);
        frames::GcrfChain c;
        for (Py_ssize_t i = 0; i < n; ++i) {
            frames::gcrf_chain_one_epoch(tt.at(i, 0), tt.at(i, 1), ut1.at(i, 0), ut1.at(i, 1), xp[i], yp[i], dx[i],
                                         dy[i], c);
            ri.load(i, r);
            vi.load(i, v);
            const double omega = frames::earth_rotation_rate(lod[i]);
            if constexpr (D == Direction::itrf_from_gcrf) {
                frames::itrf_from_gcrf_one_epoch(c, omega, r, v, rr, vv);
            } else {
                frames::gcrf_from_itrf_one_epoch(c, omega, r, v, rr, vv);
            }
            ro.store(i, rr);
            vo.store(i, vv);
        }
    } else {
        frames::TemeChain c;
        for (Py_ssize_t i = 0; i < n; ++i) {
            frames::teme_chain_one_epoch(ut1.at(i, 0), ut1.at(i, 1), xp[i], yp[i], D == Direction::teme_from_itrf,
                                         c);
            ri.load(i, r);
            vi.load(i, v);
            const double omega = frames::earth_rotation_rate(lod[i]);
            if constexpr (D == Direction::itrf_from_teme) {
                frames::itrf_from_teme_one_epoch(c, omega, r, v, rr, vv);
            } else {
                frames::teme_from_itrf_one_epoch(c, omega, r, v, rr, vv);
            }
            ro.store(i, rr);
            vo.store(i, vv);
        }
    }
}

// One module function: the frames modules' conversion shell (writable input
// views) around the loop of direction D, named `name` with arguments
// (time, r_<from>, v_<from>).
template <Direction D>
void def_conversion(nb::module_& m, const char* name, const char* r_name, const char* v_name, const char* sig,
                    const char* doc) {
    m.def(
        name,
        [r_name, v_name](nb::handle time, nb::handle r_in, nb::handle v_in) {
            const native::RecursionGuard guard(" in a geocentric conversion");
            return frames::convert_states(globals, time, r_in, v_in, r_name, v_name, true,
                                          [&](const Float64View& ri, const Float64View& vi, const Float64View& ro,
                                              const Float64View& vo) {
                                              c_convert<D>(time, ri, vi, ro, vo, r_name, v_name);
                                          });
        },
        nb::arg("time").none(), nb::arg(r_name), nb::arg(v_name), nb::sig(sig), doc);
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

    def_conversion<Direction::itrf_from_gcrf>(
        m, "ITRF_from_GCRF", "r_GCRF", "v_GCRF",
        ("def ITRF_from_GCRF(time: Time, r_GCRF: NDArray[numpy.float64], v_GCRF: NDArray[numpy.float64]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]"),
        "GCRF positions (N, 3) and velocities (N, 3) at the epochs of time to ITRF; returns (r_ITRF, v_ITRF).");
    def_conversion<Direction::gcrf_from_itrf>(
        m, "GCRF_from_ITRF", "r_ITRF", "v_ITRF",
        ("def GCRF_from_ITRF(time: Time, r_ITRF: NDArray[numpy.float64], v_ITRF: NDArray[numpy.float64]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]"),
        "ITRF positions (N, 3) and velocities (N, 3) at the epochs of time to GCRF; returns (r_GCRF, v_GCRF).");
    def_conversion<Direction::itrf_from_teme>(
        m, "ITRF_from_TEME", "r_TEME", "v_TEME",
        ("def ITRF_from_TEME(time: Time, r_TEME: NDArray[numpy.float64], v_TEME: NDArray[numpy.float64]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]"),
        "TEME positions (N, 3) and velocities (N, 3) at the epochs of time to ITRF; returns (r_ITRF, v_ITRF).");
    def_conversion<Direction::teme_from_itrf>(
        m, "TEME_from_ITRF", "r_ITRF", "v_ITRF",
        ("def TEME_from_ITRF(time: Time, r_ITRF: NDArray[numpy.float64], v_ITRF: NDArray[numpy.float64]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]"),
        "ITRF positions (N, 3) and velocities (N, 3) at the epochs of time to TEME; returns (r_TEME, v_TEME).");
}

// astrovia.frames.rotations: GCRF-to-ITRF rotation matrices of many epochs and
// a GCRF-to-ITRF state conversion, both looping over the epochs without the
// interpreter lock, on several OpenMP threads above kSerialLimit epochs.
#include <nanobind/nanobind.h>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "frames/celestial_chain.hpp"
#include "frames/epoch_inputs.hpp"

namespace nb = nanobind;
using namespace astrovia;
using frames::EpochInputs;
using native::Float64View;

namespace {

frames::ModuleGlobals globals;

// Batches up to this size stay on the calling thread.
constexpr Py_ssize_t kSerialLimit = 10000;

// Plain copies of the epoch inputs for the lock-free loop.
struct GcrfSeries {
    frames::Rows tt, ut1;
    frames::Series xp, yp, dx, dy, lod;
    explicit GcrfSeries(const EpochInputs& in)
        : tt(*in.tt), ut1(*in.ut1), xp(*in.pm_x), yp(*in.pm_y), dx(*in.dX), dy(*in.dY), lod(*in.lod) {}
    void chain(Py_ssize_t i, frames::GcrfChain& c) const {
        frames::gcrf_chain_one_epoch(tt.at(i, 0), tt.at(i, 1), ut1.at(i, 0), ut1.at(i, 1), xp[i], yp[i], dx[i], dy[i],
                                     c);
    }
};

// Gathers the GCRF inputs for N = time.size epochs and checks that they cover them.
Py_ssize_t gather_for_size(nb::handle time, EpochInputs& in) {
    const Py_ssize_t n = frames::as_index(time.attr("size"));
    frames::gather_epoch_inputs(time, globals, true, in);
    frames::check_epoch_inputs(in, n, true, "time.size");
    return n;
}

void c_rot_ITRF_from_GCRF(nb::handle time, const Float64View& rot) {
    EpochInputs in;
    const Py_ssize_t n = gather_for_size(time, in);
    if (rot.shape(0) < n || rot.shape(1) != 3 || rot.shape(2) != 3) {
        throw nb::value_error("rot must have shape (time.size, 3, 3)");
    }
    if (n <= 0) return;
    const GcrfSeries s(in);
    char* const base = rot.bytes();
    const Py_ssize_t st0 = rot.stride(0), st1 = rot.stride(1), st2 = rot.stride(2);
    nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (n > kSerialLimit)
    for (Py_ssize_t i = 0; i < n; ++i) {
        frames::GcrfChain c;
        s.chain(i, c);
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) *reinterpret_cast<double*>(base + i * st0 + j * st1 + k * st2) = c.q[j][k];
    }
}

void c_ITRF_from_GCRF(nb::handle time, const Float64View& r_in, const Float64View& v_in, const Float64View& r_out,
                      const Float64View& v_out) {
    EpochInputs in;
    const Py_ssize_t n = gather_for_size(time, in);
    frames::check_state_array(r_in, n, "r_GCRF");
    frames::check_state_array(v_in, n, "v_GCRF");
    frames::check_state_array(r_out, n, "r_GCRF");
    frames::check_state_array(v_out, n, "v_GCRF");
    if (n <= 0) return;
    const GcrfSeries s(in);
    const frames::StateRows rows(r_in, v_in, r_out, v_out);
    nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (n > kSerialLimit)
    for (Py_ssize_t i = 0; i < n; ++i) {
        frames::GcrfChain c;
        s.chain(i, c);
        const double omega = frames::earth_rotation_rate(s.lod[i]);
        rows.convert(i, [&](const double* r, const double* v, double* rr, double* vv) {
            frames::itrf_from_gcrf_one_epoch(c, omega, r, v, rr, vv);
        });
    }
}

nb::object rot_ITRF_from_GCRF(nb::handle time) {
    const native::RecursionGuard guard(" in rot_ITRF_from_GCRF");
    native::require_instance(time, globals.get("Time"), "time");
    nb::object numpy = globals.get("numpy");
    nb::object rot = numpy.attr("zeros")(nb::arg("shape") = nb::make_tuple(time.attr("size"), 3, 3),
                                         nb::arg("dtype") = numpy.attr("double"));
    {
        const Float64View view(rot, 3, true, "numpy.zeros for rot");
        c_rot_ITRF_from_GCRF(time, view);
    }
    return numpy.attr("asarray")(rot);
}

}  // namespace

NB_MODULE(rotations, m) {
    m.doc() =
        "GCRF-to-ITRF rotation matrices of many epochs, and a GCRF-to-ITRF state conversion.\n\n"
        "The chain is IAU 2000A precession-nutation with the IERS pole offsets dX, dY, Earth rotation angle\n"
        "and polar motion with s', as in astrovia.frames.geocentric, whose results these equal. Epochs are\n"
#if defined(_OPENMP)
        "processed without the interpreter lock; above 10000 epochs on all OpenMP threads (static schedule).\n"
#else
        "processed without the interpreter lock, on one thread: this build has no OpenMP.\n"
#endif
        "N is time.size.";
    frames::bind_module_globals(m, globals);

    m.def("rot_ITRF_from_GCRF", &rot_ITRF_from_GCRF, nb::arg("time"),
          nb::sig("def rot_ITRF_from_GCRF(time: Time) -> NDArray[numpy.float64]"),
          "GCRF-to-ITRF matrices, shape (N, 3, 3), row-major: rot[i] @ r_GCRF gives r_ITRF at epoch i.");
    m.def(
        "rot_GCRF_from_ITRF",
        [](nb::handle time) {
            const native::RecursionGuard guard(" in rot_GCRF_from_ITRF");
            return globals.get("rot_ITRF_from_GCRF")(time).attr("swapaxes")(1, 2);
        },
        nb::arg("time"), nb::sig("def rot_GCRF_from_ITRF(time: Time) -> NDArray[numpy.float64]"),
        "ITRF-to-GCRF matrices, shape (N, 3, 3): the transposes of rot_ITRF_from_GCRF(time), as a swapped-axes\n"
        "view of a fresh array.");
    m.def(
        "ITRF_from_GCRF",
        [](nb::handle time, nb::handle r_in, nb::handle v_in) {
            const native::RecursionGuard guard(" in rotations.ITRF_from_GCRF");
            return frames::convert_states(globals, time, r_in, v_in, "r_GCRF", "v_GCRF", false,
                                          [&](const Float64View& ri, const Float64View& vi, const Float64View& ro,
                                              const Float64View& vo) { c_ITRF_from_GCRF(time, ri, vi, ro, vo); });
        },
        nb::arg("time").none(), nb::arg("r_GCRF"), nb::arg("v_GCRF"),
        nb::sig("def ITRF_from_GCRF(time: Time, r_GCRF: NDArray[numpy.float64], v_GCRF: NDArray[numpy.float64]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]"),
        "GCRF positions (N, 3) and velocities (N, 3) to ITRF, N = time.size; returns (r_ITRF, v_ITRF).\n"
        "Inputs need not be writable; rows beyond N stay zero in the outputs.");
}

// Gathering the per-epoch inputs of the frame conversions from a Time and the
// Earth-orientation source, and the argument checks shared by the
// astrovia.frames extension modules. Binding layer: needs the interpreter lock.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstring>
#include <optional>
#include <string>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"

namespace astrovia::frames {

namespace nb = nanobind;
using native::Float64View;

// The module's own globals, so that `EOP` and sibling functions are looked up
// by name at call time, as Python code of the module would see them.
class ModuleGlobals {
public:
    // A strong reference: the functions may outlive the module object (del sys.modules[...]).
    void bind(nb::module_& m) {
        dict_ = PyModule_GetDict(m.ptr());
        Py_INCREF(dict_);
    }
    nb::object get(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);  // borrowed
        if (v == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw nb::python_error();
        }
        return nb::borrow(v);
    }

    // The package's own Time class and EOP, and the one-pass gathering of both
    // (astrovia.time.time._frame_inputs), as imported: strong references, kept
    // for the life of the process.
    void bind_gathering(nb::handle time_type, nb::handle eop, nb::handle gather) {
        time_type_ = time_type.ptr();
        eop_ = eop.ptr();
        gather_ = gather.ptr();
        Py_INCREF(time_type_);
        Py_INCREF(eop_);
        Py_INCREF(gather_);
    }
    // The one-pass gathering serves `time` when it is a Time itself (not a
    // subclass, which may redefine its scales) and the module's EOP is still the
    // package's own (a replacement must be called as it is).
    bool gathers_in_one_pass(nb::handle time) const {
        if (gather_ == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(time.ptr())) != time_type_) return false;
        PyObject* eop = PyDict_GetItemString(dict_, "EOP");  // borrowed
        return eop == eop_;
    }
    nb::handle gather() const { return gather_; }

private:
    PyObject* dict_ = nullptr;
    PyObject* time_type_ = nullptr;
    PyObject* eop_ = nullptr;
    PyObject* gather_ = nullptr;
};

// Module-level bindings every frames extension makes at import.
inline void bind_module_globals(nb::module_& m, ModuleGlobals& globals) {
    m.attr("numpy") = nb::module_::import_("numpy");
    m.attr("EOP") = native::import_attr("astrovia.iers", "EOP");
    m.attr("NDArray") = native::import_attr("numpy.typing", "NDArray");
    m.attr("Time") = native::import_type("astrovia.time.time", "Time");
    globals.bind(m);
    globals.bind_gathering(m.attr("Time"), m.attr("EOP"), native::import_attr("astrovia.time.time", "_frame_inputs"));
}

inline Py_ssize_t as_index(nb::handle obj) {
    PyObject* idx = PyNumber_Index(obj.ptr());
    if (idx == nullptr) throw nb::python_error();
    Py_ssize_t n = PyLong_AsSsize_t(idx);
    Py_DECREF(idx);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
}

// Epoch inputs of one call: two-part TT and UT1 dates (rows of (date1, date2))
// and the Earth-orientation series. The views keep their arrays alive.
struct EpochInputs {
    std::optional<Float64View> tt, ut1;          // (N, 2)
    std::optional<Float64View> pm_x, pm_y, dX, dY, lod;  // (N,)
};

inline nb::object jd12_rows(nb::handle time, const char* scale) {
    return time.attr(scale).attr("jd12").attr("reshape")(-1, 2);
}

// GCRF variant: TT dates, UT1 dates, one EOP call on the UTC MJDs, then pm_x, pm_y, dX, dY, lod.
// TEME variant (with_tt = false): UT1 dates, the EOP call, then pm_x, pm_y, lod.
// A Time with the package's EOP is gathered in one native pass over its stamps
// (the same values, to the bit, without the intermediate arrays); anything
// else through the calls above, as they are.
inline void gather_epoch_inputs(nb::handle time, const ModuleGlobals& globals, bool with_tt, EpochInputs& in) {
    if (globals.gathers_in_one_pass(time)) {
        nb::object got = globals.gather()(time, with_tt);
        if (!PyTuple_Check(got.ptr()) || PyTuple_GET_SIZE(got.ptr()) != 7) {
            throw nb::type_error("the gathering of the epoch inputs must return a tuple of 7 items");
        }
        auto item = [&](Py_ssize_t k) { return nb::handle(PyTuple_GET_ITEM(got.ptr(), k)); };
        if (with_tt) in.tt.emplace(item(0), 2, true, "time.tt.jd12");
        in.ut1.emplace(item(1), 2, true, "time.ut1.jd12");
        in.pm_x.emplace(item(2), 1, true, "EOP(time.utc.mjd).pm_x");
        in.pm_y.emplace(item(3), 1, true, "EOP(time.utc.mjd).pm_y");
        if (with_tt) {
            in.dX.emplace(item(4), 1, true, "EOP(time.utc.mjd).dX");
            in.dY.emplace(item(5), 1, true, "EOP(time.utc.mjd).dY");
        }
        in.lod.emplace(item(6), 1, true, "EOP(time.utc.mjd).lod");
        return;
    }
    if (with_tt) in.tt.emplace(jd12_rows(time, "tt"), 2, true, "time.tt.jd12");
    in.ut1.emplace(jd12_rows(time, "ut1"), 2, true, "time.ut1.jd12");
    nb::object eop = globals.get("EOP")(time.attr("utc").attr("mjd"));
    in.pm_x.emplace(eop.attr("pm_x"), 1, true, "EOP(time.utc.mjd).pm_x");
    in.pm_y.emplace(eop.attr("pm_y"), 1, true, "EOP(time.utc.mjd).pm_y");
    if (with_tt) {
        in.dX.emplace(eop.attr("dX"), 1, true, "EOP(time.utc.mjd).dX");
        in.dY.emplace(eop.attr("dY"), 1, true, "EOP(time.utc.mjd).dY");
    }
    in.lod.emplace(eop.attr("lod"), 1, true, "EOP(time.utc.mjd).lod");
}

inline std::string plural(Py_ssize_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// The epoch inputs must cover N epochs; `exact_rows`: the date arrays must have exactly N rows.
inline void check_epoch_inputs(const EpochInputs& in, Py_ssize_t n, bool exact_rows, const char* n_source) {
    auto dates = [&](const std::optional<Float64View>& v, const char* name) {
        if (!v) return;
        if (exact_rows ? v->shape(0) != n : v->shape(0) < n) {
            throw nb::value_error((std::string(name) + " has " + plural(v->shape(0), "row") + ", but " +
                                   n_source + " is " + std::to_string(n)).c_str());
        }
        if (v->shape(1) < 2) {
            throw nb::value_error((std::string(name) + " must have 2 columns (date1, date2), not " +
                                   std::to_string(v->shape(1))).c_str());
        }
    };
    dates(in.tt, "time.tt.jd12");
    dates(in.ut1, "time.ut1.jd12");
    auto series = [&](const std::optional<Float64View>& v, const char* name) {
        if (v && v->shape(0) < n) {
            throw nb::value_error((std::string("EOP(time.utc.mjd).") + name + " has " +
                                   plural(v->shape(0), "value") + ", fewer than the " + plural(n, "epoch") +
                                   " to convert").c_str());
        }
    };
    series(in.pm_x, "pm_x");
    series(in.pm_y, "pm_y");
    series(in.dX, "dX");
    series(in.dY, "dY");
    series(in.lod, "lod");
}

// A state array must give rows 0..N-1 and columns 0..2.
inline void check_state_array(const Float64View& a, Py_ssize_t n, const char* name) {
    if (a.shape(0) < n) {
        throw nb::value_error((std::string(name) + " has " + plural(a.shape(0), "row") + ", fewer than the " +
                               plural(n, "epoch") + " to convert").c_str());
    }
    if (a.shape(1) < 3) {
        throw nb::value_error((std::string(name) + " has " + plural(a.shape(1), "column") +
                               ", but 3 (x, y, z) are needed").c_str());
    }
}

// Raises the TypeError a buffer view would raise, before any array is allocated for `obj`.
inline void require_buffer(nb::handle obj, const char* name) {
    if (!PyObject_CheckBuffer(obj.ptr())) {
        throw nb::type_error((std::string(name) + " must be a float64 array (an object with the buffer interface), not " +
                              Py_TYPE(obj.ptr())->tp_name).c_str());
    }
}

// The Python-facing shell of a state conversion of the frames modules: the
// buffer checks before anything is allocated, the input views (an exporter's
// own error, a wrong dimension or format reported as such; held until the loop
// is done, so the arrays cannot be freed or resized under it), outputs from
// numpy.zeros_like, the Time check (None passes it and fails at its first
// attribute), then `loop(ri, vi, ro, vo)`; returns (r_out, v_out) as NumPy
// arrays. `writable_inputs`: the inputs must be writable buffers (they are
// still never written).
template <class Loop>
nb::tuple convert_states(const ModuleGlobals& globals, nb::handle time, nb::handle r_in, nb::handle v_in,
                         const char* r_name, const char* v_name, bool writable_inputs, Loop&& loop) {
    require_buffer(r_in, r_name);
    require_buffer(v_in, v_name);
    nb::object r_out, v_out;
    {
        const Float64View ri(r_in, 2, false, r_name), vi(v_in, 2, false, v_name);
        const native::Output ro = native::zeros_like_output(r_in, ri, r_name);
        const native::Output vo = native::zeros_like_output(v_in, vi, v_name);
        if (!time.is_none()) native::require_instance(time, globals.get("Time"), "time");
        if (writable_inputs) {
            ri.require_writable(r_name);
            vi.require_writable(v_name);
        }
        loop(ri, vi, *ro, *vo);
        r_out = ro.array;
        v_out = vo.array;
    }
    nb::object asarray = globals.get("numpy").attr("asarray");
    return nb::make_tuple(asarray(r_out), asarray(v_out));
}

// Plain strided access for loops that run without the interpreter lock. A
// caller's buffer may be unaligned (a view at an odd byte offset), so elements
// are copied bytewise rather than read through a double pointer.
struct Rows {
    char* base;
    Py_ssize_t row_stride, col_stride;
    explicit Rows(const Float64View& v) : base(v.bytes()), row_stride(v.stride(0)), col_stride(v.stride(1)) {}
    double at(Py_ssize_t i, int j) const {
        double x;
        std::memcpy(&x, base + i * row_stride + j * col_stride, sizeof x);
        return x;
    }
    void load(Py_ssize_t i, double out[3]) const {
        for (int j = 0; j < 3; ++j) out[j] = at(i, j);
    }
    void store(Py_ssize_t i, const double in[3]) const {
        for (int j = 0; j < 3; ++j) std::memcpy(base + i * row_stride + j * col_stride, &in[j], sizeof(double));
    }
};

// Row i of a state conversion: r_out, v_out = transform(r, v) on the rows'
// first three columns.
struct StateRows {
    Rows r_in, v_in, r_out, v_out;
    StateRows(const Float64View& ri, const Float64View& vi, const Float64View& ro, const Float64View& vo)
        : r_in(ri), v_in(vi), r_out(ro), v_out(vo) {}
    template <class Transform>
    void convert(Py_ssize_t i, Transform&& transform) const {
        double r[3], v[3], rr[3], vv[3];
        r_in.load(i, r);
        v_in.load(i, v);
        transform(r, v, rr, vv);
        r_out.store(i, rr);
        v_out.store(i, vv);
    }
};

struct Series {
    char* base;
    Py_ssize_t stride;
    explicit Series(const Float64View& v) : base(v.bytes()), stride(v.stride(0)) {}
    double operator[](Py_ssize_t i) const {
        double x;
        std::memcpy(&x, base + i * stride, sizeof x);
        return x;
    }
};

}  // namespace astrovia::frames

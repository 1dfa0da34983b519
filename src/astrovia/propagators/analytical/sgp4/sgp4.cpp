// astrovia.propagators.analytical.sgp4.sgp4: the SGP4/SDP4 propagator of
// two-line element sets.
//
// Binding layer: argument checks, the Time and Earth-orientation inputs, and
// the exceptions. The propagation loops (sgp4_batch) run without the
// interpreter lock and touch no Python object.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "frames/celestial_chain.hpp"
#include "frames/epoch_inputs.hpp"
#include "frames/epoch_window_binding.hpp"
#include "propagators/analytical/sgp4/sgp4.hpp"
#include "propagators/analytical/sgp4/sgp4_batch.hpp"
#include "propagators/analytical/sgp4/sgp4_simd.hpp"
#include "propagators/analytical/sgp4/tle.hpp"
#include "propagators/bound_types.hpp"
#include "propagators/propagators.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;
using native::Float64View;
using propagators::Propagator;
using sgp4::SGP4;

namespace {

propagators::BoundTypes types;
frames::ModuleGlobals globals;
double metres_per_km = 1000.0;  // astrovia.units.units.km, read at import

struct Choice {
    const char* name;
    int value;
};
constexpr Choice kConstants[] = {{"wgs72", static_cast<int>(sgp4::Gravity::wgs72)},
                                 {"wgs72old", static_cast<int>(sgp4::Gravity::wgs72old)},
                                 {"wgs84", static_cast<int>(sgp4::Gravity::wgs84)}};
constexpr Choice kModes[] = {{"improved", static_cast<int>(sgp4::Mode::improved)},
                             {"afspc", static_cast<int>(sgp4::Mode::afspc)}};

std::string utf8(nb::handle text) {
    if (!text.is_valid()) throw nb::python_error();
    const char* s = PyUnicode_AsUTF8(text.ptr());
    if (s == nullptr) throw nb::python_error();
    return s;
}

template <std::size_t N>
int choose(nb::handle value, const char* argument, const Choice (&choices)[N]) {
    std::string accepted;
    for (std::size_t i = 0; i < N; ++i) accepted += std::string(i ? ", " : "") + "'" + choices[i].name + "'";
    if (!PyUnicode_Check(value.ptr())) {
        throw nb::type_error((std::string(argument) + " must be a str (" + accepted + "), not " +
                              Py_TYPE(value.ptr())->tp_name).c_str());
    }
    const char* text = PyUnicode_AsUTF8(value.ptr());
    if (text == nullptr) throw nb::python_error();
    for (const Choice& c : choices) {
        if (std::strcmp(text, c.name) == 0) return c.value;
    }
    throw nb::value_error((std::string(argument) + " must be one of " + accepted + ", not " +
                           utf8(nb::repr(value))).c_str());
}

template <std::size_t N>
const char* name_of(int value, const Choice (&choices)[N]) {
    for (const Choice& c : choices) {
        if (c.value == value) return c.name;
    }
    return "?";
}

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The TLE objects to propagate, kept alive for the call: a list or tuple of
// TLEs, or an ELSET.
struct ElementSets {
    std::vector<nb::object> objects;
    std::vector<const sgp4::TLE*> tles;
};

void add_tle(ElementSets& sets, nb::handle obj, const std::string& name) {
    if (!is_instance(obj, types.TLE)) {
        throw nb::type_error((name + " must be TLE, not " + Py_TYPE(obj.ptr())->tp_name).c_str());
    }
    // An instance made with TLE.__new__ (or a subclass that skipped __init__) has no lines to read.
    if (!nb::inst_ready(obj)) {
        throw nb::type_error((name + " is a TLE that was never initialised").c_str());
    }
    sets.objects.push_back(nb::borrow(obj));
    sets.tles.push_back(nb::inst_ptr<sgp4::TLE>(obj));
}

ElementSets element_sets(nb::handle tles) {
    ElementSets sets;
    if (is_instance(tles, types.ELSET)) {
        if (!nb::inst_ready(tles)) throw nb::type_error("tles is an ELSET that was never initialised");
        const auto* elset = nb::inst_ptr<sgp4::ELSET>(tles);
        sets.objects.push_back(nb::borrow(tles));  // keeps the members alive
        for (Py_ssize_t i = 0; i < elset->size(); ++i) add_tle(sets, elset->member_object(i), "tles[" + std::to_string(i) + "]");
        return sets;
    }
    if (!PyList_Check(tles.ptr()) && !PyTuple_Check(tles.ptr())) {
        throw nb::type_error((std::string("tles must be a list or tuple of TLE, or an ELSET, not ") +
                              Py_TYPE(tles.ptr())->tp_name).c_str());
    }
    // A tuple of our own: the instance checks below may run Python code (a __class__
    // property) that changes the caller's list.
    PyObject* items = PySequence_Tuple(tles.ptr());
    if (items == nullptr) throw nb::python_error();
    nb::object seq = nb::steal(items);
    sets.objects.push_back(seq);
    const Py_ssize_t m = PySequence_Fast_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i < m; ++i) {
        add_tle(sets, PySequence_Fast_GET_ITEM(seq.ptr(), i), "tles[" + std::to_string(i) + "]");
    }
    return sets;
}

std::vector<sgp4::BatchRecord> batch_records(const SGP4& self, const ElementSets& sets) {
    std::vector<sgp4::BatchRecord> recs(sets.tles.size());
    const long long m = static_cast<long long>(recs.size());
    nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (m > 256)
    for (long long i = 0; i < m; ++i) {
        sgp4::batch_record_from_lines(sets.tles[i]->line1, sets.tles[i]->line2, self.gravity, self.mode, recs[i]);
    }
    return recs;
}

// UTC clock days and minutes of the epochs of `time` (a Time).
struct Clock {
    std::vector<double> day, minute;
    Py_ssize_t n = 0;
};

Clock clock_of(nb::handle time) {
    Clock c;
    c.n = frames::as_index(time.attr("size"));
    nb::object jd = frames::jd12_rows(time, "utc");
    const Float64View view(jd, 2, false, "time.utc.jd12");
    if (view.shape(0) != c.n || view.shape(1) != 2) throw nb::value_error("time.utc.jd12 must have shape (time.size, 2)");
    c.day.resize(c.n);
    c.minute.resize(c.n);
    nb::gil_scoped_release unlocked;
    sgp4::clock_epochs_from_utc_jd12(view.bytes(), view.stride(0), view.stride(1), static_cast<std::size_t>(c.n),
                                     c.day.data(), c.minute.data());
    return c;
}

// A writable C-contiguous buffer of an output array, held while the kernel
// writes through its pointer. Whatever numpy.zeros returned is checked first:
// shape, item format and contiguity, so that no loop writes past its end.
class HeldOutput {
public:
    HeldOutput(nb::handle a, std::initializer_list<Py_ssize_t> shape, bool float64, const char* what) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT;
        if (PyObject_GetBuffer(a.ptr(), &view_, flags) != 0) throw nb::python_error();
        held_ = true;
        bool ok = static_cast<std::size_t>(view_.ndim) == shape.size();
        int d = 0;
        for (Py_ssize_t e : shape) {
            if (!ok) break;
            ok = view_.shape[d++] == e;
        }
        ok = ok && (float64 ? native::is_native_float64_format(view_.format)
                            : view_.itemsize == 1 && view_.format != nullptr &&
                                  std::string(view_.format).find_first_of("bB") != std::string::npos);
        if (!ok) {
            throw nb::value_error((std::string(what) + " did not return a C-contiguous " +
                                   (float64 ? "float64" : "int8") + " array of the requested shape").c_str());
        }
    }
    ~HeldOutput() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;
    template <class T>
    T* data() const { return static_cast<T*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Fresh output memory is faulted in page by page on its first write. The
// kernels hand satellites to threads in small interleaved tasks, so both threads
// would fault the same (huge) pages against each other: each thread touches one
// contiguous share first. On memory the allocator reuses this is a few thousand
// stores.
void touch_pages(void* p, std::size_t bytes) {
    volatile char* c = static_cast<char*>(p);
    const long long pages = static_cast<long long>(bytes / 4096);
#pragma omp parallel for schedule(static) if (bytes > (8u << 20))
    for (long long k = 0; k < pages; ++k) c[k * 4096] = 0;
}

// Output arrays (M, N, 3), (M, N, 3), (M, N) int8, with their buffers held.
// numpy.empty, not zeros: the kernels write every element, and zeroing reused
// memory would be a serial pass over the whole output before the threaded one.
struct Outputs {
    nb::object r, v, err;
    std::unique_ptr<HeldOutput> r_view, v_view, err_view;
    sgp4::BatchOutput ptrs;
    Outputs(Py_ssize_t m, Py_ssize_t n) {
        nb::object numpy = globals.get("numpy");
        r = numpy.attr("empty")(nb::make_tuple(m, n, 3));
        v = numpy.attr("empty")(nb::make_tuple(m, n, 3));
        err = numpy.attr("empty")(nb::make_tuple(m, n), "dtype"_a = numpy.attr("int8"));
        r_view = std::make_unique<HeldOutput>(r, std::initializer_list<Py_ssize_t>{m, n, 3}, true, "numpy.empty for r");
        v_view = std::make_unique<HeldOutput>(v, std::initializer_list<Py_ssize_t>{m, n, 3}, true, "numpy.empty for v");
        err_view = std::make_unique<HeldOutput>(err, std::initializer_list<Py_ssize_t>{m, n}, false,
                                                "numpy.empty for the error codes");
        ptrs.r = r_view->data<double>();
        ptrs.v = v_view->data<double>();
        ptrs.err = err_view->data<std::int8_t>();
        touch_pages(ptrs.r, static_cast<std::size_t>(m * n * 3) * sizeof(double));
        touch_pages(ptrs.v, static_cast<std::size_t>(m * n * 3) * sizeof(double));
        touch_pages(ptrs.err, static_cast<std::size_t>(m * n));
    }
};

enum class OnError { raise, nan };

OnError on_error_of(const nb::kwargs& kwargs) {
    if (!kwargs.contains("on_error")) return OnError::raise;
    nb::object value = kwargs["on_error"];
    constexpr Choice kOnError[] = {{"raise", 0}, {"nan", 1}};
    return choose(value, "on_error", kOnError) == 0 ? OnError::raise : OnError::nan;
}

nb::object time_of(nb::handle time) { return types.Time(time); }

// The instruction-set path: 'auto' (the widest this processor runs), 'plain'
// (the scalar kernel) or a name of astrovia's _paths().
int path_of(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        throw nb::type_error((std::string("path must be a str, not ") + Py_TYPE(value.ptr())->tp_name).c_str());
    }
    const int p = sgp4::path_index(utf8(value));
    if (p < 0) {
        std::string accepted = "'auto'";
        for (const std::string& name : sgp4::path_names()) accepted += ", '" + name + "'";
        throw nb::value_error(("path must be one of " + accepted + " on this machine, not " + utf8(nb::repr(value))).c_str());
    }
    return p;
}

int path_of(const nb::kwargs& kwargs) {
    return kwargs.contains("path") ? path_of(nb::object(kwargs["path"])) : sgp4::kAutoPath;
}

nb::list paths() {
    nb::list out;
    for (const std::string& name : sgp4::path_names()) out.append(nb::str(name.c_str()));
    return out;
}

// A one-dimensional float64 array as a vector.
std::vector<double> doubles(nb::handle a, const char* name) {
    const Float64View view(a, 1, false, name);
    std::vector<double> out(view.shape(0));
    for (Py_ssize_t j = 0; j < view.shape(0); ++j) out[j] = view(j);
    return out;
}

nb::object vector_sincos(nb::handle path, nb::handle x) {
    const int p = path_of(path);
    const std::vector<double> xs = doubles(x, "x");
    std::vector<double> s(xs.size()), c(xs.size());
    if (p == sgp4::kPlainPath) {
        for (std::size_t i = 0; i < xs.size(); ++i) s[i] = std::sin(xs[i]), c[i] = std::cos(xs[i]);
    } else {
        sgp4::vector_sincos(p, xs.data(), xs.size(), s.data(), c.data());
    }
    nb::object numpy = globals.get("numpy");
    return nb::make_tuple(numpy.attr("array")(nb::cast(s)), numpy.attr("array")(nb::cast(c)));
}

nb::object vector_atan2(nb::handle path, nb::handle y, nb::handle x) {
    const int p = path_of(path);
    const std::vector<double> ys = doubles(y, "y"), xs = doubles(x, "x");
    if (ys.size() != xs.size()) throw nb::value_error("y and x must have the same length");
    std::vector<double> out(xs.size());
    if (p == sgp4::kPlainPath) {
        for (std::size_t i = 0; i < xs.size(); ++i) out[i] = std::atan2(ys[i], xs[i]);
    } else {
        sgp4::vector_atan2(p, ys.data(), xs.data(), xs.size(), out.data());
    }
    return globals.get("numpy").attr("array")(nb::cast(out));
}

nb::object propagate_state(const SGP4& self, nb::handle time, nb::handle tle, nb::kwargs kwargs) {
    if (!is_instance(tle, types.TLE)) {
        throw nb::type_error((std::string("tle must be TLE, not ") + Py_TYPE(tle.ptr())->tp_name).c_str());
    }
    const OnError on_error = on_error_of(kwargs);
    const int path = path_of(kwargs);
    nb::object _time = time_of(time);
    ElementSets sets;
    add_tle(sets, tle, "tle");
    const Clock clock = clock_of(_time);
    const std::vector<sgp4::BatchRecord> recs = batch_records(self, sets);
    Outputs out(1, clock.n);
    {
        nb::gil_scoped_release unlocked;
        sgp4::propagate_batch(recs.data(), 1, {clock.day.data(), clock.minute.data()},
                              static_cast<std::size_t>(clock.n), sgp4::OutputFrame::teme, {}, metres_per_km, out.ptrs,
                              path);
    }
    if (on_error == OnError::raise) {
        for (Py_ssize_t j = 0; j < clock.n; ++j) {
            const int e = out.ptrs.err[j];
            if (e == 0) continue;
            nb::object epoch = clock.n == 1 && nb::len(nb::object(_time.attr("shape"))) == 0 ? _time : _time[nb::int_(j)];
            const std::string satno = utf8(nb::steal(PyObject_Str(nb::object(tle.attr("satno")).ptr())));
            const std::string when = utf8(nb::repr(epoch.attr("utc")));
            throw nb::value_error(("SGP4 cannot propagate satellite " + satno + " to " + when + ": " +
                                   sgp4::error_text(e)).c_str());
        }
    }
    nb::object shape = nb::make_tuple(clock.n, 3);
    return types.StateVectorEphemeris(_time, out.r.attr("reshape")(shape), out.v.attr("reshape")(shape),
                                      "frame"_a = types.TEME);
}

sgp4::OutputFrame frame_of(nb::handle frame) {
    nb::object name;
    if (PyUnicode_Check(frame.ptr())) {
        name = nb::borrow(frame);
    } else if (is_instance(frame, types.Frame)) {
        name = frame.attr("name");
    } else {
        throw nb::type_error((std::string("frame must be 'TEME', 'ITRF' or 'GCRF' (a str or a Frame), not ") +
                              Py_TYPE(frame.ptr())->tp_name).c_str());
    }
    constexpr Choice kFrames[] = {{"TEME", 0}, {"ITRF", 1}, {"GCRF", 2}};
    switch (choose(name, "frame", kFrames)) {
        case 1: return sgp4::OutputFrame::itrf;
        case 2: return sgp4::OutputFrame::gcrf;
        default: return sgp4::OutputFrame::teme;
    }
}

nb::object propagate_many(const SGP4& self, nb::handle time, nb::handle tles, nb::handle frame, nb::handle path_name) {
    const sgp4::OutputFrame out_frame = frame_of(frame);
    const int path = path_of(path_name);
    const ElementSets sets = element_sets(tles);
    nb::object _time = time_of(time);
    const Clock clock = clock_of(_time);
    const Py_ssize_t m = static_cast<Py_ssize_t>(sets.tles.size()), n = clock.n;

    // The frame chains of every epoch, composed once into one map shared by all records.
    std::vector<sgp4::FrameMap> maps;
    frames::EpochInputs in;
    if (out_frame != sgp4::OutputFrame::teme && n > 0) {
        const bool with_gcrf = out_frame == sgp4::OutputFrame::gcrf;
        frames::gather_epoch_inputs(_time, globals, with_gcrf, in);
        frames::check_epoch_inputs(in, n, true, "time.size");
        maps.resize(n);
        const frames::Rows ut1(*in.ut1);
        const frames::Series xp(*in.pm_x), yp(*in.pm_y), lod(*in.lod);
        std::optional<frames::Rows> tt;
        std::optional<frames::Series> dx, dy;
        if (with_gcrf) tt.emplace(*in.tt), dx.emplace(*in.dX), dy.emplace(*in.dY);
        // Many epochs in a short span: the IAU 2000A model from an epoch window
        // (its nodes every half hour and at every UTC midnight, the model
        // interpolated to 1e-14 rad) instead of its series at every epoch.
        std::optional<frames::EpochWindow> window;
        std::vector<double> seconds;
        if (with_gcrf) {
            nb::object numpy = globals.get("numpy");
            nb::object stamps = numpy.attr("ravel")(numpy.attr("asarray")(_time.attr("int64"), "dtype"_a = numpy.attr("int64")));
            const std::int64_t lo = nb::cast<std::int64_t>(stamps.attr("min")());
            const std::int64_t hi = nb::cast<std::int64_t>(stamps.attr("max")());
            const double nodes = static_cast<double>(hi - lo) * 1e-9 / 1800.0 * (1.0 + 1.0 / 48.0) + 3.0;
            if (nodes * 2.0 < static_cast<double>(n)) {
                window.emplace(frames::make_epoch_window(lo, hi));
                nb::object offsets = numpy.attr("subtract")(stamps, nb::int_(lo)).attr("astype")(numpy.attr("float64"));
                seconds = doubles(numpy.attr("divide")(offsets, 1e9), "time.int64");
            }
        }
        // The TEME chain is a few sines per epoch; the GCRF chain (IAU 2000A) is worth the threads.
        const bool threaded = with_gcrf ? n > 16 : n > 20000;
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) if (threaded)
        for (Py_ssize_t j = 0; j < n; ++j) {
            frames::TemeChain teme;
            frames::teme_chain_one_epoch(ut1.at(j, 0), ut1.at(j, 1), xp[j], yp[j], false, teme);
            const double omega = frames::earth_rotation_rate(lod[j]);
            if (with_gcrf) {
                frames::GcrfChain gcrf;
                if (window) {
                    frames::Instant at;
                    window->at(seconds[j], at);
                    frames::EpochWindow::gcrf_chain(at, gcrf);
                } else {
                    frames::gcrf_chain_one_epoch(tt->at(j, 0), tt->at(j, 1), ut1.at(j, 0), ut1.at(j, 1), xp[j],
                                                 yp[j], (*dx)[j], (*dy)[j], gcrf);
                }
                sgp4::gcrf_map(teme, gcrf, omega, maps[j]);
            } else {
                sgp4::itrf_map(teme, omega, maps[j]);
            }
        }
    }

    const std::vector<sgp4::BatchRecord> recs = batch_records(self, sets);
    Outputs out(m, n);
    {
        sgp4::EpochChains chains;
        chains.maps = maps.empty() ? nullptr : maps.data();
        nb::gil_scoped_release unlocked;
        sgp4::propagate_batch(recs.data(), static_cast<std::size_t>(m), {clock.day.data(), clock.minute.data()},
                              static_cast<std::size_t>(n), out_frame, chains, metres_per_km, out.ptrs, path);
    }
    return nb::make_tuple(out.r, out.v, out.err);
}

nb::object propagate_tsince(const SGP4& self, nb::handle tle, nb::handle minutes, nb::handle path_name) {
    const int path = path_of(path_name);
    ElementSets sets;
    add_tle(sets, tle, "tle");
    const Float64View mv(minutes, 1, false, "minutes");
    const Py_ssize_t n = mv.shape(0);
    std::vector<double> t(n);
    for (Py_ssize_t j = 0; j < n; ++j) t[j] = mv(j);
    const std::vector<sgp4::BatchRecord> recs = batch_records(self, sets);
    Outputs out(1, n);
    {
        nb::gil_scoped_release unlocked;
        sgp4::propagate_batch_minutes(recs.data(), 1, t.data(), static_cast<std::size_t>(n), metres_per_km, out.ptrs,
                                      path);
    }
    nb::object shape = nb::make_tuple(n, 3);
    return nb::make_tuple(out.r.attr("reshape")(shape), out.v.attr("reshape")(shape), out.err.attr("reshape")(n));
}

std::string repr(const SGP4& self) {
    return std::string("SGP4(constants='") + name_of(static_cast<int>(self.gravity), kConstants) + "', mode='" +
           name_of(static_cast<int>(self.mode), kModes) + "')";
}

}  // namespace

NB_MODULE(sgp4, m) {
    // The base class must be known to nanobind before SGP4 is bound.
    nb::object base = propagators::import_propagator_type();
    types = propagators::bind_types();
    frames::bind_module_globals(m, globals);
    metres_per_km = native::import_float("astrovia.units.units", "km");

    m.doc() = "The SGP4/SDP4 propagator of two-line element sets.";
    nb::class_<SGP4, Propagator> cls(
        m, "SGP4",
        "SGP4/SDP4 propagator of two-line element sets.\n\n"
        "The near-Earth (SGP4) and deep-space (SDP4) theories of Hoots and Roehrich (1980) with the\n"
        "revisions of Vallado et al. (2006). ``constants``: the gravity model, 'wgs72' (default),\n"
        "'wgs72old' or 'wgs84'; ``mode``: 'improved' (default) or 'afspc' (the node handling of the\n"
        "historical operational code at low inclination). States are in the TEME frame, metres and metres per second.\n"
        "Time since a TLE's epoch is counted in minutes of UTC clock time (a leap second in between\n"
        "is not counted), so one UTC instant gives the state that other SGP4 programs give.");
    cls.def(
           "__init__",
           [](SGP4* self, nb::handle constants, nb::handle mode) {
               const int g = choose(constants, "constants", kConstants);
               const int md = choose(mode, "mode", kModes);
               new (self) SGP4(static_cast<sgp4::Gravity>(g), static_cast<sgp4::Mode>(md));
           },
           nb::arg("constants").none() = "wgs72", nb::arg("mode").none() = "improved",
           nb::sig("def __init__(self, constants: str = 'wgs72', mode: str = 'improved') -> None"))
        .def_prop_ro(
            "constants", [](const SGP4& s) { return name_of(static_cast<int>(s.gravity), kConstants); },
            "The gravity model: 'wgs72', 'wgs72old' or 'wgs84'.")
        .def_prop_ro(
            "mode", [](const SGP4& s) { return name_of(static_cast<int>(s.mode), kModes); },
            "The operation mode: 'improved' or 'afspc'.")
        .def("__repr__", &repr)
        .def("propagate_many", &propagate_many, nb::arg("time").none(), nb::arg("tles").none(),
             nb::arg("frame").none() = "TEME", nb::kw_only(), nb::arg("path").none() = "auto",
             nb::sig("def propagate_many(self, time: DatetimeLike, tles: Sequence[TLE] | ELSET, frame: str = 'TEME', "
                     "*, path: str = 'auto') -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
             "Every element set of ``tles`` (M of them: a list or tuple of TLE, or an ELSET) at every\n"
             "epoch of ``time`` (N epochs).\n\n"
             "Returns ``(r, v, err)``: positions [m] and velocities [m/s] as float64 arrays of shape\n"
             "(M, N, 3), and the theory's error codes as an int8 array of shape (M, N): 0 for none, 1 mean\n"
             "eccentricity out of range, 2 mean motion not positive, 3 perturbed eccentricity out of\n"
             "range, 4 semi-latus rectum negative, 6 decayed; rows with an error hold NaN.\n"
             "``frame``: 'TEME' (default), 'ITRF' (the TEME chain of astrovia.frames.geocentric) or 'GCRF'\n"
             "(then on through the GCRF chain); a Frame object is accepted too. The frame chains and the\n"
             "Earth-orientation values are computed once per epoch and shared by all element sets. The\n"
             "loop runs on all OpenMP threads without the interpreter lock; results do not depend on the\n"
             "thread count.\n\n"
             "``path``: the instruction set, 'auto' (default: the widest vector path this processor runs,\n"
             "8 satellites per instruction with AVX-512, 4 with AVX2), 'plain' (one state at a time) or\n"
             "a name of ``astrovia.propagators.analytical.sgp4.sgp4._paths()``. Every path agrees with the\n"
             "reference SGP4 to well under a millimetre; on one path a state does not depend on the\n"
             "other element sets or epochs of the call.")
        .def("_propagate_tsince", &propagate_tsince, nb::arg("tle").none(), nb::arg("minutes").none(),
             nb::kw_only(), nb::arg("path").none() = "auto",
             nb::sig("def _propagate_tsince(self, tle: TLE, minutes: numpy.ndarray, *, path: str = 'auto') "
                     "-> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
             "TEME states ``minutes`` (a one-dimensional float64 array) after the epoch of ``tle``:\n"
             "``(r, v, err)`` of shapes (N, 3) [m], (N, 3) [m/s] and (N,) int8 error codes.");
    native::refuse_pickling(cls);
    propagators::set_propagate_state(
        cls, &propagate_state, nb::arg("time").none(), nb::arg("tle").none(), "kwargs"_a,
        nb::sig("def propagate_state(self, time: DatetimeLike, tle: TLE, **kwargs) -> StateVectorEphemeris"),
        "The states of ``tle`` at the epochs ``time``: a StateVectorEphemeris in the TEME frame,\n"
        "positions [m] and velocities [m/s], one row per epoch in the order of ``time``.\n\n"
        "A failure of the theory (decayed orbit, eccentricity out of range, ...) raises\n"
        "ValueError naming the satellite, the first failing epoch and the condition; with\n"
        "``on_error='nan'`` those rows are NaN instead. ``path`` chooses the instruction set as for\n"
        "propagate_many (the same kernel: the rows equal propagate_many's bit for bit on one path).\n"
        "Other keyword arguments are ignored.");
    m.def("_paths", &paths, nb::sig("def _paths() -> list[str]"),
          "The instruction-set paths this processor runs: 'plain', then the vector paths from the widest.");
    m.def("_vector_sincos", &vector_sincos, nb::arg("path").none(), nb::arg("x").none(),
          nb::sig("def _vector_sincos(path: str, x: numpy.ndarray) -> tuple[numpy.ndarray, numpy.ndarray]"),
          "Sine and cosine of a float64 array as the kernel of ``path`` computes them.");
    m.def("_vector_atan2", &vector_atan2, nb::arg("path").none(), nb::arg("y").none(), nb::arg("x").none(),
          nb::sig("def _vector_atan2(path: str, y: numpy.ndarray, x: numpy.ndarray) -> numpy.ndarray"),
          "atan2(y, x) of float64 arrays as the kernel of ``path`` computes it.");
}

// astrovia.conjunctions._screen: the native screening loop behind
// astrovia.conjunctions.screen.
//
// Binding layer: argument checks and buffers. The screening (screen_kernel)
// runs without the interpreter lock on OpenMP threads.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "_native/buffer.hpp"
#include "conjunctions/screen_kernel.hpp"
#include "propagators/analytical/sgp4/sgp4_batch.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;
using native::Float64View;

namespace {

// The SGP4 records of a catalogue (WGS 72, improved mode), made once and
// screened by any number of calls.
struct Catalogue {
    std::vector<sgp4::BatchRecord> recs;
    std::vector<double> eps_coef;
};

std::string line_text(nb::handle seq, Py_ssize_t i, const char* name) {
    nb::object item = nb::steal(PySequence_GetItem(seq.ptr(), i));
    if (!item.is_valid()) throw nb::python_error();
    if (!PyUnicode_Check(item.ptr())) {
        throw nb::type_error((std::string(name) + "[" + std::to_string(i) + "] must be a str, not " +
                              Py_TYPE(item.ptr())->tp_name).c_str());
    }
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
    if (s == nullptr) throw nb::python_error();
    std::string text(s, static_cast<std::size_t>(size));
    text.resize(std::max<std::size_t>(text.size(), 69), ' ');
    return text;
}

Py_ssize_t sequence_size(nb::handle seq, const char* name) {
    if (!PyList_Check(seq.ptr()) && !PyTuple_Check(seq.ptr())) {
        throw nb::type_error((std::string(name) + " must be a list or tuple of str, not " +
                              Py_TYPE(seq.ptr())->tp_name).c_str());
    }
    return PySequence_Size(seq.ptr());
}

void catalogue_init(Catalogue* self, nb::handle lines1, nb::handle lines2, nb::handle eps_coef) {
    const Py_ssize_t m = sequence_size(lines1, "lines1");
    if (sequence_size(lines2, "lines2") != m) throw nb::value_error("lines2 must have as many lines as lines1");
    const Float64View eps(eps_coef, 1, false, "eps_coef");
    if (eps.shape(0) != m) throw nb::value_error("eps_coef must have one value per element set");
    std::vector<std::string> l1(m), l2(m);
    std::vector<double> coef(m);
    for (Py_ssize_t i = 0; i < m; ++i) {
        l1[i] = line_text(lines1, i, "lines1");
        l2[i] = line_text(lines2, i, "lines2");
        coef[i] = eps(i);
        if (!(coef[i] >= 0.0) || !std::isfinite(coef[i])) throw nb::value_error("eps_coef must be finite and >= 0");
    }
    new (self) Catalogue();
    self->recs.resize(m);
    self->eps_coef = std::move(coef);
    nb::gil_scoped_release unlocked;
    const long long mm = m;
#pragma omp parallel for schedule(static) if (mm > 256)
    for (long long i = 0; i < mm; ++i) {
        sgp4::batch_record_from_lines(l1[i].c_str(), l2[i].c_str(), sgp4::Gravity::wgs72, sgp4::Mode::improved,
                                      self->recs[i]);
    }
}

nb::object init_errors(const Catalogue& self) {
    native::Output out = native::zeros_output({static_cast<Py_ssize_t>(self.recs.size())}, "init_errors");
    for (std::size_t i = 0; i < self.recs.size(); ++i) (*out)(static_cast<Py_ssize_t>(i)) = self.recs[i].init_error;
    return out.array;
}

std::vector<conjunctions::ScreenObject> screen_objects(const Catalogue& cat, double day0,
                                                       const std::vector<std::uint8_t>& primary) {
    std::vector<conjunctions::ScreenObject> objects(cat.recs.size());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const sgp4::BatchRecord& r = cat.recs[i];
        objects[i] = {&r, (day0 - r.epoch_day) * 1440.0 - r.epoch_minute, cat.eps_coef[i] / 1000.0,
                      !primary.empty() && primary[i] != 0};
    }
    return objects;
}

// Osculating perigee and apogee radii [m] at two instants (UTC jd12 rows), the lower and the higher.
nb::tuple radial_extent(const Catalogue& cat, nb::handle jd12, int threads) {
    const Float64View jd(jd12, 2, false, "jd12");
    if (jd.shape(0) != 2 || jd.shape(1) != 2) throw nb::value_error("jd12 must have shape (2, 2)");
    if (threads < 0) throw nb::value_error("threads must be >= 0");
    double day[2], minute[2];
    sgp4::clock_epochs_from_utc_jd12(jd.bytes(), jd.stride(0), jd.stride(1), 2, day, minute);
    const std::size_t m = cat.recs.size();
    std::vector<conjunctions::ScreenObject> objects = screen_objects(cat, day[0], {});
    native::Output lo = native::zeros_output({static_cast<Py_ssize_t>(m)}, "perigee");
    native::Output hi = native::zeros_output({static_cast<Py_ssize_t>(m)}, "apogee");
    std::vector<double> rp(m), ra(m);
    {
        nb::gil_scoped_release unlocked;
        conjunctions::radial_extent(objects.data(), m, minute[0], (day[1] - day[0]) * 1440.0 + minute[1], rp.data(),
                                    ra.data(), threads);
    }
    for (std::size_t i = 0; i < m; ++i) {
        (*lo)(static_cast<Py_ssize_t>(i)) = rp[i] * 1000.0;
        (*hi)(static_cast<Py_ssize_t>(i)) = ra[i] * 1000.0;
    }
    return nb::make_tuple(lo.array, hi.array);
}

nb::tuple screen(const Catalogue& cat, nb::handle node_t, nb::handle node_jd12, nb::handle leap, Py_ssize_t k_begin,
                 Py_ssize_t k_end, double threshold, nb::handle primaries, int sub_intervals, int threads) {
    const Float64View t(node_t, 1, false, "node_t");
    const Float64View jd(node_jd12, 2, false, "node_jd12");
    const Float64View lp(leap, 1, false, "leap");
    const Py_ssize_t nodes = t.shape(0);
    if (nodes < 2) throw nb::value_error("node_t must hold at least two nodes");
    if (jd.shape(0) != nodes || jd.shape(1) != 2) throw nb::value_error("node_jd12 must have shape (len(node_t), 2)");
    if (lp.shape(0) != nodes - 1) throw nb::value_error("leap must have one value per interval");
    if (k_begin < 0 || k_end < k_begin || k_end > nodes - 1) throw nb::value_error("k_begin, k_end out of range");
    if (!(threshold > 0.0) || !std::isfinite(threshold)) throw nb::value_error("threshold must be positive");
    if (threads < 0) throw nb::value_error("threads must be >= 0");
    if (sub_intervals < 1 || sub_intervals > 1000) throw nb::value_error("sub_intervals must be in [1, 1000]");
    const std::size_t m = cat.recs.size();
    std::vector<std::uint8_t> primary(m, 0);
    const bool one_versus_all = !primaries.is_none();
    if (one_versus_all) {
        const Py_ssize_t np_ = sequence_size(primaries, "primaries");
        for (Py_ssize_t q = 0; q < np_; ++q) {
            nb::object item = nb::steal(PySequence_GetItem(primaries.ptr(), q));
            if (!item.is_valid()) throw nb::python_error();
            const Py_ssize_t idx = PyNumber_AsSsize_t(item.ptr(), PyExc_OverflowError);
            if (idx == -1 && PyErr_Occurred()) throw nb::python_error();
            if (idx < 0 || static_cast<std::size_t>(idx) >= m) throw nb::value_error("primaries index out of range");
            primary[idx] = 1;
        }
    }
    std::vector<double> tv(nodes), day(nodes), minute(nodes), clock(nodes), leaps(nodes - 1);
    for (Py_ssize_t k = 0; k < nodes; ++k) {
        tv[k] = t(k);
        if (!std::isfinite(tv[k]) || (k > 0 && !(tv[k] > tv[k - 1]))) {
            throw nb::value_error("node_t must be finite and increasing");
        }
    }
    for (Py_ssize_t k = 0; k + 1 < nodes; ++k) leaps[k] = lp(k);
    sgp4::clock_epochs_from_utc_jd12(jd.bytes(), jd.stride(0), jd.stride(1), static_cast<std::size_t>(nodes),
                                     day.data(), minute.data());
    // Clock minutes from 00:00 of the first node's UTC day.
    const double day0 = day[0];
    for (Py_ssize_t k = 0; k < nodes; ++k) clock[k] = (day[k] - day0) * 1440.0 + minute[k];
    std::vector<conjunctions::ScreenObject> objects = screen_objects(cat, day0, primary);
    const conjunctions::ScreenGrid grid{tv.data(), clock.data(), leaps.data(), static_cast<std::size_t>(nodes)};
    const conjunctions::ScreenOptions opt{threshold / 1000.0, one_versus_all, threads, sub_intervals};
    conjunctions::ScreenStats stats;
    std::vector<conjunctions::Conjunction> found;
    {
        nb::gil_scoped_release unlocked;
        found = conjunctions::screen(objects.data(), m, grid, static_cast<std::size_t>(k_begin),
                                     static_cast<std::size_t>(k_end), opt, stats);
    }
    native::Output out = native::zeros_output({static_cast<Py_ssize_t>(found.size()), 8}, "conjunctions");
    for (std::size_t q = 0; q < found.size(); ++q) {
        const auto& c = found[q];
        const double row[8] = {double(c.i), double(c.j), c.tca, c.miss, c.speed, c.radial, c.in_track, c.cross_track};
        for (int col = 0; col < 8; ++col) (*out)(static_cast<Py_ssize_t>(q), col) = row[col];
    }
    nb::dict st;
    st["propagation"] = stats.propagation_s;
    st["sieve"] = stats.sieve_s;
    st["refinement"] = stats.refinement_s;
    st["propagation_cpu"] = stats.propagation_cpu;
    st["sieve_cpu"] = stats.sieve_cpu;
    st["refinement_cpu"] = stats.refinement_cpu;
    st["pairs_tested"] = stats.pairs_tested;
    st["candidates"] = stats.candidates;
    st["propagations"] = stats.propagations;
    return nb::make_tuple(out.array, st);
}

[[noreturn]] void refuse_pickling(nb::handle, nb::args) { throw nb::type_error("cannot pickle '_Catalogue' object"); }

}  // namespace

NB_MODULE(_screen, m) {
    m.doc() = "Native loop of astrovia.conjunctions (private: use astrovia.conjunctions.screen).";
    nb::class_<Catalogue>(m, "_Catalogue", "SGP4 records of the element sets to screen (WGS 72, improved mode).")
        .def("__init__", &catalogue_init, "lines1"_a, "lines2"_a, "eps_coef"_a,
             nb::sig("def __init__(self, lines1: list[str], lines2: list[str], eps_coef: numpy.ndarray) -> None"))
        .def_prop_ro("size", [](const Catalogue& c) { return c.recs.size(); }, "Number of element sets.")
        .def_prop_ro("init_errors", &init_errors, nb::sig("def init_errors(self) -> numpy.ndarray"),
                     "SGP4's error code of each element set at its epoch (0: none), as float64.")
        .def("__reduce__", &refuse_pickling, "args"_a)
        .def("__reduce_ex__", &refuse_pickling, "args"_a);
    m.def("screen", &screen, "catalogue"_a, "node_t"_a, "node_jd12"_a, "leap"_a, "k_begin"_a, "k_end"_a,
          "threshold"_a, "primaries"_a.none(), "sub_intervals"_a = 1, "threads"_a = 0,
          nb::sig("def screen(catalogue: _Catalogue, node_t: numpy.ndarray, node_jd12: numpy.ndarray, "
                  "leap: numpy.ndarray, k_begin: int, k_end: int, threshold: float, "
                  "primaries: list[int] | None, sub_intervals: int = 1, threads: int = 0) -> tuple[numpy.ndarray, dict]"),
          "Conjunctions of the grid intervals [k_begin, k_end): an (M, 8) array of rows (i, j, tca [s from "
          "node_t's origin], miss [m], relative speed [m/s], radial, in-track, cross-track [m]) sorted by tca, "
          "and the stage times [s] and counts.");
    m.def("radial_extent", &radial_extent, "catalogue"_a, "jd12"_a, "threads"_a = 0,
          nb::sig("def radial_extent(catalogue: _Catalogue, jd12: numpy.ndarray, threads: int = 0) -> "
                  "tuple[numpy.ndarray, numpy.ndarray]"),
          "Lowest osculating perigee and highest apogee radius [m] of each element set at the two UTC instants "
          "of jd12 (rows of two-part Julian dates); NaN where SGP4 fails at both.");
}

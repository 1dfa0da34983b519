// astrovia.events._passes: the native pass and eclipse searches.
//
// Binding layer: reads the TLE objects and the station table, builds the epoch
// window from the package's Time and EOP, runs the searches of pass_search
// without the interpreter lock, and hands back NumPy columns. The surface
// (astrovia.events.searches) turns them into tables.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "events/pass_search.hpp"
#include "frames/epoch_window_binding.hpp"
#include "propagators/analytical/sgp4/sgp4_batch.hpp"
#include "propagators/analytical/sgp4/tle.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;

namespace {

nb::object tle_type;
double metres_per_km = 1000.0;
double earth_radius = 6378137.0;

template <class T>
nb::object column(std::vector<T>&& values) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner));
}

// One field of every row, as a NumPy column of T.
template <class T, class Row, class F>
nb::object column_of(const std::vector<Row>& rows, F&& field) {
    std::vector<T> values(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) values[i] = static_cast<T>(field(rows[i]));
    return column(std::move(values));
}

// The element sets of every satellite, initialised, and their switch times.
struct Tracks {
    std::vector<nb::object> held;  // the tuples of TLE objects read, kept alive for the call
    std::vector<sgp4::BatchRecord> records;
    std::vector<double> starts;
    std::vector<std::size_t> offsets;  // satellite i: records [offsets[i], offsets[i + 1])
    std::vector<events::Track> tracks;
};

Tracks read_tracks(nb::handle satellites, std::int64_t start_ns) {
    if (!PyList_Check(satellites.ptr()) && !PyTuple_Check(satellites.ptr())) {
        throw nb::type_error("satellites must be a list of lists of TLE");
    }
    Tracks t;
    t.offsets.push_back(0);
    nb::object outer = nb::steal(PySequence_Tuple(satellites.ptr()));
    if (!outer.is_valid()) throw nb::python_error();
    const Py_ssize_t m = PyTuple_GET_SIZE(outer.ptr());
    std::vector<const sgp4::TLE*> tles;
    for (Py_ssize_t i = 0; i < m; ++i) {
        nb::handle given = PyTuple_GET_ITEM(outer.ptr(), i);
        if (!PyList_Check(given.ptr()) && !PyTuple_Check(given.ptr())) {
            throw nb::type_error(("satellites[" + std::to_string(i) + "] must be a list of TLE").c_str());
        }
        // A tuple of our own: the instance checks may run Python code that changes a list.
        nb::object members = nb::steal(PySequence_Tuple(given.ptr()));
        if (!members.is_valid()) throw nb::python_error();
        t.held.push_back(members);
        const Py_ssize_t n = PyTuple_GET_SIZE(members.ptr());
        if (n < 1) throw nb::value_error(("satellites[" + std::to_string(i) + "] has no element set").c_str());
        for (Py_ssize_t j = 0; j < n; ++j) {
            nb::handle item = PyTuple_GET_ITEM(members.ptr(), j);
            const std::string name = "satellites[" + std::to_string(i) + "][" + std::to_string(j) + "]";
            native::require_instance(item, tle_type, name.c_str());
            if (!nb::inst_ready(item)) throw nb::type_error((name + " is a TLE that was never initialised").c_str());
            const auto* tle = nb::inst_ptr<sgp4::TLE>(item);
            if (j > 0 && tle->epoch_ns < tles.back()->epoch_ns) {
                throw nb::value_error(("satellites[" + std::to_string(i) + "] is not sorted by epoch").c_str());
            }
            tles.push_back(tle);
            t.starts.push_back(static_cast<double>(tle->epoch_ns - start_ns) * 1e-9);
        }
        t.offsets.push_back(tles.size());
    }
    t.records.resize(tles.size());
    for (std::size_t k = 0; k < tles.size(); ++k) {
        sgp4::batch_record_from_lines(tles[k]->line1, tles[k]->line2, sgp4::Gravity::wgs72, sgp4::Mode::improved,
                                      t.records[k]);
    }
    for (std::size_t i = 0; i + 1 < t.offsets.size(); ++i) {
        t.tracks.push_back({t.records.data() + t.offsets[i], t.starts.data() + t.offsets[i],
                            t.offsets[i + 1] - t.offsets[i]});
    }
    return t;
}

// Rows of lat, lon [rad], alt [m], the ellipsoid's a [m] and f, the mask [rad].
std::vector<events::Site> read_sites(nb::handle sites) {
    const native::Float64View s(sites, 2, false, "sites");
    if (s.shape(1) != 6) throw nb::value_error("sites must have 6 columns (lat, lon, alt, a, f, mask)");
    std::vector<events::Site> out;
    for (Py_ssize_t k = 0; k < s.shape(0); ++k) {
        for (int c = 0; c < 6; ++c) {
            if (!std::isfinite(s(k, c))) throw nb::value_error("sites must hold finite values");
        }
        if (!(s(k, 3) > 0.0) || !(s(k, 4) >= 0.0 && s(k, 4) < 1.0)) {
            throw nb::value_error("sites: the ellipsoid needs a > 0 and 0 <= f < 1");
        }
        out.push_back({groundstation::make_site(s(k, 0), s(k, 1), s(k, 2), s(k, 3), s(k, 4)), s(k, 5)});
    }
    return out;
}

std::int64_t stamp(std::int64_t start_ns, double t) { return start_ns + std::llround(t * 1e9); }

// The searches use the TEME chain of the window (UT1 and polar motion, linear
// between the daily nodes at any spacing) and its GCRF chain for the Sun; the
// cubic fits of the IAU 2000A model behind the latter stay within 1e-13 rad of
// ERFA's at nodes three hours apart.
constexpr double kWindowSpacing = 10800.0;

// One call covers at most this span [ns].
constexpr std::int64_t kMaxSpan = 20LL * 366 * 86400 * 1000000000LL;

void check_window(std::int64_t start_ns, std::int64_t stop_ns) {
    if (stop_ns < start_ns) throw nb::value_error("stop must not be before start");
    if (static_cast<double>(stop_ns) - static_cast<double>(start_ns) > static_cast<double>(kMaxSpan)) throw nb::value_error("stop - start must not exceed 20 years (split the window)");
}

nb::dict search_passes(nb::handle satellites, nb::handle sites, std::int64_t start_ns, std::int64_t stop_ns,
                       double sun_limit) {
    check_window(start_ns, stop_ns);
    if (!std::isfinite(sun_limit)) throw nb::value_error("sun_limit must be finite");
    const Tracks tracks = read_tracks(satellites, start_ns);
    const std::vector<events::Site> st = read_sites(sites);
    const frames::EpochWindow window = frames::make_epoch_window(start_ns, stop_ns, kWindowSpacing);
    events::SearchSettings settings;
    settings.sun_limit = sun_limit;
    settings.metres_per_km = metres_per_km;
    settings.earth_radius = earth_radius;
    const double t1 = static_cast<double>(stop_ns - start_ns) * 1e-9;
    std::vector<events::Pass> found;
    {
        nb::gil_scoped_release unlocked;
        found = events::search_passes(window, 0.0, t1, tracks.tracks.data(), tracks.tracks.size(), st.data(),
                                      st.size(), settings);
    }
    using events::Pass;
    auto time_of = [start_ns](double Pass::*t) {
        return [start_ns, t](const Pass& p) { return stamp(start_ns, p.*t); };
    };
    nb::dict out;
    out["satellite"] = column_of<std::int64_t>(found, [](const Pass& p) { return p.track; });
    out["station"] = column_of<std::int64_t>(found, [](const Pass& p) { return p.site; });
    out["rise"] = column_of<std::int64_t>(found, time_of(&Pass::rise));
    out["culmination"] = column_of<std::int64_t>(found, time_of(&Pass::culmination));
    out["set"] = column_of<std::int64_t>(found, time_of(&Pass::set));
    out["rise_azimuth"] = column_of<double>(found, [](const Pass& p) { return p.rise_azimuth; });
    out["culmination_azimuth"] = column_of<double>(found, [](const Pass& p) { return p.culmination_azimuth; });
    out["set_azimuth"] = column_of<double>(found, [](const Pass& p) { return p.set_azimuth; });
    out["max_elevation"] = column_of<double>(found, [](const Pass& p) { return p.max_elevation; });
    out["cut_rise"] = column_of<std::uint8_t>(found, [](const Pass& p) { return p.cut_rise; });
    out["cut_set"] = column_of<std::uint8_t>(found, [](const Pass& p) { return p.cut_set; });
    out["sunlit"] = column_of<std::uint8_t>(found, [](const Pass& p) { return p.sunlit; });
    out["visible"] = column_of<std::uint8_t>(found, [](const Pass& p) { return p.visible; });
    return out;
}

nb::dict search_eclipses(nb::handle satellites, std::int64_t start_ns, std::int64_t stop_ns) {
    check_window(start_ns, stop_ns);
    const Tracks tracks = read_tracks(satellites, start_ns);
    const frames::EpochWindow window = frames::make_epoch_window(start_ns, stop_ns, kWindowSpacing);
    events::SearchSettings settings;
    settings.metres_per_km = metres_per_km;
    settings.earth_radius = earth_radius;
    const double t1 = static_cast<double>(stop_ns - start_ns) * 1e-9;
    std::vector<events::Eclipse> found;
    {
        nb::gil_scoped_release unlocked;
        found = events::search_eclipses(window, 0.0, t1, tracks.tracks.data(), tracks.tracks.size(), settings);
    }
    using events::Eclipse;
    nb::dict out;
    out["satellite"] = column_of<std::int64_t>(found, [](const Eclipse& e) { return e.track; });
    out["umbra"] = column_of<std::uint8_t>(found, [](const Eclipse& e) { return e.umbra; });
    out["start"] = column_of<std::int64_t>(found, [start_ns](const Eclipse& e) { return stamp(start_ns, e.start); });
    out["end"] = column_of<std::int64_t>(found, [start_ns](const Eclipse& e) { return stamp(start_ns, e.end); });
    return out;
}

}  // namespace

NB_MODULE(_passes, m) {
    utils::import_representable();
    tle_type = sgp4::import_tle_type();
    metres_per_km = native::import_float("astrovia.units.units", "km");
    earth_radius = nb::cast<double>(native::import_attr("astrovia.bodies.bodies", "Earth").attr("Re"));
    m.doc() = "Native searches for passes over ground stations and for eclipses (used by astrovia.events).";
    m.def("search_passes", &search_passes, "satellites"_a.none(), "sites"_a.none(), "start_ns"_a, "stop_ns"_a,
          "sun_limit"_a,
          nb::sig("def search_passes(satellites: Sequence[Sequence[TLE]], sites: numpy.ndarray, start_ns: int, "
                  "stop_ns: int, sun_limit: float) -> dict[str, numpy.ndarray]"),
          "The passes of every satellite (a list of its TLEs sorted by epoch) over every site (rows of\n"
          "geodetic lat, lon [rad], alt [m], the ellipsoid's a [m] and f, mask [rad]) between the TT stamps start_ns and stop_ns:\n"
          "columns of satellite and site indices, TT stamps of rise, culmination and set, azimuths and\n"
          "the maximum elevation [rad], and the flags cut_rise, cut_set, sunlit, visible (the Sun at\n"
          "most sun_limit [rad] above the site's horizon while the satellite is sunlit).");
    m.def("search_eclipses", &search_eclipses, "satellites"_a.none(), "start_ns"_a, "stop_ns"_a,
          nb::sig("def search_eclipses(satellites: Sequence[Sequence[TLE]], start_ns: int, stop_ns: int) "
                  "-> dict[str, numpy.ndarray]"),
          "The penumbra and umbra intervals of every satellite between the TT stamps start_ns and\n"
          "stop_ns: columns satellite (index), umbra (bool), start and end (TT stamps).");
}

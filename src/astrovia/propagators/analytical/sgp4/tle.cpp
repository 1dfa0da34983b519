// astrovia.propagators.analytical.sgp4.tle: the TLE record, the ELSET history
// of one satellite, their framed text, and the catalogue readers and writers
// (two- and three-line text, OMM in JSON and CSV). This file binds the module:
// what it imports (Time, the Earth's constants, the Kepler solver, the
// presentation base type), its classes, functions and docstrings. The work is
// in the files tle_binding.hpp lists; the field reader and the catalogue kernel
// (tle_fields.cpp, tle_catalogue.cpp) hold no Python.
#include <cstring>
#include <string>

#include "propagators/analytical/sgp4/tle_binding.hpp"
#include "utils/representable.hpp"

using namespace nanobind::literals;
using namespace astrovia;
using namespace astrovia::sgp4::binding;
using astrovia::sgp4::ELSET;
using astrovia::sgp4::TLE;

Bound astrovia::sgp4::binding::bound;

NB_MODULE(tle, m) {
    utils::import_representable();  // first: the base type must be known before binding derived ones

    bound.time_type = keep(native::import_type("astrovia.time.time", "Time"));
    bound.earth = keep(native::import_attr("astrovia.bodies.bodies", "Earth"));
    bound.teme = keep(native::import_attr("astrovia.frames.frames", "TEME"));
    keep(native::import_type("astrovia.mathtools.ellipsoid.ellipsoid", "Ellipsoid"));
    bound.coe = coe::import_api();
    bound.misc = misc::import_api();
    bound.deg = native::import_float("astrovia.units.units", "deg");
    bound.rev = native::import_float("astrovia.units.units", "rev");
    bound.day = native::import_float("astrovia.units.units", "day");
    bound.hour = native::import_float("astrovia.units.units", "hour");
    bound.km = native::import_float("astrovia.units.units", "km");
    bound.integral = keep(native::import_type("numbers", "Integral"));
    nb::module_ np = nb::module_::import_("numpy");
    bound.np_empty = keep(np.attr("empty"));
    bound.np_asarray = keep(np.attr("asarray"));
    bound.np_arange = keep(np.attr("arange"));
    bound.np_array = keep(np.attr("array"));
    bound.np_double = keep(np.attr("double"));
    bound.np_int64 = keep(np.attr("int64"));
    bound.np_ndarray = keep(np.attr("ndarray"));
    bound.ns_name = checked(PyUnicode_InternFromString("_ns")).release();
    bound.satname_name = checked(PyUnicode_InternFromString("_satname")).release();

    m.doc() = "Two-line element sets: the TLE record and the ELSET history of one satellite.";

    bound.read_error = keep(checked(PyErr_NewExceptionWithDoc(
        "astrovia.propagators.analytical.sgp4.tle.TLEReadError",
        "Bad records in a catalogue (a ValueError), raised after the whole source was read.\n\n"
        "records: what the reader would have returned (the good records); errors: a list of\n"
        "(line_number, reason) tuples, line numbers 1-based in the source, in line order.",
        PyExc_ValueError, nullptr)));
    bound.read_warning = keep(checked(PyErr_NewExceptionWithDoc(
        "astrovia.propagators.analytical.sgp4.tle.TLEReadWarning",
        "One bad record of a catalogue read with errors=\"warn\": \"line N: reason\".",
        PyExc_UserWarning, nullptr)));
    m.attr("TLEReadError") = bound.read_error;
    m.attr("TLEReadWarning") = bound.read_warning;
    {
        nb::dict ns;
        ns["__module__"] = "astrovia.propagators.analytical.sgp4.tle";
        ns["__doc__"] =
            "The ELSETs of a catalogue keyed by catalogue number (a dict, in order of first appearance).\n\n"
            "duplicates: the exact duplicate records read_elsets dropped, as (line_number, satno) tuples\n"
            "(line_number is that of the dropped record's line 1).";
        nb::object type = nb::module_::import_("builtins").attr("type");
        bound.catalogue_type = keep(type("ELSETCatalogue", nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type))), ns));
        m.attr("ELSETCatalogue") = bound.catalogue_type;
    }

    nb::class_<TLE, utils::Representable> tle(
        m, "TLE", nb::type_slots(tle_slots),
        "One two-line element set of one satellite.\n\n"
        "TLE(line1, line2, strict_validation=False, *, name=None) reads the fixed columns of the two\n"
        "lines: the catalogue number (alpha-5 numbers such as A0000 = 100000 decoded), the epoch (a\n"
        "Time: 00:00 UTC of 1 January of the year, plus day - 1 calendar days, plus the day's\n"
        "fraction x 86400 s of clock time, exact to the nanosecond of the text) and the six mean\n"
        "elements in SI units (angles in rad, mnm in rad/s), and derives sma [m], orp [s], eca and\n"
        "tra [rad], pge and apg [m, altitudes above Earth.Re] with Earth.GM. Reading is lenient:\n"
        "blank or garbled columns read as their numeric prefix or 0. With strict_validation true,\n"
        "ValueError names the line, column and field of the first fault: a non-ASCII character, a\n"
        "length other than 69 (trailing blanks, \"\\r\" and \"\\n\" dropped), a wrong line number,\n"
        "a field out of its fixed format (blanks, signs, points, digits), a wrong checksum, or two\n"
        "different catalogue numbers. Two TLEs of the same two lines are equal and hash alike.");
    tle.def("__init__", &tle_init, "line1"_a.none(), "line2"_a.none(), "strict_validation"_a.none() = false,
            nb::kw_only(), "name"_a.none() = nb::none(),
            nb::sig("def __init__(self, line1: str, line2: str, strict_validation: bool = False, *, "
                    "name: str | None = None) -> None"))
        .def_prop_ro("name", [](const TLE& t) { return t.name; }, nb::sig("def name(self) -> str | None"),
                     "The name line of the record (without a leading \"0 \"), or None.")
        .def("to_omm", &tle_to_omm, nb::sig("def to_omm(self) -> dict"),
             "The record as an OMM dict with CelesTrak's keys (OBJECT_NAME, OBJECT_ID, EPOCH, MEAN_MOTION,\n"
             "ECCENTRICITY, INCLINATION, RA_OF_ASC_NODE, ARG_OF_PERICENTER, MEAN_ANOMALY, EPHEMERIS_TYPE,\n"
             "CLASSIFICATION_TYPE, NORAD_CAT_ID, ELEMENT_SET_NO, REV_AT_EPOCH, BSTAR, MEAN_MOTION_DOT,\n"
             "MEAN_MOTION_DDOT), values as the line's text gives them (degrees, rev/day; EPOCH in UTC\n"
             "to the microsecond).")
        .def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
                 if (!nb::isinstance<TLE>(other) || !nb::inst_ready(other) || !nb::inst_ready(self)) {
                     return nb::borrow(Py_NotImplemented);
                 }
                 const TLE& a = *nb::inst_ptr<TLE>(self);
                 const TLE& b = *nb::inst_ptr<TLE>(other);
                 return nb::bool_(std::memcmp(a.line1, b.line1, fields::kLineLength) == 0 &&
                                  std::memcmp(a.line2, b.line2, fields::kLineLength) == 0);
             }, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", [](const TLE& t) {
                 Py_hash_t h = static_cast<Py_hash_t>(SameLinesHash{}(&t));
                 return h == -1 ? Py_hash_t{-2} : h;
             }, nb::sig("def __hash__(self) -> int"))
        .def_prop_ro("line1", [](const TLE& t) { return decode_line(t.line1); },
                     "The first line, 69 characters (padded with blanks or cut).")
        .def_prop_ro("line2", [](const TLE& t) { return decode_line(t.line2); },
                     "The second line, 69 characters (padded with blanks or cut).")
        .def_prop_ro("satno", &tle_satno, nb::sig("def satno(self) -> int | str"),
                     "Catalogue number (columns 3-7 of line 1): an int, or the stripped text when it is not one.")
        .def_prop_ro("epoch", [](const TLE& t) { return epoch_of(t); }, nb::sig("def epoch(self) -> Time"),
                     "Epoch of the element set (a Time).")
        .def_prop_ro("inc", [](const TLE& t) { return t.inc; }, "Inclination [rad].")
        .def_prop_ro("raa", [](const TLE& t) { return t.raa; }, "Right ascension of the ascending node [rad].")
        .def_prop_ro("ecc", [](const TLE& t) { return t.ecc; }, "Eccentricity.")
        .def_prop_ro("mea", [](const TLE& t) { return t.mea; }, "Mean anomaly [rad].")
        .def_prop_ro("arp", [](const TLE& t) { return t.arp; }, "Argument of perigee [rad].")
        .def_prop_ro("mnm", [](const TLE& t) { return t.mnm; }, "Mean motion [rad/s].")
        .def_prop_ro("sma", [](const TLE& t) { return t.sma; }, "Semi-major axis [m].")
        .def_prop_ro("orp", [](const TLE& t) { return t.orp; }, "Orbital period [s].")
        .def_prop_ro("eca", [](const TLE& t) { return t.eca; }, "Eccentric anomaly [rad].")
        .def_prop_ro("tra", [](const TLE& t) { return t.tra; }, "True anomaly [rad].")
        .def_prop_ro("pge", [](const TLE& t) { return t.pge; }, "Perigee altitude above Earth.Re [m].")
        .def_prop_ro("apg", [](const TLE& t) { return t.apg; }, "Apogee altitude above Earth.Re [m].")
        .def("_get_header", [](const TLE&) { return nb::str("Two-line Elements (TLE)"); },
             nb::sig("def _get_header(self) -> str"))
        .def("_get_body", &tle_body, nb::sig("def _get_body(self) -> str"))
        .def("__reduce__", [](nb::handle) -> nb::object { refuse_pickle("TLE"); })
        .def("__reduce_ex__", [](nb::handle, nb::handle) -> nb::object { refuse_pickle("TLE"); });

    nb::class_<MemberIterator>(m, "_ELSETIterator", "Iterator over the members of an ELSET.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](MemberIterator& it) -> nb::object {
            const ELSET& e = elset_of(it.elset);
            if (it.next >= e.size()) throw nb::stop_iteration();
            return getitem(it.elset, it.next++);
        });

    nb::class_<PairIterator>(m, "_ELSETPairs", "Iterator over consecutive pairs of members of an ELSET.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](PairIterator& it) -> nb::object {
            const ELSET& e = elset_of(it.elset);
            if (!it.previous.is_valid()) it.previous = getitem(it.elset, 0);
            if (it.next >= e.size()) throw nb::stop_iteration();
            nb::object current = getitem(it.elset, it.next++);
            nb::object pair = nb::make_tuple(it.previous, current);
            it.previous = current;
            return pair;
        });

    nb::class_<ELSET, utils::Representable> elset(
        m, "ELSET", nb::type_slots(elset_slots),
        "The element-set history of one satellite.\n\n"
        "ELSET(*tles, satname=None) keeps the TLEs (one catalogue number, at least one, else\n"
        "AssertionError saying what was wrong) sorted by\n"
        "epoch, with epoch (a Time of all members) and one float64 array per element, sharing memory\n"
        "with the ELSET. Index by position (int or slice with int bounds), by time range (a slice of\n"
        "Time-like bounds, start included, stop excluded), or by a boolean mask or integer positions;\n"
        "selections are new ELSETs without a satname. size gives the number of members (no len()).");
    elset.def("__init__", &elset_init, "tles"_a, nb::kw_only(), "satname"_a.none() = nb::none(),
              nb::sig("def __init__(self, *tles: TLE, satname: str | None = None) -> None"))
        .def_prop_ro("size", [](const ELSET& e) { return e.size(); }, "Number of members.")
        .def_prop_ro("satname", [](nb::handle self) { elset_of(self); return self.attr("_satname"); },
                     nb::sig("def satname(self) -> str | None"), "Satellite name given at construction, or None.")
        .def_prop_ro("satno", [](const ELSET& e) { return e.satno; }, "Common catalogue number.")
        .def_prop_ro("epoch", [](const ELSET& e) { return elset_epoch(e); }, nb::sig("def epoch(self) -> Time"),
                     "Epochs of the members (a Time of size epochs).");
    static constexpr struct {
        const char* name;
        int row;  // of the ELSET's values, in the order of kElementArrays
        const char* doc;
    } elements[] = {
        {"ecc", 0, "Eccentricities, shape (size,)."},
        {"sma", 1, "Semi-major axes [m], shape (size,)."},
        {"inc", 2, "Inclinations [rad], shape (size,)."},
        {"raa", 3, "Right ascensions of the ascending node [rad], shape (size,)."},
        {"arp", 4, "Arguments of perigee [rad], shape (size,)."},
        {"tra", 5, "True anomalies [rad], shape (size,)."},
        {"mnm", 6, "Mean motions [rad/s], shape (size,)."},
        {"orp", 7, "Orbital periods [s], shape (size,)."},
        {"eca", 8, "Eccentric anomalies [rad], shape (size,)."},
        {"mea", 9, "Mean anomalies [rad], shape (size,)."},
        {"pge", 10, "Perigee altitudes [m], shape (size,)."},
        {"apg", 11, "Apogee altitudes [m], shape (size,)."},
    };
    for (const auto& el : elements) {
        const int row = el.row;
        elset.def_prop_ro(el.name, [row](const ELSET& e) { return elset_element(e, row); },
                          nb::sig((std::string("def ") + el.name + "(self) -> numpy.typing.NDArray[numpy.float64]").c_str()),
                          el.doc);
    }
    elset.def("__getitem__", &elset_getitem, "item"_a.none(), nb::sig("def __getitem__(self, item: Any) -> TLE | ELSET"))
        .def("_getitem_integral",
             [](const ELSET& e, nb::handle item) { return elset_getitem_integral(e, item); }, "item"_a.none(),
             nb::sig("def _getitem_integral(self, item: numbers.Integral) -> TLE"))
        .def("_getitem_integral_slice",
             [](const ELSET& e, nb::handle item) { return elset_getitem_integral_slice(e, item); }, "item"_a.none(),
             nb::sig("def _getitem_integral_slice(self, item: slice) -> ELSET"))
        .def("_getitem_selection",
             [](const ELSET& e, nb::handle selection) { return elset_getitem_selection(e, selection); },
             "selection"_a.none(), nb::sig("def _getitem_selection(self, selection: ndarray[bool | int]) -> ELSET"))
        .def("__iter__",
             [](nb::handle self) {
                 elset_of(self);
                 nb::setattr(self, "index", nb::int_(0));
                 return MemberIterator{nb::borrow(self), 0};
             },
             nb::sig("def __iter__(self) -> Iterator[TLE]"))
        .def("__next__", &elset_next, nb::sig("def __next__(self) -> TLE"))
        .def("pairwise", [](nb::handle self) { elset_of(self); return PairIterator{nb::borrow(self), 1, nb::object()}; },
             nb::sig("def pairwise(self) -> Iterator[tuple[TLE, TLE]]"),
             "Consecutive pairs of members: (0, 1), (1, 2), ... (size - 1 pairs).")
        .def("_get_header", &elset_header, nb::sig("def _get_header(self) -> str"))
        .def("_get_body",
             [](const ELSET& e) { return nb::str((std::to_string(e.size()) + " elements").c_str()); },
             nb::sig("def _get_body(self) -> str"))
        .def("__reduce__", [](nb::handle) -> nb::object { refuse_pickle("ELSET"); })
        .def("__reduce_ex__", [](nb::handle, nb::handle) -> nb::object { refuse_pickle("ELSET"); });

    bound.elset_type = elset;
    bound.tle_type = tle;

    m.def("read_tles", &read_tles, "source"_a.none(), "strict"_a.none() = false, "errors"_a.none() = "raise",
          nb::sig("def read_tles(source: str | os.PathLike | bytes | typing.IO, strict: bool = False, "
                  "errors: str = 'raise') -> list[TLE]"),
          "The TLEs of a catalogue in two- or three-line form, in file order.\n\n"
          "source: a path (str without a line break, or os.PathLike), a file object (text or binary),\n"
          "or the text itself (str with a line break, or bytes). Blank lines, lines starting with \"#\"\n"
          "and CRLF endings are skipped; a name line (a leading \"0 \" dropped) names the record that\n"
          "follows it (TLE.name). strict: the checks of TLE(..., strict_validation=True) on every record.\n"
          "Bad records (a line 1 or 2 without the other, a name line without element lines, a strict\n"
          "failure, an epoch Time cannot hold, an eccentricity the Kepler solver refuses) never hide the\n"
          "rest: with errors=\"raise\" (default) TLEReadError is raised after reading, with .records (the\n"
          "good TLEs) and .errors ([(line_number, reason), ...]); with errors=\"warn\" each gives a\n"
          "TLEReadWarning and the good TLEs are returned. Earth.GM and Earth.Re are read once per call.");
    m.def("read_elsets", &read_elsets, "source"_a.none(), "strict"_a.none() = false, "errors"_a.none() = "raise",
          nb::sig("def read_elsets(source: str | os.PathLike | bytes | typing.IO, strict: bool = False, "
                  "errors: str = 'raise') -> ELSETCatalogue"),
          "The records of read_tles grouped by catalogue number into ELSETs: an ELSETCatalogue (a dict\n"
          "keyed by number, in order of first appearance), each ELSET's satname taken from the last name\n"
          "line of that number in the file. Exact duplicates (same two lines) are dropped and listed in\n"
          "the result's .duplicates as (line_number, satno); a catalogue number that is not a number is a\n"
          "bad record. errors as in read_tles (TLEReadError.records is the ELSETCatalogue).");
    m.def("read_omm", &read_omm, "source"_a.none(), "errors"_a.none() = "raise",
          nb::sig("def read_omm(source: str | os.PathLike | bytes | typing.IO, errors: str = 'raise') -> list[TLE]"),
          "TLEs from OMM records as CelesTrak and Space-Track publish them: JSON (a list of objects, or one)\n"
          "or CSV (the same keys as a header), detected from the text. The two lines are written from the\n"
          "fields (checksums computed; NORAD_CAT_ID 100000-339999 in alpha-5; the epoch rounded to the\n"
          "1e-8 day a line holds; an OBJECT_ID that is not YYYY-NNNP leaves the designator blank), the\n"
          "name is OBJECT_NAME. A record that does not fit a line (a larger number, a missing field) is a\n"
          "bad record named \"record N\" with its line in the source; errors as in read_tles.");
    m.def("write_tles", &write_tles, "tles_or_elsets"_a.none(), "file_or_path"_a.none() = nb::none(),
          "names"_a.none() = true,
          nb::sig("def write_tles(tles_or_elsets: TLE | ELSET | Iterable[TLE | ELSET] | Mapping[int, ELSET], "
                  "file_or_path: str | os.PathLike | typing.IO | None = None, names: bool = True) -> str"),
          "The records as text: for each TLE its name line (when names is true and it has one: TLE.name,\n"
          "else the ELSET's satname; a leading \"0 \" kept as read), line 1 and line 2, each ending in\n"
          "\"\\n\". Returns the text; writes it to the file object or path too when one is given. Reading\n"
          "the text back gives the same records, byte for byte for well-formed input.");
}

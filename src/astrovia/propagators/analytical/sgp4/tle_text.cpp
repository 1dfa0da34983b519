// The framed console text of TLE and ELSET: the bodies and headers that the
// presentation base type (utils/representable.hpp) frames.
#include <string>
#include <string_view>

#include "utils/representable.hpp"

#include "propagators/analytical/sgp4/tle_binding.hpp"

namespace astrovia::sgp4::binding {

namespace {

std::string fixed(double x, int decimals, const char* unit = "") {
    char* s = PyOS_double_to_string(x, 'f', decimals, 0, nullptr);
    if (s == nullptr) throw nb::python_error();
    std::string out(s);
    PyMem_Free(s);
    return out + unit;
}

std::string escape_braces(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c);
        if (c == '{' || c == '}') out.push_back(c);
    }
    return out;
}

nb::dict unit_table(const char* const keys[6], const std::string si[6], const std::string op[6]) {
    nb::dict si_rows, op_rows;
    for (int i = 0; i < 6; ++i) {
        si_rows[keys[i]] = nb::str(si[i].c_str(), si[i].size());
        op_rows[keys[i]] = nb::str(op[i].c_str(), op[i].size());
    }
    nb::dict table;
    table["SI units"] = si_rows;
    table["Op. units"] = op_rows;
    return table;
}

}  // namespace

nb::str tle_body(const TLE& t) {
    RecursionGuard guard(" in TLE._get_body");
    nb::dict form_data;
    form_data["epoch"] = checked(PyObject_Repr(t.epoch_time().attr("utc").ptr()));  // through the header accessor
    form_data["frame"] = bound.teme.attr("name");
    nb::str form = utils::create_formatted_form(form_data);

    const double deg = bound.deg, km = bound.km;
    static const char* const orbital_keys[6] = {"ecc", "sma", "inc", "raa", "arp", "tra"};
    const std::string orbital_si[6] = {fixed(t.ecc, 5),          fixed(t.sma, 3, " m"),
                                       fixed(t.inc, 3, " rad"),  fixed(t.raa, 3, " rad"),
                                       fixed(t.arp, 3, " rad"),  fixed(t.tra, 3, " rad")};
    const std::string orbital_op[6] = {fixed(t.ecc, 5),                fixed(t.sma / km, 3, " km"),
                                       fixed(t.inc / deg, 3, " deg"),  fixed(t.raa / deg, 3, " deg"),
                                       fixed(t.arp / deg, 3, " deg"),  fixed(t.tra / deg, 3, " deg")};
    nb::str orbital = utils::create_formatted_frame(unit_table(orbital_keys, orbital_si, orbital_op));

    static const char* const derived_keys[6] = {"orp", "mnm", "mea", "eca", "pge", "apg"};
    const std::string derived_si[6] = {fixed(t.orp, 3, " s"),   fixed(t.mnm, 3, " rad/s"),
                                       fixed(t.mea, 3, " rad"), fixed(t.eca, 3, " rad"),
                                       fixed(t.pge, 3, " m"),   fixed(t.apg, 3, " m")};
    const std::string derived_op[6] = {fixed(t.orp / bound.hour, 3, " hour"),
                                       fixed(t.mnm / (bound.rev / bound.day), 3, " rev/day"),
                                       fixed(t.mea / deg, 3, " deg"),
                                       fixed(t.eca / deg, 3, " deg"),
                                       fixed(t.pge / km, 3, " km"),
                                       fixed(t.apg / km, 3, " km")};
    nb::str derived = utils::create_formatted_frame(unit_table(derived_keys, derived_si, derived_op));

    nb::str orbital_heading = utils::format_as_property(nb::str("Orbital Elements:"));
    nb::str derived_heading = utils::format_as_property(nb::str("Derived Elements:"));

    static constexpr const char* fence = "\n{fence}\n";
    std::string body;
    body.reserve(2048);
    body += escape_braces(t.line1_text());
    body += '\n';
    body += escape_braces(t.line2_text());
    body += fence;
    body += escape_braces(utf8(form));
    body += fence;
    body += escape_braces(utf8(orbital_heading));
    body += '\n';
    body += escape_braces(utf8(orbital));
    body += fence;
    body += escape_braces(utf8(derived_heading));
    body += '\n';
    body += escape_braces(utf8(derived));
    return nb::str(body.c_str(), body.size());
}

nb::str elset_header(nb::handle self) {
    const ELSET& e = elset_of(self);
    RecursionGuard guard(" in ELSET._get_header");
    nb::object satname = checked(PyObject_GetAttrString(self.ptr(), "_satname"));
    const std::string name = str_text(satname);
    return make_str("ELSET " + name + " (" + std::to_string(e.satno) + ")");
}


[[noreturn]] void refuse_pickle(const char* what) {
    throw nb::type_error((std::string("cannot pickle ") + what + " objects").c_str());
}

}  // namespace astrovia::sgp4::binding

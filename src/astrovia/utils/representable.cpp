// astrovia.utils.representable: the framed console text of astrovia objects.
//
// `Representable` draws a wall, the header, a fence, the body and a wall, with
// the colours, bold face and header alignment that settings.json (beside this
// module) asks for. Settings are read afresh at every lookup, so an edited file
// shows at the next str(). Every method works on Python objects only; the C++
// struct is empty (see representable.hpp), which lets other extension modules
// derive their native types from it.
#include <nanobind/nanobind.h>

#include <typeinfo>

#include "_native/checks.hpp"
#include "utils/representable.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using astrovia::native::require_exact_str;
using astrovia::utils::kRepresentableModule;
using astrovia::utils::Representable;
using astrovia::utils::representable_type;

namespace {

constexpr const char* kSettingsFile = "settings.json";
constexpr const char* kBoldTemplate = "\x1b[1m{}\x1b[0m";
// The SGR codes this module emits (reset, bold, the colour table); only these
// are left out when a body is measured.
constexpr const char* kEmittedSequences[] = {"\x1b[0m",  "\x1b[1m",  "\x1b[36m", "\x1b[91m", "\x1b[92m",
                                             "\x1b[93m", "\x1b[94m", "\x1b[95m", "\x1b[96m"};

// Width templates of table cells: formatted with the column width W they give
// the format specification of one cell. Right-aligned cells get two spaces of
// their own in front, so they are W + 2 wide.
constexpr const char* kLeftTemplate = "{{:<{}s}}";
constexpr const char* kCentreTemplate = "{{:^{}s}}";
constexpr const char* kRightTemplate = "  {{:>{}s}}";

const char* tp_name_of(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

[[noreturn]] void raise_type_error(const char* name, const char* expected, nb::handle obj) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %s", name, expected, tp_name_of(obj));
    throw nb::python_error();
}

void require_exact_int(nb::handle obj, const char* name) {
    if (!PyLong_CheckExact(obj.ptr())) raise_type_error(name, "int", obj);
}

bool truth(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

bool equals(nb::handle a, const char* text) {
    int r = PyObject_RichCompareBool(a.ptr(), nb::str(text).ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

Py_ssize_t length_of(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

// A fresh list of the items of any iterable (nb::list(obj) would not convert).
nb::list as_list(nb::handle obj) {
    PyObject* l = PySequence_List(obj.ptr());
    if (l == nullptr) throw nb::python_error();
    return nb::steal<nb::list>(l);
}

nb::str spaces(Py_ssize_t n) {
    PyObject* s = PySequence_Repeat(nb::str(" ").ptr(), n > 0 ? n : 0);
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// --- settings ------------------------------------------------------------

nb::object settings_path() {
    nb::object module = nb::module_::import_(kRepresentableModule);
    nb::object os_path = nb::module_::import_("os.path");
    return os_path.attr("join")(os_path.attr("dirname")(module.attr("__file__")), kSettingsFile);
}

// Opens settings.json, parses it and returns one member; the file is closed on
// every path. Errors of opening (OSError), parsing (ValueError) and of the
// member lookup (KeyError with the option name) reach the caller unchanged.
nb::object get_option(nb::handle option_tag) {
    require_exact_str(option_tag, "option_tag");
    nb::object file = nb::module_::import_("io").attr("open")(settings_path());
    nb::object parsed;
    try {
        parsed = nb::module_::import_("json").attr("load")(file);
    } catch (...) {
        try {
            file.attr("close")();
        } catch (nb::python_error&) {
            // the parse error is the one the caller needs to see
        }
        throw;
    }
    file.attr("close")();
    return parsed[option_tag];
}

nb::object get_option(const char* option_tag) { return get_option(nb::str(option_tag)); }

// --- styling -------------------------------------------------------------

// Read through Representable itself, so a subclass cannot shadow the table.
nb::object color_formatted_text(nb::handle text, nb::handle color) {
    require_exact_str(text, "text");
    require_exact_str(color, "color");
    return representable_type().attr("_available_colors")[color].attr("format")(text);
}

nb::object bold_formatted_text(nb::handle text) {
    require_exact_str(text, "text");
    return nb::str(kBoldTemplate).format(text);
}

// Colour inside, bold outside, each when its option is on.
nb::object styled(nb::object text, const char* color_option, const char* bold_option) {
    nb::object color = get_option(color_option);
    if (truth(color)) text = color_formatted_text(text, color);
    if (truth(get_option(bold_option))) text = bold_formatted_text(text);
    return text;
}

nb::object rule(nb::handle length, const char* char_option, const char* color_option, const char* bold_option) {
    require_exact_int(length, "length");
    nb::object piece = get_option(char_option);
    if (!PyUnicode_Check(piece.ptr())) {
        PyErr_Format(PyExc_TypeError, "settings option %s must be text, not %s", char_option, tp_name_of(piece));
        throw nb::python_error();
    }
    Py_ssize_t n = PyLong_AsSsize_t(length.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    PyObject* repeated = PySequence_Repeat(piece.ptr(), n > 0 ? n : 0);
    if (repeated == nullptr) throw nb::python_error();
    return styled(nb::steal(repeated), color_option, bold_option);
}

nb::object wall(nb::handle length) { return rule(length, "wall_char", "wall_color", "wall_bold"); }
nb::object fence(nb::handle length) { return rule(length, "fence_char", "fence_color", "fence_bold"); }

nb::object format_as_property(nb::handle text) {
    require_exact_str(text, "text");
    return styled(nb::borrow(text), "properties_color", "properties_bold");
}

nb::object parse_color(nb::handle color) {
    require_exact_str(color, "color");
    nb::object lowered = color.attr("lower")();
    int known = PySequence_Contains(representable_type().attr("_available_colors").ptr(), lowered.ptr());
    if (known < 0) throw nb::python_error();
    if (!known) {
        PyErr_Format(PyExc_ValueError, "There is no color named %U available", color.ptr());
        throw nb::python_error();
    }
    return lowered;
}

// --- form ----------------------------------------------------------------

nb::object create_formatted_form(nb::handle data, nb::handle order, nb::handle min_gap, nb::handle uppercase,
                                 nb::handle capitalise, nb::handle capitalize) {
    if (!PyDict_CheckExact(data.ptr())) raise_type_error("data", "dict", data);
    if (!order.is_none() && !PyList_CheckExact(order.ptr())) raise_type_error("order", "list or None", order);
    require_exact_int(min_gap, "min_gap");
    const bool upper = truth(uppercase);
    const bool capital = truth(capitalise) || truth(capitalize);

    auto rewrite = [&](nb::handle key, const char* what) {
        if (!PyUnicode_CheckExact(key.ptr())) raise_type_error(what, "str", key);
        nb::object k = nb::borrow(key);
        if (upper) {
            k = k.attr("upper")();
        } else if (capital) {
            k = k.attr("capitalize")();
        }
        return format_as_property(k);
    };

    // Snapshots: the settings lookups read a file, which lets other threads run.
    nb::dict entries;
    if (order.is_none()) {
        nb::list items = nb::steal<nb::list>(PyDict_Items(data.ptr()));
        for (nb::handle item : items) entries[rewrite(item[0], "keys of data")] = item[1];
    } else {
        nb::tuple keys = nb::steal<nb::tuple>(PySequence_Tuple(order.ptr()));
        for (nb::handle key : keys) {
            if (!PyUnicode_CheckExact(key.ptr())) raise_type_error("keys of order", "str", key);
            nb::object value = nb::borrow<nb::dict>(data)[key];  // KeyError for a key missing from data
            entries[rewrite(key, "keys of order")] = value;
        }
    }
    if (entries.size() == 0) {
        throw nb::value_error("_create_formatted_form: data (or order) is empty, so there is no key width to measure");
    }

    Py_ssize_t widest = 0;
    for (auto [key, value] : entries) widest = std::max(widest, length_of(key));
    Py_ssize_t gap = PyLong_AsSsize_t(min_gap.ptr());
    if (gap == -1 && PyErr_Occurred()) throw nb::python_error();
    if (__builtin_add_overflow(gap, widest, &gap)) {
        throw nb::value_error("min_gap is too large: the form would be wider than any text can be");
    }

    nb::list lines;
    for (auto [key, value] : entries) {
        lines.append(nb::str("{}:{}{}").format(key, spaces(gap - length_of(key)), nb::str(value)));
    }
    return nb::str("\n").attr("join")(lines);
}

// --- table ---------------------------------------------------------------

// The width template of an alignment word (already lower-cased), or null.
const char* width_template(nb::handle word) {
    for (const char* w : {"left", "l"}) if (equals(word, w)) return kLeftTemplate;
    for (const char* w : {"centre", "center", "c"}) if (equals(word, w)) return kCentreTemplate;
    for (const char* w : {"right", "r", ""}) if (equals(word, w)) return kRightTemplate;
    return nullptr;
}

// Every cell as its text. pandas 3 keeps missing cells missing under
// astype(str); they get the text pandas 2 gives them, so that widths and
// formatting see only text under both.
nb::object cells_as_text(nb::object frame) {
    nb::object text = frame.attr("astype")(nb::module_::import_("builtins").attr("str"));
    nb::object missing = text.attr("isna")();
    if (truth(missing.attr("to_numpy")().attr("any")())) {
        nb::object originals = frame.attr("astype")("object").attr("map")(nb::module_::import_("builtins").attr("str"));
        text = text.attr("where")(text.attr("notna")(), originals);
    }
    return text;
}

// Widest cell text of a column; 0 for a column without rows.
nb::object column_width(nb::handle frame, nb::handle column) {
    nb::object lengths = frame[column].attr("str").attr("len")();
    if (length_of(lengths) == 0) return nb::int_(0);
    return nb::int_(lengths.attr("max")());
}

nb::object create_formatted_frame(nb::handle data, nb::handle columns, nb::handle sort_values_by,
                                  nb::handle alignment, nb::handle index, nb::handle index_offset,
                                  nb::handle max_colwidth, nb::handle max_rows) {
    if (!columns.is_none() && !PyList_CheckExact(columns.ptr())) raise_type_error("columns", "list or None", columns);
    if (!alignment.is_none() && !PyDict_CheckExact(alignment.ptr())) {
        raise_type_error("alignment", "dict or None", alignment);
    }
    require_exact_int(index_offset, "index_offset");
    require_exact_int(max_colwidth, "max_colwidth");
    require_exact_int(max_rows, "max_rows");

    nb::module_ pd = nb::module_::import_("pandas");
    nb::object frame = columns.is_none() ? pd.attr("DataFrame")(data) : pd.attr("DataFrame")(data, "columns"_a = columns);
    frame = cells_as_text(frame);
    // Sorting runs on the cell texts ("10" before "9"). Not in place: pandas 3.1
    // deprecates inplace=, and the frame is ours anyway.
    if (truth(sort_values_by)) frame = frame.attr("sort_values")(sort_values_by);
    if (nb::isinstance(frame.attr("index").attr("dtype"), pd.attr("Int64Dtype"))) {
        frame = frame.attr("reset_index")("drop"_a = true);
        frame.attr("index") = frame.attr("index") + nb::borrow(index_offset);
    }

    // The caller's dict is left as it was: entries are taken from a copy.
    nb::dict remaining = truth(alignment) ? nb::steal<nb::dict>(PyDict_Copy(alignment.ptr())) : nb::dict();
    nb::list header;
    nb::dict formatters;
    nb::list labels = as_list(frame.attr("columns"));
    for (nb::handle col : labels) {
        nb::object entry = remaining.attr("pop")(col, nb::none());
        // Labels go to pandas as text: its header list takes only strings, and
        // integer labels (a dict with int keys) would otherwise fail.
        if (!truth(entry)) {
            header.append(nb::str(col));
            continue;
        }
        nb::object width = column_width(frame, col);
        nb::object header_word = entry.attr("get")("header", "").attr("lower")();
        const char* header_template = width_template(header_word);
        if (header_template == nullptr) {
            PyErr_Format(PyExc_ValueError, "Unexpected value for header alignment: %S", header_word.ptr());
            throw nb::python_error();
        }
        header.append(nb::str(header_template).format(width).format(nb::str(col)));
        nb::object values_word = entry.attr("get")("values", "").attr("lower")();
        const char* values_template = width_template(values_word);
        if (values_template == nullptr) {
            PyErr_Format(PyExc_ValueError, "Unexpected value for values alignment: %S", values_word.ptr());
            throw nb::python_error();
        }
        // The bound str.format of the cell's format specification is the cell formatter.
        formatters[col] = nb::str(values_template).format(width).attr("format");
    }

    nb::object text = frame.attr("to_string")("header"_a = header, "formatters"_a = formatters,
                                              "index"_a = truth(index), "max_colwidth"_a = max_colwidth,
                                              "max_rows"_a = max_rows);
    nb::list lines = as_list(text.attr("split")("\n"));
    lines[0] = format_as_property(lines[0]);
    return nb::str("\n").attr("join")(lines);
}

// --- frame ---------------------------------------------------------------

void require_representable(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(representable_type().ptr()))) {
        raise_type_error("self", "a Representable", self);
    }
}

nb::object hook_text(nb::handle self, const char* hook) {
    nb::object text = self.attr(hook)();
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s() must return str, not %s", hook, tp_name_of(text));
        throw nb::python_error();
    }
    return text;
}

nb::object representable_str(nb::handle self) {
    // The hooks may lead back here (a hook set to the object's own __str__).
    const astrovia::native::RecursionGuard guard(" while rendering a Representable");
    require_representable(self);
    nb::object header = hook_text(self, "_get_header");
    const Py_ssize_t raw_length = length_of(header);
    header = styled(header, "header_color", "header_bold");

    nb::object body = hook_text(self, "_get_body");
    nb::object plain = body;
    for (const char* seq : kEmittedSequences) plain = plain.attr("replace")(seq, "");
    Py_ssize_t length = raw_length;
    nb::str fence_field("{fence}");
    for (nb::handle line : as_list(plain.attr("split")("\n"))) {
        int has_fence = PySequence_Contains(line.ptr(), fence_field.ptr());
        if (has_fence < 0) throw nb::python_error();
        if (!has_fence) length = std::max(length, length_of(line));
    }
    nb::int_ frame_width(length);
    nb::object wall_text = wall(frame_width);
    nb::object fence_text = fence(frame_width);

    // Styling adds invisible characters; the field grows by as many so that the
    // visible header sits centred (or right-aligned) over `length` columns.
    nb::object alignment = get_option("header_alignment");
    const char* header_template = equals(alignment, "centre") ? "{{:^{}s}}"
                                  : equals(alignment, "right") ? "{{:>{}s}}"
                                                               : nullptr;
    if (header_template != nullptr) {
        nb::int_ field(length + length_of(header) - raw_length);
        header = nb::str(header_template).format(field).format(header);
    }

    nb::object layout = nb::str("{{wall}}\n{{header}}\n{{fence}}\n{body}\n{{wall}}\n").format("body"_a = body);
    return layout.attr("format")("header"_a = header, "wall"_a = wall_text, "fence"_a = fence_text);
}

[[noreturn]] void raise_not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

// --- pickling ------------------------------------------------------------

// Pickled as class plus instance dictionary: unpickling makes a bare instance
// with `cls.__new__(cls)` (no __init__ runs) and updates its dictionary. A
// native subclass with fields of its own cannot be rebuilt that way and must
// say how it pickles (or refuse) itself.
nb::object reduce(nb::handle self) {
    require_representable(self);
    nb::handle cls = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
    if (nb::type_info(cls) != typeid(Representable)) {
        PyErr_Format(PyExc_TypeError, "cannot pickle %s objects", tp_name_of(self));
        throw nb::python_error();
    }
    nb::object state = nb::getattr(self, "__dict__", nb::none());
    nb::object rebuild = nb::module_::import_("copyreg").attr("__newobj__");
    return nb::make_tuple(rebuild, nb::make_tuple(cls), state.is_none() ? nb::dict() : state);
}

nb::dict color_table() {
    nb::dict colors;
    colors["blue"] = "\x1b[94m{}\x1b[0m";
    colors["cyan"] = "\x1b[96m{}\x1b[0m";
    colors["darkcyan"] = "\x1b[36m{}\x1b[0m";
    colors["green"] = "\x1b[92m{}\x1b[0m";
    colors["purple"] = "\x1b[95m{}\x1b[0m";
    colors["red"] = "\x1b[91m{}\x1b[0m";
    colors["yellow"] = "\x1b[93m{}\x1b[0m";
    return colors;
}

}  // namespace

NB_MODULE(representable, m) {
    m.doc() = "Framed console text of astrovia objects; the look comes from settings.json beside this module.";

    nb::class_<Representable> cls(m, "Representable", nb::dynamic_attr(),
                                  "Base of objects shown as framed console text.\n\n"
                                  "A subclass supplies `_get_header()` (one line) and `_get_body()` (lines\n"
                                  "separated by newlines; a line \"{fence}\" becomes a separator rule, literal\n"
                                  "braces are doubled). `str()` frames them: wall, header, fence, body, wall.\n"
                                  "Colours, bold face, rule characters and header alignment come from\n"
                                  "settings.json beside this module, read at every use.");
    cls.attr("_available_colors") = color_table();
    cls.def(nb::init<>())
        .def_static("_Representable__get_option", [](nb::handle tag) { return get_option(tag); }, "option_tag"_a,
                    nb::sig("def _Representable__get_option(option_tag: str) -> str | bool"),
                    "The value of one option of settings.json (read now).")
        .def_static("_Representable__get_color_formatted_text", &color_formatted_text, "text"_a, "color"_a,
                    nb::sig("def _Representable__get_color_formatted_text(text: str, color: str) -> str"),
                    "`text` in the colour named `color` (a key of `_available_colors`).")
        .def_static("_Representable__get_bold_formatted_text", &bold_formatted_text, "text"_a,
                    nb::sig("def _Representable__get_bold_formatted_text(text: str) -> str"), "`text` in bold.")
        .def_static("_Representable__wall", &wall, "length"_a, nb::sig("def _Representable__wall(length: int) -> str"),
                    "The top/bottom rule: `length` times the wall character, styled.")
        .def_static("_Representable__fence", &fence, "length"_a,
                    nb::sig("def _Representable__fence(length: int) -> str"),
                    "The separator rule: `length` times the fence character, styled.")
        .def_static("_format_as_property", &format_as_property, "text"_a,
                    nb::sig("def _format_as_property(text: str) -> str"),
                    "`text` styled as a label (form keys, table label rows).")
        .def_static("_create_formatted_frame", &create_formatted_frame, "data"_a, "columns"_a = nb::none(),
                    "sort_values_by"_a = nb::none(), "alignment"_a = nb::none(), "index"_a = true,
                    "index_offset"_a = 1, "max_colwidth"_a = 50, "max_rows"_a = 30,
                    nb::sig("def _create_formatted_frame(data: dict | pandas.DataFrame, columns: list | None = None, "
                            "sort_values_by: str | list[str] | None = None, alignment: dict | None = None, "
                            "index: bool = True, index_offset: int = 1, max_colwidth: int = 50, "
                            "max_rows: int = 30) -> str"),
                    "A table laid out by pandas, cells as text, label row styled.\n\n"
                    "`alignment` maps a column label to a dict with optional \"header\" and \"values\"\n"
                    "words: left/l, centre/center/c, right/r (the default). A nullable-integer (Int64)\n"
                    "index is renumbered from `index_offset`. The caller's `alignment` is not changed.")
        .def_static("_create_formatted_form", &create_formatted_form, "data"_a, "order"_a = nb::none(),
                    "min_gap"_a = 4, "uppercase"_a = false, "capitalise"_a = false, "capitalize"_a = false,
                    nb::sig("def _create_formatted_form(data: dict, order: list | None = None, min_gap: int = 4, "
                            "uppercase: bool = False, capitalise: bool = False, capitalize: bool = False) -> str"),
                    "A key/value form, one \"key:  value\" line per entry, values in one column\n"
                    "starting `min_gap` spaces after the widest key's colon. `order` picks and orders keys.")
        .def("_get_header", [](nb::handle) -> nb::object { raise_not_implemented(); },
             nb::sig("def _get_header(self) -> str"), "The header line; subclasses supply it.")
        .def("_get_body", [](nb::handle) -> nb::object { raise_not_implemented(); },
             nb::sig("def _get_body(self) -> str"), "The body text; subclasses supply it.")
        .def_static("parse_color", &parse_color, "color"_a, nb::sig("def parse_color(color: str) -> str"),
                    "The lower-cased colour name if the colour table has it, else ValueError.")
        .def("__str__", &representable_str, nb::sig("def __str__(self) -> str"))
        .def("__repr__", [](nb::handle self) { return nb::str(self); }, nb::sig("def __repr__(self) -> str"))
        .def("__reduce__", &reduce, nb::sig("def __reduce__(self) -> tuple[Any, ...]"));
}

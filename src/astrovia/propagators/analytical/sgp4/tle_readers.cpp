// The catalogue readers and the writer: the text of a source (path, file, str or
// bytes), its records parsed natively and made into TLE objects in the order
// they are kept (read_tles: file order; read_elsets: satellite by satellite in
// epoch order, exact duplicates dropped), bad records reported after reading,
// and write_tles, the text of TLEs and ELSETs with their name lines.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "propagators/analytical/sgp4/tle_binding.hpp"

namespace astrovia::sgp4::binding {

ErrorMode error_mode(nb::handle errors) {
    if (!PyUnicode_Check(errors.ptr())) {
        throw nb::type_error(("errors must be str, not " + std::string(Py_TYPE(errors.ptr())->tp_name)).c_str());
    }
    const std::string mode = utf8(errors);
    if (mode == "raise") return ErrorMode::raise;
    if (mode == "warn") return ErrorMode::warn;
    throw nb::value_error(("errors must be 'raise' or 'warn', not " + repr_text(errors)).c_str());
}

SourceText source_text(nb::handle source) {
    SourceText s;
    nb::object value = nb::borrow(source);
    if (PyUnicode_Check(source.ptr())) {
        const std::string_view t = text_of(source, "source");
        const std::size_t first = t.find_first_not_of(" \t");
        const bool content = first == std::string_view::npos || t[first] == '[' || t[first] == '{';
        if (t.find_first_of("\r\n") == std::string_view::npos && !content) {
            nb::object path = nb::module_::import_("pathlib").attr("Path")(source);
            value = path.attr("read_bytes")();
        }
    } else if (PyBytes_Check(source.ptr())) {
        // the bytes themselves
    } else if (PyObject_HasAttrString(source.ptr(), "__fspath__")) {
        nb::object path = nb::module_::import_("pathlib").attr("Path")(source);
        value = path.attr("read_bytes")();
    } else if (PyObject_HasAttrString(source.ptr(), "read")) {
        value = checked(PyObject_CallMethod(source.ptr(), "read", nullptr));
        if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) {
            throw nb::type_error(("source.read() must return str or bytes, not " +
                                  std::string(Py_TYPE(value.ptr())->tp_name)).c_str());
        }
    } else {
        throw nb::type_error(("source must be a path, a file object, or the text (str or bytes), not " +
                              std::string(Py_TYPE(source.ptr())->tp_name)).c_str());
    }
    if (PyBytes_Check(value.ptr())) {
        s.text = {PyBytes_AS_STRING(value.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(value.ptr()))};
        s.from_bytes = true;
    } else {
        s.text = text_of(value, "source");
    }
    if (s.text.substr(0, 3) == "\xef\xbb\xbf") s.text.remove_prefix(3);  // a byte-order mark is no text
    s.keep = value;
    return s;
}

namespace {

// The collector paused while a reader creates its records: they are young
// objects that cannot be garbage yet, and scanning them over and over costs
// more than making them.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

struct SameLines {
    bool operator()(const TLE* a, const TLE* b) const {
        return std::memcmp(a->line1, b->line1, fields::kLineLength) == 0 &&
               std::memcmp(a->line2, b->line2, fields::kLineLength) == 0;
    }
};

}  // namespace

void report(ErrorMode mode, nb::handle records, std::vector<ReadError>& errors) {
    if (errors.empty()) return;
    std::stable_sort(errors.begin(), errors.end(), [](const ReadError& a, const ReadError& b) { return a.line < b.line; });
    if (mode == ErrorMode::warn) {
        for (const ReadError& e : errors) {
            const std::string msg = "line " + std::to_string(e.line) + ": " + e.reason;
            if (PyErr_WarnEx(bound.read_warning.ptr(), msg.c_str(), 1) != 0) throw nb::python_error();
        }
        return;
    }
    nb::list list;
    std::string msg = std::to_string(errors.size()) + (errors.size() == 1 ? " bad record" : " bad records");
    for (std::size_t i = 0; i < errors.size(); ++i) {
        list.append(nb::make_tuple(nb::int_(errors[i].line), make_str(errors[i].reason)));
        if (i < 5) msg += (i ? "; line " : ": line ") + std::to_string(errors[i].line) + ": " + errors[i].reason;
    }
    if (errors.size() > 5) msg += "; ...";
    nb::object exc = checked(PyObject_CallOneArg(bound.read_error.ptr(), make_str(msg).ptr()));
    if (PyObject_SetAttrString(exc.ptr(), "records", records.ptr()) != 0) throw nb::python_error();
    if (PyObject_SetAttrString(exc.ptr(), "errors", list.ptr()) != 0) throw nb::python_error();
    PyErr_SetObject(bound.read_error.ptr(), exc.ptr());
    throw nb::python_error();
}

namespace {

bool valid_utf8(std::string_view text) {
    if (cat::first_non_ascii_column(text) == 0) return true;
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (s == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(s);
    return true;
}

// The reason of a ValueError raised while a record was built (the exception is
// consumed); other exceptions propagate.
std::string value_error_reason(nb::python_error& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return str_text(e.value());
}

}  // namespace

EarthConstants earth_constants_once() {
    EarthConstants k{false};
    k.gm = read_earth_constant("GM");
    k.re = read_earth_constant("Re");
    return k;
}

// One record from its two lines and optional name; a bad one becomes an error.
// A kept record takes a reference to `name`: a new one, or with
// `name_owed`, one its caller adds later (true is returned when kept).
bool add_record(ReadRecords& out, std::string_view line1, std::string_view line2, std::int64_t line1_no,
                std::int64_t line2_no, nb::handle name, bool zero_prefix, bool strict, const EarthConstants& k,
                bool name_owed) {
    TLE& t = out.records.emplace_back();
    try {
        build_record(t, line1, line2, strict, k);
    } catch (const RecordError& e) {
        out.records.pop_back();
        out.errors.push_back({e.line == 2 ? line2_no : line1_no, e.reason});
        return false;
    } catch (nb::python_error& e) {
        out.records.pop_back();
        out.errors.push_back({line1_no, value_error_reason(e)});
        return false;
    }
    t.name = name_owed ? nb::steal(name) : nb::borrow(name);
    t.name_zero_prefix = zero_prefix;
    out.first_line.push_back(line1_no);
    return true;
}

namespace {

// One str per distinct name line of a text (a history repeats its
// satellite's name): an open-addressing table on the name's bytes. A slot
// keeps the first bytes of its name, so that a lookup does not go back to
// where the name first appeared in the text. The references of the records
// that take a name are counted in its slot (owe()) and added when the table
// goes, all of one name at once: the records then need not touch the str,
// which lies elsewhere in memory, one by one. The table must go before them.
class NameTable {
public:
    NameTable() = default;
    NameTable(const NameTable&) = delete;
    NameTable& operator=(const NameTable&) = delete;
    ~NameTable() {
        for (Slot& s : slots_) {
            for (std::size_t i = 0; i < s.owed; ++i) Py_INCREF(s.value.ptr());
        }
    }

    // The str of a name; `owe(str)` then counts one reference a record took.
    nb::handle get(std::string_view name) {
        if (4 * (used_ + 1) > 3 * slots_.size()) grow();
        const std::uint64_t h = hash(name);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (!s.value.is_valid()) {
                s.name = name;
                s.hash = h;
                std::memcpy(s.head, name.data(), std::min(name.size(), sizeof s.head));
                s.value = make_str(name);
                ++used_;
                last_ = &s;
                return s.value;
            }
            if (s.hash == h && s.name.size() == name.size() &&
                (name.size() <= sizeof s.head ? std::memcmp(s.head, name.data(), name.size()) == 0 : s.name == name)) {
                last_ = &s;
                return s.value;
            }
        }
    }
    // Counts a reference to the str the last get() gave.
    void owe() { ++last_->owed; }

private:
    struct Slot {
        std::string_view name;
        std::uint64_t hash = 0;
        nb::object value;
        std::size_t owed = 0;
        char head[40];
    };
    static std::uint64_t hash(std::string_view text) {  // FNV-1a
        std::uint64_t h = 0xcbf29ce484222325ULL;
        for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        return h ^ (h >> 29);
    }
    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots_.size()));
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (Slot& s : old) {
            if (!s.value.is_valid()) continue;
            std::size_t i = s.hash & mask;
            while (slots_[i].value.is_valid()) i = (i + 1) & mask;
            slots_[i] = std::move(s);
        }
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    Slot* last_ = nullptr;
};

void read_text_records(const SourceText& src, bool strict, ReadRecords& out) {
    std::vector<cat::RawRecord> raw;
    std::vector<cat::RawProblem> problems;
    cat::split_records(src.text, raw, problems);
    for (const cat::RawProblem& p : problems) out.errors.push_back({p.line, cat::describe(p.problem)});
    const EarthConstants k = earth_constants_once();
    out.records.reserve(raw.size());
    out.first_line.reserve(raw.size());
    NameTable names;
    for (const cat::RawRecord& r : raw) {
        if (src.from_bytes) {
            const std::pair<std::string_view, std::int64_t> parts[] = {
                {r.name, r.name_line}, {r.line1, r.line1_line}, {r.line2, r.line2_line}};
            bool ok = true;
            for (const auto& [text, no] : parts) {
                if (ok && !valid_utf8(text)) {
                    out.errors.push_back({no, "line " + std::to_string(no) + " is not UTF-8 text"});
                    ok = false;
                }
            }
            if (!ok) continue;
        }
        if (r.name_line == 0) {
            add_record(out, r.line1, r.line2, r.line1_line, r.line2_line, Py_None, false, strict, k);
        } else if (add_record(out, r.line1, r.line2, r.line1_line, r.line2_line, names.get(r.name),
                              r.name_zero_prefix, strict, k, true)) {
            names.owe();
        }
    }
}

int truth(nb::handle x) {
    const int r = PyObject_IsTrue(x.ptr());
    if (r < 0) throw nb::python_error();
    return r;
}

// Asks for a record's memory ahead of its use (records are read out of order).
inline void prefetch(const TLE* t) {
    const char* p = reinterpret_cast<const char*>(t);
    for (std::size_t off = 0; off < sizeof(TLE); off += 64) __builtin_prefetch(p + off);
}

}  // namespace

// A list of new TLE objects, made from the records (moved out of them) in order.
nb::list tle_list(std::vector<TLE>& records) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(records.size());
    nb::object list = checked(PyList_New(n));
    CollectorPause pause;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(list.ptr(), i, new_tle_object(std::move(records[static_cast<std::size_t>(i)])).release().ptr());
    }
    return nb::steal<nb::list>(list.release());
}

namespace {

// The arguments of a text reader checked, and the records of its source.
ErrorMode read_source(nb::handle source, nb::handle strict, nb::handle errors, ReadRecords& out) {
    const ErrorMode mode = error_mode(errors);
    const int is_strict = truth(strict);
    const SourceText src = source_text(source);
    read_text_records(src, is_strict != 0, out);
    return mode;
}

}  // namespace

nb::object read_tles(nb::handle source, nb::handle strict, nb::handle errors) {
    ReadRecords out;
    const ErrorMode mode = read_source(source, strict, errors, out);
    nb::list result = tle_list(out.records);
    report(mode, result, out.errors);
    return result;
}

nb::object read_elsets(nb::handle source, nb::handle strict, nb::handle errors) {
    ReadRecords out;
    const ErrorMode mode = read_source(source, strict, errors, out);
    std::vector<TLE>& records = out.records;

    // Records grouped by catalogue number, in order of first appearance: the
    // group of each record, then all keys in one array, group after group.
    struct Group {
        std::int32_t satno;
        std::size_t first = 0, count = 0;  // its keys
        PyObject* name = Py_None;           // the last name line of the number
    };
    std::vector<Group> groups;
    std::vector<std::uint32_t> group_of(records.size(), UINT32_MAX);
    {
        std::unordered_map<std::int32_t, std::uint32_t> index;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const TLE& t = records[i];
            std::int32_t satno = 0;
            if (!cat::decode_catalogue(t.catalogue, satno)) {
                out.errors.push_back({out.first_line[i], "the catalogue number " + snippet(t.catalogue, 5) +
                                                             " (columns 3-7) is not a number, which an ELSET needs"});
                continue;
            }
            auto [it, fresh] = index.try_emplace(satno, static_cast<std::uint32_t>(groups.size()));
            if (fresh) groups.push_back(Group{satno});
            Group& g = groups[it->second];
            ++g.count;
            if (!t.name.is_none()) g.name = t.name.ptr();
            group_of[i] = it->second;
        }
    }
    std::vector<std::pair<std::int64_t, std::size_t>> keys;  // (stamp, record)
    {
        std::size_t next = 0;
        for (Group& g : groups) {
            g.first = next;
            next += g.count;
        }
        keys.resize(next);
        std::vector<std::size_t> fill(groups.size());
        for (std::size_t k = 0; k < groups.size(); ++k) fill[k] = groups[k].first;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (group_of[i] != UINT32_MAX) keys[fill[group_of[i]]++] = {records[i].epoch_ns, i};
        }
    }

    nb::object result = checked(PyObject_CallNoArgs(bound.catalogue_type.ptr()));
    std::vector<std::pair<std::int64_t, std::int64_t>> dropped;  // (line, satno)
    std::vector<std::size_t> rows;
    std::vector<PyObject*> members;
    CollectorPause pause;
    for (Group& g : groups) {
        // Epoch order, ties in file order.
        const auto first = keys.begin() + static_cast<std::ptrdiff_t>(g.first);
        std::sort(first, first + static_cast<std::ptrdiff_t>(g.count));
        // Exact duplicates share the epoch: each record is compared with the kept
        // ones of its epoch, and the later copy in the file goes.
        rows.clear();
        std::size_t run = 0;  // first kept row of the current epoch, in `rows`
        for (std::size_t k = g.first; k < g.first + g.count; ++k) {
            const std::size_t r = keys[k].second;
            if (k == g.first || keys[k].first != keys[k - 1].first) run = rows.size();
            bool duplicate = false;
            for (std::size_t j = run; j < rows.size() && !duplicate; ++j) {
                duplicate = SameLines{}(&records[rows[j]], &records[r]);
            }
            if (duplicate) dropped.emplace_back(out.first_line[r], g.satno);
            else rows.push_back(r);
        }
        // The members, made in epoch order; the ELSET holds their references.
        nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        members.clear();
        for (std::size_t j = 0; j < rows.size(); ++j) {
            if (j + 4 < rows.size()) prefetch(&records[rows[j + 4]]);
            PyObject* m = new_tle_object(std::move(records[rows[j]])).release().ptr();
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(j), m);
            members.push_back(m);
        }
        nb::object e = new_elset_object(members, g.name, ParentSource{nullptr, nullptr, &g.satno}, list);
        nb::object key = checked(PyLong_FromLong(g.satno));
        if (PyDict_SetItem(result.ptr(), key.ptr(), e.ptr()) != 0) throw nb::python_error();
    }
    std::sort(dropped.begin(), dropped.end());
    nb::list duplicates;
    for (const auto& [line, satno] : dropped) duplicates.append(nb::make_tuple(nb::int_(line), nb::int_(satno)));
    if (PyObject_SetAttrString(result.ptr(), "duplicates", duplicates.ptr()) != 0) throw nb::python_error();
    report(mode, result, out.errors);
    return result;
}

namespace {

// Writers: the TLEs of TLE/ELSET objects, a mapping of them, or an iterable.
void collect_tles(nb::handle obj, std::vector<std::pair<PyObject*, PyObject*>>& out, nb::handle satname, int depth) {
    if (nb::isinstance<TLE>(obj) && nb::inst_ready(obj)) {
        out.emplace_back(obj.ptr(), satname.ptr());
        return;
    }
    if (nb::isinstance<ELSET>(obj)) {
        const ELSET& e = elset_of(obj);
        nb::object name = checked(PyObject_GetAttrString(obj.ptr(), "_satname"));
        for (Py_ssize_t i = 0; i < e.size(); ++i) out.emplace_back(e.member_object(i).ptr(), name.ptr());
        return;
    }
    if (depth > 0) {
        throw nb::type_error(("tles_or_elsets must hold TLE or ELSET objects, not " +
                              std::string(Py_TYPE(obj.ptr())->tp_name)).c_str());
    }
    nb::object items = PyDict_Check(obj.ptr()) ? checked(PyDict_Values(obj.ptr())) : nb::borrow(obj);
    PyObject* it = PyObject_GetIter(items.ptr());
    if (it == nullptr) {
        PyErr_Clear();
        throw nb::type_error(("tles_or_elsets must be a TLE, an ELSET or an iterable of them, not " +
                              std::string(Py_TYPE(obj.ptr())->tp_name)).c_str());
    }
    nb::object iter = nb::steal(it);
    while (PyObject* item = PyIter_Next(iter.ptr())) {
        nb::object held = nb::steal(item);
        collect_tles(held, out, nb::none(), depth + 1);
        // The objects stay alive through their containers, which the caller holds.
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

}  // namespace

nb::object write_tles(nb::handle tles_or_elsets, nb::handle file_or_path, nb::handle names) {
    const int with_names = truth(names);
    std::vector<std::pair<PyObject*, PyObject*>> records;
    collect_tles(tles_or_elsets, records, nb::none(), 0);
    std::string text;
    text.reserve(records.size() * 164);
    for (const auto& [obj, satname] : records) {
        const TLE& t = tle_of(obj);
        if (with_names) {
            nb::handle name = t.name.is_valid() && !t.name.is_none() ? nb::handle(t.name) : nb::handle(satname);
            if (name.is_valid() && !name.is_none()) {
                if (t.name_zero_prefix && name.is(t.name)) text += "0 ";
                text += str_text(name);
                text += '\n';
            }
        }
        text.append(t.line1, fields::kLineLength);
        text += '\n';
        text.append(t.line2, fields::kLineLength);
        text += '\n';
    }
    nb::str result = make_str(text);
    if (!file_or_path.is_none()) {
        if (PyObject_HasAttrString(file_or_path.ptr(), "write")) {
            checked(PyObject_CallMethod(file_or_path.ptr(), "write", "O", result.ptr()));
        } else {
            nb::object path = nb::module_::import_("pathlib").attr("Path")(file_or_path);
            path.attr("write_text")(result, "encoding"_a = "utf-8", "newline"_a = "");
        }
    }
    return result;
}

}  // namespace astrovia::sgp4::binding

// ELSET, the element-set history of one satellite: construction from TLEs
// (one catalogue number, epoch order), the element arrays and epoch Time made on
// first use, selection by position, time range or mask (new ELSETs that take
// their values from the stored arrays), iteration, and its garbage-collector
// slots.
#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "_native/gc.hpp"

#include "propagators/analytical/sgp4/tle_binding.hpp"

namespace astrovia::sgp4::binding {

namespace {

// The catalogue numbers of members, for messages: "25544, 25545".
std::string catalogue_list(const std::vector<PyObject*>& members) {
    std::vector<std::string> seen;
    for (PyObject* m : members) {
        std::string s = repr_text(tle_satno(tle_of(m)));
        if (std::find(seen.begin(), seen.end(), s) == seen.end()) seen.push_back(s);
        if (seen.size() == 6) break;
    }
    std::string out;
    for (std::size_t i = 0; i < seen.size(); ++i) out += (i ? ", " : "") + (i == 5 ? std::string("...") : seen[i]);
    return out;
}

// The catalogue number common to `members`; AssertionError when there is no
// member or they hold several numbers.
std::int32_t common_satno(const std::vector<PyObject*>& members) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(members.size());
    if (n == 0) {
        PyErr_SetString(PyExc_AssertionError, "an ELSET needs at least one TLE, not 0");
        throw nb::python_error();
    }
    std::int32_t satno = 0;
    bool numeric = cat::decode_catalogue(tle_of(members[0]).catalogue, satno);
    nb::object first;
    if (!numeric) first = tle_satno(tle_of(members[0]));
    for (Py_ssize_t i = 1; i < n; ++i) {
        std::int32_t s = 0;
        bool same;
        if (numeric && cat::decode_catalogue(tle_of(members[static_cast<std::size_t>(i)]).catalogue, s)) {
            same = s == satno;
        } else {
            if (!first.is_valid()) first = tle_satno(tle_of(members[0]));
            nb::object other = tle_satno(tle_of(members[static_cast<std::size_t>(i)]));
            const int r = PyObject_RichCompareBool(first.ptr(), other.ptr(), Py_EQ);
            if (r < 0) throw nb::python_error();
            same = r == 1;
        }
        if (!same) {
            const std::string msg = "the " + std::to_string(n) +
                                    " TLEs of an ELSET must hold one catalogue number, not " + catalogue_list(members);
            PyErr_SetString(PyExc_AssertionError, msg.c_str());
            throw nb::python_error();
        }
    }
    if (!numeric) {
        // Digits int() reads but the field reader does not (a sign, say).
        if (!PyLong_Check(first.ptr())) {
            throw nb::type_error(("ELSET needs an integer catalogue number, not " + repr_text(first)).c_str());
        }
        const long sat = PyLong_AsLong(first.ptr());
        if (sat == -1 && PyErr_Occurred()) throw nb::python_error();
        if (sat < INT32_MIN || sat > INT32_MAX) throw nb::value_error("ELSET catalogue number out of 32-bit range");
        satno = static_cast<std::int32_t>(sat);
    }
    return satno;
}

}  // namespace

namespace {

// Fills `e` from members already in epoch order; `list`, when given, is a
// fresh list of exactly those members, which the ELSET takes as its own.
void fill_elset(ELSET& e, const std::vector<PyObject*>& members, std::int32_t satno, ParentSource from = {},
                nb::object list = {}) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(members.size());
    e.satno = satno;
    if (!list.is_valid()) {
        list = checked(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_INCREF(members[static_cast<std::size_t>(i)]);
            PyList_SET_ITEM(list.ptr(), i, members[static_cast<std::size_t>(i)]);
        }
    }
    e.members = nb::steal<nb::list>(list.release());

    // One allocation for the twelve element rows, filled through its buffer;
    // the array of an element (a view of its row) and the Time of the epochs
    // are made when first asked for.
    nb::object block = new_array(12 * n, bound.np_double);
    nb::object stamps_array = new_array(n, bound.np_int64);
    CheckedBuffer block_buffer(block, 12 * n, 8, kFloat64Formats, true, "numpy.empty");
    CheckedBuffer stamps_buffer(stamps_array, n, 8, "ql", true, "numpy.empty");
    double* out[12];
    for (int k = 0; k < 12; ++k) out[k] = block_buffer.data<double>() + k * n;
    std::int64_t* stamps = stamps_buffer.data<std::int64_t>();
    if (from.parent == nullptr) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            const TLE& t = tle_of(members[static_cast<std::size_t>(i)]);
            const double values[12] = {t.ecc, t.sma, t.inc, t.raa, t.arp, t.tra,
                                       t.mnm, t.orp, t.eca, t.mea, t.pge, t.apg};
            for (int k = 0; k < 12; ++k) out[k][i] = values[k];
            stamps[i] = t.epoch_ns;
        }
    } else {
        const ELSET& p = *from.parent;
        const Py_ssize_t m = p.size();
        CheckedBuffer values(p.values, 12 * m, 8, kFloat64Formats, false, "the element values of the ELSET");
        for (int k = 0; k < 12; ++k) {
            const double* in = values.data<double>() + k * m;
            for (Py_ssize_t i = 0; i < n; ++i) out[k][i] = in[from.positions[i]];
        }
        CheckedBuffer source(p.stamps, m, 8, "ql", false, "the epochs of the ELSET");
        const std::int64_t* in = source.data<std::int64_t>();
        for (Py_ssize_t i = 0; i < n; ++i) stamps[i] = in[from.positions[i]];
    }
    e.values = std::move(block);
    e.stamps = std::move(stamps_array);
}

// The element arrays of an ELSET, in the order of its value rows.
constexpr nb::object ELSET::* kElementArrays[12] = {&ELSET::ecc, &ELSET::sma, &ELSET::inc, &ELSET::raa,
                                                    &ELSET::arp, &ELSET::tra, &ELSET::mnm, &ELSET::orp,
                                                    &ELSET::eca, &ELSET::mea, &ELSET::pge, &ELSET::apg};

// The array of element row k: a view of the row, made on first use and kept.
nb::object elset_array(const ELSET& e, int k) {
    nb::object& a = const_cast<ELSET&>(e).*kElementArrays[k];  // a cache of the (non-const) instance
    if (a.is_valid() && !a.is_none()) return a;
    const Py_ssize_t n = e.size();
    nb::object row = checked(PySequence_GetSlice(e.values.ptr(), k * n, (k + 1) * n));
    // numpy's slices of its own array are views; a slice of another type is checked.
    if (Py_TYPE(e.values.ptr()) != reinterpret_cast<PyTypeObject*>(bound.np_ndarray.ptr())) {
        CheckedBuffer(row, n, 8, kFloat64Formats, false, "a slice of numpy.empty");
    }
    a = std::move(row);
    return a;
}

}  // namespace

// The Time of an ELSET's epochs, made on first use from its stamps and kept.
nb::object elset_epoch(const ELSET& e) {
    if (!e.epoch.is_valid() || e.epoch.is_none()) {
        nb::object copy = checked(PyObject_CallMethod(e.stamps.ptr(), "copy", nullptr));
        CheckedBuffer(copy, e.size(), 8, "ql", false, "a copy of the ELSET's epochs");
        e.epoch = time_from_stamp_array(copy);
    }
    return e.epoch;
}

namespace {

// A stable sort by epoch, on a packed copy of the stamps (members lie
// scattered in memory; comparing through them would miss the cache).
void sort_by_epoch(std::vector<PyObject*>& members) {
    const std::size_t n = members.size();
    std::vector<std::pair<std::int64_t, std::size_t>> keys(n);
    bool sorted = true;
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = {tle_of(members[i]).epoch_ns, i};
        sorted = sorted && (i == 0 || keys[i - 1].first <= keys[i].first);
    }
    if (sorted) return;
    std::sort(keys.begin(), keys.end());  // ties ordered by position: stable
    std::vector<PyObject*> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = members[keys[i].second];
    members.swap(out);
}

void set_satname(nb::handle obj, nb::handle satname) {
    if (PyObject_SetAttr(obj.ptr(), bound.satname_name.ptr(), satname.ptr()) != 0) throw nb::python_error();
}

}  // namespace

nb::object new_elset_object(const std::vector<PyObject*>& members, nb::handle satname, ParentSource from,
                            nb::object list) {
    ELSET e;
    fill_elset(e, members, from.parent ? from.parent->satno : from.satno ? *from.satno : common_satno(members), from,
               std::move(list));
    nb::object o = nb::inst_alloc(bound.elset_type);
    new (nb::inst_ptr<ELSET>(o)) ELSET(std::move(e));
    nb::inst_mark_ready(o);
    set_satname(o, satname);
    return o;
}

void elset_init(ELSET* self, nb::args members, nb::handle satname) {
    nb::handle self_py = nb::find(self);
    if (self_py.is_valid() && nb::inst_ready(self_py)) raise_already_initialised("ELSET");
    if (!satname.is_none()) native::require_exact_str(satname, "satname");
    const Py_ssize_t n = static_cast<Py_ssize_t>(members.size());
    std::vector<PyObject*> sorted(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* m = PyTuple_GET_ITEM(members.ptr(), i);
        if (!nb::isinstance<TLE>(m) || !nb::inst_ready(m)) {
            throw nb::type_error(("ELSET members must be TLE, not " + std::string(Py_TYPE(m)->tp_name) +
                                  " (argument " + std::to_string(i) + ")").c_str());
        }
        sorted[static_cast<std::size_t>(i)] = m;
    }
    sort_by_epoch(sorted);  // the tuple keeps the members alive meanwhile
    ELSET e;
    fill_elset(e, sorted, common_satno(sorted));
    // A callback during construction may have initialised this object already.
    if (self_py.is_valid() && nb::inst_ready(self_py)) raise_already_initialised("ELSET");
    set_satname(self_py, satname);
    new (self) ELSET(std::move(e));
}

namespace {

std::array<nb::object*, 16> elset_objects(ELSET& e) {
    return {&e.epoch, &e.members, &e.stamps, &e.values, &e.ecc, &e.sma, &e.inc, &e.raa,
            &e.arp,   &e.tra,     &e.mnm,    &e.orp,    &e.eca, &e.mea, &e.pge, &e.apg};
}

void elset_clear(ELSET& e) {
    // The list stays a list (size() reads it), emptied.
    if (PyList_SetSlice(e.members.ptr(), 0, PyList_GET_SIZE(e.members.ptr()), nullptr) != 0) PyErr_Clear();
    for (nb::object* a : elset_objects(e)) {
        if (a != &e.members) *a = nb::none();
    }
}

}  // namespace

PyType_Slot* const elset_slots = native::GcSlots<ELSET, elset_objects, elset_clear>::slots;

// The ELSET behind a Python object that methods receive untyped (they need the
// object itself too); a bare ELSET.__new__ instance is refused like nanobind does.
const ELSET& elset_of(nb::handle obj) {
    if (!nb::isinstance<ELSET>(obj) || !nb::inst_ready(obj)) {
        throw nb::type_error((std::string("expected an initialised ELSET, not ") + Py_TYPE(obj.ptr())->tp_name).c_str());
    }
    return *nb::inst_ptr<ELSET>(obj);
}

namespace {

// The members at `positions` (each checked against the size), in epoch order,
// their values taken from the stored arrays.
nb::object elset_pick(const ELSET& e, const std::int64_t* positions, Py_ssize_t k, bool in_order) {
    // in_order: the positions are known to be increasing.
    const Py_ssize_t n = e.size();
    std::vector<std::int64_t> pos(static_cast<std::size_t>(k));
    for (Py_ssize_t j = 0; j < k; ++j) {
        std::int64_t p = positions[j];
        if (p < 0) p += n;
        if (p < 0 || p >= n) {
            throw nb::index_error(("position " + std::to_string(positions[j]) + " is out of range for an ELSET of " +
                                   std::to_string(n) + " members").c_str());
        }
        pos[static_cast<std::size_t>(j)] = p;
    }
    for (Py_ssize_t j = 1; j < k && in_order == false; ++j) {
        if (pos[static_cast<std::size_t>(j)] < pos[static_cast<std::size_t>(j - 1)]) break;
        if (j == k - 1) in_order = true;  // increasing positions are in epoch order
    }
    if (!in_order && k > 1) {
        CheckedBuffer stamps(e.stamps, n, 8, "ql", false, "the epochs of the ELSET");
        const std::int64_t* st = stamps.data<std::int64_t>();
        std::vector<std::pair<std::int64_t, std::size_t>> keys(static_cast<std::size_t>(k));
        for (std::size_t j = 0; j < keys.size(); ++j) keys[j] = {st[pos[j]], j};
        std::sort(keys.begin(), keys.end());  // ties ordered by position in the selection: stable
        std::vector<std::int64_t> sorted(keys.size());
        for (std::size_t j = 0; j < keys.size(); ++j) sorted[j] = pos[keys[j].second];
        pos.swap(sorted);
    }
    std::vector<PyObject*> picked(static_cast<std::size_t>(k));
    for (Py_ssize_t j = 0; j < k; ++j) picked[static_cast<std::size_t>(j)] = e.member_object(static_cast<Py_ssize_t>(pos[static_cast<std::size_t>(j)])).ptr();
    if (k == 0) return new_elset_object(picked, nb::none());  // AssertionError: no member
    return new_elset_object(picked, nb::none(), ParentSource{&e, pos.data()});
}

nb::object elset_range(const ELSET& e, Py_ssize_t first, Py_ssize_t last) {
    std::vector<std::int64_t> positions(static_cast<std::size_t>(std::max<Py_ssize_t>(0, last - first)));
    std::iota(positions.begin(), positions.end(), static_cast<std::int64_t>(first));
    return elset_pick(e, positions.data(), static_cast<Py_ssize_t>(positions.size()), true);
}

}  // namespace

nb::object elset_getitem_integral(const ELSET& e, nb::handle item) {
    Py_ssize_t i = PyNumber_AsSsize_t(item.ptr(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!(i >= 0)) i += e.size();
    PyObject* m = PyList_GetItem(e.members.ptr(), i);  // IndexError out of range
    if (m == nullptr) throw nb::python_error();
    return nb::borrow(m);
}

nb::object elset_getitem_integral_slice(const ELSET& e, nb::handle item) {
    if (!PySlice_Check(item.ptr())) {
        throw nb::type_error((std::string("item must be slice, not ") + Py_TYPE(item.ptr())->tp_name).c_str());
    }
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(item.ptr(), &start, &stop, &step) != 0) throw nb::python_error();
    const Py_ssize_t k = PySlice_AdjustIndices(e.size(), &start, &stop, step);
    std::vector<std::int64_t> positions(static_cast<std::size_t>(k));
    for (Py_ssize_t j = 0; j < k; ++j) positions[static_cast<std::size_t>(j)] = start + j * step;
    return elset_pick(e, positions.data(), k, step > 0);
}

nb::object elset_getitem_selection(const ELSET& e, nb::handle selection) {
    // The positions NumPy's indexing picks out of the member list.
    nb::object index = bound.np_arange(nb::int_(e.size()), "dtype"_a = bound.np_int64);
    nb::object positions = checked(PyObject_GetItem(index.ptr(), selection.ptr()));
    nb::object flat = checked(PyObject_CallFunctionObjArgs(bound.np_asarray.ptr(), positions.ptr(), nullptr));
    const int is_array = PyObject_IsInstance(flat.ptr(), bound.np_ndarray.ptr());
    if (is_array < 0) throw nb::python_error();
    if (!is_array || nb::cast<int>(flat.attr("ndim")) != 1) {
        throw nb::type_error("selection must pick members along one axis (a boolean mask or integer positions)");
    }
    nb::object contiguous = checked(PyObject_CallMethod(flat.ptr(), "copy", nullptr));
    const Py_ssize_t k = PyObject_Length(contiguous.ptr());
    if (k < 0) throw nb::python_error();
    CheckedBuffer b(contiguous, k, 8, "ql", false, "the selected positions");
    return elset_pick(e, b.data<std::int64_t>(), k, false);
}

namespace {

bool is_integral(nb::handle x) {
    if (x.is_none()) return false;
    const int r = PyObject_IsInstance(x.ptr(), bound.integral.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The stamp of one time-range bound; several epochs are a TypeError naming it.
std::int64_t bound_stamp(nb::handle when, const char* which) {
    nb::object t = checked(PyObject_CallOneArg(bound.time_type.ptr(), when.ptr()));
    nb::object s = checked(PyObject_GetAttrString(t.ptr(), "int64"));
    const int is_array = PyObject_IsInstance(s.ptr(), bound.np_ndarray.ptr());
    if (is_array < 0) throw nb::python_error();
    if (is_array) {
        const Py_ssize_t n = PyObject_Length(s.ptr());
        if (n < 0) PyErr_Clear();
        throw nb::type_error((std::string("the ") + which + " of a time range must be a single epoch, not " +
                              std::to_string(n) + " epochs: " + repr_text(when)).c_str());
    }
    nb::object i = checked(PyNumber_Index(s.ptr()));
    const long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

}  // namespace

nb::object elset_getitem(nb::handle self, nb::handle item) {
    const ELSET& e = elset_of(self);
    if (is_integral(item)) return elset_getitem_integral(e, item);
    if (PySlice_Check(item.ptr())) {
        auto* s = reinterpret_cast<PySliceObject*>(item.ptr());
        if (is_integral(s->start) || is_integral(s->stop) || is_integral(s->step)) {
            return elset_getitem_integral_slice(e, item);
        }
        // A time range: start included, stop excluded; the step is ignored.
        // Members are in epoch order, so the range is found by bisection.
        nb::handle start(s->start), stop(s->stop);
        const Py_ssize_t n = e.size();
        auto stamp_at = [&](Py_ssize_t i) { return e.member(i).epoch_ns; };
        auto lower = [&](std::int64_t v) {
            Py_ssize_t lo = 0, hi = n;
            while (lo < hi) {
                const Py_ssize_t mid = lo + (hi - lo) / 2;
                if (stamp_at(mid) < v) lo = mid + 1;
                else hi = mid;
            }
            return lo;
        };
        const Py_ssize_t first = start.is_none() ? 0 : lower(bound_stamp(start, "start"));
        const Py_ssize_t last = stop.is_none() ? n : lower(bound_stamp(stop, "stop"));
        return elset_range(e, first, std::max(first, last));
    }
    nb::object array = checked(PyObject_CallFunctionObjArgs(bound.np_array.ptr(), item.ptr(), nullptr));
    return elset_getitem_selection(e, array);
}

nb::object getitem(nb::handle obj, Py_ssize_t i) {
    nb::object index = checked(PyLong_FromSsize_t(i));
    return checked(PyObject_GetItem(obj.ptr(), index.ptr()));
}

nb::object elset_next(nb::handle self) {
    const ELSET& e = elset_of(self);
    nb::object index = checked(PyObject_GetAttrString(self.ptr(), "index"));
    nb::object size = nb::int_(e.size());
    const int more = PyObject_RichCompareBool(index.ptr(), size.ptr(), Py_LT);
    if (more < 0) throw nb::python_error();
    if (!more) throw nb::stop_iteration();
    nb::object next = checked(PyNumber_Add(index.ptr(), nb::int_(1).ptr()));
    if (PyObject_SetAttrString(self.ptr(), "index", next.ptr()) != 0) throw nb::python_error();
    return checked(PyObject_GetItem(self.ptr(), index.ptr()));
}

nb::object elset_element(const ELSET& e, int k) {
    return bound.np_asarray(elset_array(e, k));
}

}  // namespace astrovia::sgp4::binding

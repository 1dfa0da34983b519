// astrovia.cli._csv: the rows of a table as CSV text, formatted in one native
// pass (on the OpenMP threads, without the interpreter lock) with the cell text
// of pandas' writer (csv_text.hpp). The command line writes its tables with it.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <new>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "cli/csv_text.hpp"

namespace nb = nanobind;

namespace {

// A buffer view held for the life of the call.
class Held {
public:
    Held(PyObject* obj, const std::string& name) {
        if (!PyObject_CheckBuffer(obj)) {
            throw nb::type_error((name + " must be a one-dimensional numeric array, not " + Py_TYPE(obj)->tp_name)
                                     .c_str());
        }
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) throw nb::python_error();
        held_ = true;
        if (view_.ndim != 1) {
            throw nb::value_error((name + " must have 1 dimension, not " + std::to_string(view_.ndim)).c_str());
        }
    }
    ~Held() {
        if (held_) PyBuffer_Release(&view_);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

enum class Kind { Float, Signed, Unsigned, Label };

struct Column {
    Kind kind;
    const char* base = nullptr;
    Py_ssize_t stride = 0;
    Py_ssize_t itemsize = 0;
    std::vector<std::string> labels;  // Label: the texts that the codes pick
    std::size_t widest = 0;           // longest cell text
};

// The item kind of a buffer format ("d", "<q", "b", ...), or false.
bool numeric_kind(const char* fmt, Kind& kind) {
    if (fmt == nullptr) fmt = "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == (PY_BIG_ENDIAN ? '>' : '<')) ++fmt;
    if (fmt[0] == '\0' || fmt[1] != '\0') return false;
    switch (fmt[0]) {
        case 'd': kind = Kind::Float; return true;
        case 'b': case 'h': case 'i': case 'l': case 'q': kind = Kind::Signed; return true;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case '?': kind = Kind::Unsigned; return true;
        default: return false;
    }
}

template <class T>
T load_unaligned(const char* p) {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// The integer of `size` bytes (1, 2, 4 or 8) at p, widened to Int, which is
// std::int64_t or std::uint64_t: the narrower types take its signedness.
template <class Int>
Int read_integer(const char* p, Py_ssize_t size) {
    constexpr bool kSigned = std::is_signed_v<Int>;
    switch (size) {
        case 1: return load_unaligned<std::conditional_t<kSigned, std::int8_t, std::uint8_t>>(p);
        case 2: return load_unaligned<std::conditional_t<kSigned, std::int16_t, std::uint16_t>>(p);
        case 4: return load_unaligned<std::conditional_t<kSigned, std::int32_t, std::uint32_t>>(p);
        default: return load_unaligned<Int>(p);
    }
}

std::int64_t read_signed(const char* p, Py_ssize_t size) { return read_integer<std::int64_t>(p, size); }
std::uint64_t read_unsigned(const char* p, Py_ssize_t size) { return read_integer<std::uint64_t>(p, size); }

std::string label_text(nb::handle item, const std::string& name) {
    if (PyBytes_Check(item.ptr())) return {PyBytes_AS_STRING(item.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(item.ptr()))};
    if (PyUnicode_Check(item.ptr())) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(item.ptr(), &n);
        if (s == nullptr) throw nb::python_error();
        return {s, static_cast<std::size_t>(n)};
    }
    throw nb::type_error((name + " labels must be str or bytes, not " + Py_TYPE(item.ptr())->tp_name).c_str());
}

void write_cell(const Column& c, Py_ssize_t i, char*& p) {
    const char* item = c.base + i * c.stride;
    switch (c.kind) {
        case Kind::Float: {
            double x;
            std::memcpy(&x, item, sizeof x);
            p = astrovia::csv::put_double(p, x);
            break;
        }
        case Kind::Signed:
            p = astrovia::csv::put_int(p, read_signed(item, c.itemsize));
            break;
        case Kind::Unsigned:
            p = std::to_chars(p, p + 21, read_unsigned(item, c.itemsize)).ptr;
            break;
        case Kind::Label: {
            const std::string& s = c.labels[static_cast<std::size_t>(read_signed(item, c.itemsize))];
            std::memcpy(p, s.data(), s.size());
            p += s.size();
            break;
        }
    }
}

constexpr Py_ssize_t kChunkRows = 1 << 15;

nb::list format_rows(nb::handle columns) {
    nb::object seq = nb::steal(PySequence_Tuple(columns.ptr()));
    if (!seq.is_valid()) throw nb::python_error();
    const Py_ssize_t ncol = PyTuple_GET_SIZE(seq.ptr());
    if (ncol == 0) throw nb::value_error("columns must hold at least one column");
    std::vector<std::unique_ptr<Held>> held;
    std::vector<Column> cols(static_cast<std::size_t>(ncol));
    Py_ssize_t n = -1;
    for (Py_ssize_t k = 0; k < ncol; ++k) {
        const std::string name = "column " + std::to_string(k);
        nb::handle spec = PyTuple_GET_ITEM(seq.ptr(), k);
        Column& c = cols[static_cast<std::size_t>(k)];
        nb::handle data = spec;
        nb::object labels;
        if (PyTuple_Check(spec.ptr())) {
            if (PyTuple_GET_SIZE(spec.ptr()) != 2) {
                throw nb::value_error((name + ": a label column is a tuple (labels, codes)").c_str());
            }
            labels = nb::borrow(PyTuple_GET_ITEM(spec.ptr(), 0));
            data = PyTuple_GET_ITEM(spec.ptr(), 1);
        }
        held.push_back(std::make_unique<Held>(data.ptr(), name));
        const Py_buffer& v = held.back()->view();
        Kind kind;
        if (!numeric_kind(v.format, kind) || (kind != Kind::Float && v.itemsize > 8)) {
            throw nb::value_error((name + " must hold float64 or integer values, not items of format '" +
                                   (v.format ? v.format : "B") + "'").c_str());
        }
        c.kind = kind;
        c.base = static_cast<const char*>(v.buf);
        c.stride = v.strides[0];
        c.itemsize = v.itemsize;
        if (n < 0) n = v.shape[0];
        if (v.shape[0] != n) {
            throw nb::value_error((name + " has " + std::to_string(v.shape[0]) + " rows, column 0 has " +
                                   std::to_string(n)).c_str());
        }
        if (labels.is_valid()) {
            if (kind != Kind::Signed) throw nb::value_error((name + ": label codes must be signed integers").c_str());
            nb::object items = nb::steal(PySequence_Tuple(labels.ptr()));
            if (!items.is_valid()) throw nb::python_error();
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.ptr()); ++j) {
                c.labels.push_back(label_text(PyTuple_GET_ITEM(items.ptr(), j), name));
                c.widest = std::max(c.widest, c.labels.back().size());
            }
            const auto count = static_cast<std::int64_t>(c.labels.size());
            for (Py_ssize_t i = 0; i < n; ++i) {
                const std::int64_t code = read_signed(c.base + i * c.stride, c.itemsize);
                if (code < 0 || code >= count) {
                    throw nb::value_error((name + ": code " + std::to_string(code) + " at row " + std::to_string(i) +
                                           " picks none of its " + std::to_string(count) + " labels").c_str());
                }
            }
            c.kind = Kind::Label;
        } else {
            c.widest = kind == Kind::Float ? astrovia::csv::kMaxDoubleText : 21;
        }
    }
    std::size_t row_bound = 1;
    for (const Column& c : cols) row_bound += c.widest + 1;

    // Each chunk of rows is formatted straight into a bytes object of its own,
    // made (with the lock) large enough for its widest rows and cut to its text
    // afterwards: no copy of the text is made, and it does not depend on the
    // number of threads.
    const Py_ssize_t nchunks = (n + kChunkRows - 1) / kChunkRows;
    nb::list chunks;
    std::vector<char*> start(static_cast<std::size_t>(nchunks));
    std::vector<Py_ssize_t> length(static_cast<std::size_t>(nchunks), 0);
    for (Py_ssize_t ch = 0; ch < nchunks; ++ch) {
        const Py_ssize_t rows = std::min(n, (ch + 1) * kChunkRows) - ch * kChunkRows;
        PyObject* b = PyBytes_FromStringAndSize(nullptr, rows * static_cast<Py_ssize_t>(row_bound));
        if (b == nullptr) throw nb::python_error();
        chunks.append(nb::steal(b));
        start[static_cast<std::size_t>(ch)] = PyBytes_AS_STRING(b);
    }
    {
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(dynamic, 1) if (nchunks > 1)
        for (Py_ssize_t ch = 0; ch < nchunks; ++ch) {
            const Py_ssize_t lo = ch * kChunkRows, hi = std::min(n, lo + kChunkRows);
            char* const buf = start[static_cast<std::size_t>(ch)];
            char* p = buf;
            for (Py_ssize_t i = lo; i < hi; ++i) {
                for (std::size_t k = 0; k < cols.size(); ++k) {
                    if (k > 0) *p++ = ',';
                    write_cell(cols[k], i, p);
                }
                *p++ = '\n';
            }
            length[static_cast<std::size_t>(ch)] = p - buf;
        }
    }
    for (Py_ssize_t ch = 0; ch < nchunks; ++ch) {
        PyObject* b = PyList_GET_ITEM(chunks.ptr(), ch);  // the list's own reference
        // the list holds the only reference, so the object may be resized in place
        if (_PyBytes_Resize(&b, length[static_cast<std::size_t>(ch)]) != 0) {
            PyList_SET_ITEM(chunks.ptr(), ch, Py_NewRef(Py_None));
            throw nb::python_error();
        }
        PyList_SET_ITEM(chunks.ptr(), ch, b);
    }
    return chunks;
}

}  // namespace

NB_MODULE(_csv, m) {
    m.doc() = "CSV text of table rows, cell for cell as pandas' writer gives it.";
    m.def("format_rows", &format_rows, nb::arg("columns"),
          nb::sig("def format_rows(columns: Sequence[Any]) -> list[bytes]"),
          "The rows of a table as CSV text (UTF-8, one line per row, ending in \\n; no header), in\n"
          "consecutive pieces of up to 32768 rows, to be written in order.\n\n"
          "``columns``: one-dimensional arrays of equal length, float64 (written as Python's repr,\n"
          "NaN as an empty cell) or integer, or tuples ``(labels, codes)`` of str or bytes labels\n"
          "and integer codes, one per row, that pick them (written as they are: quote them first\n"
          "when they hold commas, quotes or line breaks).");
}

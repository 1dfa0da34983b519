// Float64 buffer views (PEP 3118) shared by every extension module.
//
// A view is acquired from any object with the buffer interface, with any
// strides. The errors are part of the package's contract:
//   TypeError   the object has no buffer interface;
//   ValueError  wrong number of dimensions, an item format other than native
//               float64, or a read-only buffer where the function writes.
// Arguments are named in every message.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

namespace astrovia::native {

namespace nb = nanobind;

inline bool is_native_float64_format(const char* fmt) {
    if (fmt == nullptr) return false;  // no format means unsigned bytes
    if (fmt[0] == '@' || fmt[0] == '=') ++fmt;
#if PY_BIG_ENDIAN
    else if (fmt[0] == '>' || fmt[0] == '!') ++fmt;
#else
    else if (fmt[0] == '<') ++fmt;
#endif
    return std::strcmp(fmt, "d") == 0;
}

// A buffer view acquired from an object and released exactly once, when its
// holder goes (also when the holder's constructor throws after acquiring it).
class HeldBuffer {
public:
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

protected:
    HeldBuffer() = default;
    ~HeldBuffer() {
        if (acquired_) PyBuffer_Release(&view_);
    }
    void acquire(nb::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) throw nb::python_error();
        acquired_ = true;
    }
    Py_buffer view_{};

private:
    bool acquired_ = false;
};

// Owns a buffer view for its lifetime. Element (i) / (i, j) / (i, j, k) access
// follows the exporter's byte strides, so transposed and sliced arrays work.
class Float64View : HeldBuffer {
public:
    Float64View(nb::handle obj, int ndim, bool writable, const char* name) {
        if (!PyObject_CheckBuffer(obj.ptr())) {
            throw nb::type_error((std::string(name) +
                                  " must be a float64 array (an object with the buffer interface), not " +
                                  Py_TYPE(obj.ptr())->tp_name).c_str());
        }
        acquire(obj, PyBUF_RECORDS_RO);
        if (view_.ndim != ndim) {
            throw nb::value_error((std::string(name) + " must have " + std::to_string(ndim) + " dimension" +
                                   (ndim == 1 ? "" : "s") + ", not " + std::to_string(view_.ndim)).c_str());
        }
        if (!is_native_float64_format(view_.format)) {
            throw nb::value_error((std::string(name) + " must hold float64 values, not items of format '" +
                                   (view_.format ? view_.format : "B") + "'").c_str());
        }
        if (writable && view_.readonly) {
            throw nb::value_error((std::string(name) + " is read-only, but it must be writable").c_str());
        }
    }

    // A view acquired read-only that the function will in fact write through.
    void require_writable(const char* name) const {
        if (view_.readonly) {
            throw nb::value_error((std::string(name) + " is read-only, but it must be writable").c_str());
        }
    }

    // The shape must be exactly `expected` (one extent per dimension). `what`
    // names the step that made the object, e.g. "numpy.zeros_like(dt)".
    void require_shape(std::initializer_list<Py_ssize_t> expected, const char* what) const {
        bool same = static_cast<std::size_t>(view_.ndim) == expected.size();
        int d = 0;
        for (Py_ssize_t e : expected) {
            if (!same) break;
            same = view_.shape[d++] == e;
        }
        if (!same) {
            throw nb::value_error((std::string(what) + " returned an array of shape " + shape_text() +
                                   ", but " + shape_text(expected) + " was expected").c_str());
        }
    }
    // The same shape as another view (an output made with zeros_like of an input).
    void require_same_shape(const Float64View& other, const char* what) const {
        bool same = view_.ndim == other.view_.ndim;
        for (int d = 0; same && d < view_.ndim; ++d) same = view_.shape[d] == other.view_.shape[d];
        if (!same) {
            throw nb::value_error((std::string(what) + " returned an array of shape " + shape_text() +
                                   ", but " + other.shape_text() + " was expected").c_str());
        }
    }

    std::string shape_text() const {
        std::string t = "(";
        for (int d = 0; d < view_.ndim; ++d) {
            if (d > 0) t += ", ";
            t += std::to_string(view_.shape[d]);
        }
        return t + (view_.ndim == 1 ? ",)" : ")");
    }
    static std::string shape_text(std::initializer_list<Py_ssize_t> shape) {
        std::string t = "(";
        bool first = true;
        for (Py_ssize_t e : shape) {
            if (!first) t += ", ";
            t += std::to_string(e);
            first = false;
        }
        return t + (shape.size() == 1 ? ",)" : ")");
    }
    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int d) const { return view_.shape[d]; }
    Py_ssize_t stride(int d) const { return view_.strides[d]; }  // bytes
    char* bytes() const { return static_cast<char*>(view_.buf); }

    double& operator()(Py_ssize_t i) const {
        return *reinterpret_cast<double*>(bytes() + i * view_.strides[0]);
    }
    double& operator()(Py_ssize_t i, Py_ssize_t j) const {
        return *reinterpret_cast<double*>(bytes() + i * view_.strides[0] + j * view_.strides[1]);
    }
    double& operator()(Py_ssize_t i, Py_ssize_t j, Py_ssize_t k) const {
        return *reinterpret_cast<double*>(bytes() + i * view_.strides[0] + j * view_.strides[1] +
                                          k * view_.strides[2]);
    }
    // True when the rows of a 2-D view are packed doubles (row-major, unit column stride).
    bool rows_contiguous() const {
        return view_.ndim == 2 && view_.strides[1] == static_cast<Py_ssize_t>(sizeof(double)) &&
               view_.strides[0] == view_.shape[1] * static_cast<Py_ssize_t>(sizeof(double));
    }
};

// A one-dimensional C-contiguous buffer of `n` items of `itemsize` bytes, of a
// kind given by the format letters in `formats` (e.g. "d", or "ql" for int64),
// for arrays a native step made or got back from Python (numpy.empty, a copy,
// Time.int64): anything else (a duck array, a subclass with another layout, a
// monkeypatched constructor) is refused before a loop touches it. `step` names
// what returned the object. The view is held for the holder's life.
class CheckedBuffer : HeldBuffer {
public:
    CheckedBuffer(nb::handle obj, Py_ssize_t n, std::size_t itemsize, const char* formats, bool writable,
                  const char* step) {
        if (!PyObject_CheckBuffer(obj.ptr())) {
            throw nb::type_error((std::string(step) + " returned " + Py_TYPE(obj.ptr())->tp_name +
                                  ", not an array with the buffer interface").c_str());
        }
        acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0));
        std::string problem;
        const char* fmt = view_.format ? view_.format : "B";
        if (fmt[0] == '@' || fmt[0] == '=' || fmt[0] == '<') ++fmt;
        if (view_.ndim != 1) {
            problem = "an array of " + std::to_string(view_.ndim) + " dimensions";
        } else if (view_.shape[0] != n) {
            problem = "an array of length " + std::to_string(view_.shape[0]) + " instead of " + std::to_string(n);
        } else if (static_cast<std::size_t>(view_.itemsize) != itemsize || std::strlen(fmt) != 1 ||
                   std::strchr(formats, fmt[0]) == nullptr) {
            problem = std::string("items of format '") + (view_.format ? view_.format : "B") + "'";
        }
        if (!problem.empty()) throw nb::value_error((std::string(step) + " returned " + problem).c_str());
    }
    template <class T>
    T* data() const { return static_cast<T*>(view_.buf); }
};

// out[i] = f(a[i], b[i]) over three one-dimensional float64 arrays of one
// length (any strides; `out` writable): the array loops behind the scalar
// functions sibling modules export (the Kepler solver, the angle function).
template <class F>
void elementwise_1d(nb::handle a, nb::handle b, nb::handle out, const char* a_name, const char* b_name, F f) {
    const Float64View av(a, 1, false, a_name), bv(b, 1, false, b_name), ov(out, 1, true, "out");
    const Py_ssize_t n = av.shape(0);
    if (bv.shape(0) != n || ov.shape(0) != n) {
        throw nb::value_error((std::string(a_name) + ", " + b_name + " and out must have one length").c_str());
    }
    for (Py_ssize_t i = 0; i < n; ++i) ov(i) = f(av(i), bv(i));
}

// Binds `name(a, b, out)`, the elementwise_1d loop of F, as a module function.
template <double (*F)(double, double)>
void def_elementwise_1d(nb::module_& m, const char* name, const char* a_name, const char* b_name) {
    m.def(
        name,
        [a_name, b_name](nb::handle a, nb::handle b, nb::handle out) { elementwise_1d(a, b, out, a_name, b_name, F); },
        nb::arg(a_name), nb::arg(b_name), nb::arg("out"));
}

// numpy.zeros(shape) / numpy.zeros_like(a) / numpy.empty(shape): fresh float64 arrays owned by the caller.
inline nb::object numpy_attr(const char* name) { return nb::module_::import_("numpy").attr(name); }
inline nb::object numpy_zeros(nb::handle shape) { return numpy_attr("zeros")(shape); }
inline nb::object numpy_zeros_like(nb::handle a) { return numpy_attr("zeros_like")(a); }
inline nb::object numpy_empty(nb::handle shape) { return numpy_attr("empty")(shape); }

// An output array and its writable view, held together for the whole call.
// numpy is looked up at call time, so whatever numpy.zeros or zeros_like turns
// out to return is checked (buffer interface, float64, writable, exact shape)
// before any loop writes to it.
struct Output {
    nb::object array;
    std::unique_ptr<Float64View> view;

    Float64View& operator*() const { return *view; }
    Float64View* operator->() const { return view.get(); }
};

// numpy.zeros(shape) with the given extents.
inline Output zeros_output(std::initializer_list<Py_ssize_t> shape, const char* name) {
    nb::list extents;
    for (Py_ssize_t e : shape) extents.append(nb::int_(e));
    Output out;
    out.array = numpy_zeros(nb::tuple(extents));
    const std::string what = std::string("numpy.zeros for ") + name;
    out.view = std::make_unique<Float64View>(out.array, static_cast<int>(shape.size()), true, what.c_str());
    out.view->require_shape(shape, what.c_str());
    return out;
}

// numpy.zeros_like(input): an output shaped like the input's view.
inline Output zeros_like_output(nb::handle input, const Float64View& input_view, const char* name) {
    Output out;
    out.array = numpy_zeros_like(input);
    const std::string what = std::string("numpy.zeros_like(") + name + ")";
    out.view = std::make_unique<Float64View>(out.array, input_view.ndim(), true, what.c_str());
    out.view->require_same_shape(input_view, what.c_str());
    return out;
}

}  // namespace astrovia::native

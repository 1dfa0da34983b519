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

#include <cstring>
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

// Owns a buffer view for its lifetime. Element (i) / (i, j) / (i, j, k) access
// follows the exporter's byte strides, so transposed and sliced arrays work.
class Float64View {
public:
    Float64View(nb::handle obj, int ndim, bool writable, const char* name) {
        if (!PyObject_CheckBuffer(obj.ptr())) {
            throw nb::type_error((std::string(name) +
                                  " must be a float64 array (an object with the buffer interface), not " +
                                  Py_TYPE(obj.ptr())->tp_name).c_str());
        }
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_RECORDS_RO) != 0) throw nb::python_error();
        acquired_ = true;
        if (view_.ndim != ndim) {
            std::string msg = std::string(name) + " must have " + std::to_string(ndim) +
                              " dimension" + (ndim == 1 ? "" : "s") + ", not " + std::to_string(view_.ndim);
            release();
            throw nb::value_error(msg.c_str());
        }
        if (!is_native_float64_format(view_.format)) {
            std::string msg = std::string(name) + " must hold float64 values, not items of format '" +
                              (view_.format ? view_.format : "B") + "'";
            release();
            throw nb::value_error(msg.c_str());
        }
        if (writable && view_.readonly) {
            std::string msg = std::string(name) + " is read-only, but it must be writable";
            release();
            throw nb::value_error(msg.c_str());
        }
    }
    ~Float64View() { release(); }
    Float64View(const Float64View&) = delete;
    Float64View& operator=(const Float64View&) = delete;

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

private:
    void release() {
        if (acquired_) {
            PyBuffer_Release(&view_);
            acquired_ = false;
        }
    }
    Py_buffer view_{};
    bool acquired_ = false;
};

// numpy.zeros(shape) / numpy.zeros_like(a) / numpy.empty(shape): fresh float64 arrays owned by the caller.
inline nb::object numpy_attr(const char* name) { return nb::module_::import_("numpy").attr(name); }
inline nb::object numpy_zeros(nb::handle shape) { return numpy_attr("zeros")(shape); }
inline nb::object numpy_zeros_like(nb::handle a) { return numpy_attr("zeros_like")(a); }
inline nb::object numpy_empty(nb::handle shape) { return numpy_attr("empty")(shape); }

}  // namespace astrovia::native

// Exact type checks and import-time binding of sibling types.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <intrin.h>
#include <windows.h>
#elif defined(__linux__)
#include <pthread.h>
#endif

namespace astrovia::native {

namespace nb = nanobind;

// Exactly `str`: subclasses are rejected, as the package's text parameters require.
inline void require_exact_str(nb::handle obj, const char* name) {
    if (!PyUnicode_CheckExact(obj.ptr())) {
        throw nb::type_error((std::string(name) + " must be str, not " + Py_TYPE(obj.ptr())->tp_name).c_str());
    }
}

// Lowest usable address of the calling thread's stack, with a margin left for
// the interpreter and the error path; 0 where it cannot be known.
inline std::uintptr_t stack_floor() {
    constexpr std::uintptr_t kMargin = 256 * 1024;
    thread_local const std::uintptr_t floor = [] {
        std::uintptr_t low = 0;
#if defined(_WIN32)
        ULONG_PTR lo = 0, hi = 0;
        GetCurrentThreadStackLimits(&lo, &hi);
        low = static_cast<std::uintptr_t>(lo);
#elif defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<std::uintptr_t>(addr);
            pthread_attr_destroy(&attr);
        }
#endif
        return low == 0 ? 0 : low + kMargin;
    }();
    return floor;
}

// Every native function that calls back into Python objects which may be
// native functions again (hooks, module globals, bound methods) holds one of
// these: a cycle of such calls then ends in RecursionError instead of
// overflowing the C stack. The interpreter's own count assumes small C frames;
// a round trip through the binding layer takes far more, so the stack itself
// is checked as well.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where) != 0) throw nb::python_error();
        const std::uintptr_t floor = stack_floor();
#if defined(_MSC_VER)
        const auto here = reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
        const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
        if (floor != 0 && here < floor) {
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw nb::python_error();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// A type that cannot be pickled (it holds native state or Python objects that
// do not survive a copy) raises TypeError naming the type from __reduce__ and
// __reduce_ex__, as the interpreter does for its own such objects.
[[noreturn]] inline void pickling_refused(nb::handle self, nb::args) {
    throw nb::type_error((std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object").c_str());
}

template <class Class>
void refuse_pickling(Class& cls) {
    cls.def("__reduce__", &pickling_refused, nb::arg("args")).def("__reduce_ex__", &pickling_refused, nb::arg("args"));
}

inline void require_instance(nb::handle obj, nb::handle cls, const char* name) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    if (r == 0) {
        throw nb::type_error((std::string(name) + " must be " +
                              reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_name + ", not " +
                              Py_TYPE(obj.ptr())->tp_name).c_str());
    }
}

// Imports `module` and returns its attribute `attr`. Any failure becomes an
// ImportError that names what was missing, so a module whose sibling is absent
// fails its own import clearly.
inline nb::object import_attr(const char* module, const char* attr) {
    PyObject* mod = PyImport_ImportModule(module);
    if (mod == nullptr) {
        nb::python_error err;
        throw nb::import_error((std::string("astrovia needs ") + module + ": " + err.what()).c_str());
    }
    nb::object m = nb::steal(mod);
    if (!nb::hasattr(m, attr)) {
        throw nb::import_error((std::string(module) + " has no attribute " + attr).c_str());
    }
    return m.attr(attr);
}

// The same for a class.
inline nb::object import_type(const char* module, const char* attr) {
    nb::object t = import_attr(module, attr);
    if (!PyType_Check(t.ptr())) {
        throw nb::import_error((std::string(module) + "." + attr + " is not a class").c_str());
    }
    return t;
}

// For a C++ type bound natively by another extension module: imports that
// module (which registers the type with nanobind) and checks that the class it
// exposes is the one this module was compiled against, with the same instance
// size. Call it first thing in NB_MODULE, before binding derived classes:
// nanobind aborts on an unknown base type.
template <class T>
nb::object import_native_type(const char* module, const char* attr) {
    nb::object t = import_type(module, attr);
    nb::handle registered = nb::type<T>();
    if (!registered.is_valid() || !registered.is(t)) {
        throw nb::import_error((std::string(module) + "." + attr +
                                " is not the native type this module was built against").c_str());
    }
    if (reinterpret_cast<PyTypeObject*>(t.ptr())->tp_basicsize !=
        reinterpret_cast<PyTypeObject*>(registered.ptr())->tp_basicsize) {
        throw nb::import_error((std::string(module) + "." + attr + " has the wrong instance size").c_str());
    }
    return t;
}

// Reads a float constant (unit factors, body constants) once at import.
inline double import_float(const char* module, const char* attr) {
    nb::object v = import_attr(module, attr);
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::import_error((std::string(module) + "." + attr + " is not a float").c_str());
    }
    return d;
}

}  // namespace astrovia::native

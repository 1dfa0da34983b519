// Exact type checks and import-time binding of sibling types.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>

namespace astrovia::native {

namespace nb = nanobind;

// Exactly `str`: subclasses are rejected, as the package's text parameters require.
inline void require_exact_str(nb::handle obj, const char* name) {
    if (!PyUnicode_CheckExact(obj.ptr())) {
        throw nb::type_error((std::string(name) + " must be str, not " + Py_TYPE(obj.ptr())->tp_name).c_str());
    }
}

// Every native function that calls back into Python objects which may be
// native functions again (hooks, module globals, bound methods) holds one of
// these: a cycle of such calls then ends in RecursionError at the
// interpreter's limit instead of overflowing the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where) != 0) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

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

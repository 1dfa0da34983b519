// Garbage-collector slots for nanobind types whose C++ instances hold Python
// objects: the collector must see those references (tp_traverse) and be able to
// break cycles through them (tp_clear). Bind the type with
// `nb::type_slots(native::GcSlots<T, objects_of, clear>::slots)`, where
//   objects_of(T&) gives the held objects (anything iterable over nb::object*),
//   clear(T&) drops them (to None, or to null where the value is made again on use).
// A type with nb::dynamic_attr() also has its instance dict visited and cleared.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

namespace astrovia::native {

namespace nb = nanobind;

// The instance dict slot of an object whose type has one (nb::dynamic_attr()), else nullptr.
inline PyObject** instance_dict(PyObject* self) {
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset) : nullptr;
}

template <class T, auto ObjectsOf, auto Clear>
struct GcSlots {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        if (PyObject** dict = instance_dict(self)) Py_VISIT(*dict);
        if (!nb::inst_ready(self)) return 0;  // a bare __new__ instance holds nothing yet
        for (nb::object* o : ObjectsOf(*nb::inst_ptr<T>(self))) Py_VISIT(o->ptr());
        return 0;
    }
    static int clear(PyObject* self) {
        if (PyObject** dict = instance_dict(self)) Py_CLEAR(*dict);
        if (nb::inst_ready(self)) Clear(*nb::inst_ptr<T>(self));
        return 0;
    }
    static inline PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {0, nullptr},
    };
};

}  // namespace astrovia::native

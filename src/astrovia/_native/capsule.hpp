// Versioned tables of C function pointers exported through PyCapsule, as NumPy
// and datetime export their C APIs. The owner fills a static table and stores
// `export_table(&table, NAME)` as the module attribute "_C_API"; a consumer calls
// `import_table<Table>(module, NAME, version)` at its own import.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>

namespace astrovia::native {

namespace nb = nanobind;

// Every table starts with its version; consumers refuse an older table.
struct TableHeader {
    int version;
    int size;  // sizeof the owner's table, for a layout check
};

inline nb::object export_table(const void* table, const char* capsule_name) {
    PyObject* cap = PyCapsule_New(const_cast<void*>(table), capsule_name, nullptr);
    if (cap == nullptr) throw nb::python_error();
    return nb::steal(cap);
}

// Imports `module`, reads its "_C_API" attribute and returns the table. The
// capsule name must match exactly (it names the owner and the table).
template <class Table>
const Table* import_table(const char* module, const char* capsule_name, int min_version) {
    PyObject* mod = PyImport_ImportModule(module);  // PyCapsule_Import does not import submodules
    if (mod == nullptr) {
        nb::python_error err;
        throw nb::import_error((std::string("astrovia needs ") + module + ": " + err.what()).c_str());
    }
    nb::object m = nb::steal(mod);
    PyObject* cap = PyObject_GetAttrString(m.ptr(), "_C_API");
    if (cap == nullptr) {
        PyErr_Clear();
        throw nb::import_error((std::string(module) + " exports no native table (_C_API)").c_str());
    }
    nb::object c = nb::steal(cap);
    void* p = PyCapsule_GetPointer(c.ptr(), capsule_name);
    if (p == nullptr) {
        PyErr_Clear();
        throw nb::import_error((std::string(module) + "._C_API is not the capsule " + capsule_name).c_str());
    }
    auto* table = static_cast<const Table*>(p);
    if (table->header.version < min_version || table->header.size < static_cast<int>(sizeof(Table))) {
        throw nb::import_error((std::string(module) + "._C_API is older than this module needs").c_str());
    }
    return table;
}

}  // namespace astrovia::native

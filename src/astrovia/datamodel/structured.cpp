// astrovia.datamodel.structured: the package's NumPy structured record types.
// Each is numpy.dtype of a field list, unaligned (packed, native byte order).
#include <nanobind/nanobind.h>

#include <initializer_list>

namespace nb = nanobind;

namespace {

struct Field {
    const char* name;
    const char* type;
    int length;  // 0 for a scalar field, else a sub-array of this many items
};

nb::object make_dtype(nb::handle dtype, std::initializer_list<Field> fields) {
    nb::list spec;
    for (const Field& f : fields) {
        if (f.length == 0) {
            spec.append(nb::make_tuple(f.name, f.type));
        } else {
            spec.append(nb::make_tuple(f.name, f.type, nb::make_tuple(f.length)));
        }
    }
    return dtype(spec);
}

}  // namespace

NB_MODULE(structured, m) {
    m.doc() = "NumPy structured record types of astrovia (packed, native byte order).";
    nb::object dtype = nb::module_::import_("numpy").attr("dtype");
    m.attr("dtype") = dtype;

    m.attr("SurfCoord_dtype") = make_dtype(dtype, {{"lat", "f8", 0}, {"lon", "f8", 0}});
    m.attr("LLA_dtype") = make_dtype(dtype, {{"lat", "f8", 0}, {"lon", "f8", 0}, {"alt", "f8", 0}});
    m.attr("ENU_dtype") = make_dtype(dtype, {{"u_east", "f8", 3}, {"u_north", "f8", 3}, {"u_up", "f8", 3}});
    m.attr("AER_dtype") = make_dtype(dtype, {{"azimuth", "f8", 0}, {"elevation", "f8", 0}, {"range", "f8", 0}});
    m.attr("DTF_dtype") = make_dtype(dtype, {{"year", "u2", 0},
                                             {"month", "u1", 0},
                                             {"day", "u1", 0},
                                             {"hour", "u1", 0},
                                             {"minute", "u1", 0},
                                             {"second", "f8", 0}});
    m.attr("GeoState_dt") = make_dtype(dtype, {{"lat", "f8", 0},
                                               {"lon", "f8", 0},
                                               {"alt", "f8", 0},
                                               {"lat_dot", "f8", 0},
                                               {"lon_dot", "f8", 0},
                                               {"alt_dot", "f8", 0}});
    m.attr("COE_dt") = make_dtype(dtype, {{"ecc", "f8", 0},
                                          {"sma", "f8", 0},
                                          {"inc", "f8", 0},
                                          {"raa", "f8", 0},
                                          {"arp", "f8", 0},
                                          {"tra", "f8", 0},
                                          {"slr", "f8", 0}});
}

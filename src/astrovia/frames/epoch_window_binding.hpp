// Building an EpochWindow from the package's Time and EOP (binding layer: needs
// the interpreter lock). The nodes are made by astrovia.frames._window.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "frames/epoch_window.hpp"

namespace astrovia::frames {

namespace nb = nanobind;

// The window [start_ns, stop_ns] (TT nanoseconds from J2000.0, as Time.int64
// gives them), widened by `margin` seconds on both sides, nodes every
// `spacing` seconds plus every UTC midnight. t = 0 is start_ns.
inline EpochWindow make_epoch_window(std::int64_t start_ns, std::int64_t stop_ns, double spacing = 1800.0,
                                     double margin = 0.0) {
    nb::object fn = native::import_attr("astrovia.frames._window", "window_nodes");
    nb::tuple res = nb::borrow<nb::tuple>(fn(start_ns, stop_ns, spacing, margin));
    const double tt1 = nb::cast<double>(res[0]);
    const double tt2 = nb::cast<double>(res[1]);
    native::Float64View nodes(res[2], 2, false, "window nodes");
    if (nodes.shape(1) != 10) throw nb::value_error("window nodes must have 10 columns");
    std::vector<EpochNodeInputs> in(static_cast<std::size_t>(nodes.shape(0)));
    for (Py_ssize_t k = 0; k < nodes.shape(0); ++k) {
        EpochNodeInputs& n = in[static_cast<std::size_t>(k)];
        n = {nodes(k, 0), nodes(k, 1), nodes(k, 2), nodes(k, 3), nodes(k, 4),
             nodes(k, 5), nodes(k, 6), nodes(k, 7), nodes(k, 8), nodes(k, 9)};
    }
    return EpochWindow(tt1, tt2, std::move(in));
}

}  // namespace astrovia::frames

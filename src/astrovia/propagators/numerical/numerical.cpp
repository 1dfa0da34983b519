// astrovia.propagators.numerical.numerical: the numerical propagator, a
// Propagator whose force model is the geopotential, the Sun and the Moon, drag
// and radiation pressure, integrated with RK8(7) (force_model.hpp, integrator.hpp).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <atomic>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "frames/epoch_window.hpp"
#include "frames/epoch_window_binding.hpp"
#include "propagators/bound_types.hpp"
#include "propagators/numerical/force_model.hpp"
#include "propagators/numerical/geopotential.hpp"
#include "propagators/numerical/integrator.hpp"
#include "propagators/propagators.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;
using numerical::ForceModel;
using propagators::Propagator;

namespace {

propagators::BoundTypes types;
nb::handle model_module;  // astrovia.propagators.numerical._model, kept for the process

constexpr double kWindowSpacing = 1800.0;  // [s] between the Earth-orientation nodes
constexpr double kWindowMargin = 600.0;    // [s] beyond the epochs, for the last step's stages
// One call covers at most this span (its Earth-orientation and Sun/Moon tables are made up front).
constexpr std::int64_t kMaxSpanDays = 1000;

class Numerical : public Propagator {
public:
    Numerical(nb::dict config, std::shared_ptr<numerical::Geopotential> field, ForceModel base, double rtol)
        : config(std::move(config)), field(std::move(field)), base(base), rtol(rtol) {}

    nb::dict config;
    std::shared_ptr<numerical::Geopotential> field;
    ForceModel base;  // every setting but the window and the Sun/Moon table
    double rtol;

    void c_jac_r(PyObject* epoch, const double* r, const double* v, double* out) const override {
        partials(epoch, r, v, out, nullptr);
    }
    void c_jac_v(PyObject* epoch, const double* r, const double* v, double* out) const override {
        partials(epoch, r, v, nullptr, out);
    }

private:
    void partials(PyObject* epoch, const double* r, const double* v, double* dadr, double* dadv) const;
};

// The epoch window and the Sun/Moon table of one call, and the force model on them.
struct Context {
    frames::EpochWindow window;
    numerical::BodyTable bodies;
    ForceModel model;
    std::int64_t origin_ns = 0;

    double seconds(std::int64_t ns) const { return static_cast<double>(ns - origin_ns) * 1e-9; }
};

std::unique_ptr<Context> make_context(const Numerical& self, std::int64_t start_ns, std::int64_t stop_ns) {
    // In long double: the difference of two stamps may overflow int64.
    const long double span_days = (static_cast<long double>(stop_ns) - static_cast<long double>(start_ns)) / 86400e9L;
    if (span_days > static_cast<long double>(kMaxSpanDays)) {
        throw nb::value_error(("time: the epochs and the initial state(s) span " +
                               std::to_string(static_cast<long long>(span_days)) + " days; one call integrates at most " +
                               std::to_string(kMaxSpanDays) + " days (split the request)").c_str());
    }
    auto ctx = std::make_unique<Context>();
    ctx->origin_ns = start_ns;
    ctx->window = frames::make_epoch_window(start_ns, stop_ns, kWindowSpacing, kWindowMargin);
    ctx->model = self.base;
    ctx->model.field = self.field.get();
    ctx->model.window = &ctx->window;
    const double span = static_cast<double>(stop_ns - start_ns) * 1e-9;
    if (ctx->model.needs_sun() || ctx->model.moon) {
        ctx->bodies = numerical::BodyTable(ctx->window, -kWindowMargin, span + kWindowMargin);
    }
    ctx->model.bodies = &ctx->bodies;
    return ctx;
}

std::int64_t epoch_ns(nb::handle epoch) {
    nb::object a = native::numpy_attr("asarray")(epoch.attr("int64"), "dtype"_a = "int64").attr("reshape")(-1);
    if (nb::len(a) != 1) throw nb::value_error("the epoch must be a single epoch");
    return nb::cast<std::int64_t>(a[0]);
}

void Numerical::partials(PyObject* epoch, const double* r, const double* v, double* dadr, double* dadv) const {
    try {
        if (epoch == nullptr || epoch == Py_None) {
            throw nb::value_error("the Jacobian of the numerical force model needs the epoch of each state");
        }
        const std::int64_t ns = epoch_ns(epoch);
        auto ctx = make_context(*this, ns, ns);
        double a[3], A[9], B[9];
        ctx->model.acceleration(0.0, r, v, a, A, B);
        if (dadr) std::copy(A, A + 9, dadr);
        if (dadv) std::copy(B, B + 9, dadv);
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

// Reads a double from a possibly unaligned strided buffer.
inline double read(const native::Float64View& view, Py_ssize_t i, Py_ssize_t j) {
    double x;
    std::memcpy(&x, view.bytes() + i * view.stride(0) + j * view.stride(1), sizeof x);
    return x;
}

nb::object as_time(nb::handle time) {
    nb::object t = types.Time(time);
    // One-dimensional, so that the ephemeris has one row per epoch.
    nb::object stamps = native::numpy_attr("atleast_1d")(t.attr("int64"));
    return types.Time(native::numpy_attr("ascontiguousarray")(stamps, "dtype"_a = "int64"));
}

std::vector<std::int64_t> stamps_of(nb::handle time1d) {
    nb::object a = native::numpy_attr("ascontiguousarray")(time1d.attr("int64"), "dtype"_a = "int64");
    const Py_ssize_t n = nb::len(a);
    std::vector<std::int64_t> out(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = nb::cast<std::int64_t>(a[i]);
    return out;
}

struct InitialState {
    std::int64_t ns;
    double r[3], v[3];
};

InitialState initial_state(nb::handle state) {
    native::require_instance(state, types.State, "state");
    nb::tuple res = nb::borrow<nb::tuple>(model_module.attr("initial_gcrf")(state));
    InitialState s;
    s.ns = nb::cast<std::int64_t>(res[0]);
    native::Float64View r(res[1], 1, false, "state position"), v(res[2], 1, false, "state velocity");
    for (int k = 0; k < 3; ++k) {
        s.r[k] = r(k);
        s.v[k] = v(k);
    }
    return s;
}

// One trajectory to the epochs t (seconds of the context): forward for the
// epochs at or after t0, backward for the earlier ones. Lock-free.
int propagate_one(const Context& ctx, double t0, const double r0[3], const double v0[3], const std::vector<double>& t,
                  double* r_out, double* v_out, double* phi_out, double rtol, bool (*interrupted)(void*) = nullptr,
                  void* interrupt_data = nullptr) {
    const std::size_t n = t.size();
    std::vector<std::size_t> fwd, bwd;
    for (std::size_t i = 0; i < n; ++i) (t[i] >= t0 ? fwd : bwd).push_back(i);
    std::stable_sort(fwd.begin(), fwd.end(), [&](std::size_t a, std::size_t b) { return t[a] < t[b]; });
    std::stable_sort(bwd.begin(), bwd.end(), [&](std::size_t a, std::size_t b) { return t[a] > t[b]; });
    numerical::IntegratorOptions options;
    options.rtol = rtol;
    options.interrupted = interrupted;
    options.interrupt_data = interrupt_data;
    int status = numerical::kOk;
    for (const auto* part : {&fwd, &bwd}) {
        if (part->empty()) continue;
        const std::size_t m = part->size();
        std::vector<double> tt(m), rr(3 * m), vv(3 * m), pp(phi_out ? 36 * m : 0);
        for (std::size_t k = 0; k < m; ++k) tt[k] = t[(*part)[k]];
        const int s = numerical::integrate(ctx.model, t0, r0, v0, tt.data(), m, rr.data(), vv.data(),
                                           phi_out ? pp.data() : nullptr, options);
        if (s != numerical::kOk && status == numerical::kOk) status = s;
        if (s == numerical::kInterrupted) break;
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t i = (*part)[k];
            std::copy(&rr[3 * k], &rr[3 * k + 3], r_out + 3 * i);
            std::copy(&vv[3 * k], &vv[3 * k + 3], v_out + 3 * i);
            if (phi_out) std::copy(&pp[36 * k], &pp[36 * k + 36], phi_out + 36 * i);
        }
    }
    return status;
}

// Ctrl-C during a long integration: the lock is taken briefly to look for a signal.
// With `data` an atomic flag shared by the threads of propagate_many, only the
// first thread looks, and every thread sees the flag.
struct Interrupt {
    std::atomic<bool> raised{false};
};

bool check_signals(void* data) {
    auto* flag = static_cast<Interrupt*>(data);
    if (flag->raised.load(std::memory_order_relaxed)) return true;
#ifdef _OPENMP
    if (omp_get_thread_num() != 0) return false;
#endif
    nb::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0) {
        flag->raised.store(true);
        return true;
    }
    return false;
}

void raise_failure(int status) {
    if (status == numerical::kInterrupted) throw nb::python_error();
    if (status == numerical::kStepFailure) {
        throw nb::value_error("the integration failed: the step size fell below the resolution of the time axis");
    }
    if (status == numerical::kNotFinite) {
        throw nb::value_error("the integration failed: the state or the acceleration became NaN or infinite");
    }
}

nb::object frame_of_result(nb::handle frame) { return frame.is_none() ? nb::borrow(types.GCRF) : nb::borrow(frame); }

nb::object make_ephemeris(nb::handle time1d, const std::vector<double>& r, const std::vector<double>& v,
                          std::size_t n, nb::handle frame) {
    const native::Output ro = native::zeros_output({static_cast<Py_ssize_t>(n), 3}, "r");
    const native::Output vo = native::zeros_output({static_cast<Py_ssize_t>(n), 3}, "v");
    for (std::size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            (*ro)(static_cast<Py_ssize_t>(i), k) = r[3 * i + k];
            (*vo)(static_cast<Py_ssize_t>(i), k) = v[3 * i + k];
        }
    }
    nb::object out_frame = frame_of_result(frame);
    nb::tuple rv = nb::borrow<nb::tuple>(model_module.attr("from_gcrf")(time1d, ro.array, vo.array, out_frame));
    return types.StateVectorEphemeris(time1d, rv[0], rv[1], "frame"_a = out_frame);
}

void check_frame(nb::handle frame) {
    if (frame.is_none()) return;
    native::require_instance(frame, types.Frame, "frame");
}

nb::object run(const Numerical& self, nb::handle time, nb::handle state, nb::handle frame, bool stm) {
    const native::RecursionGuard guard(" in Numerical.propagate_state");
    check_frame(frame);
    const InitialState s0 = initial_state(state);
    nb::object time1d = as_time(time);
    const std::vector<std::int64_t> ns = stamps_of(time1d);
    const std::size_t n = ns.size();
    std::int64_t lo = s0.ns, hi = s0.ns;
    for (std::int64_t x : ns) lo = std::min(lo, x), hi = std::max(hi, x);
    auto ctx = make_context(self, lo, hi);
    std::vector<double> t(n), r(3 * n), v(3 * n), phi(stm ? 36 * n : 0);
    for (std::size_t i = 0; i < n; ++i) t[i] = ctx->seconds(ns[i]);
    int status;
    Interrupt interrupt;
    {
        nb::gil_scoped_release unlocked;
        status = propagate_one(*ctx, ctx->seconds(s0.ns), s0.r, s0.v, t, r.data(), v.data(),
                               stm ? phi.data() : nullptr, self.rtol, &check_signals, &interrupt);
    }
    if (interrupt.raised) throw nb::python_error();
    raise_failure(status);
    nb::object eph = make_ephemeris(time1d, r, v, n, frame);
    if (!stm) return eph;
    const native::Output po = native::zeros_output({static_cast<Py_ssize_t>(n), 6, 6}, "phi");
    for (std::size_t i = 0; i < n; ++i)
        for (int a = 0; a < 6; ++a)
            for (int b = 0; b < 6; ++b) (*po)(static_cast<Py_ssize_t>(i), a, b) = phi[36 * i + 6 * a + b];
    return nb::make_tuple(eph, po.array);
}

nb::object propagate_state(const Numerical& self, nb::handle time, nb::handle state, nb::kwargs kwargs) {
    nb::object frame = nb::none();
    for (auto [key, value] : kwargs) {
        if (nb::cast<std::string>(nb::str(key)) == "frame") frame = nb::borrow(value);
    }
    return run(self, time, state, frame, false);
}

nb::object propagate_stm(const Numerical& self, nb::handle time, nb::handle state) {
    return run(self, time, state, nb::none(), true);
}

nb::object propagate_many(const Numerical& self, nb::handle time, nb::handle states, nb::handle frame) {
    const native::RecursionGuard guard(" in Numerical.propagate_many");
    check_frame(frame);
    if (PyUnicode_Check(states.ptr()) || !PySequence_Check(states.ptr())) {
        throw nb::type_error((std::string("states must be a sequence of State, not ") +
                              Py_TYPE(states.ptr())->tp_name).c_str());
    }
    nb::tuple seq = nb::steal<nb::tuple>(PySequence_Tuple(states.ptr()));
    if (!seq.is_valid()) throw nb::python_error();
    const std::size_t m = nb::len(seq);
    std::vector<InitialState> s0(m);
    for (std::size_t j = 0; j < m; ++j) {
        nb::object item = seq[j];
        const int ok = PyObject_IsInstance(item.ptr(), types.State.ptr());
        if (ok < 0) throw nb::python_error();
        if (!ok) {
            throw nb::type_error(("states[" + std::to_string(j) + "] must be a State, not " +
                                  Py_TYPE(item.ptr())->tp_name).c_str());
        }
        s0[j] = initial_state(item);
    }
    nb::object time1d = as_time(time);
    const std::vector<std::int64_t> ns = stamps_of(time1d);
    const std::size_t n = ns.size();
    const native::Output ro = native::zeros_output({static_cast<Py_ssize_t>(m), static_cast<Py_ssize_t>(n), 3}, "r");
    const native::Output vo = native::zeros_output({static_cast<Py_ssize_t>(m), static_cast<Py_ssize_t>(n), 3}, "v");
    nb::object status_arr = native::numpy_attr("zeros")(nb::make_tuple(m, n), "dtype"_a = "int8");
    if (m == 0 || n == 0) return nb::make_tuple(ro.array, vo.array, status_arr);
    std::int64_t lo = ns[0], hi = ns[0];
    for (std::int64_t x : ns) lo = std::min(lo, x), hi = std::max(hi, x);
    for (const InitialState& s : s0) lo = std::min(lo, s.ns), hi = std::max(hi, s.ns);
    auto ctx = make_context(self, lo, hi);
    std::vector<double> t(n);
    for (std::size_t i = 0; i < n; ++i) t[i] = ctx->seconds(ns[i]);
    std::vector<double> r(3 * n * m), v(3 * n * m);
    std::vector<int> status(m, 0);
    std::atomic<bool> failed{false};
    Interrupt interrupt;
    {
        nb::gil_scoped_release unlocked;
#pragma omp parallel for schedule(dynamic, 1)
        for (long j = 0; j < static_cast<long>(m); ++j) {
            if (interrupt.raised.load(std::memory_order_relaxed)) continue;
            try {
                status[j] = propagate_one(*ctx, ctx->seconds(s0[j].ns), s0[j].r, s0[j].v, t, &r[3 * n * j],
                                          &v[3 * n * j], nullptr, self.rtol, &check_signals, &interrupt);
            } catch (...) {
                failed = true;
            }
        }
    }
    if (interrupt.raised) throw nb::python_error();
    if (failed) throw std::bad_alloc();
    // Outputs after a failure are NaN; the status is non-zero on exactly those.
    std::vector<std::int8_t> flags(m * n, 0);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            for (int k = 0; k < 3; ++k) {
                (*ro)(static_cast<Py_ssize_t>(j), static_cast<Py_ssize_t>(i), k) = r[3 * (n * j + i) + k];
                (*vo)(static_cast<Py_ssize_t>(j), static_cast<Py_ssize_t>(i), k) = v[3 * (n * j + i) + k];
            }
            if (status[j] != 0 && std::isnan(r[3 * (n * j + i)])) flags[n * j + i] = static_cast<std::int8_t>(status[j]);
        }
    }
    status_arr = native::numpy_attr("frombuffer")(nb::bytes(reinterpret_cast<const char*>(flags.data()), flags.size()),
                                                  "dtype"_a = "int8")
                     .attr("reshape")(nb::make_tuple(m, n))
                     .attr("copy")();
    const nb::object out_frame = frame_of_result(frame);
    if (!frame.is_none() && !out_frame.equal(nb::handle(types.GCRF))) {
        nb::object flat_r = ro.array.attr("reshape")(nb::make_tuple(m * n, 3));
        nb::object flat_v = vo.array.attr("reshape")(nb::make_tuple(m * n, 3));
        nb::object stamps = native::numpy_attr("tile")(time1d.attr("int64"), m);
        nb::tuple rv = nb::borrow<nb::tuple>(model_module.attr("from_gcrf")(types.Time(stamps), flat_r, flat_v,
                                                                            out_frame));
        return nb::make_tuple(nb::object(rv[0]).attr("reshape")(nb::make_tuple(m, n, 3)),
                              nb::object(rv[1]).attr("reshape")(nb::make_tuple(m, n, 3)), status_arr);
    }
    return nb::make_tuple(ro.array, vo.array, status_arr);
}

nb::object acceleration(const Numerical& self, nb::handle time, nb::handle r, nb::handle v) {
    nb::object time1d = as_time(time);
    const std::vector<std::int64_t> ns = stamps_of(time1d);
    native::Float64View rv(r, 2, false, "r"), vv(v, 2, false, "v");
    const Py_ssize_t n = rv.shape(0);
    if (rv.shape(1) != 3) throw nb::value_error("r must have shape (N, 3)");
    if (vv.shape(0) != n || vv.shape(1) != 3) throw nb::value_error("v must have the shape of r (N, 3)");
    const bool broadcast = ns.size() == 1;
    if (!broadcast && static_cast<Py_ssize_t>(ns.size()) != n) {
        throw nb::value_error("time must have one epoch, or one per row of r");
    }
    const native::Output out = native::zeros_output({n, 3}, "acceleration");
    if (n == 0) return out.array;
    std::int64_t lo = ns[0], hi = ns[0];
    for (std::int64_t x : ns) lo = std::min(lo, x), hi = std::max(hi, x);
    auto ctx = make_context(self, lo, hi);
    std::vector<double> in(6 * static_cast<std::size_t>(n)), acc(3 * static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) in[6 * i + k] = read(rv, i, k), in[6 * i + 3 + k] = read(vv, i, k);
    {
        nb::gil_scoped_release unlocked;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double t = ctx->seconds(ns[broadcast ? 0 : static_cast<std::size_t>(i)]);
            ctx->model.acceleration(t, &in[6 * i], &in[6 * i + 3], &acc[3 * i]);
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) (*out)(i, k) = acc[3 * i + k];
    return out.array;
}

double get_double(nb::dict d, const char* key) { return nb::cast<double>(d[key]); }

void init_numerical(Numerical* self, nb::handle gravity, nb::handle degree, nb::handle order, nb::handle third_bodies,
                    nb::handle drag, nb::handle srp, nb::handle rtol) {
    nb::dict cfg = nb::borrow<nb::dict>(model_module.attr("configure")(gravity, degree, order, third_bodies, drag,
                                                                        srp, rtol));
    std::shared_ptr<numerical::Geopotential> field;
    nb::object f = cfg["field"];
    ForceModel base;
    base.gm = get_double(cfg, "gm");
    if (!f.is_none()) {
        native::Float64View c(f.attr("cbar"), 1, false, "cbar"), s(f.attr("sbar"), 1, false, "sbar");
        std::vector<double> cb(static_cast<std::size_t>(c.shape(0))), sb(cb.size());
        for (Py_ssize_t i = 0; i < c.shape(0); ++i) cb[i] = c(i), sb[i] = s(i);
        field = std::make_shared<numerical::Geopotential>(base.gm, get_double(cfg, "radius"),
                                                          nb::cast<int>(cfg["degree"]), nb::cast<int>(cfg["order"]),
                                                          cb.data(), sb.data());
    }
    base.sun = nb::cast<bool>(cfg["sun"]);
    base.moon = nb::cast<bool>(cfg["moon"]);
    base.gm_sun = get_double(cfg, "gm_sun");
    base.gm_moon = get_double(cfg, "gm_moon");
    base.atmosphere = static_cast<numerical::Atmosphere>(nb::cast<int>(cfg["atmosphere"]));
    base.cd_area_to_mass = get_double(cfg, "cd_am");
    base.rho0 = get_double(cfg, "rho0");
    base.h0 = get_double(cfg, "h0");
    base.scale_height = get_double(cfg, "scale_height");
    base.hp_exponent = get_double(cfg, "hp_exponent");
    base.srp = !nb::object(cfg["srp"]).is_none();
    base.cr_area_to_mass = get_double(cfg, "cr_am");
    base.shadow_radius = get_double(cfg, "earth_re");
    new (self) Numerical(cfg, field, base, get_double(cfg, "rtol"));
}

}  // namespace

NB_MODULE(numerical, m) {
    nb::object base = propagators::import_propagator_type();
    types = propagators::bind_types();
    model_module = nb::module_::import_("astrovia.propagators.numerical._model").release();

    m.doc() = "Numerical orbit propagation with the geopotential, the Sun and the Moon, drag and radiation pressure.";
    nb::class_<Numerical, Propagator> cls(
        m, "Numerical",
        "Numerical orbit propagator: the equations of motion integrated with the embedded\n"
        "Runge-Kutta pair RK8(7) of Prince and Dormand, in the GCRF.\n\n"
        "Forces: the geopotential (``gravity``: 'point', the shipped 'EGM2008' to degree and\n"
        "order 70, or the path of an ICGEM .gfc file of fully normalised coefficients, whose own\n"
        "GM and radius are used) evaluated in the ITRF with Cunningham's recursion; the Sun and\n"
        "the Moon as point masses (``third_bodies``); ``drag`` (a Drag); ``srp`` (an SRP, in the\n"
        "Earth's conical shadow, whose boundaries the integrator steps onto).\n\n"
        "``rtol``: the local error allowed per step, relative to |r| for the position and to |v|\n"
        "for the velocity (between 1e-15 and 1e-3). One call covers at most 1000 days (the\n"
        "epochs and the initial states together).");
    cls.def("__init__", &init_numerical, nb::kw_only(), nb::arg("gravity").none() = "EGM2008",
            nb::arg("degree").none() = 20, nb::arg("order").none() = 20,
            nb::arg("third_bodies").none() = nb::make_tuple("sun", "moon"), nb::arg("drag").none() = nb::none(),
            nb::arg("srp").none() = nb::none(), nb::arg("rtol").none() = 1e-12,
            nb::sig("def __init__(self, *, gravity: str | os.PathLike[str] = 'EGM2008', degree: int = 20, "
                    "order: int = 20, third_bodies: Sequence[str] = ('sun', 'moon'), drag: Drag | None = None, "
                    "srp: SRP | None = None, rtol: float = 1e-12) -> None"))
        .def_prop_ro("gravity", [](const Numerical& s) { return s.config["gravity"]; }, "The gravity model.")
        .def_prop_ro("degree", [](const Numerical& s) { return s.config["degree"]; }, "Degree of the field.")
        .def_prop_ro("order", [](const Numerical& s) { return s.config["order"]; }, "Order of the field.")
        .def_prop_ro("third_bodies", [](const Numerical& s) { return s.config["third_bodies"]; },
                     "The third bodies ('sun', 'moon').")
        .def_prop_ro("drag", [](const Numerical& s) { return s.config["drag"]; }, "The drag model, or None.")
        .def_prop_ro("srp", [](const Numerical& s) { return s.config["srp"]; }, "The radiation pressure, or None.")
        .def_prop_ro("rtol", [](const Numerical& s) { return s.rtol; }, "The relative tolerance per step.")
        .def_prop_ro("GM", [](const Numerical& s) { return s.base.gm; },
                     "Gravitational parameter of the central body [m^3/s^2] (the field's own).")
        .def("__repr__",
             [](const Numerical& s) {
                 return nb::str("Numerical(gravity={!r}, degree={!r}, order={!r}, third_bodies={!r}, drag={!r}, "
                                "srp={!r}, rtol={!r})")
                     .format(s.config["gravity"], s.config["degree"], s.config["order"], s.config["third_bodies"],
                             s.config["drag"], s.config["srp"], nb::float_(s.rtol));
             })
        .def("acceleration", &acceleration, nb::arg("time").none(), nb::arg("r").none(), nb::arg("v").none(),
             nb::sig("def acceleration(self, time: DatetimeLike, r: NDArray[numpy.float64], "
                     "v: NDArray[numpy.float64]) -> NDArray[numpy.float64]"),
             "The acceleration [m/s^2] of the whole force model at GCRF positions ``r`` [m] and\n"
             "velocities ``v`` [m/s] of shape (N, 3), at the epochs ``time`` (one, or one per row);\n"
             "an (N, 3) array in the GCRF.")
        .def("propagate_stm", &propagate_stm, nb::arg("time").none(), nb::arg("state").none(),
             nb::sig("def propagate_stm(self, time: DatetimeLike, state: State) -> "
                     "tuple[StateVectorEphemeris, NDArray[numpy.float64]]"),
             "As ``propagate_state`` (GCRF), with the state transition matrices d x(t) / d x(t0)\n"
             "integrated from the variational equations: (ephemeris, array of shape (N, 6, 6)).")
        .def("propagate_many", &propagate_many, nb::arg("time").none(), nb::arg("states").none(),
             nb::arg("frame").none() = nb::none(),
             nb::sig("def propagate_many(self, time: DatetimeLike, states: Sequence[State], "
                     "frame: Frame | None = None) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64], "
                     "NDArray[numpy.int8]]"),
             "Many independent states to the common epochs ``time``, on all cores (the interpreter\n"
             "lock released; the results do not depend on the number of threads).\n\n"
             "Returns (r, v, status) of shapes (M, N, 3), (M, N, 3), (M, N), in the GCRF (or\n"
             "``frame``). status is 0 where the state is valid, 1 from where the object went under\n"
             "the Earth's surface, 2 or 3 where the integration failed; those rows are NaN.");
    native::refuse_pickling(cls);
    propagators::set_propagate_state(
        cls, &propagate_state, nb::arg("time").none(), nb::arg("state").none(), "kwargs"_a,
        nb::sig("def propagate_state(self, time: DatetimeLike, state: State, **kwargs: Any) "
                "-> StateVectorEphemeris"),
        "Integrates ``state`` (GCRF, ITRF or TEME) to every epoch of ``time``, forward\n"
        "and backward, with dense output between steps.\n\n"
        "Returns a StateVectorEphemeris in the GCRF, or in ``frame=`` (a Frame: GCRF,\n"
        "ITRF or TEME; ``frame=state.frame`` for the state's own). Epochs after the\n"
        "object went under the Earth's surface are NaN. Other keyword arguments are\n"
        "ignored.");
}

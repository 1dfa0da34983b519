"""Child side of the bad-input sweep: calls every public callable of one extension
module with bad arguments and records what happened.

    python sweep_child.py MODULE START PROGRESS_FILE

Cases are numbered in a fixed order. Before case i the child appends
"BEGIN i <description>" to PROGRESS_FILE and after it "END i <outcome>", so the
parent can tell which case a crash interrupted and restart after it. A call may
return or raise anything except a crash; afterwards its arguments must be
byte-for-byte what they were ("MUTATED i ..." otherwise).
"""

import ast
import datetime
import gc
import importlib
import inspect
import math
import os
import sys
import warnings

import numpy as np

TLE_LINES = (
    "1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9005",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)
# Arguments that name their caller's output: writing them is the function's job.
OUTPUT_NAMES = {"out", "rot", "mjd", "sod", "length", "dat_out"}
SKIPPED_ATTRIBUTES = {"__new__", "__doc__", "__module__", "__dict__", "__weakref__", "__firstlineno__",
                      "__static_attributes__"}


class StrSub(str):
    pass


class FloatSub(float):
    pass


class Hostile:
    """Every protocol raises."""

    def __len__(self):
        raise RuntimeError("len refused")

    def __iter__(self):
        raise RuntimeError("iter refused")

    def __float__(self):
        raise RuntimeError("float refused")

    def __index__(self):
        raise RuntimeError("index refused")

    def __bool__(self):
        raise RuntimeError("bool refused")

    def __str__(self):
        raise RuntimeError("str refused")

    def __getattr__(self, name):
        raise RuntimeError(f"attribute {name} refused")

    def __buffer__(self, flags):
        raise BufferError("buffer refused")


class Broadcast:
    """A buffer of a huge shape over three doubles (zero row stride), read-only."""

    def __init__(self):
        self.array = np.lib.stride_tricks.as_strided(np.ones(3), shape=(2**40, 3), strides=(0, 8),
                                                     writeable=False)

    def __buffer__(self, flags):
        return memoryview(self.array)


def value_pool():
    from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
    from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE
    from astrovia.state.ephemeris import StateVectorEphemeris
    from astrovia.state.state import COE, GeoState, StateVector
    from astrovia.time.time import Time

    base = np.linspace(1.0e6, 7.0e6, 9).reshape(3, 3)
    read_only = base.copy()
    read_only.flags.writeable = False
    t3 = Time(["2024-01-01T00:00:00", "2024-01-01T06:00:00", "2024-01-02T00:00:00"])
    t0 = Time("2024-01-01T00:00:00")
    tle = TLE(*TLE_LINES)
    pool = [
        ("None", None),
        ("int0", 0),
        ("int-1", -1),
        ("int-big", 2**62),
        ("int-2**64", 2**64),
        ("int-min", -(2**63)),
        ("float", 1.5),
        ("nan", math.nan),
        ("inf", math.inf),
        ("-inf", -math.inf),
        ("float-sub", FloatSub(0.5)),
        ("bool", True),
        ("str", "x"),
        ("str-empty", ""),
        ("str-sub", StrSub("forward")),
        ("str-surrogate", "\ud800\udfff"),
        ("str-nul", "1 25544\x00"),
        ("bytes", b"1 25544U"),
        ("list", [1.0, 2.0, 3.0]),
        ("list-empty", []),
        ("tuple", (1, "a")),
        ("dict", {"a": 1}),
        ("dict-empty", {}),
        ("object", object()),
        ("hostile", Hostile()),
        ("f8-3x3", base.copy()),
        ("f8-0x3", np.zeros((0, 3))),
        ("f8-1x3", np.ones((1, 3))),
        ("f8-3", np.ones(3)),
        ("f8-0", np.zeros(0)),
        ("f8-0d", np.array(1.0)),
        ("f8-3x2", np.ones((3, 2))),
        ("f8-3x3x3", np.ones((3, 3, 3))),
        ("f8-nan", np.full((3, 3), np.nan)),
        ("f8-inf", np.full((3, 3), np.inf)),
        ("f4", base.astype(np.float32)),
        ("i8", base.astype(np.int64)),
        ("i8-1d", np.arange(3, dtype=np.int64)),
        ("c16", base.astype(np.complex128)),
        ("object-array", np.array([[None] * 3] * 3, dtype=object)),
        ("big-endian", base.astype(">f8")),
        ("read-only", read_only),
        ("non-contiguous", np.linspace(0.0, 1.0, 36).reshape(6, 6)[::2, ::2]),
        ("fortran", np.asfortranarray(base)),
        ("transposed", base.copy().T),
        ("huge-broadcast", np.lib.stride_tricks.as_strided(np.ones(3), shape=(2**40, 3), strides=(0, 8),
                                                           writeable=False)),
        ("huge-buffer", Broadcast()),
        ("memoryview", memoryview(base.copy())),
        ("bytearray", bytearray(72)),
        ("time-3", t3),
        ("time-1", t0),
        ("time-0", t3[np.zeros(3, dtype=bool)]),
        ("time-uninit", Time.__new__(Time)),
        ("coe", COE(t0, 7.0e6, 0.01, 0.5, 0.1, 0.2, 0.3)),
        ("sv", StateVector(t0, np.array([7.0e6, 0.0, 0.0]), np.array([0.0, 7.5e3, 0.0]))),
        ("geo", GeoState(t0, 0.1, 0.2, 100.0)),
        ("eph", StateVectorEphemeris(t3, base.copy(), base.copy() / 1e3)),
        ("tle", tle),
        ("tle-uninit", TLE.__new__(TLE)),
        ("elset", ELSET(tle, tle)),
        ("elset-uninit", ELSET.__new__(ELSET)),
        ("keplerian", Keplerian()),
        ("keplerian-uninit", Keplerian.__new__(Keplerian)),
        ("datetime", datetime.datetime(2024, 1, 1)),
    ]
    return pool


def from_annotation(annotation):
    """A good array for an ndarray annotation of nanobind ("ndarray[dtype=int64, shape=(*, *), ...]")."""
    if not annotation.startswith("ndarray[") or "dtype=" not in annotation:
        return None
    dtype = annotation.split("dtype=", 1)[1].split(",", 1)[0].split("]", 1)[0]
    shape = annotation.split("shape=(", 1)[1].split(")", 1)[0] if "shape=(" in annotation else "*"
    dims = [3 if d.strip() == "*" else int(d) for d in shape.split(",") if d.strip()]
    return np.arange(int(np.prod(dims)), dtype=dtype).reshape(dims) if dtype != "bool" else np.ones(dims, bool)


def baseline(name, pool):
    """A plausible good value for a parameter of this name (None: use its default)."""
    made = from_annotation(getattr(name, "annotation", ""))
    if made is not None:
        return made
    by = dict(pool)
    table = {
        "time": "time-3", "state": "coe", "eph": "eph", "epoch": "time-1", "propagator": "keplerian",
        "tle": "tle", "tles": "tle", "data": "dict", "text": "str", "option_tag": "str", "color": "str",
        "length": "int0", "key": "int0", "index": "int0", "i": "int0", "item": "int0",
    }
    if name in table:
        return by[table[name]]
    if name.startswith(("r_", "v_")) or name in {"r", "v", "rot"}:
        return np.linspace(1.0e6, 7.0e6, 9).reshape(3, 3)
    if name in {"line1", "line2"}:
        return TLE_LINES[0 if name == "line1" else 1]
    if name in {"dt", "mea", "ecc_array", "y", "x", "tt", "ch", "dat", "label", "mjd_array"}:
        return np.arange(3.0)
    if name in {"out"}:
        return np.zeros(3)
    return 0.5


class Name(str):
    """A parameter name that remembers its annotation."""

    def __new__(cls, name, annotation=""):
        self = super().__new__(cls, name)
        self.annotation = annotation
        return self


def quote_ndarrays(text):
    """nanobind writes array annotations as ndarray[..., shape=(*)], which is not Python:
    each becomes a string constant so that the signature parses."""
    out, i = [], 0
    while (j := text.find("ndarray[", i)) >= 0:
        depth, k = 0, j + len("ndarray")
        while k < len(text):
            depth += {"[": 1, "]": -1}.get(text[k], 0)
            k += 1
            if depth == 0:
                break
        out.append(text[i:j] + repr(text[j:k]))
        i = k
    return "".join(out) + text[i:]


def parameters(fn):
    """(names, number required, has **kwargs, has *args) of a native or Python callable."""
    sig = getattr(fn, "__nb_signature__", None)
    if sig:
        text = quote_ndarrays(sig[0][0])
        try:
            tree = ast.parse(text + ": pass")
            a = tree.body[0].args
        except SyntaxError:
            return [], 0, True, True
        params = a.posonlyargs + a.args
        names = [Name(p.arg, p.annotation.value if isinstance(p.annotation, ast.Constant) else "")
                 for p in params]
        required = len(names) - len(a.defaults)
        if names and names[0] == "self":
            names, required = names[1:], required - 1
        return names, required, a.kwarg is not None, a.vararg is not None
    try:
        s = inspect.signature(fn)
    except (TypeError, ValueError):
        return [], 0, True, True
    names, required, kw, var = [], 0, False, False
    for p in s.parameters.values():
        if p.kind is p.VAR_KEYWORD:
            kw = True
        elif p.kind is p.VAR_POSITIONAL:
            var = True
        else:
            names.append(p.name)
            if p.default is p.empty:
                required += 1
    if names and names[0] == "self":
        names, required = names[1:], required - 1
    return names, required, kw, var


def snapshot(value):
    if isinstance(value, np.ndarray):
        return ("ndarray", value.shape, value.strides, value.dtype.str, value.flags.writeable,
                value.tobytes() if value.size < 10**6 else value[:4].tobytes())
    if isinstance(value, (bytearray, memoryview)):
        return ("bytes", bytes(value))
    if isinstance(value, (list, dict, tuple)):
        return ("repr", repr(value))
    kind = type(value).__name__
    if kind == "Time" and "_ns" in getattr(value, "__dict__", {}):
        return ("time", np.asarray(value.int64).tobytes())
    if kind in {"COE", "StateVector", "GeoState"}:
        return ("state", repr(value))
    if kind == "StateVectorEphemeris":
        return ("eph", value.r.tobytes(), value.v.tobytes(), value.size)
    return None


class Module:
    def __init__(self, name):
        self.name = name
        self.module = importlib.import_module(name)

    def callables(self):
        """(label, receiver kind, callable, owner class or None) in a fixed order."""
        out = []
        for attr in sorted(vars(self.module)):
            obj = getattr(self.module, attr)
            if isinstance(obj, type) and obj.__module__ == self.name:
                out.append((attr, "class", obj, None))
                for member in sorted(vars(obj)):
                    if member in SKIPPED_ATTRIBUTES:
                        continue
                    out.append((f"{attr}.{member}", "member", vars(obj)[member], obj))
            elif callable(obj) and getattr(obj, "__module__", self.name) in (self.name, None) and \
                    type(obj).__name__ in ("nb_func", "function", "builtin_function_or_method"):
                out.append((attr, "function", obj, None))
        return out


def receivers(cls, pool):
    """Instances to call a class's methods on: built, uninitialised, a subclass that skips __init__."""
    built = None
    for label, value in pool:
        if type(value) is cls:
            built = value
            break
    if built is None:
        names, required, _, _ = parameters(vars(cls).get("__init__", cls))
        try:
            built = cls(*[baseline(n, pool) for n in names[:required]])
        except Exception:
            built = None
    skipping = type("Skipping" + cls.__name__, (cls,), {"__init__": lambda self, *a, **k: None})
    out = [("uninit", lambda: cls.__new__(cls)), ("skip-init", lambda: skipping())]
    if built is not None:
        out.insert(0, ("built", lambda: built))
    return out


def checked(names, args):
    """The arguments whose bytes must not change: all but the caller's outputs."""
    return [a for k, a in enumerate(args) if k >= len(names) or names[k] not in OUTPUT_NAMES]


def cases(module, pool):
    """Yields (description, thunk returning the call's arguments to check, call)."""
    for label, kind, obj, owner in module.callables():
        if kind == "class":
            names, required, _, _ = parameters(vars(obj).get("__init__", obj))
            good = [baseline(n, pool) for n in names[:required]]
            yield f"{label}()", checked(names, good), (lambda obj=obj, good=good: obj(*good))
            yield f"{label}(no args)", [], (lambda obj=obj: obj())
            for i in range(max(len(names), 1)):
                for vlabel, value in pool:
                    args = list(good) + [baseline(n, pool) for n in names[len(good):i]]
                    args[i:i + 1] = [value]
                    yield f"{label}(arg {i} = {vlabel})", checked(names, args), (lambda obj=obj, args=args: obj(*args))
            continue
        if kind == "function":
            names, required, _, var = parameters(obj)
            good = [baseline(n, pool) for n in names[:required]]
            yield f"{label}()", checked(names, good), (lambda obj=obj, good=good: obj(*good))
            yield f"{label}(+1 arg)", checked(names, good), (lambda obj=obj, good=good: obj(*good, 1.0))
            for i in range(max(len(names), 1)):
                for vlabel, value in pool:
                    args = list(good) + [baseline(n, pool) for n in names[len(good):i]]
                    args[i:i + 1] = [value]
                    yield f"{label}(arg {i} = {vlabel})", checked(names, args), (lambda obj=obj, args=args: obj(*args))
            continue
        # A class member: property, static method or method.
        for rlabel, make in receivers(owner, pool):
            if isinstance(obj, property):
                yield f"{label} get on {rlabel}", [], (lambda make=make, obj=obj: obj.__get__(make()))
                if obj.fset is not None:
                    for vlabel, value in pool:
                        yield (f"{label} = {vlabel} on {rlabel}", [value],
                               (lambda make=make, obj=obj, value=value: obj.__set__(make(), value)))
                    yield f"del {label} on {rlabel}", [], (lambda make=make, obj=obj: obj.__delete__(make()))
                continue
            if isinstance(obj, staticmethod) or type(obj).__name__ == "nb_func" and \
                    not getattr(obj, "__nb_signature__", [("def f(self",)])[0][0].split("(", 1)[1].startswith("self"):
                fn = obj.__func__ if isinstance(obj, staticmethod) else obj
                if rlabel != "uninit":
                    continue  # static: the receiver does not matter, run once
                names, required, _, _ = parameters(fn)
                good = [baseline(n, pool) for n in names[:required]]
                yield f"{label}()", checked(names, good), (lambda fn=fn, good=good: fn(*good))
                for i in range(max(len(names), 1)):
                    for vlabel, value in pool:
                        args = list(good) + [baseline(n, pool) for n in names[len(good):i]]
                        args[i:i + 1] = [value]
                        yield f"{label}(arg {i} = {vlabel})", checked(names, args), (lambda fn=fn, args=args: fn(*args))
                continue
            if not callable(obj):
                continue
            member = label.split(".", 1)[1]
            names, required, _, _ = parameters(obj)
            good = [baseline(n, pool) for n in names[:required]]
            yield (f"{label}() on {rlabel}", checked(names, good),
                   (lambda make=make, member=member, good=good: getattr(make(), member)(*good)))
            if rlabel != "built":
                continue
            for i in range(len(names)):
                for vlabel, value in pool:
                    args = list(good) + [baseline(n, pool) for n in names[len(good):i]]
                    args[i:i + 1] = [value]
                    yield (f"{label}(arg {i} = {vlabel}) on {rlabel}", checked(names, args),
                           (lambda make=make, member=member, args=args: getattr(make(), member)(*args)))


def monkeypatched_cases(module, pool):
    """The plain calls again with siblings replaced: numpy's allocators returning the
    wrong shape, and each module global set to None."""
    plain = [(d, a, c) for d, a, c in cases(module, pool) if d.endswith("()") or d.endswith("() on built")]
    zeros, zeros_like, empty, full = np.zeros, np.zeros_like, np.empty, np.full

    def wrong(*args, **kwargs):
        return zeros(1)

    for patch in ("zeros", "zeros_like", "empty", "full", "asarray"):
        for description, args, call in plain:
            def patched(call=call, patch=patch):
                saved = getattr(np, patch)
                setattr(np, patch, wrong)
                try:
                    return call()
                finally:
                    setattr(np, patch, saved)
            yield f"[numpy.{patch} wrong] {description}", args, patched
    for attr in sorted(vars(module.module)):
        value = getattr(module.module, attr)
        if attr.startswith("__") or callable(value) and type(value).__name__ == "nb_func" or isinstance(value, type) \
                and value.__module__ == module.name:
            continue
        for description, args, call in plain:
            def patched(call=call, attr=attr):
                saved = getattr(module.module, attr)
                setattr(module.module, attr, None)
                try:
                    return call()
                finally:
                    setattr(module.module, attr, saved)
            yield f"[{attr} = None] {description}", args, patched


def main():
    name, start, progress = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    warnings.simplefilter("ignore")
    module = Module(name)
    pool = value_pool()
    fd = os.open(progress, os.O_WRONLY | os.O_APPEND | os.O_CREAT)

    def note(line):
        os.write(fd, (line.replace("\n", " ") + "\n").encode("utf-8", "backslashreplace"))

    everything = list(cases(module, pool)) + list(monkeypatched_cases(module, pool))
    note(f"TOTAL {len(everything)}")
    for i, (description, args, call) in enumerate(everything):
        if i < start:
            continue
        note(f"BEGIN {i} {description}")
        before = [snapshot(a) for a in args]
        try:
            call()
            result = "returned"
        except BaseException as error:  # noqa: BLE001 - anything but a crash is acceptable
            if isinstance(error, (KeyboardInterrupt, SystemExit)):
                raise
            result = type(error).__name__
        after = [snapshot(a) for a in args]
        for k, (b, a) in enumerate(zip(before, after)):
            if b != a:
                note(f"MUTATED {i} {description}: argument {k}")
                pool = value_pool()  # later cases start from fresh values
        note(f"END {i} {result}")
        if i % 200 == 0:
            gc.collect()
    note("DONE")
    os.close(fd)


if __name__ == "__main__":
    main()

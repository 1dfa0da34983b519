# `make demo` runs the main job, `make test` the tests. Each sets up a fresh
# machine first (ERFA, a Python 3.13 venv, the dependencies) and rebuilds the
# native modules only when a source changed.
VENV    ?= .venv
PYTHON  := $(VENV)/bin/python
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.json' \)) CMakeLists.txt

.PHONY: demo test install bench clean

demo: $(VENV)/.installed
	$(PYTHON) examples/demo.py

test: $(VENV)/.installed
	$(PYTHON) -m pytest tests

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

clean:
	rm -rf build $(VENV)

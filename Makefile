# Quick start: `make demo` (set-up, then a real spectrum computed and shown)
# and `make test` (set-up, then every C++ and Python test). Both can be run
# again: finished set-up steps are not repeated and nothing unchanged is
# rebuilt.

VENV        := .venv
PY          := $(VENV)/bin/python
SOURCES     := $(shell find src -type f) CMakeLists.txt pyproject.toml
CPP_BUILD   := build/cpp
JOBS        ?= 2

.PHONY: all demo test test-cpp test-python venv install clean

all: install

$(VENV)/.lamiro-venv: scripts/make-venv scripts/find-python
	scripts/make-venv $(VENV) any "numpy>=1.26"

# The extension module, built by scikit-build-core into a persistent build
# directory so a rebuild only recompiles what changed.
$(VENV)/.lamiro-installed: $(VENV)/.lamiro-venv $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

venv: $(VENV)/.lamiro-venv
install: $(VENV)/.lamiro-installed

$(VENV)/.lamiro-demo-deps: $(VENV)/.lamiro-venv
	$(PY) -m pip install --quiet "matplotlib>=3.8"
	touch $@

demo: $(VENV)/.lamiro-installed $(VENV)/.lamiro-demo-deps
	MPLBACKEND=Agg $(PY) examples/demo.py

test-cpp:
	scripts/ensure-system-packages
	@[ -f $(CPP_BUILD)/CMakeCache.txt ] || cmake -S . -B $(CPP_BUILD) \
	    -DLAMIRO_BUILD_MODULE=OFF -DLAMIRO_BUILD_TESTS=ON -DLAMIRO_BUILD_BENCHMARKS=ON
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

test-python: $(VENV)/.lamiro-installed
	$(PY) -m pytest -q

test: test-cpp test-python

clean:
	rm -rf build $(VENV)

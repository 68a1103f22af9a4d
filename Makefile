# Quick start: `make demo` (set-up, then a real spectrum computed and shown)
# and `make test` (set-up, then every C++ and Python test). Both can be run
# again: finished set-up steps are not repeated and nothing unchanged is
# rebuilt.

SOURCES     := $(shell find src -type f) CMakeLists.txt pyproject.toml
JOBS        ?= 2
TEST_DEPS   := tmm "dask[distributed]" mypy scipy "matplotlib>=3.8"
PIP_INSTALL  = -m pip install --quiet --no-build-isolation --no-deps

.PHONY: all demo test test-cpp test-libm-variant test-python test-matrix test-sanitize test-tsan test-all \
        benchmark compare-peers install format format-check clean

all: install

# One virtual environment per (Python, NumPy) combination. The main one uses
# the newest Python of at least 3.12 and NumPy 2.x.
.venv/.lamiro-venv: scripts/make-venv scripts/find-python Makefile
	scripts/make-venv .venv any "numpy>=2" $(TEST_DEPS)
.venv-312/.lamiro-venv: scripts/make-venv scripts/find-python Makefile
	scripts/make-venv .venv-312 3.12 "numpy>=2" $(TEST_DEPS)
.venv-np1/.lamiro-venv: scripts/make-venv scripts/find-python Makefile
	scripts/make-venv .venv-np1 3.12 "numpy>=1.26,<2" tmm mypy
.venv-asan/.lamiro-venv: scripts/make-venv scripts/find-python Makefile
	scripts/make-venv .venv-asan any "numpy>=2" $(TEST_DEPS)

# The extension module, built by scikit-build-core into a persistent build
# directory (one per wheel tag) so a rebuild only recompiles what changed.
define install_module
$(1)/.lamiro-installed: $(1)/.lamiro-venv $$(SOURCES)
	$(1)/bin/python $$(PIP_INSTALL) .
	touch $$@
endef
$(foreach venv,.venv .venv-312 .venv-np1,$(eval $(call install_module,$(venv))))

.venv-asan/.lamiro-installed: .venv-asan/.lamiro-venv $(SOURCES)
	.venv-asan/bin/python $(PIP_INSTALL) -C build-dir=build/asan-{wheel_tag} \
	    -C cmake.define.LAMIRO_SANITIZE=ON -C cmake.build-type=RelWithDebInfo .
	touch $@

install: .venv/.lamiro-installed

.venv/.lamiro-demo-deps: .venv/.lamiro-venv
	.venv/bin/python -m pip install --quiet "matplotlib>=3.8"
	touch $@

demo: .venv/.lamiro-installed .venv/.lamiro-demo-deps
	MPLBACKEND=Agg .venv/bin/python examples/demo.py

build/cpp/CMakeCache.txt:
	scripts/ensure-system-packages libgtest-dev
	cmake -S . -B build/cpp -DLAMIRO_BUILD_MODULE=OFF -DLAMIRO_BUILD_TESTS=ON \
	    -DLAMIRO_BUILD_BENCHMARKS=ON

test-cpp: build/cpp/CMakeCache.txt
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

# The C++ tests with glibc's non-FMA builds of exp, sin, cos and atan2, which
# differ from the FMA builds in the last bit of some results. Every bit test
# compares with the reference kernel in the same process; the stored words,
# written with another variant, report themselves skipped.
test-libm-variant: build/cpp/CMakeCache.txt
	cmake --build build/cpp -j $(JOBS)
	GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

test-python: .venv/.lamiro-installed
	.venv/bin/python -m pytest -q
	cd /tmp && MYPYPATH=$(CURDIR)/src $(CURDIR)/.venv/bin/python -m mypy.stubtest lamiro

test: test-cpp test-python

# The Python suite under the other supported combinations.
test-matrix: .venv-312/.lamiro-installed .venv-np1/.lamiro-installed
	.venv-312/bin/python -m pytest -q
	.venv-np1/bin/python -m pytest -q

# The Python suite against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the runtimes are preloaded into the interpreter.
test-sanitize: .venv-asan/.lamiro-installed
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 LAMIRO_SANITIZED=1 \
	    .venv-asan/bin/python -m pytest -q -p no:cacheprovider

# The worker-pool tests under ThreadSanitizer.
test-tsan:
	scripts/ensure-system-packages libgtest-dev
	@[ -f build/tsan/CMakeCache.txt ] || cmake -S . -B build/tsan -DLAMIRO_BUILD_MODULE=OFF \
	    -DLAMIRO_BUILD_TESTS=ON -DLAMIRO_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/tsan -j $(JOBS) --target test_worker_pool test_simulation_context
	TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 build/tsan/test_worker_pool
	TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 build/tsan/test_simulation_context

test-all: test test-matrix test-sanitize test-tsan

# Speed figures: the kernel against its library-call floor (times and
# callgrind instruction counts), then simulate() from Python.
benchmark: .venv/.lamiro-installed .venv/.lamiro-pyperf build/cpp/CMakeCache.txt
	cmake --build build/cpp -j $(JOBS) --target kernel_bench
	build/cpp/kernel_bench
	benchmarks/instruction_counts.sh build/cpp/kernel_bench
	.venv/bin/python benchmarks/simulate_bench.py

# lamiro next to tmm, tmm-faster, tmm-fast (PyTorch on the CPU, in a Python
# 3.11 environment of its own) and a vectorised NumPy implementation.
compare-peers: .venv/.lamiro-installed .venv-torch/.lamiro-peers
	MPLBACKEND=Agg .venv/bin/python benchmarks/compare_peers.py --torch-python .venv-torch/bin/python

.venv/.lamiro-pyperf: .venv/.lamiro-venv
	.venv/bin/python -m pip install --quiet pyperf
	touch $@
.venv-torch/.lamiro-peers: .venv/.lamiro-venv benchmarks/install_peers.sh
	benchmarks/install_peers.sh .venv .venv-torch
	touch $@

# Every C++ file formatted as .clang-format says (Debian's clang-format).
CXX_FILES = $(shell git ls-files '*.cpp' '*.hpp')
format-check:
	scripts/ensure-system-packages clang-format
	@clang-format --dry-run --Werror $(CXX_FILES) && echo "$(words $(CXX_FILES)) C++ files formatted"

format:
	scripts/ensure-system-packages clang-format
	clang-format -i $(CXX_FILES)

clean:
	rm -rf build .venv .venv-312 .venv-np1 .venv-asan .venv-torch

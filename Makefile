# Quick start: `make demo` (set-up, then a real spectrum computed and shown)
# and `make test` (set-up, then every C++ and Python test). Both can be run
# again: finished set-up steps are not repeated and nothing unchanged is
# rebuilt.

SOURCES     := $(shell find src -type f) CMakeLists.txt pyproject.toml
JOBS        ?= 2
PIP_INSTALL  = -m pip install --quiet --no-build-isolation --no-deps
# The persistent build directory of the Makefile's installs (one per wheel
# tag), so a rebuild only recompiles what changed. A plain `pip install .`
# builds in a temporary directory instead.
BUILD_DIR    = -C build-dir=build/{wheel_tag}-{build_type}

# One .PHONY line per kind of target, so additions merge cleanly.
.PHONY: all install demo clean FORCE
.PHONY: test test-cpp test-python test-matrix test-sanitize test-tsan test-all
.PHONY: test-libm-variant
.PHONY: test-x86-variants
.PHONY: test-wheel test-aarch64 dist
.PHONY: benchmark pool-builds compare-peers
.PHONY: docs docs-screenshots
.PHONY: format format-check

all: install

# One virtual environment per (Python, NumPy) combination. The main one uses
# the newest Python of at least 3.12 and NumPy 2.x. The test, demo and
# distribution tools are the lists of pyproject.toml. make-venv runs every
# time but changes a stamp only when the requirements changed, so editing
# this Makefile reinstalls nothing.
.venv/.lamiro-venv: FORCE
	@scripts/make-venv .venv any "numpy>=2" extra:test group:dist
.venv-312/.lamiro-venv: FORCE
	@scripts/make-venv .venv-312 3.12 "numpy>=2" extra:test group:dist
.venv-np1/.lamiro-venv: FORCE
	@scripts/make-venv .venv-np1 3.12 "numpy>=1.26,<2" extra:test
.venv-asan/.lamiro-venv: FORCE
	@scripts/make-venv .venv-asan any "numpy>=2" extra:test

# The extension module, built by scikit-build-core into the persistent build
# directory and installed into the environment.
define install_module
$(1)/.lamiro-installed: $(1)/.lamiro-venv $$(SOURCES)
	$(1)/bin/python $$(PIP_INSTALL) $$(BUILD_DIR) .
	touch $$@
endef
$(foreach venv,.venv .venv-312 .venv-np1,$(eval $(call install_module,$(venv))))

.venv-asan/.lamiro-installed: .venv-asan/.lamiro-venv $(SOURCES)
	.venv-asan/bin/python $(PIP_INSTALL) -C build-dir=build/asan-{wheel_tag} \
	    -C cmake.define.LAMIRO_SANITIZE=ON -C cmake.build-type=RelWithDebInfo .
	touch $@

install: .venv/.lamiro-installed

.venv/.lamiro-demo-deps: .venv/.lamiro-venv pyproject.toml
	.venv/bin/python -m pip install --quiet $$(scripts/project-requirements extra:demo)
	touch $@

demo: .venv/.lamiro-installed .venv/.lamiro-demo-deps
	MPLBACKEND=Agg .venv/bin/python examples/demo.py --output examples/output/demo.png

build/cpp/CMakeCache.txt:
	scripts/ensure-system-packages libgtest-dev
	cmake -S . -B build/cpp -DLAMIRO_BUILD_MODULE=OFF -DLAMIRO_BUILD_TESTS=ON \
	    -DLAMIRO_BUILD_BENCHMARKS=ON

test-cpp: build/cpp/CMakeCache.txt
	cmake --build build/cpp -j $(JOBS)
	ctest --no-label-summary --test-dir build/cpp --output-on-failure -j $(JOBS)

# The C++ tests with glibc's non-FMA builds of exp, sin, cos and atan2, which
# differ from the FMA builds in the last bit of some results. Every bit test
# compares with the reference kernel in the same process; the stored words,
# written with another variant, report themselves skipped.
test-libm-variant: build/cpp/CMakeCache.txt
	cmake --build build/cpp -j $(JOBS)
	GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA ctest --no-label-summary --test-dir build/cpp --output-on-failure -j $(JOBS)

# The kernel variant probe, the bit tests and the thick-layer tests under
# qemu-user emulating older x86-64 processors: Haswell (AVX2, no AVX-512)
# and Nehalem (no AVX). Code wider than the variant the processor allows is
# an illegal instruction there, which no run on a newer processor shows.
X86_VARIANT_TARGETS = kernel_variant_probe test_stack_matrix_bits test_scaled_stack_matrix \
    test_layer_sweep
test-x86-variants: build/cpp/CMakeCache.txt
	scripts/ensure-system-packages qemu-user
	cmake --build build/cpp -j $(JOBS) --target $(X86_VARIANT_TARGETS)
	scripts/test-x86-variants build/cpp

# The Python suite, then stubtest on the installed type stubs, from a
# directory of its own so only what was installed is seen.
test-python: .venv/.lamiro-installed
	.venv/bin/python -m pytest -q
	@dir=$$(mktemp -d) && cd "$$dir" && env -u MYPYPATH $(CURDIR)/.venv/bin/python -m mypy.stubtest lamiro lamiro_design; \
	    status=$$?; rm -rf "$$dir"; exit $$status

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

# The worker-pool tests under ThreadSanitizer, run by CTest.
TSAN_TESTS = test_worker_pool test_simulation_context test_grid_request
test-tsan:
	scripts/ensure-system-packages libgtest-dev
	@[ -f build/tsan/CMakeCache.txt ] || cmake -S . -B build/tsan -DLAMIRO_BUILD_MODULE=OFF \
	    -DLAMIRO_BUILD_TESTS=ON -DLAMIRO_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/tsan -j $(JOBS) --target $(TSAN_TESTS)
	TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 ctest --no-label-summary --test-dir build/tsan \
	    --output-on-failure -L '^($(subst $() ,|,$(TSAN_TESTS)))$$'

# The core and the C++ tests cross-compiled for 64-bit ARM and run under
# qemu-user; GoogleTest is built with the cross compiler from Debian's sources.
build/aarch64/CMakeCache.txt:
	scripts/ensure-system-packages g++-aarch64-linux-gnu qemu-user googletest
	cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	    -DLAMIRO_BUILD_MODULE=OFF -DLAMIRO_BUILD_TESTS=ON -DLAMIRO_GTEST_SOURCE=/usr/src/googletest

# Under qemu-user the emulator's own threads (one started in every process
# and every forked child) and address-space reservations are part of the
# process, so the tests that count the process's threads or limit its
# address space measure the emulator there; they run natively in test-cpp.
AARCH64_EMULATOR_BLIND = ^(Creation|Fork)\.|^Table/PoolWorkerCount\.ThreadsStarted
test-aarch64: build/aarch64/CMakeCache.txt
	cmake --build build/aarch64 -j $(JOBS)
	ctest --no-label-summary --test-dir build/aarch64 --output-on-failure -j $(JOBS) -E '$(AARCH64_EMULATOR_BLIND)'

test-all: test test-libm-variant test-x86-variants test-matrix test-sanitize test-tsan test-wheel test-aarch64

# Distributions in dist/: the sdist, and from it a wheel for each Python of
# .venv and .venv-312, repaired by auditwheel to a manylinux tag and checked
# by twine.
dist: .venv/.lamiro-venv .venv-312/.lamiro-venv
	scripts/make-dist .venv .venv-312

# The wheel of the Python that .venv does not use, installed into a fresh
# environment with no compiler and tested from outside the source tree.
test-wheel: dist
	scripts/test-wheel .venv-312

# The worker pool against the one before its latency work (commit
# BEFORE_POOL_COMMIT), side by side: two builds of this tree that differ only
# in the pool's source, each with the module (in build/pool-*/module) and the
# pool benchmark. Both start every function on a 64-byte boundary, so the
# kernel's code has the same alignment in both: otherwise the pool's code
# size moves the kernel, and the few per cent that its placement is worth
# would pass for a difference between the pools.
BEFORE_POOL_COMMIT = 8b985b4
POOL_BUILD_FLAGS = -DLAMIRO_BUILD_BENCHMARKS=ON -DCMAKE_CXX_FLAGS=-falign-functions=64 \
    -DPython_EXECUTABLE=$(CURDIR)/.venv/bin/python
build/pool-before/worker_pool.cpp:
	@mkdir -p build/pool-before
	git show $(BEFORE_POOL_COMMIT):src/pool/worker_pool.cpp > $@.tmp || \
	    { rm -f $@.tmp; echo "the pool of commit $(BEFORE_POOL_COMMIT) is needed (a full clone)" >&2; exit 1; }
	mv $@.tmp $@
build/pool-before/CMakeCache.txt: build/pool-before/worker_pool.cpp .venv/.lamiro-venv
	cmake -S . -B build/pool-before $(POOL_BUILD_FLAGS) \
	    -DLAMIRO_POOL_SOURCE=$(CURDIR)/build/pool-before/worker_pool.cpp \
	    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(CURDIR)/build/pool-before/module
build/pool-this/CMakeCache.txt: .venv/.lamiro-venv
	cmake -S . -B build/pool-this $(POOL_BUILD_FLAGS) \
	    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(CURDIR)/build/pool-this/module
pool-builds: build/pool-before/CMakeCache.txt build/pool-this/CMakeCache.txt
	cmake --build build/pool-before -j $(JOBS) --target lamiro pool_bench
	cmake --build build/pool-this -j $(JOBS) --target lamiro pool_bench

# Speed figures: the kernel against its library-call floor (times and
# callgrind instruction counts), the per-layer functions (gradient,
# absorption, needle) next to simulate()'s kernel and spectra; the worker
# pool next to the earlier one, in C++ and from Python (latency around the
# parallel threshold, idle processor time, two processes at once, the design
# loop, simulate() on large problems); then simulate() of the installed
# module from Python and lamiro_design next to simulate() on the same stacks.
benchmark: .venv/.lamiro-installed .venv/.lamiro-bench-deps build/cpp/CMakeCache.txt pool-builds
	scripts/ensure-system-packages valgrind
	cmake --build build/cpp -j $(JOBS) --target kernel_bench sweep_bench
	build/cpp/kernel_bench
	benchmarks/instruction_counts.sh build/cpp/kernel_bench
	build/cpp/sweep_bench
	benchmarks/sweep_instruction_counts.sh build/cpp/sweep_bench
	build/pool-this/pool_bench --before build/pool-before/pool_bench
	.venv/bin/python benchmarks/pool_latency.py --before build/pool-before/module \
	    --this build/pool-this/module
	.venv/bin/python benchmarks/simulate_bench.py --before build/pool-before/module \
	    --this build/pool-this/module
	.venv/bin/python benchmarks/design_bench.py

# lamiro next to tmm, tmm-faster, tmm-fast (PyTorch on the CPU, in a Python
# 3.11 environment of its own) and a vectorised NumPy implementation; then
# lamiro_design's thickness gradient next to tmm-fast's automatic
# differentiation.
compare-peers: .venv/.lamiro-installed .venv/.lamiro-bench-deps .venv-torch/.lamiro-peers
	MPLBACKEND=Agg .venv/bin/python benchmarks/compare_peers.py --torch-python .venv-torch/bin/python
	.venv/bin/python benchmarks/gradient_peers.py --torch-python .venv-torch/bin/python

.venv/.lamiro-bench-deps: .venv/.lamiro-venv pyproject.toml
	.venv/bin/python -m pip install --quiet $$(scripts/project-requirements group:bench)
	touch $@
.venv-torch/.lamiro-peers: .venv/.lamiro-venv benchmarks/install_peers.sh
	benchmarks/install_peers.sh .venv .venv-torch
	touch $@

# The documentation site in build/docs/html, warnings as errors: the guide,
# the API reference from the type stubs, the gallery from running every
# example (short budgets), then the guide's code samples as doctests (the
# gallery is not run again for them; the errors page's samples make lamiro
# write its fault diagnostics, "thread ... panicked at", to standard error).
DOCS_BUILD = build/docs
docs: .venv/.lamiro-installed .venv/.lamiro-docs-deps
	@# sphinx-gallery runs an unchanged example only once; a rebuilt module runs them all again.
	@if [ docs/gallery -ot .venv/.lamiro-installed ]; then rm -rf docs/gallery; fi
	MPLBACKEND=Agg .venv/bin/python -m sphinx -W --keep-going -q -b html -d $(DOCS_BUILD)/doctrees-html docs $(DOCS_BUILD)/html
	.venv/bin/python -m sphinx -W --keep-going -q -b doctest -d $(DOCS_BUILD)/doctrees-doctest -D plot_gallery=0 docs $(DOCS_BUILD)/doctest
	@awk '/^Doctest summary/ {on = 1} on && /^ *[0-9]+ tests$$/ {print "doctests of the guide:" $$0 ", all passed"}' $(DOCS_BUILD)/doctest/output.txt
	@echo "documentation in $(DOCS_BUILD)/html/index.html"

.venv/.lamiro-docs-deps: .venv/.lamiro-venv pyproject.toml
	.venv/bin/python -m pip install --quiet $$(scripts/project-requirements group:docs extra:examples)
	touch $@

# Screenshots of the built site as a reader sees it (Debian's Chromium,
# headless), one page of each kind, in build/docs/screenshots.
DOCS_PAGES = index guide/angles api/lamiro/index gallery/metal_mirror
docs-screenshots: docs
	scripts/ensure-system-packages chromium
	mkdir -p $(DOCS_BUILD)/screenshots
	for page in $(DOCS_PAGES); do \
	    chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,2400 \
	        --screenshot=$(DOCS_BUILD)/screenshots/$$(echo $$page | tr / -).png \
	        file://$(CURDIR)/$(DOCS_BUILD)/html/$$page.html 2>/dev/null || exit 1; \
	done
	@ls $(DOCS_BUILD)/screenshots

# Every C++ file formatted as .clang-format says (Debian's clang-format).
CXX_FILES = $(shell git ls-files '*.cpp' '*.hpp')
format-check:
	scripts/ensure-system-packages clang-format
	@clang-format --dry-run --Werror $(CXX_FILES) && echo "$(words $(CXX_FILES)) C++ files formatted"

format:
	scripts/ensure-system-packages clang-format
	clang-format -i $(CXX_FILES)

clean:
	rm -rf build dist .venv .venv-312 .venv-np1 .venv-asan .venv-torch

FORCE:

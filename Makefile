# Entry points of the project. `make demo` and `make test` each do all set-up
# on a fresh machine (Debian packages, the .venv, the build) before running.

BUILD_DIR ?= build
PY        := .venv/bin/python
PYTEST    := .venv/bin/pytest
JOBS      ?= $(shell nproc)


.PHONY: all setup configure build test test-cpp test-python test-asan test-tsan lint demo bench bench-peers fuzz soak wheel clean

all: build

setup:
	@scripts/setup.sh

configure: setup
	@if [ ! -f $(BUILD_DIR)/build.ninja ]; then \
	  cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo; \
	fi

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test-cpp: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-python: build
	@$(PYTEST) -q tests/python tests/devserver

test: test-cpp test-python

# The C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
# (with leak detection), in a build tree of their own.
test-asan: setup
	@if [ ! -f build-asan/build.ninja ]; then \
	  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZV_BUILD_BENCHMARKS=OFF \
	    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer" \
	    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
	    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"; \
	fi
	@cmake --build build-asan -j $(JOBS) --target zv_unit_tests zv_metadata_engine_tests zorvane_adbc
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  build-asan/tests/cpp/zv_unit_tests
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  build-asan/tests/cpp/metadata_engine/zv_metadata_engine_tests
	@# The hostile-server tests through a real host, with the sanitized driver
	@# loaded into Python: a read outside a received batch's buffers stops the run.
	@ZV_ADBC_DRIVER=$(CURDIR)/build-asan/src/libzorvane_adbc.so \
	  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python/test_hostile_streams.py tests/python/test_redirects.py

# clang-format (check only: `clang-format -i` fixes), clang-tidy (.clang-tidy,
# over the compile commands of $(BUILD_DIR)) and ruff (ruff.toml) over the
# whole tree. `make lint LINT_BASE=<rev>` checks only the files changed since
# <rev>, committed or not (CI: LINT_BASE=HEAD~1, the main before the merge being
# tested; a <rev> the clone does not have lints everything). clang-tidy skips
# the files matching TIDY_EXCLUDE (an extended regular expression over paths;
# none by default).
LINT_BASE    ?=
TIDY_EXCLUDE ?=
lint: configure
	@BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) LINT_BASE=$(LINT_BASE) TIDY_EXCLUDE='$(TIDY_EXCLUDE)' scripts/lint.sh

# The driver and the C++ unit tests under ThreadSanitizer, in build-tsan/:
# the unit tests, then the threaded Python tests (cancel from other threads,
# concurrent statements, token expiry and refresh, then TSAN_SOAK seconds of
# soak) with the instrumented driver loaded into Python and libtsan
# preloaded. Python and the pyarrow wheel's Arrow are not instrumented:
# tests/tsan.supp lists what is suppressed in them, and why. A report stops
# the run (halt_on_error), and a race in the driver is a fault to fix.
# Arrow allocates with malloc, which TSan sees, instead of its bundled
# mimalloc (whose per-thread heaps recycle locks in a way TSan reports).
TSAN_ENV := ARROW_DEFAULT_MEMORY_POOL=system \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp"
# In Python, lock-order checking is off too: Arrow's bundled jemalloc takes
# more locks at fork (subprocess) than TSan can track; pytest leaves stderr
# alone so that a report reaches the log before the run stops.
TSAN_PY_ENV := ARROW_DEFAULT_MEMORY_POOL=system PYTHONPATH=$(CURDIR)/tests/tsan_stubs \
  ZV_ADBC_DRIVER=$(CURDIR)/build-tsan/src/libzorvane_adbc.so \
  LD_PRELOAD="$$($(CXX) -print-file-name=libtsan.so)" \
  TSAN_OPTIONS="halt_on_error=1 detect_deadlocks=0 suppressions=$(CURDIR)/tests/tsan.supp"
test-tsan: setup
	@if [ ! -f build-tsan/build.ninja ]; then \
	  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZV_BUILD_BENCHMARKS=OFF \
	    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
	    -DCMAKE_C_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
	    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" \
	    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" \
	    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"; \
	fi
	@cmake --build build-tsan -j $(JOBS) --target zv_unit_tests zorvane_adbc
	@$(TSAN_ENV) build-tsan/tests/cpp/zv_unit_tests
	@$(TSAN_PY_ENV) ZV_BUILD_DIR=$(CURDIR)/build-tsan \
	  $(PY) -m pytest -q -p no:cacheprovider --capture=sys --timeout 300 $(TSAN_PYTEST)
	@if [ "$(TSAN_SOAK)" != 0 ]; then \
	  $(TSAN_PY_ENV) $(PY) scripts/soak.py --seconds $(TSAN_SOAK) --threads 4 \
	    --memory-slack-mib 1024; fi
# Seconds of soak after the tests (0: none). Its memory check allows 1 GiB:
# ThreadSanitizer's allocator and shadow memory grow with what the threads
# did (481 -> 801 MiB seen in 30 s), which says nothing about the driver; the
# plain soak (`make soak`) keeps the 256 MiB bound.
TSAN_SOAK ?= 30
# The threaded Python tests test-tsan runs (tests/tsan_stubs keeps polars,
# which crashes under libtsan, from loading).
TSAN_PYTEST := tests/python/test_cancel.py tests/python/test_recovery.py \
  tests/python/test_queries.py::test_stress_many_connections_and_queries_leave_nothing_behind

# The Windows code of the platform and diagnostics layers, cross-built with
# MinGW-w64 into build-windows/, its unit tests run under Wine in a prefix made
# for the run inside that folder (tests/windows/run_tests.sh).
.PHONY: test-windows
test-windows: setup
	@JOBS=$(JOBS) tests/windows/run_tests.sh

# The installable wheel (dist/adbc_driver_zorvane-*-manylinux_*.whl): a
# release build of the driver in build-wheel/ (its debug information stays
# there, in libadbc_driver_zorvane.so.debug), repaired by auditwheel (the
# libraries it needs bundled, the manylinux tag), with the driver manifest that
# lets hosts load it by name. The same build as `pip wheel ./python`, with the
# pinned build requirements taken from .venv instead of an isolated
# environment; both compile with the flags of `make build`, so ccache serves
# unchanged sources.
wheel: setup
	@$(PY) -m pip wheel -q --no-build-isolation --no-deps ./python -w dist
	@$(PY) -m twine check --strict dist/adbc_driver_zorvane-*.whl
	@ls -l dist/adbc_driver_zorvane-*.whl

demo: build
	@$(PY) scripts/demo.py

bench: build
	@scripts/run_benchmarks.sh

# This driver beside adbc-driver-postgresql (against a PostgreSQL started for
# the run) and raw transfers: table, JSON and charts under bench/results/.
# PEERS_ARGS="--size small" or "--rows N --tables N" for a shorter run.
bench-peers: build
	@$(PY) bench/peers/run.py $(PEERS_ARGS)

# Bounded fuzzing runs (libFuzzer, clang from Debian) of the frame parser,
# base64, IPC decoding and the metadata engine's SQL front end, then a long
# differential run of the metadata engine against DuckDB with a random seed.
fuzz: build
	@bench/fuzz_stream.sh
	@bench/fuzz_metadata_engine.sh
	@$(PY) tests/python/metadata_engine/differential.py --queries 5000 --seed random

# Threads of queries, catalog calls and ingests against the dev server while
# its faults are armed at random; SOAK_ARGS="--seconds 1800" runs longer.
soak: build
	@$(PY) scripts/soak.py $(SOAK_ARGS)

clean:
	rm -rf $(BUILD_DIR)

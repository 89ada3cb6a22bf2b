# Entry points of the project. `make demo` and `make test` each do all set-up
# on a fresh machine (Debian packages, the .venv, the build) before running.

BUILD_DIR ?= build
PY        := .venv/bin/python
PYTEST    := .venv/bin/pytest
JOBS      ?= $(shell nproc)


.PHONY: all setup configure build test test-cpp test-python demo bench fuzz clean

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

demo: build
	@$(PY) scripts/demo.py

bench: build
	@scripts/run_benchmarks.sh

# Bounded fuzzing runs (libFuzzer, clang from Debian) of the frame parser,
# base64, IPC decoding and the metadata engine's SQL front end.
fuzz: setup
	@bench/fuzz_stream.sh
	@bench/fuzz_metadata_engine.sh

clean:
	rm -rf $(BUILD_DIR)

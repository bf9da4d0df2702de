# kelmor: `make demo` reads the bundled sample file, `make test` runs every test.
# Both create what they need: a .venv with CPython 3.12 or later, the package built by pip.

SHELL := /bin/bash
VENV := .venv
CPP_BUILD := build/cpp

.PHONY: demo test test-cpp test-python test-matrix venv clean dist wheels wheel-check bench bench-matrix \
	bench-study bench-builds instructions

$(VENV)/bin/python:
	@py=$$(tools/find-python --first) && echo "Creating $(VENV) with $$py" && \
	  "$$py" -m venv $(VENV) && $(VENV)/bin/python -m pip install -q --upgrade pip

venv: $(VENV)/bin/python

# The main job: read the bundled sample plot file.
demo: venv
	$(VENV)/bin/python -m pip install -q .
	$(VENV)/bin/python examples/read_sample.py

test: test-cpp test-python

# C++ unit tests of the reader core, built as this processor runs it (SSE2 on x86-64) and
# built portable, as other processors run it.
test-cpp:
	tools/ensure-cpp-deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DKELMOR_BUILD_TESTS=ON \
	  -DKELMOR_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(CPP_BUILD)
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j2
	cmake -S . -B $(CPP_BUILD)-portable -G Ninja -DKELMOR_BUILD_TESTS=ON -DKELMOR_SIMD=OFF \
	  -DKELMOR_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(CPP_BUILD)-portable
	ctest --test-dir $(CPP_BUILD)-portable --output-on-failure -j2

# Python tests, under every CPython 3.12 or later found on the machine.
test-python: venv
	tools/run-python-tests

# The whole suite under every CPython users run: `make test` here (every CPython >= 3.12 found),
# then again in a Debian sid root under build/debian-sid with GCC 16 and CPython 3.14 and 3.15.
# Fails when any of 3.12, 3.13, 3.14 and 3.15 was not tested. Needs root (debootstrap, chroot).
test-matrix:
	tools/test-matrix

# make bench here, then under CPython 3.14 and 3.15 (GCC 16) in the Debian sid root.
bench-matrix:
	tools/test-matrix --bench

# Distribution: sdist and wheel by `python -m build`, checked (metadata, contents, manylinux
# tag by auditwheel, fresh-venv installs of both running the test suite), left in dist/.
dist:
	tools/check-dist

# The portable wheels (tools/build-wheels): the sdist and a manylinux_2_17 wheel for each
# CPython 3.12 to 3.15 on x86_64 and 3.13 to 3.15 on aarch64, built with Zig's clang and libc++
# for glibc 2.17, checked by auditwheel and tested: the C++ tests with the same toolchain, each
# wheel's Python suite on its interpreter (aarch64 under qemu-user), the cp313 wheel also in a
# Debian 11 root without a compiler. Leaves them in dist/ with a summary table. Needs root; about
# an hour and a half the first time. `make wheels WHEELS="cp313-x86_64 cp314-aarch64"` picks some.
WHEELS ?=
wheels:
	tools/build-wheels $(WHEELS)

# The quick check of CI: the cp313 x86_64 wheel built with the same toolchain, checked by
# auditwheel and check_dist.py, not tested (a few minutes).
WHEEL_CHECK ?= cp313-x86_64
wheel-check:
	tools/build-wheels --build-only $(WHEEL_CHECK)

# Speed and memory against the floor and the readers a user would write instead (NumPy and
# pandas come from the package's `bench` extra), then the C++ core alone, then kelmor_arrays
# against the core's own read, the NumPy peer and kelmor, and over 1 and 2 threads
# (bench/arrays.py). Generated plot files go to bench/data. `make bench BENCH_ARGS=--quick`
# skips the large files.
BENCH_BUILD := build/bench
BENCH_ARGS ?=
bench: venv
	tools/ensure-cpp-deps --bench
	$(VENV)/bin/python -m pip install -q ".[bench]"
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DKELMOR_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j2
	$(BENCH_BUILD)/bench/bench_core $$($(VENV)/bin/python bench/generate.py $(BENCH_ARGS))
	$(VENV)/bin/python bench/run.py $(BENCH_ARGS)
	$(VENV)/bin/python bench/arrays.py $(BENCH_ARGS)

# The developer build (g++, libstdc++) against the portable wheel (Zig's clang, libc++) of the
# same CPython, taking turns in one run (bench/builds.py); builds the wheel when dist/ has none.
BENCH_BUILDS_ARGS ?=
bench-builds: venv
	$(VENV)/bin/python -m pip install -q .
	tag=$$($(VENV)/bin/python -c 'import sys; print("cp%d%d" % sys.version_info[:2])') && \
	  { ls dist/kelmor-*-$$tag-*manylinux*_x86_64.whl >/dev/null 2>&1 || \
	    $(MAKE) wheel-check WHEEL_CHECK=$$tag-x86_64; } && \
	  rm -rf build/venv-wheel && $(VENV)/bin/python -m venv --without-pip build/venv-wheel && \
	  $(VENV)/bin/python -m pip --python build/venv-wheel/bin/python install -q --no-deps \
	    dist/kelmor-*-$$tag-*manylinux*_x86_64.whl
	$(VENV)/bin/python bench/builds.py $(BENCH_BUILDS_ARGS) "g++=$(VENV)/bin/python" \
	  "zig=build/venv-wheel/bin/python"

# The parameter study benchmark (bench/study.py): one process, the process pool and a Dask
# LocalCluster on 24 generated files in bench/data/study, and the cost of moving results
# between processes. `make bench-study BENCH_STUDY_ARGS="--repeat 3"` passes options.
BENCH_STUDY_ARGS ?=
bench-study: venv
	$(VENV)/bin/python -m pip install -q ".[study]"
	$(VENV)/bin/python bench/study.py $(BENCH_STUDY_ARGS)

# Instructions per value of the core and of a whole call over the floor, counted by callgrind:
# figures that the load of a shared machine does not change.
instructions: venv
	tools/ensure-cpp-deps --bench
	tools/ensure-cpp-deps --valgrind
	$(VENV)/bin/python -m pip install -q ".[bench]"
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DKELMOR_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j2 --target read_once
	$(VENV)/bin/python bench/instructions.py --read-once $(BENCH_BUILD)/bench/read_once

# --one-file-system: never through the /proc or /dev mounts of a Debian root that is in use.
clean:
	rm -rf --one-file-system build dist $(VENV)

# Hardening runs (not part of `make test`).
.PHONY: fuzz valgrind test-sanitize test-aarch64 exhaustive

# Every finite binary32 value in both writers' layouts, through the reader's direct way for data
# lines, against glibc's strtof, on every core (minutes; EXHAUSTIVE_STEP=k takes every k-th value).
EXHAUSTIVE_STEP ?= 1
exhaustive:
	cmake -S . -B build/exhaustive -G Ninja -DKELMOR_BUILD_EXHAUSTIVE=ON -DCMAKE_BUILD_TYPE=Release \
	  -DKELMOR_WARNINGS_AS_ERRORS=ON
	cmake --build build/exhaustive -j2
	build/exhaustive/tests/exhaustive/exhaustive $(EXHAUSTIVE_STEP)

# The core and its C++ tests cross-built for aarch64 and run under qemu's user-mode emulation.
test-aarch64:
	tools/test-aarch64

# Coverage-guided fuzzing of the reader core with libFuzzer (clang, ASan and UBSan): the
# decoder, the reader and the text helpers, each for FUZZ_SECONDS seconds.
FUZZ_SECONDS ?= 180
fuzz:
	tools/ensure-cpp-deps --fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run-fuzz

# valgrind memcheck over every success and failure kind, threads and failing allocations.
valgrind: venv
	tools/ensure-cpp-deps --valgrind
	$(VENV)/bin/python -m pip install -q .
	tools/valgrind-check

# The whole Python suite against a module built with ASan and UBSan (own venv and build folder),
# then a leak check of the module under LSan.
test-sanitize:
	tools/test-sanitize

# One C++ format for src/, tests/cpp/, fuzz/ and bench/ (.clang-format): `make format` rewrites
# the files in place, `make check-format` fails on any difference. clang-format 14 comes from
# Debian's packages (installed when missing); other versions format differently.
.PHONY: format check-format
CLANG_FORMAT := clang-format-14
FORMAT_FILES = $(shell find src tests/cpp fuzz bench \( -name '*.cpp' -o -name '*.hpp' \) | sort) \
  fuzz/compat/source_location
format:
	tools/ensure-cpp-deps --format
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

check-format:
	tools/ensure-cpp-deps --format
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

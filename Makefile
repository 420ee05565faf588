# msistub: top-level commands. `make test` and `make demo` work on a fresh machine as root:
# they install what is missing (Debian packages, the mingw libcrypto) themselves.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CTEST_JOBS ?= 2
# The Wine tests run side by side; most of their time is Wine starting and waiting, not CPU.
# Those that find windows and send them keys with xdotool hold the display one at a time
# (CTest resource lock "display", msistub_add_wine_script DRIVES_WINDOWS).
WINE_CTEST_JOBS ?= 4
FUZZ_SECONDS ?= 60

.PHONY: all deps build build-host build-win64 test test-host test-win64 demo fuzz bench clean

all: build

deps:
	@tools/deps.sh
	@tools/build-openssl-mingw.sh >/dev/null
	@tools/build-libdeflate-mingw.sh >/dev/null
	@tools/build-googletest-mingw.sh >/dev/null

build-host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

build-win64: deps build-host
	cmake --preset win64 >/dev/null
	cmake --build --preset win64 -j $(JOBS)

build: build-host build-win64

test-host: build-host
	ctest --preset host -j $(CTEST_JOBS)

test-win64: build-win64
	ctest --preset win64 -j $(WINE_CTEST_JOBS)

# Every test of both trees and a 3-second run of each fuzzer (build/fuzz). The Wine tests spend
# most of their time waiting for Wine, so the fuzzers (built with clang first) and the host
# tests run beside them, their output kept in build/fuzz.log and build/host-test.log and shown
# after the Wine tests' own; CTest's summary of each tree ends its part, and the exit code is
# non-zero when any test failed.
test: build
	@rc=0; \
	(JOBS=$(JOBS) fuzz/run-fuzzers.sh 3 >build/fuzz.log 2>&1; echo $$? >build/fuzz.rc) & fuzz=$$!; \
	(ctest --preset host -j $(CTEST_JOBS) >build/host-test.log 2>&1; echo $$? >build/host-test.rc) & host=$$!; \
	ctest --preset win64 -j $(WINE_CTEST_JOBS) || rc=1; \
	wait $$fuzz $$host; \
	echo; echo "== fuzzers (build/fuzz.log)"; cat build/fuzz.log; \
	echo; echo "== host tests (build/host-test.log)"; cat build/host-test.log; \
	[ "$$(cat build/fuzz.rc)" = 0 ] || rc=1; \
	[ "$$(cat build/host-test.rc)" = 0 ] || rc=1; \
	exit $$rc

# Each libFuzzer target for FUZZ_SECONDS (clang, tree build/fuzz); a table of executions,
# corpus sizes and findings, and a non-zero exit code when a target found anything.
fuzz:
	@tools/deps.sh
	@JOBS=$(JOBS) fuzz/run-fuzzers.sh $(FUZZ_SECONDS)

demo: build
	@tools/demo.sh

# Benchmarks (not part of `make test`): Release trees build/bench-*, seeded data, one table
# of figures against their targets on stdout and in bench/results.md. BENCH_RUNS=5 timed runs.
bench: deps
	@JOBS=$(JOBS) python3 bench/run.py

clean:
	rm -rf build

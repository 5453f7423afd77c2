# Front door: `make run` builds and runs the self-check, `make test` runs
# every test through CTest. Both install missing Debian packages first.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Warnings are errors in CI.
WERROR ?= $(if $(CI),ON,OFF)

PACKAGES := cmake make g++ pkg-config libcjson-dev libgtest-dev libgmock-dev libbenchmark-dev libabsl-dev
# Only the slower gates of .ci/run need these; tshark runs the Wireshark
# dissector's test and the m68k cross tools the Mac-side reader's test; each
# test reports itself skipped when its tools are missing.
CI_PACKAGES := clang libclang-rt-14-dev valgrind tshark gcc-m68k-linux-gnu libc6-dev-m68k-cross qemu-user lua5.4
# The PowerPC cross tools, for the Mac-side reader's test too.
CI_PACKAGES += gcc-powerpc-linux-gnu libc6-dev-powerpc-cross
# The benchmarks measure ICU beside iconv; without it bench_text leaves its rows out.
BENCH_PACKAGES := libicu-dev

.PHONY: all run test install deps ci-deps build configure clean asan asan-test bench-deps bench bench-report fuzz-build fuzz fuzz-smoke memcheck tsan tsan-test cross-test

all: build

deps:
	@sh scripts/install-deps.sh $(PACKAGES)

ci-deps:
	@sh scripts/install-deps.sh $(PACKAGES) $(CI_PACKAGES)
	@sh scripts/cross-deps.sh build-cross

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTWRELAY_WERROR=$(WERROR)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/twrelay_selfcheck

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Library, headers, package files, twl-dump and its manual page under PREFIX.
# DESTDIR, when set, is put in front of every path (for staging a package).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake --preset asan -DTWRELAY_WERROR=$(WERROR)
	cmake --build --preset asan -j $(JOBS)

asan-test: asan
	ctest --preset asan -j $(JOBS)

# The tests under ThreadSanitizer, the threaded one among them.
tsan: deps
	cmake --preset tsan -DTWRELAY_WERROR=$(WERROR)
	cmake --build --preset tsan -j $(JOBS)

# Reports go to files, as a test may be capturing standard error: shown on failure.
tsan-test: tsan
	rm -f build-tsan/tsan-report.*
	ctest --preset tsan -j $(JOBS) || { cat build-tsan/tsan-report.* 2>/dev/null; exit 1; }

# The self-check, unit tests and corpus replays built for arm64 and s390x
# and run under qemu-user; a CPU whose tools are missing is skipped.
cross-test:
	JOBS=$(JOBS) WERROR=$(WERROR) sh scripts/cross-test.sh . build-cross

bench-deps:
	@sh scripts/install-deps.sh $(PACKAGES) $(BENCH_PACKAGES)

bench: bench-deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

# Benchmark figures for the default build type (what `make run` builds and
# installs) and for Release, pinned to one CPU with interleaved repetitions,
# and the chart of docs/PERFORMANCE.md.
bench-report: bench-deps build bench
	sh scripts/bench.sh $(BUILD_DIR) build-release

# libFuzzer harnesses (clang): `make fuzz` runs each for FUZZ_SECONDS,
# `make fuzz-smoke` for the short time CI allows.
FUZZ_SECONDS ?= 600
fuzz-build: ci-deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	sh scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	sh scripts/run-fuzzers.sh build-fuzz 30

# The self-check under valgrind: no error and no byte left allocated.
memcheck: build
	valgrind --quiet --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
		--error-exitcode=1 ./$(BUILD_DIR)/twrelay_selfcheck >/dev/null

clean:
	rm -rf $(BUILD_DIR) build-asan build-dev build-release build-fuzz fuzz-artifacts bench-results build-tsan build-cross

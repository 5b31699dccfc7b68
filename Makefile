# `make demo` sets up, builds and shows the program at work against peers of its own; `make run` sets up,
# builds and starts the program; `make test` sets up, builds and runs every test; `make bench` builds and
# runs the benchmarks; `make fuzz` builds and runs the fuzz targets.
BUILD ?= build
# Optimised, with line tables (enough for perf, callgrind and heaptrack) rather than full debug information,
# which takes much longer to compile and link.
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"

.PHONY: all setup build run demo test test-sanitized bench fuzz clean
all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

run: build
	@scripts/run.sh $(BUILD)/chimely

demo: build
	@scripts/demo.sh $(BUILD)

# Two tests at a time (TEST_JOBS): most of a test's time is spent waiting for peers and timers; the few
# that measure time or processor use run alone (RUN_SERIAL in tests/CMakeLists.txt).
TEST_JOBS ?= 2
test: build
	@cd $(BUILD) && ctest -j$(TEST_JOBS) --output-on-failure --timeout 300 $(CTEST_FLAGS)

# `make bench` builds the benchmarks and runs each of them BENCH_RUNS times (default 3; BENCH_QUICK=1
# shortens each), then prints one table of the program against its anchors.
bench: build
	@cmake --build $(BUILD) --target benchmarks
	@$(BUILD)/bench/bench_report

# The unit, SIP-layer and end-to-end tests again under AddressSanitizer and UndefinedBehaviorSanitizer, in a build of
# their own; every sanitizer finding fails the test that made it. Unoptimised with line tables only, which
# builds several times faster here and still gives every report its file and line.
SANITIZED_BUILD ?= build-asan
test-sanitized: setup
	@cmake -S . -B $(SANITIZED_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
		-DCHIMELY_SANITIZE=address,undefined >/dev/null
	@cmake --build $(SANITIZED_BUILD) --target tests_unit tests_sip tests_e2e
	@cd $(SANITIZED_BUILD) && \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		ctest -j$(TEST_JOBS) --output-on-failure --timeout 600 -L 'unit|sip|e2e' $(CTEST_FLAGS)

# Builds the fuzz targets with clang (build-fuzz) and runs each for FUZZ_SECONDS (default 30).
fuzz: setup
	@scripts/fuzz.sh

clean:
	rm -rf $(BUILD)

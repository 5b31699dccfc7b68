# `make demo` sets up, builds and shows the program at work against peers of its own; `make run` sets up, builds and starts the program; `make test` sets up, builds and runs every test.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build run demo test bench clean
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

test: build
	@cd $(BUILD) && ctest --output-on-failure --timeout 300 $(CTEST_FLAGS)

bench: build
	@cmake --build $(BUILD) --target benchmarks

clean:
	rm -rf $(BUILD)

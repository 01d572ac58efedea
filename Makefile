# make test: install what is missing, build, run every test.
# make demo: build and smooth R's volcano into out/volcano.png.
# make bench: the native benchmark (nodes per second against the literal fit).
BUILD ?= build
BUILD_TYPE ?= Release

.PHONY: all setup build test demo bench clean

all: build

setup:
	@tools/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure

demo: build
	ORVEL_LIBDIR=$(abspath $(BUILD)) Rscript examples/volcano.R

bench: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DORVEL_BENCH=ON
	cmake --build $(BUILD) -j2
	$(BUILD)/bench/orvel_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

clean:
	rm -rf $(BUILD) out

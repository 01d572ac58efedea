# make test: install what is missing, build, run every test.
# make demo: build and smooth R's volcano into out/volcano.png.
BUILD ?= build
BUILD_TYPE ?= Release

.PHONY: all setup build test demo clean

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

clean:
	rm -rf $(BUILD) out

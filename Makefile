# make demo: install what is missing, build, make the demo practice in ./demo and convert it.
# make test: install what is missing, configure, build and run every test.
# make run:  build and open the window.
# make fuzz: build the fuzz targets (clang) and run each for FUZZ_SECONDS seconds.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=

FUZZ_SECONDS ?= 20
FUZZ_BUILD ?= build-fuzz

.PHONY: deps configure build demo test run clean sanitize fuzz

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

demo: build
	$(BUILD)/src/app/bild2dicom demo demo

run: build
	$(BUILD)/src/app/bild2dicom

sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DB2D_SANITIZE=ON -DB2D_BUILD_BENCH=OFF"

# make fuzz: build the libFuzzer targets with clang in FUZZ_BUILD and run each for FUZZ_SECONDS
# over a scratch copy of its corpus; fails on any crash, leak or timeout.
fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -G Ninja -DB2D_FUZZ=ON -DB2D_BUILD_TESTS=OFF \
	  -DB2D_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	fuzz/run-all $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-asan build-fuzz

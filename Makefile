# make demo: install what is missing, build, make the demo practice in ./demo and convert it.
# make test: install what is missing, configure, build and run every test.
# make run:  build and open the window.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps configure build demo test run clean sanitize

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

clean:
	rm -rf $(BUILD) build-asan

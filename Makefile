# Thin wrapper around CMake; the README's two commands are 'make demo' and 'make test'.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench screenshot clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	./scripts/demo.sh $(BUILD)

bench: build
	./bench/run.sh $(BUILD)

screenshot: build
	./scripts/screenshot.sh $(BUILD)

clean:
	rm -rf $(BUILD)

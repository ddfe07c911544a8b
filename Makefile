# Wraps CMake: `make` builds Release into build/, `make test` runs the whole suite.
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test demo bench fuzz test-sanitize install package clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@sh scripts/demo.sh $(BUILD)

bench: build
	@sh scripts/bench.sh $(BUILD)

test-sanitize: deps
	@cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	@cd $(SAN_BUILD) && ctest --output-on-failure -j $(JOBS)

fuzz: deps
	@CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@sh scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	@cd $(BUILD) && cpack -G DEB

clean:
	@rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)

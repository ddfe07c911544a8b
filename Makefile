# Wraps CMake: `make` builds Release into build/, `make test` runs the whole suite.
# Each goal installs the Debian packages of its groups first (scripts/install-deps.sh).
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test demo bench fuzz test-sanitize install package format-check clean

# Package groups per goal, on top of build; the goals given on one command line add up.
groups_test          = test
groups_bench         = bench
groups_fuzz          = fuzz
groups_test-sanitize = test sanitize
groups_package       = package
DEPS_GROUPS ?= build $(foreach goal,$(MAKECMDGOALS),$(groups_$(goal)))

# The suite needs GoogleTest, which only the test goals install: a first configure for any other
# goal leaves the tests out, `make test` puts them in, and from then on they stay.
TESTS_FLAG = $(if $(filter test,$(MAKECMDGOALS)),-DCORVANE_TESTS=ON,$(if $(wildcard $(BUILD)/CMakeCache.txt),,-DCORVANE_TESTS=OFF))

all: build

deps:
	@sh scripts/install-deps.sh $(DEPS_GROUPS)

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(TESTS_FLAG) >/dev/null

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
	@cd $(SAN_BUILD) && LSAN_OPTIONS="$${LSAN_OPTIONS:-suppressions=$(CURDIR)/fuzz/lsan-suppressions.txt}" \
		ctest --output-on-failure -j $(JOBS)

fuzz: deps
	@CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@sh scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	@cd $(BUILD) && cpack -G DEB

# Fast, no build: lists the tracked sources and headers that differ from .clang-format.
format-check:
	@sh scripts/install-deps.sh format
	@sh scripts/check-format.sh

clean:
	@rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)

# The two commands that matter: `make run` and `make test`. Both install what
# is missing first (scripts/install-deps.sh).
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# One compiler cache for every clone and worktree of the checkout: paths are
# hashed relative to the checkout, so a fresh clone (CI) reuses the objects.
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1

.PHONY: all deps build test test-fast format-check layers-check asan tsan run run-cluster bench fuzz package tidy tidy-full clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# The format check, the layering check, clang-tidy (make tidy), every test of the normal
# build, then the unit and cluster (etcd client) tests under ASan+UBSan, the
# whole tree built with clang (its thread-safety analysis is an error) with
# the concurrency tests run under TSan, and 30 s of each fuzz target.
test: build format-check layers-check tidy
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600
	@$(MAKE) --no-print-directory asan tsan
	@FUZZ_SECONDS=30 bash scripts/fuzz.sh

format-check: deps
	@bash scripts/check-format.sh

# No folder includes a header of a folder above it (docs/development.md, "Floors").
layers-check:
	@bash scripts/check-layers.sh

test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600 -L unit

asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DWZ_SANITIZE=address,undefined \
	  -DWZ_BUILD_BENCH=OFF -DWZ_BUILD_SLOW_TESTS=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 600 -L 'unit|cluster'

tsan: deps
	@CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DWZ_SANITIZE=thread \
	  -DWZ_BUILD_BENCH=OFF -DWZ_BUILD_SLOW_TESTS=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 900 -L concurrency

# The build quiet unless it fails (scripts/quiet-build.sh). On a terminal the
# script runs as a job of its own (bash -m), so that Ctrl-C reaches it and
# what it started but not make: it stops everything and make ends with its
# status, 0 after a clean stop.
FOREGROUND = if [ -t 0 ]; then bash -m -c 's=0; "$$@" || s=$$?; exit $$s' _ $(1); else $(1); fi

run:
	@CMAKE_ARGS="$(CMAKE_ARGS)" bash scripts/quiet-build.sh $(BUILD) $(JOBS)
	@$(call FOREGROUND,bash scripts/run.sh $(BUILD))

# Two gateways in cluster mode (each its own tgtd) on a 3-member etcd, all on
# loopback, until Ctrl-C.
run-cluster:
	@CMAKE_ARGS="$(CMAKE_ARGS)" bash scripts/quiet-build.sh $(BUILD) $(JOBS)
	@$(call FOREGROUND,bash scripts/run-cluster.sh $(BUILD))

bench: build
	@bash scripts/bench.sh $(BUILD)

fuzz: deps
	@bash scripts/fuzz.sh

# The Debian package, from the normal build: $(BUILD)/wzscsi_<version>-1_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

# clang-tidy over the shipped code (every .cc of the project's folders but
# the tests, benchmarks and fuzz targets), compiled as the normal build
# compiles it (the build's compile_commands.json), with the checks of
# .clang-tidy: each finding is an error. About 3 minutes on 2 cores; part of
# `make test`. Headers of the project's folders (cluster/ and tests/
# included) are checked where they are included.
# tidy-full: every source, tests and benchmarks included, with the slow and
# the noisy checks added (the clang static analyzer, concurrency-mt-unsafe,
# implicit widening): those report without failing; the checks of
# .clang-tidy still fail. Tens of minutes; not part of `make test`.
TIDY_HEADERS = '^$(CURDIR)/(actionlog|apps|bench|cluster|drivers|fuzz|hostlib|luns|messages|plugins|service|targets|tests)/'
TIDY_SHIPPED = '^$(CURDIR)/(actionlog|apps|cluster|drivers|hostlib|luns|messages|plugins|service|targets)/.*(?<!_test)\.cc$$'
TIDY_ALL = '^$(CURDIR)/(actionlog|apps|bench|cluster|drivers|fuzz|hostlib|luns|messages|plugins|service|targets|tests)/.*\.cc$$'
TIDY_REPORT_CHECKS = clang-analyzer-core.*,clang-analyzer-cplusplus.*,clang-analyzer-unix.*,concurrency-mt-unsafe,bugprone-implicit-widening-of-multiplication-result,performance-inefficient-vector-operation,performance-no-automatic-move
tidy: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	@run-clang-tidy -quiet -p $(BUILD) -j$(JOBS) -header-filter=$(TIDY_HEADERS) $(TIDY_SHIPPED) >$(BUILD)/tidy.log 2>&1 || \
	  { sed 's/\x1b\[[0-9;]*m//g' $(BUILD)/tidy.log | grep -E '(error|warning):' | sort -u; \
	    echo "tidy: findings above (log: $(BUILD)/tidy.log)"; exit 1; }
	@echo "tidy: no finding"

tidy-full: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	@run-clang-tidy -quiet -p $(BUILD) -j$(JOBS) -header-filter=$(TIDY_HEADERS) -checks='$(TIDY_REPORT_CHECKS)' \
	  $(TIDY_ALL)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-fuzz

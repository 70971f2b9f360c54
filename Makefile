# make test         build and run every test
# make demo         build the library and the example host, run the host
# make test-asan    tests under AddressSanitizer + UndefinedBehaviorSanitizer
# make test-tsan    tests under ThreadSanitizer
# make test-release tests of a Release build (g++ -O3)
# make test-clang   tests of a clang build
# make bench        the benchmarks against their baselines (BENCH_ARGS="--json out.json")
# make soak         the soak test at a larger size (SOAK_SECONDS of traffic)
# make test-alloc   the allocation-failure sweep (AddressSanitizer)
# make fuzz         run every fuzz target for FUZZ_SECONDS each (clang, libFuzzer)
# make fuzz-ci      replay the committed corpora, then fuzz each target briefly
# make install      build the library, install it under PREFIX (and DESTDIR)
# Every build here treats warnings as errors; a plain cmake configure does not.
JOBS ?= $(shell nproc)
BENCH_ARGS ?=
CMAKE_FLAGS ?=
SOAK_SECONDS ?= 60
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
DESTDIR ?=
CLANG_PACKAGES = clang-14
CLANG_CMAKE_FLAGS = -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
FUZZ_PACKAGES = $(CLANG_PACKAGES) libclang-rt-14-dev
# Every option the targets rely on, given at each configure: a folder
# configured by hand before (the README's packager commands, say) keeps its
# cache, and a cached VORLET_BUILD_TESTS=OFF would otherwise shrink `make
# test` to nothing. A build's own flags come after these and win.
BUILD_CMAKE_FLAGS = -DVORLET_BUILD_TESTS=ON -DVORLET_BUILD_EXAMPLES=ON -DVORLET_BUILD_BENCH=ON \
  -DVORLET_INSTALL=ON -DBUILD_SHARED_LIBS=ON -DVORLET_SANITIZE= -DVORLET_FUZZ=OFF -DVORLET_ALLOC_FAULTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
# A run that finds no test fails, rather than passing on nothing.
CTEST = ctest --no-tests=error -j $(JOBS) --output-on-failure
# The library alone, for the builds that have their own tests.
LIBRARY_ONLY_CMAKE_FLAGS = -DVORLET_BUILD_TESTS=OFF -DVORLET_BUILD_EXAMPLES=OFF -DVORLET_BUILD_BENCH=OFF
FUZZ_CMAKE_FLAGS = -DVORLET_FUZZ=ON $(LIBRARY_ONLY_CMAKE_FLAGS) $(CLANG_CMAKE_FLAGS)

.PHONY: all bootstrap build build-asan build-tsan test demo bench test-asan test-tsan soak install clean \
  build-alloc test-alloc build-fuzz fuzz fuzz-replay fuzz-ci build-release test-release build-clang test-clang

all: build

bootstrap:
	@scripts/bootstrap

define configure
	@cmake -S . -B $(1) -G Ninja -DVORLET_WERROR=ON $(BUILD_CMAKE_FLAGS) $(2) $(CMAKE_FLAGS) >/dev/null
endef

define configure_and_build
	$(call configure,$(1),$(2))
	@cmake --build $(1) -j $(JOBS)
endef

build: bootstrap
	$(call configure_and_build,build,)

test: build
	$(CTEST) --test-dir build

demo: bootstrap
	$(call configure,build,)
	@cmake --build build -j $(JOBS) --target vorlet_demo_host
	./build/v2/examples/vorlet_demo_host

bench: build
	./build/v2/bench/vorlet_bench $(BENCH_ARGS)

build-asan: bootstrap
	$(call configure_and_build,build-asan,-DVORLET_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(CTEST) --test-dir build-asan

build-release: bootstrap
	$(call configure_and_build,build-release,-DCMAKE_BUILD_TYPE=Release)

test-release: build-release
	$(CTEST) --test-dir build-release

build-clang:
	@scripts/bootstrap $(CLANG_PACKAGES)
	$(call configure_and_build,build-clang,$(CLANG_CMAKE_FLAGS))

test-clang: build-clang
	$(CTEST) --test-dir build-clang

build-tsan: bootstrap
	$(call configure_and_build,build-tsan,-DVORLET_SANITIZE=thread)

test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(CTEST) --test-dir build-tsan

soak: build
	VORLET_SOAK_SECONDS=$(SOAK_SECONDS) ./build/v2/tests/vorlet_unit_tests --gtest_filter='Soak.*'

build-alloc: bootstrap
	$(call configure_and_build,build-alloc,-DVORLET_SANITIZE=address -DVORLET_ALLOC_FAULTS=ON \
	  $(LIBRARY_ONLY_CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug)

test-alloc: build-alloc
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(CTEST) --test-dir build-alloc

build-fuzz:
	@scripts/bootstrap $(FUZZ_PACKAGES)
	$(call configure_and_build,build-fuzz,$(FUZZ_CMAKE_FLAGS))

# Each target for FUZZ_SECONDS, starting from its committed seeds; what it
# learns goes to build-fuzz/corpus/, crashes to build-fuzz/artifacts/.
fuzz: build-fuzz
	scripts/fuzz build-fuzz $(FUZZ_SECONDS)

# Every committed input once, as a regression test.
fuzz-replay: build-fuzz
	$(CTEST) --test-dir build-fuzz

# CI: the replay, then every target for a few seconds (about a minute).
fuzz-ci: fuzz-replay
	scripts/fuzz build-fuzz 5

# The library alone is built for it. The prefix is set at configure time so
# that the library directory suits it (lib/x86_64-linux-gnu under /usr on
# Debian); DESTDIR stages the tree for a package.
install: bootstrap
	$(call configure,build,-DCMAKE_INSTALL_PREFIX="$(PREFIX)")
	@cmake --build build -j $(JOBS) --target vorlet_v2
	DESTDIR="$(DESTDIR)" cmake --install build

clean:
	rm -rf build build-asan build-tsan build-alloc build-fuzz build-release build-clang

# Convenience wrapper around CMake + Ninja. See README.md.
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
CMAKE ?= cmake
CTEST_FLAGS ?= --output-on-failure -j$(JOBS) --timeout 600
BENCH_DEPS := libbenchmark-dev libfmt-dev libspdlog-dev libboost-dev libxml2-dev
FUZZ_DEPS := clang-14 libclang-rt-14-dev
FUZZ_SECONDS ?= 60

.PHONY: all deps build test demo sanitize tsan bench install install-check fuzz format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	$(CMAKE) -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	$(CMAKE) --build build

# Every test of the normal build.
test: build
	ctest --test-dir build $(CTEST_FLAGS)

# The main job: the host program runs the demo application in the foreground (Ctrl-C stops it).
demo: build
	build/tools/tarvos-host/tarvos-host examples/demo/demo.xml

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	$(CMAKE) -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_CXX_FLAGS="-O1 -g" -DTARVOS_SANITIZE=address,undefined
	$(CMAKE) --build build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir build-asan $(CTEST_FLAGS)

# The library's tests (every subsystem; not the end-to-end tools tests) under ThreadSanitizer.
tsan: deps
	$(CMAKE) -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_CXX_FLAGS="-O1 -g" -DTARVOS_SANITIZE=thread
	$(CMAKE) --build build-tsan
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	    ctest --test-dir build-tsan -L 'core|system|service|xml|authorize|http' $(CTEST_FLAGS)

# Benchmarks against their peers (installed here from Debian), in one run.
bench:
	@scripts/install-deps.sh $(BENCH_DEPS)
	$(CMAKE) -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DTARVOS_BUILD_TESTS=OFF -DTARVOS_BUILD_BENCH=ON
	$(CMAKE) --build build-bench
	scripts/run-benchmarks.sh build-bench

install: deps
	$(CMAKE) -S . -B build-install -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DTARVOS_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	$(CMAKE) --build build-install
	$(CMAKE) --install build-install

# Every libFuzzer target in fuzz/ for FUZZ_SECONDS each (clang, ASan + UBSan); findings go to
# build-fuzz/findings/<target>/.
fuzz:
	@scripts/install-deps.sh $(FUZZ_DEPS)
	CC=clang-14 CXX=clang++-14 $(CMAKE) -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_CXX_FLAGS="-O1 -g" -DTARVOS_SANITIZE=address,undefined -DTARVOS_FUZZ=ON \
	    -DTARVOS_BUILD_TESTS=OFF
	$(CMAKE) --build build-fuzz
	scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# Installs into a scratch prefix and builds the README example with the CMake package and with
# pkg-config.
install-check: deps
	scripts/check-install.sh

format:
	find tarvos tools bench fuzz examples -name '*.h' -o -name '*.cpp' | xargs -r clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-install build-install-check build-fuzz

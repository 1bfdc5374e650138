# make run   - build and start Salvitra on its demo disk
# make test  - build and run the whole test suite (normal, then ASan+UBSan with fuzzers)
BUILD      ?= build
BUILD_SAN  ?= build-san
BUILD_TSAN ?= build-tsan
JOBS       ?= 2
CMAKE_GEN  := -G Ninja

.PHONY: all deps configure build run test test-fast test-sanitize test-tsan bench clean demo package

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	@bash scripts/make-demo-disk.sh $(BUILD)/demo

# Builds only what it starts: the window with its libraries (or, without a
# display, the command line), then the demo disk.
run: configure
	@if [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then t=salvitra; else t=salvitra-cli; fi; \
	  cmake --build $(BUILD) -j$(JOBS) --target $$t
	@bash scripts/make-demo-disk.sh $(BUILD)/demo
	@bash scripts/run-demo.sh $(BUILD)

# The Debian package salvitra_<version>_<arch>.deb in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# Unit, integration and CLI tests of the normal build.
test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same suite under AddressSanitizer + UndefinedBehaviorSanitizer, built with
# clang, plus a bounded run of every fuzz harness.
$(BUILD_SAN)/build.ninja: | deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_SAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DSALVITRA_SANITIZE=ON -DSALVITRA_FUZZ=ON

test-sanitize: deps $(BUILD_SAN)/build.ninja
	cmake --build $(BUILD_SAN) -j$(JOBS)
	cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

# The threaded driver and job tests, and the window's tests (worker thread,
# pause gate, scans through jobs), under ThreadSanitizer (clang): only the
# targets they need are built.
$(BUILD_TSAN)/build.ninja: | deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSALVITRA_TSAN=ON -DSALVITRA_BENCH=OFF

test-tsan: deps $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) -j$(JOBS) --target tsan_tests
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest -L 'jobs|gui' --output-on-failure -j$(JOBS)

test: test-fast test-sanitize test-tsan

bench: build
	@bash scripts/run-benchmarks.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_TSAN)

# The two commands of the README:
#   make demo   installs what is missing, builds kiv and kivtool and runs them on the example project
#   make test   installs what is missing, builds everything and runs every test, also under
#               AddressSanitizer and UndefinedBehaviorSanitizer
JOBS ?= $(shell nproc)

.PHONY: demo gui viewer test deps build build-asan build-release bench fuzz install package clean

deps:
	@bash scripts/install-deps.sh all

build: deps
	@echo "kiv: configuring and building in build/"
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON -DKIV_GUI=ON -DKIV_VIEWER=ON > build.log 2>&1 || (cat build.log; exit 1)
	@cmake --build build -j $(JOBS)

build-asan: deps
	@echo "kiv: configuring and building with sanitizers in build-asan/"
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKIV_WERROR=ON -DKIV_GUI=ON -DKIV_VIEWER=ON -DKIV_SANITIZE=ON > build-asan.log 2>&1 || (cat build-asan.log; exit 1)
	@cmake --build build-asan -j $(JOBS)

# Everything as it is released, with warnings as errors: GCC warns at -O3 of things it does not
# see at -O2.
build-release: deps
	@echo "kiv: building everything as released (Release, warnings as errors) in build-release/"
	@cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKIV_WERROR=ON -DKIV_GUI=ON -DKIV_VIEWER=ON > build-release.log 2>&1 || (cat build-release.log; exit 1)
	@cmake --build build-release -j $(JOBS)

# The demo needs only kiv and kivtool: no window, no tests.
demo:
	@bash scripts/install-deps.sh demo
	@echo "kiv: configuring and building kiv and kivtool in build-demo/"
	@cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKIV_TESTS=OFF -DKIV_GUI=OFF > build-demo.log 2>&1 || (cat build-demo.log; exit 1)
	@cmake --build build-demo -j $(JOBS) --target kiv kivtool
	@bash examples/run-demo.sh build-demo/kiv

# The window alone, kiv-gui, without the test suite: build-gui/kiv-gui.
gui:
	@bash scripts/install-deps.sh gui
	@echo "kiv: configuring and building kiv-gui in build-gui/"
	@cmake -S . -B build-gui -DCMAKE_BUILD_TYPE=Release -DKIV_TESTS=OFF -DKIV_GUI=ON > build-gui.log 2>&1 || (cat build-gui.log; exit 1)
	@cmake --build build-gui -j $(JOBS) --target kiv-gui
	@echo "kiv: the window is build-gui/kiv-gui"

# The example viewer (libkiv and SDL2), not part of the demo: build-viewer/examples/viewer/kiv-viewer.
viewer:
	@bash scripts/install-deps.sh viewer
	@echo "kiv: configuring and building the example viewer in build-viewer/"
	@cmake -S . -B build-viewer -DCMAKE_BUILD_TYPE=Release -DKIV_TESTS=OFF -DKIV_GUI=OFF -DKIV_VIEWER=ON > build-viewer.log 2>&1 || (cat build-viewer.log; exit 1)
	@cmake --build build-viewer -j $(JOBS) --target kiv-viewer kiv
	@echo "kiv: run build-viewer/examples/viewer/kiv-viewer ARCHIVE (Esc ends it)"

test: build build-asan build-release
	@echo "kiv: running the tests"
	@cd build && ctest -j $(JOBS) --output-on-failure
	@echo "kiv: running the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j $(JOBS) --output-on-failure
	@echo "kiv: running the tests of the release build"
	@cd build-release && ctest -j $(JOBS) --output-on-failure

bench:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKIV_BENCH=ON -DKIV_TESTS=OFF -DKIV_GUI=ON > build-bench.log 2>&1 || (cat build-bench.log; exit 1)
	@cmake --build build-bench -j $(JOBS) --target kiv_bench kiv_scale_bench kiv_colour_bench kiv_watch_bench kiv_preview_bench kiv_runtime_bench
	@build-bench/bench/kiv_bench
	@build-bench/bench/kiv_scale_bench
	@build-bench/bench/kiv_colour_bench
	@build-bench/bench/kiv_watch_bench
	@build-bench/bench/kiv_runtime_bench
	@xvfb-run -a -s "-screen 0 1600x1200x24" build-bench/bench/kiv_preview_bench 2>/dev/null

# Installs kiv, kivtool, kiv-gui, their manual pages, completions and desktop files under PREFIX.
PREFIX ?= /usr/local
install: build
	@cmake --install build --prefix $(PREFIX)

# The Debian package, build/kiv_VERSION_ARCH.deb.
package: build
	@cd build && cpack -G DEB

# Each fuzz target for FUZZ_SECONDS (60) with clang; fails on a crash, leak or slow input.
FUZZ_SECONDS ?= 60
fuzz: deps
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-bench build-fuzz build-demo build-release build-gui build-viewer build.log build-asan.log build-bench.log build-fuzz.log build-demo.log build-release.log build-gui.log

# Two entry points: `make run` builds and starts the workstation on the sample
# system ROM; `make test` builds and runs every test in the release, sanitizer
# and fuzz configurations. Both install what is missing first.
JOBS ?= $(shell nproc)
CMAKE_GEN = -G Ninja
# CI builds with warnings as errors; a person's build only shows them.
CMAKE_WERROR = $(if $(CI),-DKVD_WERROR=ON,-DKVD_WERROR=OFF)

.PHONY: run test setup configure build build-asan build-fuzz test-release test-asan test-fuzz bench

# The set-up leaves a stamp behind, so `bash tools/setup.sh && make ...` runs
# it once; `make setup` runs it again.
SETUP_STAMP = .deps/setup.stamp

setup:
	bash tools/setup.sh

$(SETUP_STAMP): tools/setup.sh
	bash tools/setup.sh

configure: $(SETUP_STAMP)
	cmake -S . -B build/release $(CMAKE_GEN) $(CMAKE_WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVD_BENCH=ON

build: configure
	cmake --build build/release -j $(JOBS)

build-asan: $(SETUP_STAMP)
	cmake -S . -B build/asan $(CMAKE_GEN) $(CMAKE_WERROR) -DCMAKE_BUILD_TYPE=Debug -DKVD_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)

build-fuzz: $(SETUP_STAMP)
	CC=clang CXX=clang++ cmake -S . -B build/fuzz $(CMAKE_GEN) $(CMAKE_WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVD_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS) --target kvd_fuzz_targets

# Builds only the workstation (and the sample ROM it packs). Without a
# display it runs headless (-x) on SDL's dummy video and audio drivers.
HEADLESS = $(if $(DISPLAY)$(WAYLAND_DISPLAY),,SDL_VIDEODRIVER=$${SDL_VIDEODRIVER:-dummy} SDL_AUDIODRIVER=$${SDL_AUDIODRIVER:-dummy})
run: configure
	cmake --build build/release -j $(JOBS) --target kavelund
	$(HEADLESS) build/release/kernel/kavelund $(if $(DISPLAY)$(WAYLAND_DISPLAY),,-x) $(ARGS)

test-release: build
	cd build/release && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd build/asan && ctest --output-on-failure -j $(JOBS)

test-fuzz: build-fuzz
	cd build/fuzz && ctest --output-on-failure -j $(JOBS) --no-tests=ignore

test: test-release test-asan test-fuzz

# Each benchmark program prints its ratios beside their goals; the release
# build runs them all once at a tiny size as tests (bench_smoke_*).
bench: $(SETUP_STAMP)
	cmake -S . -B build/bench $(CMAKE_GEN) $(CMAKE_WERROR) -DCMAKE_BUILD_TYPE=Release -DKVD_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	for b in build/bench/tools/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

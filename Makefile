# Quick start: `make demo` (build and encode a generated sample) and `make test` (every test).
JOBS ?= 2
RELEASE := build/release
ASAN := build/asan
SAMPLE := build/sample
CMAKE_FLAGS ?=

.PHONY: deps build build-asan demo test bench fuzz clean

deps:
	@scripts/install-deps.sh
	@scripts/check-zstd-mt.sh

build: deps
	cmake -S . -B $(RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(RELEASE) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

demo: build
	scripts/demo.sh $(RELEASE) $(SAMPLE)

test: build build-asan
	cd $(RELEASE) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# Benchmarks: release build with the Google Benchmark kernels, then the end-to-end harness.
# Quick iteration: make bench BENCH_SIZES=small,medium BENCH_RUNS=1 (see bench/run.py).
bench: deps
	cmake -S . -B $(RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(RELEASE) -j $(JOBS)
	python3 bench/run.py --bin $(RELEASE)

clean:
	rm -rf build

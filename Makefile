# The project's everyday commands. Each configures its own build folder.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake
CTEST ?= ctest

# Debian packages the build, tests, tools and benchmarks need.
DEB_PACKAGES := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libassimp-dev \
                libpng-dev zlib1g-dev nlohmann-json3-dev libcoin-dev
DEB_BENCH_PACKAGES := libembree-dev
# The Python module and its tests, for Debian's /usr/bin/python3; Dask for
# zorvadideruvovozov.dask and its cluster test.
DEB_PACKAGES += python3-dev pybind11-dev python3-numpy python3-pytest python3-dask \
                python3-distributed
# libFuzzer: clang 14 and its sanitizer runtimes (make fuzz, make sanitize).
DEB_PACKAGES += clang-14 libclang-rt-14-dev

.PHONY: all deps bench-deps build python test sanitize sanitize-address sanitize-thread fuzz fuzz-smoke \
        fuzz-build bench demo clean

all: build

deps:
	@sh tools/ensure-packages.sh $(DEB_PACKAGES)

bench-deps:
	@sh tools/ensure-packages.sh $(DEB_PACKAGES) $(DEB_BENCH_PACKAGES)

build: deps
	$(CMAKE) -S . -B build/release -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/release -j $(JOBS)

# The Python module alone, in the same build folder: build/release/python.
python: deps
	$(CMAKE) -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DZRV_BUILD_PYTHON=ON
	$(CMAKE) --build build/release -j $(JOBS) --target zorvadideruvovozov_python

test: build
	cd build/release && $(CTEST) --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threaded suites under ThreadSanitizer, then a short run of every fuzz target.
sanitize: sanitize-address sanitize-thread fuzz-smoke

sanitize-address: deps
	$(CMAKE) -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_SANITIZE=address,undefined \
		-DZRV_BUILD_PYTHON=OFF
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		$(CTEST) --output-on-failure -j $(JOBS)

sanitize-thread: deps
	$(CMAKE) -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_SANITIZE=thread -DZRV_BUILD_PYTHON=OFF
	$(CMAKE) --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST) --output-on-failure -j $(JOBS) -L threaded

# libFuzzer targets (clang++ 14, ASan + UBSan): FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 300
fuzz-build: deps
	$(CMAKE) -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
		-DZRV_BUILD_TESTS=OFF -DZRV_BUILD_TOOLS=OFF -DZRV_BUILD_FUZZ=ON
	$(CMAKE) --build build/fuzz -j $(JOBS) --target zrv_fuzz

fuzz: fuzz-build
	sh fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	sh fuzz/run.sh build/fuzz 20

bench: bench-deps
	$(CMAKE) -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_TOOLS=OFF -DZRV_BUILD_BENCH=ON
	$(CMAKE) --build build/bench -j $(JOBS)
	sh bench/python_bench.sh build/bench
	sh bench/query_bench.sh build/bench
	sh bench/run.sh build/bench
	[ ! -x build/bench/bench/zrv_alternated_bench ] || ./build/bench/bench/zrv_alternated_bench

demo: build
	./build/release/tools/zrv/zrv render -o zrv-demo.png

clean:
	rm -rf build

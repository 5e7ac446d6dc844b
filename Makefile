# Entry points: `make demo` (zv-prep on the sample photographs, into demo-out/),
# `make check` (all tests, every configuration, a short fuzzing run, the build with
# only the library's dependencies and the Debian packages), `make deb` (Debian
# packages in build-deb/), `make bench`, `make bench-report` (benchmarks and charts),
# `make bench-e2e` (files to tensors on every core against torchvision, a DataLoader
# and OpenCV), `make bench-python` (the Python module against torchvision), `make insn-count`
# (AArch64 instructions per pixel under qemu), `make fuzz FUZZ_SECONDS=N` (a longer
# fuzzing run).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 600

.PHONY: all deps build check check-native check-asan check-aarch64 check-scalar check-fuzz check-minimal \
        check-packages fuzz deb demo bench bench-report bench-e2e bench-python insn-count clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

check: check-native check-asan check-aarch64 check-scalar check-fuzz check-minimal check-packages

check-native: build
	cd build && ctest --output-on-failure -j$(JOBS)

check-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_PT_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

check-aarch64: deps
	cmake -S . -B build-aarch64 -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake $(CMAKE_FLAGS)
	cmake --build build-aarch64 -j$(JOBS)
	cd build-aarch64 && ctest --output-on-failure -j$(JOBS)

# The scalar reference kernels alone (-DZV_PT_SCALAR=ON), natively.
check-scalar: deps
	cmake -S . -B build-scalar -DCMAKE_BUILD_TYPE=Release -DZV_PT_SCALAR=ON -DZV_PT_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-scalar -j$(JOBS)
	cd build-scalar && ctest --output-on-failure -j$(JOBS)

# zv-prep's decoders under libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang): 45 seconds from the checked-in seeds in make check, longer with make fuzz.
check-fuzz: deps
	tools/fuzz-decoders.sh build-fuzz 45

fuzz: deps
	tools/fuzz-decoders.sh build-fuzz $(FUZZ_SECONDS)

# Only the library's own dependencies: every optional package made unavailable.
check-minimal: deps
	JOBS=$(JOBS) tools/check-minimal.sh build-minimal

# The Debian packages: lintian, then installed, used and removed again.
check-packages: deb
	tools/check-packages.sh build-deb

# Debian's build flags (hardening included); CPack strips the binaries.
deb: deps
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DZV_PT_DEBIAN_DOCS=ON \
	  -DBUILD_TESTING=OFF -DZV_PT_BUILD_BENCH=OFF \
	  -DCMAKE_C_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CFLAGS)" \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  -DCMAKE_MODULE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" $(CMAKE_FLAGS)
	cmake --build build-deb -j$(JOBS)
	cd build-deb && rm -f *.deb && cpack

demo: build
	build/tools/zv-prep/zv-prep --torch --out demo-out data

bench: build
	tools/run-bench.sh build

bench-report: build
	tools/bench-report.sh build

bench-python: build
	/usr/bin/python3 bench/python_module.py build

# The whole job on generated corpora: docs/bench/e2e.md and e2e.png; the
# corpora and raw results stay in build/bench-e2e.
bench-e2e: build
	/usr/bin/python3 bench/e2e_bench.py build/tools/zv-prep/zv-prep build/bench-e2e docs/bench

insn-count: deps
	tools/insn-count.sh

clean:
	rm -rf build build-asan build-aarch64 build-scalar build-fuzz build-minimal build-deb demo-out

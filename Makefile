# Two entry points for a person: `make demo` and `make test`.
# Both install what is missing, configure and build first.

# libclang-rt-14-dev brings FuzzedDataProvider.h, which the fuzz targets'
# replay in the normal build needs; groff checks the manual page, and zsh
# and fish run their completion scripts in the tests. dosfstools,
# exfatprogs, fusefat and exfat-fuse make and mount the FAT32 and exFAT
# volumes of the end-to-end tests (the kernel here has no vfat). FFmpeg's
# libraries tell what a media file holds; the ffmpeg command makes the
# tests' media.
DEBIAN_PACKAGES := g++ cmake make pkg-config python3 ccache \
  libicu-dev libplist-dev libxml2-dev libblkid-dev libxxhash-dev libsqlite3-dev libjemalloc-dev \
  qt6-base-dev libcli11-dev nlohmann-json3-dev libsystemd-dev \
  libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth \
  libclang-rt-14-dev groff-base man-db zsh fish \
  dosfstools exfatprogs fusefat exfat-fuse \
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev ffmpeg
# The real udisks2 daemon (and the udev it needs), to try `tessaline format`
# and `tessaline watch` against it on a private system bus.
UDISKS_PACKAGES := udisks2
# What `make deb` needs to build the package and judge it.
DEB_PACKAGES := dpkg-dev fakeroot file lintian
# `make deb-chroot`: a clean Debian 12 to install the package into.
DEB_CHROOT_PACKAGES := debootstrap
# xxhash: xxhsum, the yardstick of `tessaline check`.
BENCH_PACKAGES := rsync findutils coreutils time xxhash
# clang with libFuzzer's runtime, and llvm for symbolised crash reports.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev llvm-14
FUZZ_SECONDS ?= 60

JOBS ?= $(shell nproc)
# The compiler cache serves a checkout from what any other checkout of the
# project compiled: paths inside it are hashed relative to it, and the
# build folder's own path is left out (debug info then names the first
# checkout's folders, which no test reads).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
# The command line's folder is compiled with a precompiled header, which
# the cache serves only when told that its macros and times may differ.
export CCACHE_SLOPPINESS := pch_defines,time_macros,include_file_mtime,include_file_ctime
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_FLAGS ?=

.PHONY: all deps udisks-deps bench-deps fuzz-deps deb-deps deb deb-chroot build build-asan build-tsan demo docs-shots test test-unit test-asan test-tsan bench fuzz format clean

all: build

# Installs the packages of $(1) that dpkg does not already report as
# installed (through sudo when not root).
install-missing = missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

deps:
	@$(call install-missing,$(DEBIAN_PACKAGES))

bench-deps: deps
	@$(call install-missing,$(BENCH_PACKAGES))

fuzz-deps: deps
	@$(call install-missing,$(FUZZ_PACKAGES))

udisks-deps: deps
	@$(call install-missing,$(UDISKS_PACKAGES))

deb-deps: deps
	@$(call install-missing,$(DEB_PACKAGES))

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS)

# The benchmarks are built here too (not run), so that they cannot rot.
build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSALINE_SANITIZE=address -DTESSALINE_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS)

# Only the test programs that hold threaded tests are built here.
TSAN_NICE ?=
TSAN_TARGETS := test_fs test_compat test_drive test_session test_e2e tessaline

build-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTESSALINE_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	$(TSAN_NICE) cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)

demo: build
	./scripts/demo.sh build

# The README's picture of the problems list (docs/problems.png), drawn
# offscreen by the window's test of that list, from the rows an export's
# failures make; only the window's test program is built for it.
docs-shots: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS) --target test_gui
	QT_QPA_PLATFORM=offscreen TESSALINE_DOCS_SHOTS="$(CURDIR)/docs" \
	  build/tests/test_gui --gtest_filter='Window.ProblemsList*'

# The benchmarks are built here too (not run), so that they cannot rot;
# the fuzz targets are built in every build and their inputs replayed as
# tests (fuzz/CMakeLists.txt).
test-unit: build
	cmake -S . -B build -DTESSALINE_BENCH=ON >/dev/null
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	$(run-asan-tests)
run-asan-tests = cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)
run-tsan-tests = cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS) -L threaded

# Only the tests that start threads run here; the rest gain nothing from it.
test-tsan: build-tsan
	$(run-tsan-tests)

# Every test runs under AddressSanitizer and UBSan, the threaded ones also
# under ThreadSanitizer; `make test-unit` runs them in the optimised build.
# The ThreadSanitizer build compiles, at a lower priority, while the ASan
# tests run: many of them wait on the disk and on child processes, and the
# compiler takes the time they leave.
test: build-asan
	@$(MAKE) --no-print-directory build-tsan TSAN_NICE="nice -n 10" > build-tsan.log 2>&1 & tsan=$$!; \
	( $(run-asan-tests) ); asan=$$?; \
	wait $$tsan; built=$$?; \
	if [ $$built -ne 0 ]; then cat build-tsan.log; echo "The ThreadSanitizer build failed."; exit 1; fi; \
	if [ $$asan -ne 0 ]; then exit $$asan; fi; \
	( $(run-tsan-tests) )
	@echo "All test runs passed (ASan+UBSan, TSan)."

bench: bench-deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTESSALINE_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-bench -j $(JOBS)
	./bench/run.sh build-bench

# Not part of `make test`: runs every libFuzzer target for FUZZ_SECONDS,
# one at a time (FUZZ_TARGETS="format sysfs" picks some; FUZZ_RUNS=1000000
# also stops each after that many executions).
fuzz: fuzz-deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALINE_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	FUZZ_RUNS=$(FUZZ_RUNS) ./fuzz/run.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The Debian package of both programs, in build-deb/, judged by lintian
# (which fails the target on an error; its warnings are shown). The same
# compiler flags as `build`, so the compiler cache serves most of it.
deb: deb-deps
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALINE_DEB=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-deb -j $(JOBS)
	rm -f build-deb/tessaline_*.deb
	cd build-deb && cpack -G DEB
	lintian --fail-on error --display-info build-deb/tessaline_*.deb
	@ls build-deb/tessaline_*.deb

# Installs the package into a clean Debian 12 chroot and runs it there
# (root only; needs the Debian mirror).
deb-chroot: deb
	@$(call install-missing,$(DEB_CHROOT_PACKAGES))
	$(SUDO) ./scripts/deb-chroot-check.sh

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-deb

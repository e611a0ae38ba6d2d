# Set-up, build and test on a fresh Debian machine.
#   make test       install dependencies, build, run every test
#   make test-asan  the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   make test-tsan  the tests labelled tsan (threads racing on shared data) under ThreadSanitizer
#   make demo       run the daemon quay on an animated virtual card (Ctrl-C stops it)
#   make demo-tool  an operator's quay_tool session on the virtual card
#   make bench      build and run the benchmarks
#   make package    the Debian package (build/quay_VERSION_ARCH.deb) with CPack
#   make install    cmake --install into PREFIX (default /usr/local)
#   make fuzz       build the fuzz targets with clang and run each for FUZZ_SECONDS
#   make soak       the whole system under faults for MINUTES (default 30), sanitizer builds

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
MINUTES    ?= 30

.PHONY: all deps configure build test test-asan test-tsan demo demo-tool bench package install fuzz soak clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUAY_SANITIZE=ON -DQUAY_BUILD_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 600

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUAY_TSAN=ON -DQUAY_BUILD_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 600 -L tsan

# The demos build first without a build log (it is shown only when the build
# fails), then run; Ctrl-C ends the demo normally.
demo demo-tool:
	@echo "building in $(BUILD) (the log is shown only if it fails)"
	@log=$$(mktemp); if $(MAKE) --no-print-directory build >$$log 2>&1; then rm -f $$log; \
	  else cat $$log; rm -f $$log; exit 1; fi
	@bash scripts/$@.sh $(BUILD)

bench: build
	@bash scripts/bench.sh $(BUILD)

PREFIX ?= /usr/local

package: build
	cd $(BUILD) && cpack -G DEB

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

fuzz: deps
	@JOBS=$(JOBS) bash scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

soak: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUAY_SANITIZE=ON -DQUAY_BUILD_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target quay quay_tool quay-vcard QxDeliverDmaServer mkrx_consumer enyx-sim-ctl cfg_bin
	@bash scripts/soak.sh $(MINUTES) $(ASAN_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

# The two quick-start commands: `make demo` and `make test`.
JOBS ?= $(shell nproc)
RELEASE_DIR := build/release
TEST_DIR := build/test
FUZZ_DIR := build/fuzz
TSAN_DIR := build/tsan
FUZZ_SECONDS ?= 10
# Every libFuzzer target: the logo converter, the printer's parser, and the parsers of settings
# texts, port texts and serial status bytes. Seeds live in tests/fuzz/corpus where they are small.
FUZZ_TARGETS := vtl_logo_fuzz printersim_fuzz vtl_settings_fuzz vtl_port_text_fuzz \
  vtl_serial_status_fuzz vtl_network_fuzz

.PHONY: deps demo test test-ctest test-fuzz-run lint tsan tsan-build tsan-run soak fuzz fuzz-long \
  fuzz-build fuzz-run bench bench-lan format release install package docs windows windows-test

deps:
	./scripts/install-deps

# Where `make install` puts everything (GNU folders under PREFIX), and DESTDIR for staging.
PREFIX ?= /usr/local
PACKAGE_DIR := build/package
DOCS_DIR := build/docs

release: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DVTL_BUILD_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(RELEASE_DIR) -j $(JOBS)

# The library, headers, tools, Python module, manual pages, pkg-config file and CMake package.
install: release
	DESTDIR=$(DESTDIR) cmake --install $(RELEASE_DIR)

# The Debian packages libvtldllxt0, libvtldllxt-dev, vtldllxt-tools and python3-vtldllxt, in
# build/package.
package: deps
	cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=Release -DVTL_BUILD_TESTS=OFF \
	  -DVTL_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	cd $(PACKAGE_DIR) && cpack -G DEB
	@ls -1 $(PACKAGE_DIR)/*.deb

# The C interface reference from the header's comments, in build/docs/html (the user guide is
# docs/guide.md).
docs: deps
	./scripts/install-deps doxygen
	mkdir -p $(DOCS_DIR)
	cd docs && DOCS_OUT=$(CURDIR)/$(DOCS_DIR) VTL_VERSION=$$(sed -n 's/^project(vtldllxt VERSION \([0-9.]*\).*/\1/p' ../CMakeLists.txt) doxygen Doxyfile
	@echo "docs: $(DOCS_DIR)/html/index.html"

demo: release
	./scripts/demo $(RELEASE_DIR)

TEST_CONFIG := -DCMAKE_BUILD_TYPE=Debug -DVTL_SANITIZE=ON -DVTL_WERROR=ON -DVTL_BUILD_BENCH=OFF
SOURCES := find src tools tests bench include \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \)

test: deps
	cmake -S . -B $(TEST_DIR) $(TEST_CONFIG)
	cmake --build $(TEST_DIR) -j $(JOBS)
	$(MAKE) --no-print-directory lint
	$(MAKE) --no-print-directory fuzz-build
	@# The tests spend most of their time waiting for printers, spoolers and clocks: meanwhile
	@# the fuzzers run and the ThreadSanitizer build compiles, both at a lower priority than the
	@# tests, whose bounds are generous anyway.
	$(MAKE) --no-print-directory -j3 test-ctest test-fuzz-run tsan-build
	$(MAKE) --no-print-directory windows-test
	$(MAKE) --no-print-directory tsan-run

test-ctest:
	ctest --test-dir $(TEST_DIR) --output-on-failure -j $(JOBS) --timeout 300

test-fuzz-run:
	nice -n 15 $(MAKE) --no-print-directory fuzz-run SECONDS=$(FUZZ_SECONDS) \
	  > $(FUZZ_DIR)/run.log 2>&1 || { tail -60 $(FUZZ_DIR)/run.log; exit 1; }
	@grep -h '^Done' $(FUZZ_DIR)/run.log

# vtldllxt.dll for 64-bit and 32-bit Windows (MinGW-w64): build/windows/ARCH/vtldllxt.dll.
WIN_DIR := build/windows
WIN_ARCHS := x86_64 i686
windows: deps
	for arch in $(WIN_ARCHS); do \
	  cmake -S . -B $(WIN_DIR)/$$arch -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$$arch.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DVTL_BUILD_TESTS=OFF -DVTL_BUILD_BENCH=OFF && \
	  cmake --build $(WIN_DIR)/$$arch -j $(JOBS) --target vtldllxt && \
	  cp $(WIN_DIR)/$$arch/src/interface/com/vtldllxt.dll $(WIN_DIR)/$$arch/ || exit 1; \
	done

# The Windows build's tests under Wine (tests/windows/run-wine-tests), on unoptimised builds of
# their own: the x86-64 DLL and tests run, the i686 DLL is checked but not run (no 32-bit loader).
WIN_TEST_DIR := build/windows-test
WIN_TEST_CONFIG := -DCMAKE_BUILD_TYPE=None -DVTL_WERROR=ON -DVTL_BUILD_BENCH=OFF
windows-test: deps
	cmake -S . -B $(WIN_TEST_DIR)/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  $(WIN_TEST_CONFIG)
	cmake --build $(WIN_TEST_DIR)/x86_64 -j $(JOBS) --target vtldllxt vtl_win_tests vtl_com_host
	cmake -S . -B $(WIN_TEST_DIR)/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  $(WIN_TEST_CONFIG) -DVTL_BUILD_TESTS=OFF
	cmake --build $(WIN_TEST_DIR)/i686 -j $(JOBS) --target vtldllxt
	cmake -S . -B $(TEST_DIR) $(TEST_CONFIG) > /dev/null
	cmake --build $(TEST_DIR) -j $(JOBS) --target printer-sim
	tests/windows/run-wine-tests $(WIN_TEST_DIR)/x86_64 $(WIN_TEST_DIR)/i686 \
	  $(TEST_DIR)/tools/printer-sim/printer-sim

# Every source formatted as .clang-format says, and the library's sources clean of the checks in
# .clang-tidy (an exception is marked in place with its reason).
lint: deps
	$(SOURCES) | xargs clang-format --dry-run --Werror
	@# A layer reaches only the layers below it; ".." in an include would walk around that.
	@! grep -rnE '^#include "([^"]*/)?\.\./' src include || { echo "lint: include through .."; exit 1; }
	cmake -S . -B $(TEST_DIR) $(TEST_CONFIG) > /dev/null
	run-clang-tidy -p $(TEST_DIR) -j $(JOBS) -quiet '$(CURDIR)/src/.*' > $(TEST_DIR)/clang-tidy.log 2>&1 \
	  || { grep -E 'error:|warning:' $(TEST_DIR)/clang-tidy.log | sort -u; exit 1; }

# The tests of many host threads again, under ThreadSanitizer, in a build of their own.
tsan: tsan-build
	$(MAKE) --no-print-directory tsan-run

tsan-build: deps
	@# -O1 with line tables: as quick to build as can be, and reports still name their lines.
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DVTL_TSAN=ON -DVTL_WERROR=ON \
	  -DVTL_BUILD_BENCH=OFF > /dev/null
	nice -n 15 cmake --build $(TSAN_DIR) -j $(JOBS) --target vtl_thread_tests \
	  > $(TSAN_DIR)/build.log 2>&1 || { tail -60 $(TSAN_DIR)/build.log; exit 1; }

tsan-run:
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ./$(TSAN_DIR)/tests/vtl_thread_tests

# Short coverage-guided runs of the parsers of untrusted input (bitmaps, printer byte streams,
# settings and port texts, status bytes); `make fuzz-long` gives each ten minutes.
fuzz: fuzz-build
	$(MAKE) --no-print-directory fuzz-run SECONDS=$(FUZZ_SECONDS)

fuzz-long: fuzz-build
	$(MAKE) --no-print-directory fuzz-run SECONDS=600

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTL_FUZZ=ON \
	  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
	  -DVTL_BUILD_TESTS=OFF -DVTL_BUILD_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz-run:
	mkdir -p $(FUZZ_DIR)/corpus-logo $(FUZZ_DIR)/corpus-escpos $(FUZZ_DIR)/corpus-settings \
	  $(FUZZ_DIR)/corpus-port_text $(FUZZ_DIR)/corpus-serial_status $(FUZZ_DIR)/corpus-network
	./$(FUZZ_DIR)/tests/fuzz/vtl_logo_fuzz -max_total_time=$(SECONDS) -max_len=8192 \
	  -print_final_stats=1 $(FUZZ_DIR)/corpus-logo
	./$(FUZZ_DIR)/tools/printer-sim/printersim_fuzz -max_total_time=$(SECONDS) \
	  -print_final_stats=1 $(FUZZ_DIR)/corpus-escpos
	for t in settings port_text serial_status network; do \
	  ./$(FUZZ_DIR)/tests/fuzz/vtl_$${t}_fuzz -max_total_time=$(SECONDS) -print_final_stats=1 \
	    $(FUZZ_DIR)/corpus-$$t tests/fuzz/corpus/$$t || exit 1; \
	done

# Four threads printing through every port type for twenty minutes while faults strike; not part
# of `make test`. SOAK_MINUTES and SOAK_JOBS shorten or lengthen it.
SOAK_MINUTES ?= 20
SOAK_JOBS ?= 10000
soak: deps
	cmake -S . -B build/soak -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTL_BUILD_BENCH=OFF
	cmake --build build/soak -j $(JOBS) --target vtl_soak
	./build/soak/tests/vtl_soak $(SOAK_MINUTES) $(SOAK_JOBS)

bench: release
	./$(RELEASE_DIR)/bench/vtl_bench

# Network and spooler printers at their own pace, against the virtual printer, vtlprint and a
# private cupsd: about four minutes, most of it the printer's own printing time at 40 and 90
# lines a second.
bench-lan: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DVTL_BUILD_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target vtl_lan_bench printer-sim vtlprint
	./$(RELEASE_DIR)/bench/vtl_lan_bench $(RELEASE_DIR)/tools/printer-sim/printer-sim \
	  $(RELEASE_DIR)/tools/vtlprint/vtlprint

format:
	$(SOURCES) | xargs clang-format -i

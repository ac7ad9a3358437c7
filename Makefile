# The two quick-start commands: `make demo` and `make test`.
JOBS ?= $(shell nproc)
RELEASE_DIR := build/release
TEST_DIR := build/test
FUZZ_DIR := build/fuzz
FUZZ_SECONDS ?= 15

.PHONY: deps demo test fuzz bench format release

deps:
	./scripts/install-deps

release: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DVTL_BUILD_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

demo: release
	./scripts/demo $(RELEASE_DIR)

test: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DVTL_SANITIZE=ON -DVTL_WERROR=ON -DVTL_BUILD_BENCH=OFF
	cmake --build $(TEST_DIR) -j $(JOBS)
	$(MAKE) --no-print-directory fuzz
	ctest --test-dir $(TEST_DIR) --output-on-failure -j $(JOBS) --timeout 300

# Short coverage-guided runs of the parsers of untrusted input (bitmaps, printer byte streams).
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTL_FUZZ=ON \
	  -DVTL_BUILD_TESTS=OFF -DVTL_BUILD_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target vtl_logo_fuzz printersim_fuzz
	mkdir -p $(FUZZ_DIR)/corpus-logo $(FUZZ_DIR)/corpus-escpos
	./$(FUZZ_DIR)/tests/fuzz/vtl_logo_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 \
	  -print_final_stats=1 $(FUZZ_DIR)/corpus-logo
	./$(FUZZ_DIR)/tools/printer-sim/printersim_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -print_final_stats=1 $(FUZZ_DIR)/corpus-escpos

bench: release
	./$(RELEASE_DIR)/bench/vtl_bench

format:
	find src tools tests bench include -name '*.cpp' -o -name '*.h' | xargs clang-format -i

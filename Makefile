# The two quick-start commands: `make demo` and `make test`.
JOBS ?= $(shell nproc)
RELEASE_DIR := build/release
TEST_DIR := build/test

.PHONY: deps demo test bench format release

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
	ctest --test-dir $(TEST_DIR) --output-on-failure -j $(JOBS) --timeout 300

bench: release
	./$(RELEASE_DIR)/bench/vtl_bench

format:
	find src tools tests bench include -name '*.cpp' -o -name '*.h' | xargs clang-format -i

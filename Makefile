# Thin wrapper over CMake + Ninja. `make test` and `make demo` work on a fresh
# machine: both install what is missing first (scripts/deps.sh).
BUILD_DIR := build
ASAN_DIR := build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-asan lint demo bench clean

all: build

deps:
	@bash scripts/deps.sh

build:
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTORVA_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# Format check and clang-tidy (scripts/lint.sh); CI runs it too.
lint: deps build
	@bash scripts/deps.sh lint
	@BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) bash scripts/lint.sh

demo: deps build
	@bash scripts/demo.sh

bench: deps build
	@bash scripts/bench.sh

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) var

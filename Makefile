# Thin wrapper over CMake + Ninja. `make test` and `make demo` work on a fresh
# machine: both install what is missing first (scripts/deps.sh).
BUILD_DIR := build
ASAN_DIR := build-asan
TSAN_DIR := build-tsan
FUZZ_DIR := build-fuzz
WIN_DIR := build-win
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600
SOAK_CLIENTS ?= 200
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-asan test-tsan lint fuzz soak demo bench screenshot clean \
        windows test-windows windows-package

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

# ThreadSanitizer build of everything, the same suite. Suppressions (third
# party only) live in tests/tsan.supp.
test-tsan: deps
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVA_TSAN=ON >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0 suppressions=$(CURDIR)/tests/tsan.supp" \
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS)

# libFuzzer harnesses (clang), each run for FUZZ_SECONDS seconds.
fuzz: deps
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTORVA_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh

# A server driven by SOAK_CLIENTS clients for SOAK_SECONDS seconds.
soak: deps build
	python3 scripts/soak.py --seconds $(SOAK_SECONDS) --clients $(SOAK_CLIENTS)

# Format check and clang-tidy (scripts/lint.sh); CI runs it too.
lint: deps build
	@bash scripts/deps.sh lint
	@BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) bash scripts/lint.sh

demo: deps build
	@bash scripts/demo.sh

bench: deps build
	@bash scripts/bench.sh

# The user administration window with three users, rendered under Xvfb.
screenshot: deps build
	@TORVA_BIN=$(CURDIR)/$(BUILD_DIR)/bin python3 scripts/screenshot.py docs/tvusergui.png

# The Windows build: every program, tvusers.dll, tvkanji.dll and tvevents.dll,
# cross-built with mingw-w64 into build-win/ over a static OpenSSL 3 built
# once from Debian's source package (kept in build-win/openssl/<version>/).
windows:
	@bash scripts/deps.sh windows
	@openssl=$$(JOBS=$(JOBS) bash scripts/openssl-mingw.sh $(WIN_DIR)/openssl) && \
	cmake -S . -B $(WIN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake -DOPENSSL_ROOT_DIR=$$openssl \
	  -DCMAKE_CROSSCOMPILING_EMULATOR=$(CURDIR)/scripts/wine-run.sh >/dev/null
	@cmake --build $(WIN_DIR) -j $(JOBS)

# The Windows build under Wine: unit tests, the integration suite, the
# service on Wine's service manager, the window (scripts/windows-test.sh).
test-windows: windows
	@WIN_DIR=$(CURDIR)/$(WIN_DIR) bash scripts/windows-test.sh

# torva-server-win64.zip: bin/, conf/ and README-Windows.txt.
windows-package: windows
	@python3 scripts/windows-package.py $(WIN_DIR) torva-server-win64.zip

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) $(WIN_DIR) var torva-server-win64.zip

# Thin wrapper around CMake; the README's two commands are 'make demo' and 'make test'.
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test sanitize demo bench screenshot fuzz windows windows-test clean

all: build

deps:
	@./scripts/install-deps.sh

# The demo and the tests run against the demo keys; naming them here keeps a vendor's own keys,
# left in a build folder's cache, out of them.
DEMO_KEYS = -DUPDATER_PUBLIC_KEY=$$(cat service/demo-keys/public.hex) \
    -DUPDATER_RELEASE_KEY=$$(cat service/demo-keys/release-public.hex) -DUPDATER_DEFAULT_HOST=127.0.0.1

CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON $(DEMO_KEYS)

configure: deps
	$(CONFIGURE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The suites once more under AddressSanitizer and UndefinedBehaviorSanitizer, in a build of their own;
# any report fails the run. Qt's own allocations that live until exit are not leaks of ours.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON $(DEMO_KEYS) \
	    "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# The demo runs three programs, so a first run builds those alone (not the test suites), and
# quietly: configure's output goes to a log shown only on failure; the compiler's warnings show.
demo: deps
	@mkdir -p $(BUILD)
	@$(CONFIGURE) > $(BUILD)/configure.log 2>&1 || { cat $(BUILD)/configure.log; exit 1; }
	@JOBS=$(JOBS) ./scripts/build-quietly.sh $(BUILD) updater update-service updater-launch
	@./scripts/demo.sh $(BUILD)

bench: build
	./bench/run.sh $(BUILD)

screenshot: build
	./scripts/screenshot.sh $(BUILD)

# Each libFuzzer target runs FUZZ_SECONDS from its seeds in fuzz/corpus; a crash fails.
fuzz:
	./scripts/install-deps.sh --fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DUPDATER_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	./fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The Windows build (MinGW-w64), opt-in: its Qt and Crypto++ are built once into a cache outside the
# checkout; the first run takes 30-45 minutes on 2 cores, later ones a minute or two.
WINDOWS_BUILD ?= build-windows
windows:
	./scripts/build-windows.sh $(WINDOWS_BUILD)

# The Windows end-to-end table under Wine, in private namespaces: the segment "Download_inf", the
# processes named Trelvox.exe and the loopback ports are then this run's alone.
windows-test: windows configure
	cmake --build $(BUILD) -j $(JOBS) --target tst_windows
	TRELVOX_WINDOWS_BUILD=$(abspath $(WINDOWS_BUILD)) unshare --ipc --pid --net --fork --mount-proc \
	    sh -c 'ip link set lo up && $(BUILD)/tests/tst_windows'

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) $(SANITIZE_BUILD)

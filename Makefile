# Two commands do everything on Debian:
#   make        builds build/TAVRO-Static-Module-Installer.exe and runs its self-test under Wine
#   make test   builds and runs every test
# Both first install, through apt, whatever the machine is missing.

BUILD      := build
EXE        := $(BUILD)/TAVRO-Static-Module-Installer.exe
JOBS       := $(shell nproc)
CMAKE_FLAGS ?=

# The tests use a build of the same sources with GoogleTest (posix thread
# model), for i686 where Wine can run 32-bit programs, else for x86_64.
TEST_ARCH   = $(shell scripts/test-arch.sh)
TEST_BUILD  = $(BUILD)/test-$(TEST_ARCH)

.PHONY: all setup build build-tests selftest test demo bench clean

all: selftest

setup:
	@scripts/setup-debian.sh

# The shipped file: i686, win32 thread model, no tests.
build: setup
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
	  -DTAVRO_MINGW_THREADS=win32 -DTAVRO_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-tests: build
	@if [ "$(TEST_ARCH)" != i686 ]; then \
	  echo "Note: this host cannot run 32-bit Windows programs; testing an $(TEST_ARCH) build of the same sources."; \
	fi
	cmake -S . -B $(TEST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(TEST_ARCH)-w64-mingw32.cmake \
	  -DTAVRO_SHIPPED_EXE=$(abspath $(EXE)) -DTAVRO_TEST_TIMING=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(TEST_BUILD) -j $(JOBS)

# Runs the shipped file's self-test where Wine can run it, else the test
# build's.
SELFTEST_EXE = $(if $(filter i686,$(TEST_ARCH)),$(EXE),$(TEST_BUILD)/TAVRO-Static-Module-Installer.exe)
selftest: build-tests
	@$(TEST_BUILD)/wine-run --boot
	@if $(TEST_BUILD)/wine-run $(SELFTEST_EXE) --self-test; then \
	  echo "Self-test passed: $(SELFTEST_EXE) under Wine. Installer: $(EXE)"; \
	else \
	  echo "Self-test FAILED: $(SELFTEST_EXE) under Wine"; exit 1; \
	fi

test: build-tests
	cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS)

# The windowed installer against a local stand-in of the release site, in the
# test bed's private network namespace, on a virtual display.
demo: build-tests
	@$(TEST_BUILD)/wine-run --boot
	TAVRO_WINE_RUN=$(abspath $(TEST_BUILD))/wine-run \
	TAVRO_INSTALLER=$(abspath $(TEST_BUILD))/TAVRO-Static-Module-Installer.exe \
	TAVRO_WINDOW_DRIVER=$(abspath $(TEST_BUILD))/tests/driver/window_driver.exe \
	TAVRO_SAMPLE_SETUP=$(abspath $(TEST_BUILD))/tests/driver/sample_setup.exe \
	TAVRO_SCREENSHOT_DIR=$(abspath $(TEST_BUILD))/screenshots \
	  tests/bed/in-bed.sh python3 scripts/demo.py

# Measures one install attempt and its stages beside curl, sha256sum and the
# bare WinHTTP/CNG floor; prints a table and writes it with a chart under
# the build tree.
bench: build-tests
	@$(TEST_BUILD)/wine-run --boot
	bench/run-bench.sh $(abspath $(TEST_BUILD))

clean:
	rm -rf $(BUILD)

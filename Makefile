# Two commands do everything on Debian:
#   make        builds build/TAVRO-Static-Module-Installer.exe and runs its self-test under Wine
#   make test   builds and runs every test
# Both first install, through apt, whatever the machine is missing.

BUILD      := build
EXE        := $(BUILD)/TAVRO-Static-Module-Installer.exe
JOBS       := $(shell nproc)
CMAKE_FLAGS ?=

# Wine on a host that cannot run 32-bit processes runs only 64-bit programs;
# the tests then use an x86_64 build of the same sources (see README).
TEST_ARCH   = $(shell scripts/test-arch.sh)
TEST_BUILD  = $(if $(filter i686,$(TEST_ARCH)),$(BUILD),$(BUILD)/test-$(TEST_ARCH))

.PHONY: all setup build build-tests selftest test demo clean

all: selftest

setup:
	@scripts/setup-debian.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-tests: build
	@if [ "$(TEST_BUILD)" != "$(BUILD)" ]; then \
	  echo "Note: this host cannot run 32-bit Windows programs; testing an $(TEST_ARCH) build of the same sources."; \
	  cmake -S . -B $(TEST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(TEST_ARCH)-w64-mingw32.cmake $(CMAKE_FLAGS) >/dev/null && \
	  cmake --build $(TEST_BUILD) -j $(JOBS); \
	fi

selftest: build-tests
	@$(TEST_BUILD)/wine-run --boot
	@if $(TEST_BUILD)/wine-run $(TEST_BUILD)/TAVRO-Static-Module-Installer.exe --self-test; then \
	  echo "Self-test passed ($(TEST_ARCH) build under Wine). Installer: $(EXE)"; \
	else \
	  echo "Self-test FAILED ($(TEST_ARCH) build under Wine)"; exit 1; \
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

clean:
	rm -rf $(BUILD)

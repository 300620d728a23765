# Two commands do everything on Debian:
#   make        builds build/TAVRO-Static-Module-Installer.exe and runs its self-test under Wine
#   make test   builds and runs every test
# Both first install, through apt, whatever the machine is missing.
# Publishing a release (README.md): make release-check, make release, make sign-setup,
# make manifest, make check-manifest, make publish, make check-live, make
# manifest-refresh (make trust-root, make sample-setup and make timestamp-server
# for a rehearsal).

BUILD      := build
EXE        := $(BUILD)/TAVRO-Static-Module-Installer.exe
# The signed copy; the unsigned build above stays the reproducible one.
SIGNED_EXE := $(BUILD)/release/TAVRO-Static-Module-Installer.exe
JOBS       := $(shell nproc)
# Tests mostly wait (on servers, time-outs, Wine starting), and each bed has
# a prefix of its own: more run at once than there are cores. Where i386 is
# emulated every Wine process costs seconds of CPU: a test for each core.
TEST_JOBS  ?= $(if $(filter emulated,$(I386_MODE)),$(JOBS),$(shell echo $$(( $(JOBS) * 2 ))))
CMAKE_FLAGS ?=

# Values a user types reach the tools as typed, "$" included: make would
# expand $(URL), so each is read with $(value ...), exported, and a recipe
# names only the variable ("$$TAVRO_MAKE_URL"), which the shell never
# re-reads.
export TAVRO_MAKE_SETUP    = $(value SETUP)
export TAVRO_MAKE_VERSION  = $(value VERSION)
export TAVRO_MAKE_URL      = $(value URL)
export TAVRO_MAKE_MIRRORS  = $(value MIRRORS)
export TAVRO_MAKE_SIGNED   = $(value SIGNED)
export TAVRO_MAKE_CA       = $(value CA)
export TAVRO_MAKE_DEST     = $(value DEST)
export TAVRO_MAKE_MANIFEST = $(if $(value MANIFEST),$(value MANIFEST),$(BUILD)/release/tavro-update.txt)
export TAVRO_MAKE_SEQUENCE_OVERRIDE = $(value SEQUENCE_OVERRIDE)
export TAVRO_MAKE_PUBLISHER_CA = $(value TAVRO_PUBLISHER_CA)

# The publisher whose signature the installer requires of a setup before it
# runs it: make TAVRO_PUBLISHER="Example Software Ltd". Given, it configures
# $(BUILD)/ for that name (empty: no check); not given, $(BUILD)/ keeps the
# one it has. CMAKE_FLAGS would be split at its spaces.
export TAVRO_MAKE_PUBLISHER = $(value TAVRO_PUBLISHER)
PUBLISHER_FLAG = $(if $(filter undefined,$(origin TAVRO_PUBLISHER)),,"-DTAVRO_PUBLISHER:STRING=$$TAVRO_MAKE_PUBLISHER")
ifneq ($(findstring TAVRO_PUBLISHER,$(value CMAKE_FLAGS)),)
$(error TAVRO_PUBLISHER was given in CMAKE_FLAGS, where the shell splits it at its spaces: give it as a make variable of its own, make TAVRO_PUBLISHER="Example Software Ltd")
endif
# The second lock and the pin beyond the publisher's name (README,
# "Requiring a signed manifest"): make release TAVRO_MANIFEST_KEY=keys.pem
# [TAVRO_MANIFEST_MAX_DAYS=90] [TAVRO_PUBLISHER_CA=hex] [TAVRO_MIRROR_HOSTS="a.example b.example"] [TAVRO_MANIFEST_FLOOR=N,
# which make release otherwise takes from the manifest last signed], and the
# log lock [TAVRO_LOG_KEY=... TAVRO_LOG_WITNESSES="..." TAVRO_LOG_QUORUM=k].
# Each given configures $(BUILD)/ (empty: off again); not given, $(BUILD)/
# keeps what it has.
LOCK_SETTINGS := TAVRO_MANIFEST_KEY TAVRO_MANIFEST_MAX_DAYS TAVRO_MANIFEST_FLOOR TAVRO_PUBLISHER_CA TAVRO_MIRROR_HOSTS \
  TAVRO_LOG_KEY TAVRO_LOG_WITNESSES TAVRO_LOG_QUORUM
LOCK_VALUE = $(if $(and $(filter TAVRO_MANIFEST_KEY,$(1)),$(value $(1))),$(abspath $(value $(1))),$(value $(1)))
LOCK_FLAGS = $(foreach s,$(LOCK_SETTINGS),$(if $(filter undefined,$(origin $(s))),,'-D$(s)=$(call LOCK_VALUE,$(s))'))

# make test and make demo run $(BUILD)/'s installer with unsigned sample
# setups, which a build pinned to a publisher refuses: said before anything
# is built.
ifneq ($(filter test demo,$(MAKECMDGOALS)),)
PINNED_TO := $(if $(filter undefined,$(origin TAVRO_PUBLISHER)),$(shell sed -n 's/^TAVRO_PUBLISHER:[A-Z]*=//p' $(BUILD)/CMakeCache.txt 2>/dev/null),$(value TAVRO_PUBLISHER))
ifneq ($(PINNED_TO),)
$(error $(BUILD)/ is pinned to the publisher "$(PINNED_TO)": its installer runs only setups signed by that name, and make $(firstword $(filter test demo,$(MAKECMDGOALS))) runs it with unsigned sample setups. Run make build TAVRO_PUBLISHER= first, or give it a tree of its own: make $(firstword $(filter test demo,$(MAKECMDGOALS))) BUILD=another-directory)
endif
endif

# make publish names no host of its own: said before anything is built.
ifneq ($(filter publish,$(MAKECMDGOALS)),)
ifeq ($(value DEST),)
$(error usage: make publish DEST=[user@]host:/docroot [SETUP=file] [MANIFEST=file])
endif
endif

# How this host runs the shipped i686 file: "native" 32-bit Wine, or
# "emulated" (QEMU's user mode, where the kernel cannot run 32-bit programs).
# TAVRO_I386_MODE=emulated takes the emulated road on any host.
I386_MODE  := $(shell scripts/i386-mode.sh)
# The i686 tree: GoogleTest programs and the tests that run the shipped file.
I686_TESTS := $(BUILD)/test-i686
# An x86_64 build of the same sources (make test-twin), whose suite runs under
# native 64-bit Wine; where i386 is emulated, make bench measures it.
TWIN_TESTS := $(BUILD)/test-x86_64
WINE_RUN    = $(I686_TESTS)/wine-run

# A setting's value in a CMake tree: $(call CACHE_VALUE,NAME,tree), for the
# recipe's shell.
CACHE_VALUE = $$(sed -n 's/^$(1):[A-Z]*=//p' $(2)/CMakeCache.txt 2>/dev/null)
# The official host this build was configured for (CMAKE_FLAGS may name one).
HOST_OF_BUILD = $(call CACHE_VALUE,TAVRO_OFFICIAL_HOST,$(BUILD))
TEST_TREES := $(I686_TESTS) $(wildcard $(TWIN_TESTS))

# A password on make's command line shows in ps and stays in the shell's
# history.
ifeq ($(origin TAVRO_SIGN_PASSWORD),command line)
$(error TAVRO_SIGN_PASSWORD was given on make's command line, where ps and the shell history show it: put the password in a file and set TAVRO_SIGN_PASSWORD_FILE to that file)
endif

.PHONY: all setup configure build test-publisher-build test-signed-manifest-build test-mirror-build test-release-build configure-tests \
  build-tests twin-tests manifest-tool selftest \
  check test test-twin demo bench bench-twin bench-mirrors release release-steps release-check sign-setup manifest check-manifest check-live \
  manifest-refresh publish trust-root \
  sample-setup timestamp-server clean

all: selftest

setup:
	@scripts/setup-debian.sh

# The shipped file: i686, win32 thread model, no tests. A configured tree
# keeps its toolchain, and CMake would warn that it did not use the file
# named again.
SHIPPED_FLAGS = --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
  -DTAVRO_MINGW_THREADS=win32 -DTAVRO_BUILD_TESTS=OFF $(CMAKE_FLAGS)
configure: setup
	cmake -S . -B $(BUILD) $(SHIPPED_FLAGS) $(PUBLISHER_FLAG) $(LOCK_FLAGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Part of the test trees: the shipped file and its tool once more, for
# $(BUILD)/'s host, built to run only setups signed by a throwaway publisher
# the tests make. Its name has spaces, a non-ASCII letter, quotes and a "$"
# to carry through every step; nothing a user sets changes it.
TEST_PUBLISHER_BUILD := $(BUILD)/test-publisher
export TAVRO_TEST_PUBLISHER_NAME := TAVRO Tëst "Publisher" $$1
test-publisher-build: configure
	cmake -S . -B $(TEST_PUBLISHER_BUILD) $(SHIPPED_FLAGS) -DTAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	  "-DTAVRO_PUBLISHER:STRING=$$TAVRO_TEST_PUBLISHER_NAME" >/dev/null
	cmake --build $(TEST_PUBLISHER_BUILD) -j $(JOBS)

# Part of the test trees: the shipped file once more, built to run only what
# a release manifest signed by one of two throwaway keys names (the current
# and the next), with a floor of 5; the keys are made here, once.
TEST_MANIFEST_KEYS := $(BUILD)/test-manifest-keys
TEST_SIGNED_MANIFEST_BUILD := $(BUILD)/test-signed-manifest
test-signed-manifest-build: configure
	@mkdir -p $(TEST_MANIFEST_KEYS); for key in current next; do 	  [ -s $(TEST_MANIFEST_KEYS)/$$key.key ] || openssl ecparam -name prime256v1 -genkey -noout 	    -out $(TEST_MANIFEST_KEYS)/$$key.key; 	  openssl ec -in $(TEST_MANIFEST_KEYS)/$$key.key -pubout 2>/dev/null; 	done > $(TEST_MANIFEST_KEYS)/keys.pem
	cmake -S . -B $(TEST_SIGNED_MANIFEST_BUILD) $(SHIPPED_FLAGS) -DTAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	  -DTAVRO_MANIFEST_KEY=$(abspath $(TEST_MANIFEST_KEYS))/keys.pem -DTAVRO_MANIFEST_FLOOR=5 >/dev/null
	cmake --build $(TEST_SIGNED_MANIFEST_BUILD) -j $(JOBS)

# Part of the test trees: the shipped file once more, built to run only what
# a manifest signed by a test manifest key names when it is in the test log,
# cosigned by two of its three witnesses (the bed's, tests/bed/witness.py);
# the log key (on a SoftHSM2 token of its own) and the witnesses' keys are
# made here, once.
TEST_LOG_KEYS := $(BUILD)/test-log-keys
TEST_LOGGED_BUILD := $(BUILD)/test-logged
.PHONY: test-logged-build
test-logged-build: test-signed-manifest-build
	@tests/bed/log_test_keys.sh $(TEST_LOG_KEYS) $(HOST_OF_BUILD)
	cmake -S . -B $(TEST_LOGGED_BUILD) $(SHIPPED_FLAGS) -DTAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	  -DTAVRO_MANIFEST_KEY=$(abspath $(TEST_MANIFEST_KEYS))/keys.pem -DTAVRO_MANIFEST_FLOOR=5 \
	  "-DTAVRO_LOG_KEY=$$(cat $(TEST_LOG_KEYS)/log.vkey)" "-DTAVRO_LOG_WITNESSES=$$(cat $(TEST_LOG_KEYS)/witnesses.vkeys)" \
	  -DTAVRO_LOG_QUORUM=2 >/dev/null
	cmake --build $(TEST_LOGGED_BUILD) -j $(JOBS)

# Part of the test trees: the keyed file once more, with a mirror host
# (tests/bed's mirror.example), which it asks for the signed manifest and the
# installer when the official host gives neither.
TEST_MIRROR_BUILD := $(BUILD)/test-mirror
test-mirror-build: test-signed-manifest-build
	cmake -S . -B $(TEST_MIRROR_BUILD) $(SHIPPED_FLAGS) -DTAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	  -DTAVRO_MANIFEST_KEY=$(abspath $(TEST_MANIFEST_KEYS))/keys.pem -DTAVRO_MANIFEST_FLOOR=5 \
	  -DTAVRO_MIRROR_HOSTS=mirror.example >/dev/null
	cmake --build $(TEST_MIRROR_BUILD) -j $(JOBS)

# Part of the test trees: the tree the release rehearsal publishes from
# (tests/release/test_release_rehearsal.py), pinned to the test publisher
# and taking only a manifest signed by one of the test manifest keys, whose
# current one the rehearsal puts on its token.
TEST_RELEASE_BUILD := $(BUILD)/test-release
test-release-build: test-signed-manifest-build
	cmake -S . -B $(TEST_RELEASE_BUILD) $(SHIPPED_FLAGS) -DTAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	  "-DTAVRO_PUBLISHER:STRING=$$TAVRO_TEST_PUBLISHER_NAME" \
	  -DTAVRO_MANIFEST_KEY=$(abspath $(TEST_MANIFEST_KEYS))/keys.pem >/dev/null
	cmake --build $(TEST_RELEASE_BUILD) -j $(JOBS)

# The test trees test build/'s files, so they take its official host; a tree
# configured for another one (before make release CMAKE_FLAGS=..., say)
# follows it.
configure-tests: configure
	@host=$(HOST_OF_BUILD); for tree in $(TEST_TREES); do \
	  was=$(call CACHE_VALUE,TAVRO_OFFICIAL_HOST,$$tree); \
	  if [ -n "$$was" ] && [ "$$was" != "$$host" ]; then \
	    echo "$$tree was configured for $$was and $(BUILD)/ for $$host: reconfiguring $$tree for $$host, whose files it tests."; \
	  fi; \
	done
	cmake -S . -B $(I686_TESTS) --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
	  -DTAVRO_SHIPPED_EXE=$(abspath $(EXE)) -DTAVRO_TEST_TIMING=ON \
	  -DTAVRO_TEST_TIMING_SCALE=$(if $(filter emulated,$(I386_MODE)),4,1) $(CMAKE_FLAGS) \
	  -DTAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	  -DTAVRO_PUBLISHER_EXE=$(abspath $(TEST_PUBLISHER_BUILD))/TAVRO-Static-Module-Installer.exe \
	  -DTAVRO_SIGNED_MANIFEST_EXE=$(abspath $(TEST_SIGNED_MANIFEST_BUILD))/TAVRO-Static-Module-Installer.exe \
	  -DTAVRO_MIRROR_EXE=$(abspath $(TEST_MIRROR_BUILD))/TAVRO-Static-Module-Installer.exe \
	  -DTAVRO_TEST_MANIFEST_KEYS=$(abspath $(TEST_MANIFEST_KEYS)) \
	  -DTAVRO_LOGGED_EXE=$(abspath $(TEST_LOGGED_BUILD))/TAVRO-Static-Module-Installer.exe \
	  -DTAVRO_TEST_LOG_KEYS=$(abspath $(TEST_LOG_KEYS)) \
	  -DTAVRO_REHEARSAL_BUILD=$(abspath $(TEST_RELEASE_BUILD)) \
	  "-DTAVRO_TEST_PUBLISHER:STRING=$$TAVRO_TEST_PUBLISHER_NAME" >/dev/null

build-tests: build test-publisher-build test-signed-manifest-build test-mirror-build test-logged-build test-release-build configure-tests
	cmake --build $(I686_TESTS) -j $(JOBS)

twin-tests: configure-tests
	cmake -S . -B $(TWIN_TESTS) --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake \
	  -DTAVRO_TEST_TIMING=ON $(CMAKE_FLAGS) -DTAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) >/dev/null
	cmake --build $(TWIN_TESTS) -j $(JOBS)

# Tells which file ran, for which architecture, and how.
HOW_I686  = $(if $(filter emulated,$(I386_MODE)),32-bit Wine emulated by $(shell qemu-i386 --version 2>/dev/null | head -n 1),native 32-bit Wine)
REPORT_I686 = echo "== ran $(abspath $(EXE)) (i686, the shipped file) under $(HOW_I686)"
selftest: build-tests
	@$(WINE_RUN) --boot
	@if $(WINE_RUN) $(EXE) --self-test; then \
	  echo "Self-test passed: $(EXE) (i686) under $(HOW_I686)"; \
	else \
	  echo "Self-test FAILED: $(EXE) (i686) under $(HOW_I686)"; exit 1; \
	fi

# The edit-compile loop: the unit tests and the shipped file's self-test.
check: build-tests
	@cd $(I686_TESTS) && ctest --output-on-failure -j $(TEST_JOBS) -L check

test: build-tests
	@status=0; \
	(set -x; cd $(I686_TESTS) && ctest --output-on-failure -j $(TEST_JOBS)) || status=1; \
	$(REPORT_I686); \
	exit $$status

# The same suite on the x86_64 twin: it proves the twin, not the shipped file.
test-twin: build-tests twin-tests
	@cd $(TWIN_TESTS) && ctest --output-on-failure -j $(TEST_JOBS)
	@echo "== ran the suite on $(abspath $(TWIN_TESTS))/TAVRO-Static-Module-Installer.exe (x86_64 twin) under native 64-bit Wine"

# The windowed installer against a local stand-in of the release site, in the
# test bed's private network namespace, on a virtual display.
# It builds only what it shows: the shipped file, the window driver and the
# sample setup. LINK=RTT_MS,RATE_MBIT (80,20: a far home line) puts a link
# of that round trip and rate between the installer and the site.
demo: build configure-tests
	cmake --build $(I686_TESTS) -j $(JOBS) --target window_driver sample_setup
	@$(WINE_RUN) --boot
	TAVRO_BED_LINK=$(LINK) TAVRO_WINE_RUN=$(abspath $(WINE_RUN)) TAVRO_WINE_ARCH=win32 TAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	TAVRO_INSTALLER=$(abspath $(EXE)) \
	TAVRO_WINDOW_DRIVER=$(abspath $(I686_TESTS))/tests/driver/window_driver.exe \
	TAVRO_SAMPLE_SETUP=$(abspath $(I686_TESTS))/tests/driver/sample_setup.exe \
	TAVRO_SCREENSHOT_DIR=$(abspath $(I686_TESTS))/screenshots \
	  tests/bed/in-bed.sh python3 scripts/demo.py
	@$(REPORT_I686)

# Measures one install attempt and its stages beside curl, sha256sum and the
# bare WinHTTP/CNG floor, the bodies served by nginx; prints a table and
# writes it with a chart under the build tree. Where the host runs 32-bit
# programs the shipped file itself is measured; emulated i386 would measure
# QEMU, so such a host measures the x86_64 twin.
BENCH_TREE = $(if $(filter emulated,$(I386_MODE)),$(TWIN_TESTS),$(I686_TESTS))
BENCH_EXE  = $(if $(filter emulated,$(I386_MODE)),,$(abspath $(EXE)))
bench: build-tests $(if $(filter emulated,$(I386_MODE)),twin-tests)
	@scripts/setup-debian.sh bench
	@$(BENCH_TREE)/wine-run --boot
	bench/run-bench.sh $(abspath $(BENCH_TREE)) $(BENCH_EXE)

# The same on the x86_64 twin on any host: 64-bit Wine's WinHTTP is faster
# than 32-bit Wine's (1.7 times for 512 MiB here), so the transfer's own
# costs show there.
bench-twin: build-tests twin-tests
	@scripts/setup-debian.sh bench
	@$(TWIN_TESTS)/wine-run --boot
	bench/run-bench.sh $(abspath $(TWIN_TESTS))

# What each fault of the official host adds to an attempt of the keyed file
# with a mirror host (bench/mirror_bench.py), in the test bed.
bench-mirrors: build-tests
	@$(WINE_RUN) --boot
	TAVRO_WINE_RUN=$(abspath $(WINE_RUN)) TAVRO_WINE_ARCH=win32 TAVRO_OFFICIAL_HOST=$(HOST_OF_BUILD) \
	TAVRO_SIGNED_MANIFEST_EXE=$(abspath $(TEST_SIGNED_MANIFEST_BUILD))/TAVRO-Static-Module-Installer.exe \
	TAVRO_TEST_MANIFEST_KEYS=$(abspath $(TEST_MANIFEST_KEYS)) \
	TAVRO_MIRROR_EXE=$(abspath $(TEST_MIRROR_BUILD))/TAVRO-Static-Module-Installer.exe \
	  tests/bed/in-bed.sh python3 bench/mirror_bench.py
	@echo "== ran $(abspath $(TEST_MIRROR_BUILD))/TAVRO-Static-Module-Installer.exe (i686, keyed, mirror host mirror.example) under $(HOW_I686)"

# Signs the shipped file into $(SIGNED_EXE) with the key the TAVRO_SIGN_*
# settings name (scripts/sign-release.py), under the web installer's name;
# release-check is its dry run, which builds and writes nothing. A build
# with TAVRO_PUBLISHER is signed only by a certificate of that name.
# sign-setup signs the setup program the same way, under its own name:
#   make sign-setup SETUP=setup.exe SIGNED=signed/setup.exe
WEB_INSTALLER_NAME := TAVRO Static Module Web Installer
SETUP_NAME := TAVRO Static Module Setup
# The publisher given to this make, else the one $(BUILD)/ was built for.
PUBLISHER_OF_BUILD = $(if $(filter undefined,$(origin TAVRO_PUBLISHER)),"$(call CACHE_VALUE,TAVRO_PUBLISHER,$(BUILD))","$$TAVRO_MAKE_PUBLISHER")
# The manifest key file and the CA pin given to this make, else $(BUILD)/'s:
# the dry run checks the manifest key on the token against the one, signing
# refuses a certificate whose chain does not hold the other.
MANIFEST_KEY_OF_BUILD = $(if $(filter undefined,$(origin TAVRO_MANIFEST_KEY)),$(call CACHE_VALUE,TAVRO_MANIFEST_KEY,$(BUILD)),$(call LOCK_VALUE,TAVRO_MANIFEST_KEY))
PUBLISHER_CA_OF_BUILD = $(if $(filter undefined,$(origin TAVRO_PUBLISHER_CA)),$(call CACHE_VALUE,TAVRO_PUBLISHER_CA,$(BUILD)),$(value TAVRO_PUBLISHER_CA))
SIGN = TAVRO_SIGN_PUBLISHER=$(PUBLISHER_OF_BUILD) TAVRO_SIGN_PUBLISHER_CA="$(PUBLISHER_CA_OF_BUILD)" \
  TAVRO_SIGN_MANIFEST_PUBLIC="$(MANIFEST_KEY_OF_BUILD)" scripts/sign-release.py
# Whether this run would configure $(BUILD)/ for another publisher or
# another CA pin; a release or signed setup then checks the certificate
# first, so that a refused one leaves $(BUILD)/ pinned as it was.
REPINS = { $(if $(filter undefined,$(origin TAVRO_PUBLISHER)),false,[ "$$TAVRO_MAKE_PUBLISHER" != "$(call CACHE_VALUE,TAVRO_PUBLISHER,$(BUILD))" ]) || \
  $(if $(filter undefined,$(origin TAVRO_PUBLISHER_CA)),false,[ "$$TAVRO_MAKE_PUBLISHER_CA" != "$(call CACHE_VALUE,TAVRO_PUBLISHER_CA,$(BUILD))" ]); }
SIGN_SETUP_USAGE := usage: make sign-setup SETUP=setup.exe SIGNED=signed/setup.exe
SAY_BUILD = echo "Official host of this build: $(HOST_OF_BUILD)"; publisher=$(PUBLISHER_OF_BUILD); \
  echo "Publisher whose signature this build requires of a setup: $${publisher:-none (no TAVRO_PUBLISHER)}"

release-check:
	@TAVRO_SIGN_NAME="$(WEB_INSTALLER_NAME)" $(SIGN) --check

# The release manifest for a setup file (scripts/manifest.py), written and
# checked by build/tavro-manifest.exe with this build's rules, host and
# publisher, and what users get from the official host once it is published:
#   make manifest SETUP=file VERSION=text URL=https://host/... [MIRRORS="https://... ..."] [MANIFEST=out]
#   make check-manifest MANIFEST=file SETUP=file
#   make check-live
# They need the tool and the i686 tree's Wine runner, not its test programs.
# trust-root is for a rehearsal against a private CA: the Wine prefix that
# make manifest and check-live use trusts the CA certificate (PEM) as Windows
# trusts a root:
#   make trust-root CA=ca.pem
MANIFEST_TOOL = scripts/manifest.py --tool $(BUILD)/tavro-manifest.exe --wine-run $(WINE_RUN)
# make manifest and make manifest-refresh sign above the live manifest's
# sequence; SEQUENCE_OVERRIDE=N signs N instead, logged (scripts/manifest.py).
SEQUENCE_OPTION = $${TAVRO_MAKE_SEQUENCE_OVERRIDE:+--sequence-override "$$TAVRO_MAKE_SEQUENCE_OVERRIDE"}
manifest-tool: configure-tests
	cmake --build $(BUILD) --target tavro-manifest -j $(JOBS)

# A publishing run builds in $(BUILD)/ and writes there: a second one at the
# same time waits for the first (at most 15 minutes) under a lock on the
# directory itself, which leaves no file behind. The scripts it runs know
# the lock is theirs (TAVRO_PUBLISHING_LOCK).
PUBLISHING_TARGETS := release sign-setup manifest check-manifest check-live manifest-refresh publish trust-root
ifeq ($(TAVRO_PUBLISHING_LOCK),)
$(PUBLISHING_TARGETS):
	@mkdir -p $(BUILD); status=0; \
	TAVRO_PUBLISHING_LOCK=$(abspath $(BUILD)) flock -n -E 75 $(BUILD) $(MAKE) --no-print-directory $@ || status=$$?; \
	if [ $$status = 75 ]; then \
	  echo "Another publishing run (make $@ or another of: $(PUBLISHING_TARGETS)) holds $(BUILD)/: waiting for it to end (at most 15 minutes)." >&2; \
	  status=0; \
	  TAVRO_PUBLISHING_LOCK=$(abspath $(BUILD)) flock -w 900 -E 75 $(BUILD) $(MAKE) --no-print-directory $@ || status=$$?; \
	fi; \
	if [ $$status = 75 ]; then \
	  echo "Another publishing run (make $@ or another of: $(PUBLISHING_TARGETS)) has held $(BUILD)/ for 15 minutes; nothing was done." >&2; \
	fi; \
	exit $$status
else
# A build with manifest keys takes as its floor the sequence of the manifest
# last signed for $(MANIFEST) (scripts/manifest.py floor says where it read
# it), unless TAVRO_MANIFEST_FLOOR is given. A release that fails once it
# has configured $(BUILD)/ puts the tree back as it was (its CMakeCache.txt,
# then built again, which gives the same bytes), so that $(BUILD)/ and
# $(BUILD)/release/ still agree and no setting of the failed run stays.
release:
	@if $(REPINS); then TAVRO_SIGN_NAME="$(WEB_INSTALLER_NAME)" $(SIGN) --check-publisher; fi
	+@before=$(BUILD)/CMakeCache.txt.before-release; rm -f "$$before"; \
	if [ -f $(BUILD)/CMakeCache.txt ]; then cp -p $(BUILD)/CMakeCache.txt "$$before"; fi; \
	status=0; $(MAKE) --no-print-directory release-steps || status=$$?; \
	if [ $$status != 0 ] && [ -f "$$before" ] && ! cmp -s "$$before" $(BUILD)/CMakeCache.txt; then \
	  echo "make release failed: $(BUILD)/ is configured and built again as it was before it, so that it agrees with" \
	    "$(BUILD)/release/ and keeps no setting of this run." >&2; \
	  cp "$$before" $(BUILD)/CMakeCache.txt && cmake -S . -B $(BUILD) >/dev/null && \
	    cmake --build $(BUILD) -j $(JOBS) >/dev/null || \
	    echo "make release: $(BUILD)/ could not be built again as it was; its CMakeCache.txt is as it was." >&2; \
	fi; \
	rm -f "$$before"; exit $$status

release-steps:
	@floor=; if [ -n "$(MANIFEST_KEY_OF_BUILD)" ] && $(if $(filter undefined,$(origin TAVRO_MANIFEST_FLOOR)),true,false); then \
	  said=$$($(MANIFEST_TOOL) floor "$$TAVRO_MAKE_MANIFEST") || exit 2; echo "$$said"; \
	  floor=$$(echo "$$said" | sed -n 's/^TAVRO_MANIFEST_FLOOR=\([0-9]*\),.*/\1/p'); \
	fi; \
	$(MAKE) --no-print-directory build $${floor:+TAVRO_MANIFEST_FLOOR=$$floor}
	@$(SAY_BUILD)
	@scripts/manifest.py --tool $(BUILD)/tavro-manifest.exe locks
	@TAVRO_SIGN_NAME="$(WEB_INSTALLER_NAME)" $(SIGN) $(EXE) $(SIGNED_EXE)

sign-setup:
	@if [ -z "$$TAVRO_MAKE_SETUP" ] || [ -z "$$TAVRO_MAKE_SIGNED" ]; then echo "$(SIGN_SETUP_USAGE)" >&2; exit 2; fi
	@if $(REPINS); then TAVRO_SIGN_NAME="$(SETUP_NAME)" $(SIGN) --check-publisher; fi
	@$(MAKE) --no-print-directory configure
	@$(SAY_BUILD)
	@TAVRO_SIGN_NAME="$(SETUP_NAME)" $(SIGN) "$$TAVRO_MAKE_SETUP" "$$TAVRO_MAKE_SIGNED"

manifest: manifest-tool
	@$(WINE_RUN) --boot
	@set -f; $(MANIFEST_TOOL) $(SEQUENCE_OPTION) write "$$TAVRO_MAKE_SETUP" "$$TAVRO_MAKE_VERSION" "$$TAVRO_MAKE_URL" \
	  "$$TAVRO_MAKE_MANIFEST" $$TAVRO_MAKE_MIRRORS

check-manifest: manifest-tool
	@$(WINE_RUN) --boot
	@$(MANIFEST_TOOL) check "$$TAVRO_MAKE_MANIFEST" "$$TAVRO_MAKE_SETUP"

check-live: manifest-tool
	@$(SAY_BUILD)
	@$(WINE_RUN) --boot
	@$(MANIFEST_TOOL) live

# For a scheduled job, before the live manifest expires: the manifest make
# manifest last wrote (or MANIFEST=) signed again with a new expires and the
# next sequence, everything else as it was; then upload it. check-manifest
# without SETUP checks a signed manifest alone.
manifest-refresh: manifest-tool
	@$(WINE_RUN) --boot
	@$(MANIFEST_TOOL) $(SEQUENCE_OPTION) refresh "$$TAVRO_MAKE_MANIFEST"

# Puts the manifest (MANIFEST=, else make manifest's) and the setup it names
# on the official host's docroot, the setup first and the manifest renamed
# into place there, then checks what users get (scripts/publish.py):
#   make publish DEST=[user@]host:/docroot [SETUP=file]
publish: manifest-tool
	@$(SAY_BUILD)
	@$(WINE_RUN) --boot
	@scripts/publish.py --tool $(BUILD)/tavro-manifest.exe --wine-run $(WINE_RUN) \
	  "$$TAVRO_MAKE_MANIFEST" "$$TAVRO_MAKE_DEST" "$$TAVRO_MAKE_SETUP"

trust-root: configure-tests
	cmake --build $(I686_TESTS) --target trust_root -j $(JOBS)
	@$(WINE_RUN) --boot
	@$(WINE_RUN) $(I686_TESTS)/tests/driver/trust_root.exe add "Z:$$(realpath -- "$$TAVRO_MAKE_CA" | tr / '\\')"
	@$(WINE_RUN) --wait-server
	@echo "The Wine prefix $(I686_TESTS)/wineprefix (make manifest's and make check-live's) trusts as a root:" \
	  "$$(openssl x509 -in "$$TAVRO_MAKE_CA" -noout -subject -nameopt RFC2253,-esc_msb | sed 's/^subject=//')"
endif

# The transparency log's monitor (scripts/monitor.py), for a build with
# TAVRO_LOG_KEY, scheduled by the publisher like make manifest-refresh: the
# log as the official host serves it (or TAVRO_LOG_URL), held to the
# publisher's record of what it logged; exit code 1 on any entry not in it.
.PHONY: monitor
monitor: configure
	@scripts/monitor.py --tool $(BUILD)/tavro-manifest.exe

# For a rehearsal of the release road (README.md): the sample setup alone,
# and the test bed's RFC 3161 time-stamp service on 127.0.0.1 (a throwaway
# authority in $(BUILD)/timestamp-service), which runs until stopped:
#   make sample-setup
#   make timestamp-server [TSA_PORT=3161]
sample-setup: configure-tests
	cmake --build $(I686_TESTS) --target sample_setup -j $(JOBS)
	@echo "Sample setup: $(I686_TESTS)/tests/driver/sample_setup.exe"

timestamp-server:
	@exec tests/bed/timestamp_service.py $(BUILD)/timestamp-service $(or $(TSA_PORT),3161)

# Not from under a running rehearsal: a publishing run holds $(BUILD)/ (its
# lock), make timestamp-server holds its authority's directory, whose CA
# the running signings verify their time stamps against.
clean:
	@if [ -d $(BUILD)/timestamp-service ] && ! flock -n $(BUILD)/timestamp-service true; then \
	  echo "make timestamp-server runs from $(BUILD)/timestamp-service/, whose CA make release and make sign-setup" \
	    "verify its time stamps against (TAVRO_SIGN_TSA_CAFILE): stop it (Ctrl-C where it runs) first. Nothing was" \
	    "removed." >&2; exit 2; \
	fi; \
	if [ -d $(BUILD) ]; then \
	  echo "rm -rf $(BUILD)"; status=0; flock -n -E 75 $(BUILD) rm -rf $(BUILD) || status=$$?; \
	  if [ $$status = 75 ]; then \
	    echo "A publishing run (make release or another of: $(PUBLISHING_TARGETS)) holds $(BUILD)/: make clean would" \
	      "remove the files it works on. Nothing was removed." >&2; exit 2; \
	  fi; \
	  exit $$status; \
	fi

# SPDX-License-Identifier: GPL-3.0-or-later
# The two commands of the README, `make run` and `make test`, and the install, uninstall and
# package commands around them.

PREFIX    ?= $(HOME)/.local
BUILD_DIR ?= build
JOBS      ?= $(shell nproc)

.PHONY: run test build programs configure deps install uninstall package package-check clean bench fuzz test-sanitize sweep

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Everything: the programs, the tests, the fuzz targets and the benchmarks.
build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

# What runs and is installed: the program, its help module, the set-up tool, the CLI and
# libtessel.
programs: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target programs

install: programs
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Removes what `make install` put under PREFIX; your snippets stay.
uninstall: programs
	@scripts/uninstall "$(PREFIX)" "$(BUILD_DIR)"

# Builds, installs, and starts the installed launcher, which puts the per-user data in place
# (never overwriting) and starts the program.
run: install
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
		echo "make run: Varozidi is installed, but there is no graphical display to start it on (DISPLAY and WAYLAND_DISPLAY are unset)."; \
	else \
		$(PREFIX)/bin/varozidi; \
	fi

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

# Every write of varozidi-cli, varozidi-setup and the window, once for each of its file system
# calls and each error (tests/io_sweep.py; about 13 minutes on two cores); `make test` runs a
# sample of it. Every faulty run is listed in $(BUILD_DIR)/io-sweep.log. Part of it:
# make sweep SWEEP_ARGS="--only 'backup.*' --call pread64".
SWEEP_ARGS ?=
sweep: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target programs sweep_window
	tests/io_sweep.py --build $(BUILD_DIR) --log $(BUILD_DIR)/io-sweep.log $(SWEEP_ARGS)

# Every benchmark on a collection of 100,000 snippets (about 300 MB, generated once into
# $(BUILD_DIR)/bench-data), each target with its ratio and PASS or FAIL, and the plot in
# docs/. Not part of `make test`. Same build type as `make build` (RelWithDebInfo: -O2).
bench: deps
	@scripts/install-deps --bench
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) --target benchmarks -j$(JOBS)
	bench/run-bench $(BUILD_DIR)

# Each fuzz target for FUZZ_SECONDS from its seed corpus (fuzz/corpus/); a finding is kept
# as $(BUILD_DIR)/fuzz/crash-* (or leak-*, timeout-*) and fails the run.
FUZZ_SECONDS ?= 60
fuzz: build
	@cd $(BUILD_DIR)/fuzz && for t in filter connection ini json jet; do \
		seeds="$(CURDIR)/fuzz/corpus/$$t"; [ $$t = jet ] && seeds="$$seeds $(CURDIR)/tests/fixtures"; \
		$(CURDIR)/fuzz/run-fuzzer ./fuzz_$$t $(FUZZ_SECONDS) $$seeds || exit 1; \
	done

# The whole suite built with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer
# (GCC's), in its own folder; see docs/reliability.md for what is excluded and suppressed.
SANITIZE_DIR ?= build-asan
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The tests that start Qt WebEngine run apart: Chromium's own code inside it deletes objects
# through a pointer of another size (new-delete-type-mismatch), which that check reports in
# the library; for them alone the check is off. The package's dependency check does not apply
# to a sanitizer build (it links the sanitizers' runtimes).
WEBENGINE_TESTS = help|setup|install
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAROZIDI_FUZZ_TESTS=OFF \
		-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
		-DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
		-DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build $(SANITIZE_DIR) -j$(JOBS)
	cd $(SANITIZE_DIR) && export $(SANITIZE_ENV) && \
		ctest --output-on-failure -j$(JOBS) -E '^($(WEBENGINE_TESTS)|package_dependencies)$$' && \
		ASAN_OPTIONS=$$ASAN_OPTIONS:new_delete_type_mismatch=0 \
		ctest --output-on-failure -R '^($(WEBENGINE_TESTS))$$'

# The Debian packages varozidi-cli and varozidi, in $(BUILD_DIR).
package: build
	cmake --build $(BUILD_DIR) --target package

# lintian on both packages; then installs varozidi-cli alone into a fresh Debian 12 root and
# runs it without a display, and installs varozidi there and starts it (takes minutes, needs
# root).
package-check: package
	@scripts/install-package-check-deps
	packaging/package-check $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

# The two commands of the README, `make run` and `make test`, and the install, uninstall and
# package commands around them.

PREFIX    ?= $(HOME)/.local
BUILD_DIR ?= build
JOBS      ?= $(shell nproc)

.PHONY: run test build deps install uninstall package package-check clean bench

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Removes what `make install` put under PREFIX; your snippets stay.
uninstall: build
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

# Every benchmark on a collection of 100,000 snippets (about 300 MB, generated once into
# $(BUILD_DIR)/bench-data), each target with its ratio and PASS or FAIL, and the plot in
# docs/. Not part of `make test`. Same build type as `make build` (RelWithDebInfo: -O2).
bench: deps
	@scripts/install-deps --bench
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) --target benchmarks -j$(JOBS)
	bench/run-bench $(BUILD_DIR)

# The Debian package, in $(BUILD_DIR).
package: build
	cmake --build $(BUILD_DIR) --target package

# Installs the package into a fresh Debian 12 root and starts it there (takes minutes, needs
# root).
package-check: package
	@scripts/install-package-check-deps
	packaging/package-check $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

# The two commands of the README: `make run` and `make test`.

PREFIX    ?= $(HOME)/.local
BUILD_DIR ?= build
JOBS      ?= $(shell nproc)
APP_DIR   := $(PREFIX)/lib/varozidi

.PHONY: run test build deps install clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Builds, installs, puts the per-user data in place (never overwriting), and starts.
run: install
	$(APP_DIR)/varozidi-setup
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
		echo "make run: Varozidi is installed, but there is no graphical display to start it on (DISPLAY and WAYLAND_DISPLAY are unset)."; \
	else \
		$(APP_DIR)/varozidi; \
	fi

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD_DIR)

# Lumetta: `make run` starts the application on its bundled page, `make test` builds and runs
# every test. Both install what is missing first (Debian packages, with sudo when not root).

BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# Our own builds treat warnings as errors; ccache, when installed, makes rebuilds quick (looked
# up when the recipe runs, after deps may have installed it; empty clears an old setting).
# ccache keys on paths relative to the checkout, so a clone in another folder reuses the cache.
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR = true
CONFIGURE = cmake -G Ninja -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DLUMETTA_WERROR=ON \
	-DCMAKE_CXX_COMPILER_LAUNCHER="$$(command -v ccache)" \
	-DCMAKE_C_COMPILER_LAUNCHER="$$(command -v ccache)"

.PHONY: all deps build run test bench package format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@$(CONFIGURE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)

test: build
	@scripts/test.sh $(BUILD)

package: build
	@cmake --build $(BUILD) --target package

bench: build
	@scripts/with-display.sh scripts/bench.sh $(BUILD)

# Rewrites the page scripts in their one format (the js_format test checks it).
format: deps
	@node_modules/.bin/prettier --write --log-level warn \
		"resources/html/**/*.{js,css}" "examples/**/*.{js,css}" "tests/**/*.js"

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-release $(BUILD)-fuzz $(BUILD)-asan-app

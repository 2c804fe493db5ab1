# The two commands of the README: `make run` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
# `make install` puts the programs, the library and their data under PREFIX, and all of it
# under DESTDIR when that is set (a staging folder for packagers).
PREFIX ?= /usr/local
DESTDIR ?=
MAKEFLAGS += --no-print-directory

.PHONY: all setup configure build run test clean test-asan test-tsan coverage fuzz bench
.PHONY: install uninstall deb check-install check-report

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
		> $(BUILD_DIR).configure.log 2>&1 \
		|| { cat $(BUILD_DIR).configure.log; exit 1; }

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	@if [ -n "$$DISPLAY" ] || [ -n "$$WAYLAND_DISPLAY" ]; then \
		$(BUILD_DIR)/bin/voxtrail; \
	else \
		echo "No display found: starting voxtrail on a virtual X server (xvfb-run)."; \
		xvfb-run -a $(BUILD_DIR)/bin/voxtrail; \
	fi

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR).configure.log

install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR)

# Removes exactly what `make install` with the same PREFIX and DESTDIR installs.
uninstall: build
	@DESTDIR="$(DESTDIR)" cmake -P $(BUILD_DIR)/packaging/uninstall.cmake

# The Debian packages voxtrail, libjstreamN and libjstream-dev, built in build-deb.
deb:
	@bash scripts/deb.sh

# make install and uninstall into a scratch DESTDIR, make deb, the packages' contents and
# lintian (the quick install checks are part of `make test`).
check-install:
	@bash scripts/check-install.sh

# vxtool project report in a real browser (Debian's chromium-headless-shell, installed for
# this target only): a screenshot with the chart and the strips drawn, the page printed to
# PDF, no message on the browser's console.
check-report: build
	@BUILD_DIR="$(BUILD_DIR)" bash scripts/check-report.sh

# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan.
test-asan:
	@bash scripts/test-asan.sh

# The efs, jstream and analysis tests built with ThreadSanitizer, in build-tsan.
test-tsan:
	@bash scripts/test-tsan.sh

# The whole suite built with gcov instrumentation in build-coverage; prints line and
# branch coverage per folder (gcovr).
coverage:
	@bash scripts/coverage.sh

# The libFuzzer programs of fuzz/, built with clang in build-fuzz, each run FUZZ_SECONDS (60).
fuzz:
	@bash scripts/fuzz.sh

# The storage benchmark of bench/, built in build-bench (Release); prints one table.
# BENCH_RUNS=1 BENCH_SCALE=0.1 make bench gives a quick run.
bench:
	@bash bench/run.sh

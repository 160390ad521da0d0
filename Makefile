# SPDX-License-Identifier: MIT
# make run [PORT=8037]   build the programs and start the daemon (port 8037 unless given)
# make test              build everything and run every test
# make install           install under PREFIX (/usr/local), below DESTDIR when given
PORT ?= 8037
BUILD ?= build
WERROR ?= OFF
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREVAN_WERROR=$(WERROR)
# Only the daemon and its tools: no test, benchmark or example is configured.
PROGRAMS_ONLY = -DOSTREVAN_BUILD_TESTS=OFF -DOSTREVAN_BUILD_BENCH=OFF -DOSTREVAN_BUILD_EXAMPLES=OFF
EVERYTHING = -DOSTREVAN_BUILD_TESTS=ON -DOSTREVAN_BUILD_BENCH=ON -DOSTREVAN_BUILD_EXAMPLES=ON
# Quiet unless it fails: then the log is shown.
QUIETLY = .ci/quietly $(BUILD)/make.log

.PHONY: run test install clean

run:
	@.ci/install-deps build
	@$(QUIETLY) $(CONFIGURE) $(PROGRAMS_ONLY)
	@$(QUIETLY) cmake --build $(BUILD) -j$(JOBS) --target ostrevan ostrevan-query
	@./$(BUILD)/shell/ostrevan $(PORT)

test:
	@.ci/install-deps test
	@$(CONFIGURE) $(EVERYTHING) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j2

install:
	@.ci/install-deps build
	@$(QUIETLY) $(CONFIGURE) $(PROGRAMS_ONLY) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	@$(QUIETLY) cmake --build $(BUILD) -j$(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-soft build-arm64 build-doc

# make run [PORT=8037]   build and start the daemon (port 8037 unless given)
# make test              build and run every test
PORT ?= 8037
BUILD ?= build
WERROR ?= OFF
JOBS ?= $(shell nproc)

.PHONY: deps build run test clean

deps:
	@.ci/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREVAN_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/shell/ostrevan $(PORT)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

clean:
	rm -rf $(BUILD) build-asan build-tsan

# Front door: `make` builds, `make test` builds and runs the suite, `make demo` shows a transfer
# on the built-in virtual serial line, `make bench` compares speed with lrzsz.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build test demo bench fuzz install clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	bash tools/demo.sh $(BUILD)

bench:
	bash bench/run.sh

fuzz:
	bash fuzz/run.sh $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)

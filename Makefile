# The commands of the README. Every target sets up what it needs first.
VENV      := .venv
PYTHON    := $(VENV)/bin/python
BUILD     := build
CMAKE     := $(VENV)/bin/cmake
JOBS      ?= $(shell nproc)

.PHONY: all bootstrap engine test-engine module test-python test example bench clean

all: test

bootstrap:
	@bash scripts/bootstrap.sh

$(BUILD)/engine/build.ninja: | bootstrap
	$(CMAKE) -S . -B $(BUILD)/engine -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PYTHON)) -DTARVELO_BUILD_TESTS=ON

engine: bootstrap $(BUILD)/engine/build.ninja
	$(CMAKE) --build $(BUILD)/engine -j $(JOBS)

test-engine: engine
	$(VENV)/bin/ctest --test-dir $(BUILD)/engine --output-on-failure -j $(JOBS)

module: bootstrap
	$(PYTHON) -m pip install -q --no-build-isolation --no-deps \
	  -C build-dir=$(BUILD)/module .

test-python: module
	$(VENV)/bin/pytest -q tests/python

test: test-engine test-python

example: module
	$(PYTHON) examples/feeder.py

clean:
	rm -rf $(BUILD)

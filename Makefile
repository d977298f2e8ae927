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

# pip builds the module through scikit-build-core, whose `cmake --build` takes its jobs from
# CMAKE_BUILD_PARALLEL_LEVEL.
module: bootstrap
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install -q --no-build-isolation \
	  --no-deps -C build-dir=$(BUILD)/module .

test-python: module
	$(VENV)/bin/pytest -q tests/python

test: test-engine test-python

example: module
	$(PYTHON) examples/feeder.py

# Benchmarks, run by hand: the call overhead, the scaling table, the time series per solver and
# the profiles of a Newton iteration and of a sweep.
bench: module
	$(CMAKE) -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PYTHON)) -DTARVELO_BUILD_BENCH=ON
	$(CMAKE) --build $(BUILD)/bench -j $(JOBS) --target newton_profile sweep_profile tape_ops
	$(PYTHON) bench/bench_calls.py
	$(PYTHON) bench/bench_scaling.py
	$(PYTHON) bench/bench_time_series.py
	$(PYTHON) bench/bench_drop.py
	$(BUILD)/bench/bench/newton_profile
	$(BUILD)/bench/bench/sweep_profile

clean:
	rm -rf $(BUILD)

# ---- hardening: sanitizers, randomized misuse, leaks ----
.PHONY: sanitize fuzz leaks

# Engine tests and Python tests under AddressSanitizer and UndefinedBehaviorSanitizer, in
# build/sanitize (the module is installed there, never into .venv).
sanitize: bootstrap
	JOBS=$(JOBS) bash scripts/sanitize.sh all

# The randomized misuse test at length.
fuzz: module
	TARVELO_FUZZ_EXAMPLES=$${TARVELO_FUZZ_EXAMPLES:-2000} $(VENV)/bin/pytest -q \
	  tests/python/test_randomized.py

# Memcheck on the engine tests (no definite leak), then 10,000 build-solve-drop cycles from
# Python with the heap and the resident memory kept flat.
leaks: engine module
	@bash scripts/bootstrap.sh valgrind
	valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite \
	  --show-leak-kinds=definite --error-exitcode=1 $(BUILD)/engine/tests/engine/engine_tests \
	  --gtest_brief=1
	TARVELO_LEAK_CYCLES=$${TARVELO_LEAK_CYCLES:-10000} $(VENV)/bin/pytest -q -s \
	  tests/python/test_leaks.py

# ---- side by side with OpenDSS and power-grid-model, run by hand ----
.PHONY: bench-peers

# The peers live in build/bench-peers/venv (bench/peers/setup.sh), never in .venv.
# BEFORE=<git revision> measures that revision's tarvelo too, built under build/bench-peers.
# BENCH_PEERS_ARGS passes more options to bench/bench_peers.py (its --help lists them).
bench-peers: module
	bash bench/peers/setup.sh
	$(PYTHON) bench/bench_peers.py --peer-python build/bench-peers/venv/bin/python \
	  --jobs $(JOBS) $(if $(BEFORE),--before $(BEFORE)) $(BENCH_PEERS_ARGS)

# ---- mutation testing ----
.PHONY: mutate

# Single-line faults planted in engine/ and tarvelo/native/, each built and run against the
# whole suite by three workers under build/mutation/ (results.json, survivors.txt there).
# MUTATE_ARGS go to the script, e.g. MUTATE_ARGS="--only engine/elements/load.cpp:48:1".
MUTATE_ARGS ?= --sample 200 --seed 1
mutate: bootstrap
	$(PYTHON) scripts/mutate.py $(MUTATE_ARGS)

# Entry points: `make demo` installs what the build needs, builds the module
# and runs it on the shipped samples; `make check` runs every test; `make
# limits` runs diff and patch at 2^31 - 1 bytes (several GiB, some minutes);
# `make bench` measures diff and patch against peers and rewrites
# bench/results.md (`make bench-quick`: a small subset, written under
# build/bench). PYTHON27=/path/to/python overrides the
# interpreter that tools/find-python27 picks; PYTHON=/path/to/python (any 2.7
# or 3.x) runs the demo under another interpreter; BENCH_CAP=seconds bounds
# each diff of the benchmark (default 120).
PYTHON27 ?= $(shell tools/find-python27)
PYTHON ?= $(PYTHON27)
MODULE_DIR = build/py$(shell tools/python-tag $(PYTHON))
BENCH_BUILD := build/cmake-bench
BENCH_CAP ?= 120
# The busy-thread figure is measured under 3.11 and the newest Python 3 as well,
# and the peak of a diff through read-only mmaps under those two alone.
BENCH_PYTHON3S = $(sort $(shell tools/find-python3 | grep '/3\.11\.'; tools/find-python3 | tail -n1))
BENCH_ALSO = $(foreach python,$(BENCH_PYTHON3S),--also $(python)=$$(tools/build-module $(python) | tail -n1))

.PHONY: module demo check limits bench bench-quick bench-tools clean

module:
	tools/install-deps --build
	tools/build-module $(PYTHON) $(MODULE_DIR) >/dev/null

demo: module
	PYTHONPATH=$(MODULE_DIR) $(PYTHON) samples/demo.py

check:
	PYTHON27=$(PYTHON27) tools/run-tests

limits:
	tools/run-limits

bench-tools:
	tools/install-deps --bench
	cmake -S . -B $(BENCH_BUILD) -DCORE_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCH_BUILD) -j2 --target diff_stages divsufsort_time

bench: module bench-tools
	PYTHONPATH=$(MODULE_DIR) $(PYTHON) bench/run_bench.py --tools $(BENCH_BUILD)/bench --cap $(BENCH_CAP) $(BENCH_ALSO)

bench-quick: module bench-tools
	PYTHONPATH=$(MODULE_DIR) $(PYTHON) bench/run_bench.py --tools $(BENCH_BUILD)/bench --cap $(BENCH_CAP) --quick $(BENCH_ALSO)

clean:
	rm -rf build

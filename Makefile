# Entry points: `make demo` builds the module and runs it on the shipped
# samples; `make check` runs every test. PYTHON27=/path/to/python overrides
# the interpreter that tools/find-python27 picks.
PYTHON27 ?= $(shell tools/find-python27)
MODULE_DIR := build/py27

.PHONY: module demo check bench clean

module:
	$(PYTHON27) setup.py -q build_ext --build-lib $(MODULE_DIR) --build-temp build/tmp27

demo: module
	PYTHONPATH=$(MODULE_DIR) $(PYTHON27) samples/demo.py

check:
	PYTHON27=$(PYTHON27) tools/run-tests

bench: module
	PYTHONPATH=$(MODULE_DIR) $(PYTHON27) bench/bench_diff.py

clean:
	rm -rf build

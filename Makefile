# make demo: install what is missing, build, run the main example.
# make test: install what is missing, build, run the whole test suite.
# make test-asan: the whole suite against modules built with AddressSanitizer
#   and UndefinedBehaviorSanitizer, in a package directory of their own
#   ($(ASAN_DIR)/pkg): the in-place modules of `make build` stay as they are.
# make fuzz: the fuzz suite alone, sanitized, with many more cases
#   (FUZZ_CASES, default 200000; FUZZ_SEED, default a new one each run).
PYTHON ?= python3
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
ASAN_PKG := $(CURDIR)/$(ASAN_DIR)/pkg
FUZZ_CASES ?= 200000
FUZZ_SEED ?= $(shell date +%s)
export PYTHONPATH := $(CURDIR)$(if $(PYTHONPATH),:$(PYTHONPATH))

# The interpreter itself, not a launcher script that would run under the
# preloaded sanitizer runtimes as well.
SANITIZED = tools/sanitized $(ASAN_PKG) "$$($(PYTHON) -c 'import sys; print(sys.executable)')"

.PHONY: all deps build build-asan test test-asan fuzz demo bench clean

all: build

deps:
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DQUENDA_INPLACE=ON \
		-DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	@cmake --build $(BUILD_DIR) -j 2

# The sanitized modules beside links to the package's Python modules and subpackages.
build-asan: deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENDA_SANITIZE=ON \
		-DQUENDA_MODULE_DIR=$(ASAN_PKG)/quenda \
		-DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	@cmake --build $(ASAN_DIR) -j 2
	@find $(ASAN_PKG)/quenda -maxdepth 1 -type l -delete
	@ln -s $(CURDIR)/quenda/*.py $(ASAN_PKG)/quenda/
	@for d in $(CURDIR)/quenda/*/__init__.py; do ln -s "$$(dirname $$d)" $(ASAN_PKG)/quenda/; done

test: build
	$(PYTHON) -m pytest -q tests

test-asan: build-asan
	$(SANITIZED) -m pytest -q tests

fuzz: build-asan
	@echo "fuzz: seed $(FUZZ_SEED), $(FUZZ_CASES) cases"
	QUENDA_FUZZ_SEED=$(FUZZ_SEED) QUENDA_FUZZ_CASES=$(FUZZ_CASES) $(SANITIZED) -m pytest -q -s tests/fuzz -m fuzz

demo: build
	$(PYTHON) -m quenda --out out

bench: build
	$(PYTHON) benchmarks/kernel.py
	$(PYTHON) benchmarks/solver.py
	$(PYTHON) benchmarks/transient.py
	$(PYTHON) benchmarks/cell_sweep.py
	$(PYTHON) benchmarks/noise.py

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) quenda/*.so

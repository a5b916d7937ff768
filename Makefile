# make demo: install what is missing, build, run the main example.
# make test: install what is missing, build, run the whole test suite.
PYTHON ?= python3
BUILD_DIR ?= build
export PYTHONPATH := $(CURDIR)$(if $(PYTHONPATH),:$(PYTHONPATH))

.PHONY: all deps build test demo bench clean

all: build

deps:
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DQUENDA_INPLACE=ON \
		-DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	@cmake --build $(BUILD_DIR) -j 2

test: build
	$(PYTHON) -m pytest -q tests

demo: build
	$(PYTHON) -m quenda --out out

bench: build
	$(PYTHON) benchmarks/kernel.py
	$(PYTHON) benchmarks/solver.py
	$(PYTHON) benchmarks/transient.py

clean:
	rm -rf $(BUILD_DIR) quenda/*.so

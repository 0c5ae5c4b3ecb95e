# Two commands do all set-up on a fresh machine:
#   make test   create .venv, build and install zarnik with its test dependencies, run the suite
#   make demo   create .venv, build and install zarnik, run the demo job
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
DEPS   := $(VENV)/.deps-installed

.PHONY: test demo install inplace bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)

$(DEPS): pyproject.toml | $(PY)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.13" ninja cmake
	touch $(DEPS)

install: $(DEPS)
	$(PY) -m pip install -q --no-build-isolation ".[test]"

test: install
	$(PY) -m pytest -q -p no:cacheprovider

demo: install
	$(VENV)/bin/zarnik demo

# Development: build the extension modules into python/ and use PYTHONPATH=python.
inplace: $(DEPS)
	$(VENV)/bin/cmake -S . -B build/inplace -G Ninja -DZARNIK_INPLACE=ON \
	    -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	$(VENV)/bin/cmake --build build/inplace

bench: install
	$(PY) benchmarks/rolling.py

clean:
	rm -rf build $(VENV)

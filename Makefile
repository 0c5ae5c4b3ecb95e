# Two commands do all set-up on a fresh machine:
#   make test   create .venv, build and install zarnik with its test dependencies, run the suite
#   make demo   create .venv, build and install zarnik, run the demo job
# Both work with an empty pip cache: the build tools (setuptools and wheel included, which
# source-only dependencies need under --no-build-isolation) are installed first.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip install --progress-bar off --disable-pip-version-check
DEPS   := $(VENV)/.deps-installed

.PHONY: test demo install install-test browser inplace bench sanitize clean

$(PY):
	@echo "== creating the virtual environment $(VENV)"
	$(PYTHON) -m venv $(VENV)

$(DEPS): pyproject.toml Makefile | $(PY)
	@echo "== installing build tools (pip, setuptools, wheel, scikit-build-core, pybind11, ninja, cmake)"
	$(PIP) -q --upgrade pip
	$(PIP) -q "setuptools>=70" wheel "scikit-build-core>=0.10" "pybind11>=2.13" ninja cmake
	touch $(DEPS)

# What the demo needs: zarnik and its run-time dependencies.
install: $(DEPS)
	@echo "== building and installing zarnik (C++ extension modules; a few minutes)"
	$(PIP) -q --no-build-isolation .

# What the suite needs as well: the test extra (pytest, hypothesis, statsmodels, alphalens-reloaded, ...).
install-test: $(DEPS)
	@echo "== building and installing zarnik with the test dependencies (a few minutes)"
	$(PIP) -q --no-build-isolation ".[test]"

# The tear-sheet test opens a page in headless Chromium (Debian package chromium). Installed here when
# missing and the machine allows it (root with apt-get); otherwise that one test is skipped.
browser:
	@command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "== installing chromium for the tear-sheet browser test"; \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium \
	      >/dev/null) || echo "== chromium could not be installed: the browser test will be skipped"; \
	  else echo "== chromium not found: the tear-sheet browser test will be skipped"; fi; }

test: install-test browser
	@echo "== running the test suite"
	$(PY) -m pytest -q -p no:cacheprovider

demo: install
	$(VENV)/bin/zarnik demo

# Development: build the extension modules into python/ and use PYTHONPATH=python.
inplace: $(DEPS)
	$(VENV)/bin/cmake -S . -B build/inplace -G Ninja -DZARNIK_INPLACE=ON \
	    -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	$(VENV)/bin/cmake --build build/inplace

# Development: the extension modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (-O1 -g) into a copy of the package under
# build/sanitize, then the C++-heavy tests and the fuzz suite of every C++
# entry point run against that copy (their subprocesses inherit the
# sanitizer runtime; libstdc++ is preloaded with it so that the runtime can
# intercept C++ exceptions in an interpreter not linked against it). Slow;
# not part of `make test`.
SAN_DIR   := build/sanitize
SAN_TESTS ?= tests/test_crashes.py tests/test_fuzz_entry_points.py tests/test_analysis_inputs.py \
             tests/test_rolling_kernels.py tests/test_row_layouts.py tests/test_winsorize.py tests/test_ols.py \
             tests/test_normalize.py tests/test_neutralize.py tests/test_factor_return.py \
             tests/test_quantile_analysis.py tests/test_ic_analysis.py tests/test_style.py \
             tests/test_interface.py tests/test_rolling_nodes.py tests/test_interface_properties.py \
             tests/test_deep_trees.py
CXX       ?= g++
sanitize: $(DEPS)
	@echo "== building the sanitizer modules into $(SAN_DIR)"
	rm -rf $(SAN_DIR)/python
	mkdir -p $(SAN_DIR)/python
	cp -r python/zarnik python/ostrel $(SAN_DIR)/python/
	find $(SAN_DIR)/python \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
	$(VENV)/bin/cmake -S . -B $(SAN_DIR)/build -G Ninja -DCMAKE_BUILD_TYPE=Sanitize -DZARNIK_SANITIZE=ON \
	    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
	    -DZARNIK_OUTPUT_DIR=$(abspath $(SAN_DIR))/python \
	    -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	$(VENV)/bin/cmake --build $(SAN_DIR)/build
	@echo "== running the C++-heavy tests and the fuzz suite under the sanitizers"
	ZARNIK_SANITIZED=1 PYTHONMALLOC=malloc \
	    LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    PYTHONPATH=$(SAN_DIR)/python $(PY) -m pytest -q -p no:cacheprovider $(SAN_TESTS)

bench: install
	$(PY) benchmarks/rolling.py

clean:
	rm -rf build $(VENV)

# Two entry points that set up a fresh machine and run:
#   make test   installs what is missing and runs the whole test suite
#   make demo   installs what is missing and fits the bundled sample with `plix fit`
PYTHON ?= python3.11
VENV   := .venv
PY     := $(VENV)/bin/python
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test demo bench install system-deps clean

test: install
	$(PY) -m pytest -q tests

# Fits two cross-sections of the bundled physical-model sample from twice their true values,
# prints the report with the true values beside the fitted ones and writes the figure.
demo: install
	$(VENV)/bin/plix fit examples/physical_sample.csv --setup examples/physical_setup.toml \
	  --params examples/physical_start.toml --reference examples/physical_true.toml \
	  --plot examples/physical_fit.png
	@echo "wrote examples/physical_fit.png"

bench: install
	$(PY) bench/run_all.py

system-deps:
	@if ! dpkg -s libcminpack-dev >/dev/null 2>&1; then \
	  echo "installing libcminpack-dev"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libcminpack-dev pkg-config g++ make; \
	fi

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)

$(VENV)/.deps: pyproject.toml | $(VENV)/bin/python
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" "nanobind>=2.0" cmake ninja "pytest>=7" "scipy>=1.10,<1.17" "matplotlib>=3.5"
	touch $@

# The package is rebuilt incrementally (build/ keeps the CMake tree) on every run, with the
# private test binding that the suite needs.
install: system-deps $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -C cmake.define.PLIX_BUILD_TESTING=ON .

clean:
	rm -rf build $(VENV)

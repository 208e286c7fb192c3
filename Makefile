# Two entry points that set up a fresh machine and run:
#   make test   installs what is missing and runs the whole test suite
#   make demo   installs what is missing and fits the bundled sample
#   make kernels runs the suite once per OpenBLAS kernel this CPU can run (a manual check)
PYTHON ?= python3.11
VENV   := .venv
PY     := $(VENV)/bin/python
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test demo bench install system-deps clean kernels

test: install
	$(PY) -m pytest -q tests

demo: install
	$(PY) examples/demo.py

bench: install
	$(PY) bench/run_all.py

# SciPy's OpenBLAS picks its kernel by CPU; the suite must pass whichever it picks. Each run
# names the kernel OpenBLAS reports; kernels whose instructions the CPU lacks are skipped.
KERNELS ?= default Prescott Nehalem Sandybridge Haswell Zen SkylakeX
OPENBLAS_KERNEL := import ctypes, scipy.linalg; \
  lib = next(l.split()[-1] for l in open("/proc/self/maps") if "scipy_openblas" in l); \
  f = ctypes.CDLL(lib).scipy_openblas_get_corename; f.restype = ctypes.c_char_p; \
  print(f().decode())
kernels: install
	@flags=" $$(grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2) "; log=$$(mktemp); status=0; \
	for k in $(KERNELS); do \
	  case $$k in \
	    SkylakeX) need=avx512f;; Haswell|Zen) need=avx2;; Sandybridge) need=avx;; \
	    Nehalem) need=sse4_2;; *) need=pni;; \
	  esac; \
	  case "$$flags" in *" $$need "*) ;; *) echo "$$k: skipped, the CPU lacks $$need"; continue;; esac; \
	  if [ $$k = default ]; then set -- env -u OPENBLAS_CORETYPE; else set -- env OPENBLAS_CORETYPE=$$k; fi; \
	  name=$$("$$@" $(PY) -c '$(OPENBLAS_KERNEL)'); \
	  "$$@" $(PY) -m pytest -q -p no:cacheprovider tests > $$log 2>&1 || status=1; \
	  echo "$$k (OpenBLAS: $$name): $$(tail -n 1 $$log)"; \
	done; rm -f $$log; exit $$status

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

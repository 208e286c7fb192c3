# Entry points that set up a fresh machine and run:
#   make test   installs what is missing and runs the whole test suite
#   make demo   installs what is missing and fits the bundled open + closed aperture pair
#               with `plix fit` (one command: nuisances, profile, systematic budget)
#   make demo-five-level  the bundled five-level (reverse saturable absorber) sample
#   make kernels runs the suite once per OpenBLAS kernel this CPU can run (a manual check)
#   make sanitize  runs the suite against a build with AddressSanitizer and UBSan
#   make tsan   runs a concurrency workload against a ThreadSanitizer build (a manual check)
# The interpreter that makes .venv: PYTHON=... if given, else the first of these that is
# Python 3.11 or later.
PYTHON ?= $(shell for p in python3.13 python3.12 python3.11 python3; do \
  command -v $$p >/dev/null 2>&1 && $$p -c 'import sys; sys.exit(sys.version_info < (3, 11))' \
  2>/dev/null && { echo $$p; break; }; done)
VENV   := .venv
PY     := $(VENV)/bin/python
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test demo demo-five-level bench install install-demo system-deps python clean kernels sanitize tsan

test: install
	$(PY) -m pytest -q tests

# The global fit of the bundled open + closed aperture pair (a two-photon absorber with a Kerr
# index, three energies each): beta and n2 with the linear transmittance held, one focus offset,
# a baseline, a tilt and an energy calibration per file; the profile-likelihood interval of n2
# and the systematic budget of the set-up's stated uncertainties. Prints the report with the
# true values beside the fitted ones and the numbers in publication units, and writes the
# figures. Needs neither the test extras nor the test binding.
demo: install-demo
	$(VENV)/bin/plix fit examples/kerr_open.csv examples/kerr_closed.csv \
	  --setup examples/kerr_setup.toml --params examples/kerr_start.toml \
	  --reference examples/kerr_true.toml --T0 0.9 \
	  --baseline per-file --tilt per-file --energy-scale per-file \
	  --profile n2 --systematics w0=5%,tau=10%,energy=5% --plot examples/kerr_fit.png
	@echo "wrote examples/kerr_fit.png and examples/kerr_fit_profile_n2.png"

# Fits two cross-sections of the bundled five-level sample from twice their true values.
demo-five-level: install-demo
	$(VENV)/bin/plix fit examples/physical_sample.csv --setup examples/physical_setup.toml \
	  --params examples/physical_start.toml --reference examples/physical_true.toml \
	  --plot examples/physical_fit.png
	@echo "wrote examples/physical_fit.png"

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

python:
	@[ -n "$(PYTHON)" ] || { echo "no Python 3.11 or later found: install one, or give PYTHON=/path/to/python3.11 (or later)"; exit 1; }

$(VENV)/bin/python: | python
	$(PYTHON) -m venv $(VENV)

# What building the package and the demo need, then what the tests need besides.
$(VENV)/.deps-build: pyproject.toml | $(VENV)/bin/python
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" "nanobind>=2.0" cmake ninja "matplotlib>=3.5"
	touch $@

$(VENV)/.deps-test: pyproject.toml $(VENV)/.deps-build
	$(PY) -m pip install -q "pytest>=7" "scipy>=1.10,<1.17" "hypothesis>=6" "distributed>=2024.1"
	touch $@

# The package is rebuilt incrementally (build/ keeps the CMake tree) on every run: with the
# private test binding that the suite needs, or without it for the demo.
install: system-deps $(VENV)/.deps-test
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -C cmake.define.PLIX_BUILD_TESTING=ON .

install-demo: system-deps $(VENV)/.deps-build
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	  -C cmake.define.PLIX_BUILD_TESTING=OFF .

# The compiled modules (plix._core, plix_wrapper, the test binding) built again with
# AddressSanitizer and UndefinedBehaviorSanitizer in their own tree, plix assembled there from
# src/plix and the sanitized _core, and the suite (or SANITIZE_TESTS) run against them; where
# every compiled module comes from is checked first. The interpreter itself is not
# instrumented: the ASan runtime and libstdc++ are preloaded (without the latter, ASan's
# interceptor aborts on the first C++ exception), its leak report (which would list the
# interpreter's own allocations) is off, and a failed allocation returns null as it does
# without ASan. PLIX_SANITIZE=1 tells the tests (timing bounds widen; a test that provokes an
# allocation failure is skipped, since operator new aborts under ASan instead of throwing).
# Python-level capture only, so that a sanitizer report written to fd 2 is seen.
SANITIZE_DIR   := build-sanitize
SANITIZE_TESTS ?= tests
SANITIZERS     := -fsanitize=address,undefined
SANITIZE_SKIP  := --deselect tests/test_fit.py::test_working_storage_that_cannot_be_had_is_a_memory_error
SANITIZE_PATH  := $(abspath $(SANITIZE_DIR))/python:$(abspath $(SANITIZE_DIR))
SANITIZE_ENV    = PLIX_SANITIZE=1 PYTHONPATH=$(SANITIZE_PATH) \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

sanitize: install
	$(VENV)/bin/cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DPLIX_BUILD_TESTING=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZERS) -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$(SANITIZERS)" >/dev/null
	$(VENV)/bin/cmake --build $(SANITIZE_DIR)
	rm -rf $(SANITIZE_DIR)/python && mkdir -p $(SANITIZE_DIR)/python && \
	  cp -r src/plix $(SANITIZE_DIR)/python/plix && cp $(SANITIZE_DIR)/_core.*.so $(SANITIZE_DIR)/python/plix/
	$(SANITIZE_ENV) $(PY) -c "import plix, plix._core, plix_wrapper, _plix_testing; \
	  bad = [x.__name__ for x in (plix, plix._core, plix_wrapper, _plix_testing) \
	         if not x.__file__.startswith('$(abspath $(SANITIZE_DIR))')]; \
	  assert not bad, f'not from the sanitized build: {bad}'"
	$(SANITIZE_ENV) $(PY) -m pytest -q --capture=sys $(SANITIZE_SKIP) $(SANITIZE_TESTS)

# The concurrency workload (tests/tsan/concurrency.py: fits and simulations from eight Python
# threads with two workers each) against a ThreadSanitizer build; a manual check, not in CI.
TSAN_DIR := build-tsan
TSAN_ENV  = PYTHONPATH=$(abspath $(TSAN_DIR))/python:$(abspath $(TSAN_DIR)) \
  LD_PRELOAD="$$(g++ -print-file-name=libtsan.so) $$(g++ -print-file-name=libstdc++.so)" \
  TSAN_OPTIONS=halt_on_error=0:report_signal_unsafe=0

tsan: install
	$(VENV)/bin/cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer -g" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread" >/dev/null
	$(VENV)/bin/cmake --build $(TSAN_DIR) --target _core
	rm -rf $(TSAN_DIR)/python && mkdir -p $(TSAN_DIR)/python && \
	  cp -r src/plix $(TSAN_DIR)/python/plix && cp $(TSAN_DIR)/_core.*.so $(TSAN_DIR)/python/plix/
	$(TSAN_ENV) $(PY) tests/tsan/concurrency.py

clean:
	rm -rf build $(SANITIZE_DIR) $(TSAN_DIR) $(VENV)

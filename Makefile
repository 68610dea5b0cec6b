# Set-up and test entry points. `make test` and `make demo` do everything
# themselves on a fresh machine: find Python 3.13, create .venv, install.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
FIND_PY := $(firstword $(shell \
	for p in python3.13 $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do \
	  if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then echo "$$p"; break; fi; \
	done))
BUILD_DIR ?= build/dev
TARGET ?= all

.PHONY: test demo venv install dev clean bench check-sanitize

$(PY):
	@test -n "$(FIND_PY)" || { echo "Python 3.13 not found (looked on PATH and under pyenv)"; exit 1; }
	"$(FIND_PY)" -m venv $(VENV)
	$(PY) -m pip install --upgrade pip >/dev/null

venv: $(PY)

# Regular (non-editable) install of the package with its test extra.
install: $(PY)
	$(PY) -m pip install ".[test]"

test: install
	cd tests && ../$(VENV)/bin/python -m pytest -q -p no:cacheprovider .

demo: $(PY)
	$(PY) -m pip install ".[demo]"
	mkdir -p demo_output && cd demo_output && $(abspath $(PY)) -m halvorne_beta --output .

# Developer build: compiles the modules straight into their binaries/ folders,
# so that `PYTHONPATH=$$PWD .venv/bin/python -m pytest tests` runs the source tree.
dev: $(PY)
	$(PY) -m pip install numpy scipy scikit-learn pytest hypothesis cmake ninja >/dev/null
	$(VENV)/bin/cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD_DIR) --target $(TARGET)

# The modules built with AddressSanitizer and UndefinedBehaviorSanitizer into
# a copy of the package, and the whole test suite run against them. Leak
# detection is off: the interpreter itself keeps memory until exit.
SAN_DIR := build/sanitize
check-sanitize: install
	rm -rf $(SAN_DIR)/pkg && mkdir -p $(SAN_DIR)/pkg
	cp -r halvorne_beta $(SAN_DIR)/pkg/ && find $(SAN_DIR)/pkg -name '*.so' -delete
	$(PY) -m pip install cmake ninja >/dev/null
	$(VENV)/bin/cmake -S . -B $(SAN_DIR)/build -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DHB_SANITIZE=ON \
	  -DHB_OUTPUT_ROOT=$(abspath $(SAN_DIR))/pkg/halvorne_beta/algorithms/src >/dev/null
	$(VENV)/bin/cmake --build $(SAN_DIR)/build
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  HB_SANITIZED=1 PYTHONPATH=$(abspath $(SAN_DIR))/pkg PYTHONMALLOC=malloc ../$(VENV)/bin/python -m pytest -q -p no:cacheprovider .

bench: install
	for b in benchmarks/bench_*.py; do $(PY) $$b || exit 1; done

clean:
	rm -rf build dist halvorne_beta/algorithms/src/*/binaries/*.so

# Entry points for building, testing and running kofa.
#
#   make demo      fit generated data, print the results, draw them into demo-output/
#   make test      test suite on CPython 3.8 + NumPy 1.24.4 and newest CPython + newest NumPy
#   make sanitize  test suite against an AddressSanitizer/UBSan build
#   make bench     benchmark (ARGS="--heap" for the heap histories, bench/heap.py)
#   make dev       quick build for python3 into build-dev/ (PYTHONPATH=build-dev python3 ...)
#
# ARGS is passed on to the session (pytest options for test/sanitize, demo.py
# options for demo, e.g. ARGS="--only gaussian").
# nox is installed into .tools/ on first use; sessions live in .nox/.

PYTHON     ?= python3
TOOLS      := .tools
NOX        := $(TOOLS)/bin/nox
NOX_SPEC   := nox>=2025.5.1
NOXFLAGS   ?=
ARGS       ?=
DEV_DIR    := build-dev
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PYENV_ROOT ?= $(HOME)/.pyenv

# pyenv's shims only serve the active version, so put the real directories of
# CPython 3.8 and of the newest CPython 3.x on PATH for nox (newest patch
# release of each; the noxfile does the same lookup by itself).
PY_OLDEST_DIR := $(shell ls -d $(PYENV_ROOT)/versions/3.8.* 2>/dev/null | grep -E '/3\.8\.[0-9]+$$' | sort -V | tail -n 1)
PY_NEWEST_DIR := $(shell ls -d $(PYENV_ROOT)/versions/3.* 2>/dev/null | grep -E '/3\.[0-9]+\.[0-9]+$$' | sort -V | tail -n 1)
NOX_PATH      := $(subst $(eval) ,,$(foreach d,$(PY_OLDEST_DIR) $(PY_NEWEST_DIR),$(d)/bin:))$(PATH)
RUN_NOX        = PATH="$(NOX_PATH)" $(NOX) $(NOXFLAGS)

.DEFAULT_GOAL := help
.PHONY: help demo test sanitize bench dev clean distclean

help:
	@sed -n '3,8p' Makefile | sed 's/^# *//'

$(TOOLS)/.installed: Makefile
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install --quiet --upgrade "$(NOX_SPEC)"
	@touch $@

demo: $(TOOLS)/.installed
	$(RUN_NOX) -s demo -- $(ARGS)

test: $(TOOLS)/.installed
	$(RUN_NOX) -s tests -- $(ARGS)

sanitize: $(TOOLS)/.installed
	$(RUN_NOX) -s sanitize -- $(ARGS)

bench: $(TOOLS)/.installed
	$(RUN_NOX) -s bench -- $(ARGS)

dev:
	cmake -S . -B $(DEV_DIR)/cmake -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE="$$($(PYTHON) -c 'import sys; print(sys.executable)')"
	cmake --build $(DEV_DIR)/cmake --parallel $(JOBS)
	cmake --install $(DEV_DIR)/cmake --prefix $(DEV_DIR)
	PYTHONPATH=$(DEV_DIR) $(PYTHON) -c "import kofa; print('built', kofa.__file__)"

clean:
	rm -rf build $(DEV_DIR) dist

distclean: clean
	rm -rf .nox $(TOOLS)

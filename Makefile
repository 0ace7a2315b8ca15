# Entry points for building, testing and running kofa.
#
#   make demo      fit generated data, print the results, draw them into demo-output/
#   make test      test suite on the whole matrix of CPython and NumPy releases (noxfile.py)
#   make wheels    manylinux wheel per CPython on this machine, checked in a fresh venv; sdist
#   make sanitize  test suite against an AddressSanitizer/UBSan build
#   make bench     benchmark on 3.8/NumPy 1.24.4, 3.11 and 3.13 with their newest NumPy
#                  (ARGS="--heap" for bench/heap.py; NOXFLAGS="-p 3.8" for one cell)
#   make dev       quick build for python3 into build-dev/ (PYTHONPATH=build-dev python3 ...)
#   make mutants   mutation testing: a sample of mutants of kofa/*.cpp, each built and run
#                  against the fast tests on 3.11 (tools/mutants.py; ARGS="--count 80 --seed 2")
#   make clean     remove the build trees: build/, build-dev/, dist/
#   make distclean clean, and remove .nox/ (GBs after make test) and .tools/
#   make help      this list (also plain make)
#
# ARGS is passed on to the session (pytest options for test/wheels/sanitize,
# demo.py options for demo, e.g. ARGS="--only gaussian"); NOXFLAGS to nox
# (e.g. NOXFLAGS="-p 3.11" runs only the CPython 3.11 cells).
# nox is installed into .tools/ on first use; sessions live in .nox/.
# Without CI set, sessions whose interpreter is missing are skipped and the
# last lines say how to install it; with CI set, a missing interpreter fails.

PYTHON     ?= python3
TOOLS      := .tools
NOX        := $(TOOLS)/bin/nox
NOX_SPEC   := nox>=2025.5.1
NOXFLAGS   ?=
ARGS       ?=
DEV_DIR    := build-dev
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

RUN_NOX     = $(NOX) $(NOXFLAGS)
# Closing lines: each session's and the total pytest figures (.ci/summary, which
# .ci/run uses too), then the supported interpreters this machine lacks (status
# 1 under CI).
SUMMARY     = .ci/summary --run
MISSING     = $(TOOLS)/bin/python noxfile.py missing

.DEFAULT_GOAL := help
.PHONY: help demo test wheels sanitize bench dev clean distclean

help:
	@sed -n '/^#   make /,/^#$$/s/^#   //p' Makefile

$(TOOLS)/.installed: Makefile
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install --quiet --upgrade "$(NOX_SPEC)"
	@touch $@

demo: $(TOOLS)/.installed
	$(RUN_NOX) -s demo -- $(ARGS)

test: $(TOOLS)/.installed
	@status=0; $(SUMMARY) $(RUN_NOX) -s tests -- $(ARGS) || status=$$?; \
	$(MISSING) || status=$$((status ? status : 1)); exit $$status

wheels: $(TOOLS)/.installed
	@status=0; $(RUN_NOX) -s wheels sdist -- $(ARGS) || status=$$?; \
	ls -l dist/ 2>/dev/null || true; \
	$(MISSING) || status=$$((status ? status : 1)); exit $$status

sanitize: $(TOOLS)/.installed
	$(RUN_NOX) -s sanitize -- $(ARGS)

bench: $(TOOLS)/.installed
	$(RUN_NOX) -s bench -- $(ARGS)

.PHONY: mutants
mutants: $(TOOLS)/.installed
	@test -x $(TOOLS)/bin/mutate || $(TOOLS)/bin/python -m pip install --quiet "universalmutator==1.14.1"
	nice $(TOOLS)/bin/python tools/mutants.py $(ARGS)

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

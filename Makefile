# Entry points for building, testing and running kofa.
#
#   make demo      fit generated data, print the results, draw them into demo-output/
#   make test      test suite on the whole matrix of CPython and NumPy releases (noxfile.py),
#                  the free-threaded (3.13t) and debug (3.13d, 3.15d) CPython cells included
#                  (CELL=3.11-numpy2.4.6 for one cell, the nox session tests(3.11-numpy2.4.6)),
#                  then the emulated cells: kofa cross-compiled for aarch64 and s390x and
#                  part of the suite run under qemu (tools/cross.sh; CELL=emulated for
#                  those alone, CELL=emulated-aarch64-numpy2.4.6 for one)
#                  and the build with clang++ and libc++ (nox -s clang; whole matrix only)
#   make interpreters  build the free-threaded, debug and release CPython of the newest
#                  series from Debian's source into ~/.cache/kofa/cpython (tools/cpython.sh)
#   make wheels    manylinux wheel per CPython on this machine, checked in a fresh venv;
#                  aarch64 wheels of CPython 3.9, 3.11, 3.13, 3.14 and 3.15, cross-compiled,
#                  installed by the host's pip for the emulated interpreter, fitted under qemu; sdist
#   make sanitize  test suite against an AddressSanitizer/UBSan build
#   make bench     bench/bench.py on 3.8/NumPy 1.24.4, 3.11 and 3.13 with their newest NumPy
#                  (ARGS="--heap" for bench/heap.py, ARGS="--seconds" for bench/seconds.py
#                  with scikit-learn; NOXFLAGS="-p 3.8" for one cell)
#   make bench-threads  bench/threads.py: two threads against one on the free-threaded
#                  CPython (GIL off, then on) and its release build, side by side
#   make tsan      thread tests on a free-threaded CPython and kofa built with ThreadSanitizer
#                  (builds that interpreter first: some 15 minutes once)
#   make dev       quick build for python3 into build-dev/ (PYTHONPATH=build-dev python3 ...)
#   make mutants   mutation testing: a sample of mutants of kofa/*.cpp, each built and run
#                  against the fast tests on 3.11 (tools/mutants.py; ARGS="--count 80 --seed 2")
#   make faults    the same for the faults written by hand in tools/faults/*.patch
#   make clean     remove the build trees: build/, build-dev/, dist/
#   make distclean clean, and remove .nox/ (GBs after make test) and .tools/
#   make cacheclean  remove ~/.cache/kofa: the CPython interpreters make test built,
#                  the wheels it built for them and the emulated roots (tools/cross.sh)
#                  (outside the checkout, kept by distclean)
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
CELL       ?=
DEV_DIR    := build-dev
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

RUN_NOX     = $(NOX) $(NOXFLAGS)
# make test CELL=3.11-numpy2.4.6: that one cell of the matrix; CELL=emulated
# the emulated cells alone, CELL=emulated-aarch64-numpy2.4.6 one of them.
# Without CELL the emulated cells follow the matrix.
TEST_SESSIONS = $(if $(CELL),$(if $(filter emulated,$(CELL)),emulated,$(if $(filter emulated-%,$(CELL)),'emulated($(patsubst emulated-%,%,$(CELL)))','tests($(CELL))')),tests emulated)
# The whole matrix also builds with clang++ and libc++ (nox -s clang, noxfile.py).
TEST_SESSIONS += $(if $(CELL),,clang)
# Closing lines: each session's and the total pytest figures (.ci/summary, which
# .ci/run uses too), then the supported interpreters this machine lacks (status
# 1 under CI).
SUMMARY     = .ci/summary --run
MISSING     = $(TOOLS)/bin/python noxfile.py missing

.DEFAULT_GOAL := help
.PHONY: help demo test wheels sanitize bench bench-threads tsan dev clean distclean cacheclean interpreters \
        built-interpreters

help:
	@sed -n '/^#   make /,/^#$$/s/^#   //p' Makefile

$(TOOLS)/.installed: Makefile
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install --quiet --upgrade "$(NOX_SPEC)"
	@touch $@

demo: $(TOOLS)/.installed
	$(RUN_NOX) -s demo -- $(ARGS)

# The interpreters that pyenv does not have (3.13t, 3.13d, 3.14, 3.15, 3.15d),
# from tools/cpython.sh; the cells that need them are reported as missing when
# they cannot be had. A CELL of another interpreter needs none.
built-interpreters: $(TOOLS)/.installed
	@$(TOOLS)/bin/python noxfile.py interpreters $(CELL)

interpreters:
	tools/cpython.sh build

test: $(TOOLS)/.installed built-interpreters
	@status=0; $(SUMMARY) $(RUN_NOX) -s $(TEST_SESSIONS) -- $(ARGS) || status=$$?; \
	$(MISSING) || status=$$((status ? status : 1)); exit $$status

wheels: $(TOOLS)/.installed built-interpreters
	@status=0; $(RUN_NOX) -s wheels cross_wheels sdist -- $(ARGS) || status=$$?; \
	ls -l dist/ 2>/dev/null || true; \
	$(MISSING) || status=$$((status ? status : 1)); exit $$status

sanitize: $(TOOLS)/.installed
	$(RUN_NOX) -s sanitize -- $(ARGS)

bench: $(TOOLS)/.installed
	$(RUN_NOX) -s bench -- $(ARGS)

tsan: $(TOOLS)/.installed
	tools/cpython.sh build tsan
	$(RUN_NOX) -s tsan -- $(ARGS)

THREAD_TABLES := build/bench-threads/3.13t-gil-off.json build/bench-threads/3.13t-gil-on.json \
                 build/bench-threads/3.13r-gil-on.json
bench-threads: $(TOOLS)/.installed interpreters
	rm -f $(THREAD_TABLES)
	$(RUN_NOX) -s bench_threads -- $(ARGS)
	$(TOOLS)/bin/python bench/threads.py --report $(THREAD_TABLES)

.PHONY: mutants faults
mutants: $(TOOLS)/.installed
	@test -x $(TOOLS)/bin/mutate || $(TOOLS)/bin/python -m pip install --quiet "universalmutator==1.14.1"
	nice $(TOOLS)/bin/python tools/mutants.py $(ARGS)

faults: $(TOOLS)/.installed
	nice $(TOOLS)/bin/python tools/mutants.py --patches tools/faults $(ARGS)

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

# Where tools/cpython.sh builds the interpreters (KOFA_CPYTHON_CACHE moves that
# one directory) and noxfile.py keeps the wheels it builds for them, beside it.
KOFA_CACHE     := $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/kofa
CPYTHON_CACHE  := $(or $(KOFA_CPYTHON_CACHE),$(KOFA_CACHE)/cpython)
CROSS_CACHE    := $(or $(KOFA_CROSS_CACHE),$(KOFA_CACHE)/cross)
cacheclean:
	rm -rf "$(KOFA_CACHE)" "$(CPYTHON_CACHE)" "$(dir $(CPYTHON_CACHE))wheels" "$(CROSS_CACHE)"
	@if [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || [ -e /proc/sys/fs/binfmt_misc/qemu-s390x ]; then \
	    echo "kept: qemu's binfmt_misc entries (as root: echo -1 > /proc/sys/fs/binfmt_misc/qemu-aarch64, qemu-s390x)"; \
	    echo "      and the packages qemu-user-static, g++-aarch64-linux-gnu, g++-s390x-linux-gnu"; fi
	@if [ -e /etc/apt/sources.list.d/kofa-cpython-src.list ]; then \
	    echo "kept: /etc/apt/sources.list.d/kofa-cpython-src.list, the apt source entry make test wrote"; \
	    echo "      (as root: rm /etc/apt/sources.list.d/kofa-cpython-src.list && apt-get update)"; fi

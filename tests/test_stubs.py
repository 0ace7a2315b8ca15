"""The type stub: it matches the built module, and mypy finds it installed."""
import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def run_mypy(cwd, *args):
    # Run away from the repository root, whose kofa/ directory of C++ sources
    # would otherwise look like a namespace package to mypy.
    return subprocess.run([sys.executable, "-m"] + list(args), cwd=str(cwd),
                          capture_output=True, text=True, timeout=600)


def test_stubtest_against_the_built_module(tmp_path):
    proc = run_mypy(tmp_path, "mypy.stubtest", "kofa")
    assert proc.returncode == 0, proc.stdout + proc.stderr


PROGRAM = """
import numpy as np
import kofa

X = np.ones((10, 1))
weight, lambda_ = kofa.exponential_mixture(X, 2, [0.5, 5.0], n_iter=10)
reveal_type(weight)
kofa.gaussian_mixture(X, k="2")
kofa.exponential_gaussian_mixture(X, gaussian_k=1, lambda_=[1.0])
"""


def test_mypy_checks_calls_against_the_installed_stub(tmp_path):
    proc = run_mypy(tmp_path, "mypy", "--no-incremental", "-c", PROGRAM)
    out = proc.stdout
    assert proc.returncode == 1, out + proc.stderr
    assert "import-not-found" not in out and "import-untyped" not in out, out
    assert 'Argument "k" to "gaussian_mixture" has incompatible type "str"' in out, out
    assert 'Unexpected keyword argument "lambda_"' in out, out
    revealed = [line for line in out.splitlines() if "Revealed type" in line]
    assert len(revealed) == 1 and "ndarray" in revealed[0] and "64" in revealed[0], out
    assert "Found 2 errors" in out, out

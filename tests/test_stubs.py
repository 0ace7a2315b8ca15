"""The type stub: it matches the built module, and mypy finds it installed."""
import subprocess
import sys

import numpy
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

class Count:
    def __init__(self, n: int) -> None:
        self.n = n
    def __index__(self) -> int:
        return self.n

X = np.random.default_rng(7).exponential(3.0, (400, 1))
weight, lambda_ = kofa.exponential_mixture(X, 2, [0.5, 5.0], n_iter=10)
reveal_type(weight)
"""

# Counts the fits take at run time: the stub accepts them ...
ACCEPTED = [
    "kofa.gaussian_mixture(X, k=np.int64(2))",
    "kofa.gaussian_mixture(X, np.uint8(2), [[1.0], [6.0]], [[[1.0]], [[1.0]]], n_iter=Count(5))",
    "kofa.exponential_mixture(X, k=Count(2), n_iter=np.int32(5))",
    "kofa.exponential_gaussian_mixture(X, np.int64(1), np.int16(1), n_iter=np.int64(5))",
]
# ... and refuses what fails: (call, what mypy says about it)
REFUSED = [
    ('kofa.gaussian_mixture(X, k="2")', 'Argument "k" to "gaussian_mixture" has incompatible type "str"'),
    ("kofa.gaussian_mixture(X, k=Count(2))", 'Argument "k" to "gaussian_mixture" has incompatible type "Count"'),
    ("kofa.exponential_mixture(X, k=2.0)", 'Argument "k" to "exponential_mixture" has incompatible type "float"'),
    ("kofa.exponential_mixture(X, 2, [1.0, 5.0], n_iter=np.float64(5))", 'Argument "n_iter"'),
    ("kofa.exponential_gaussian_mixture(X, gaussian_k=Count(1))", 'Argument "gaussian_k"'),
    ("kofa.exponential_gaussian_mixture(X, gaussian_k=1, lambda_=[1.0])", 'Unexpected keyword argument "lambda_"'),
]


def test_mypy_checks_calls_against_the_installed_stub(tmp_path, capsys):
    program = PROGRAM + "".join(call + "\n" for call in ACCEPTED + [call for call, _ in REFUSED])
    first = program.count("\n") - len(ACCEPTED) - len(REFUSED) + 1
    proc = run_mypy(tmp_path, "mypy", "--no-incremental", "-c", program)
    out = proc.stdout
    assert proc.returncode == 1, out + proc.stderr
    assert "import-not-found" not in out and "import-untyped" not in out, out
    errors = {int(line.split(":")[1]): line for line in out.splitlines() if ": error: " in line}
    for line, call in enumerate(ACCEPTED, first):
        assert line not in errors, errors[line]
    for line, (call, message) in enumerate(REFUSED, first + len(ACCEPTED)):
        assert message in errors.get(line, ""), (call, out)
    assert len(errors) == len(REFUSED), out
    revealed = [line for line in out.splitlines() if "Revealed type" in line]
    assert len(revealed) == 1 and "ndarray" in revealed[0] and "64" in revealed[0], out
    # The same calls at run time: the accepted ones fit, the refused ones raise TypeError.
    namespace = {}
    exec(PROGRAM.replace("reveal_type(weight)", ""), namespace)
    for call in ACCEPTED:
        numpy.random.seed(0)
        exec(call, namespace)
    for call, _ in REFUSED:
        numpy.random.seed(0)
        with pytest.raises(TypeError):
            exec(call, namespace)
    capsys.readouterr()

"""kofa loaded by the main interpreter refuses every sub-interpreter.

Each case runs in a fresh process: the main interpreter imports kofa and
fits once, a sub-interpreter then tries to import it twice, and the main
interpreter fits again afterwards. The last case turns the order round: a
sub-interpreter imports kofa first.
"""
import importlib.util
import json
import sys
import sysconfig

import pytest

from helpers import run_script

# Free-threaded builds check every sub-interpreter's extension modules, legacy
# ones included, so the interpreter refuses kofa before kofa is asked.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
OURS = "Interpreter change detected - this module can only be loaded into one interpreter per process."

IN_SUBINTERPRETER = """
try:
    import kofa
    outcome = "imported"
except ImportError as exc:
    outcome = "ImportError: " + str(exc)
except BaseException as exc:
    outcome = type(exc).__name__ + ": " + str(exc)
with open({path!r}, "a") as out:
    out.write(outcome + "\\n")
"""

TWICE_IN_ONE = """
import {module} as interpreters
interpreter = interpreters.create({config})
for _ in range(2):
    interpreters.run_string(interpreter, CODE)
interpreters.destroy(interpreter)
"""
# name: (module it needs, how it runs the code twice, isolated from the main interpreter)
WAYS = {
    "_testcapi.run_in_subinterp": (
        "_testcapi", "import _testcapi\nfor _ in range(2):\n    _testcapi.run_in_subinterp(CODE)", False),
    "_xxsubinterpreters": ("_xxsubinterpreters", TWICE_IN_ONE.format(module="_xxsubinterpreters", config=""),
                           sys.version_info >= (3, 12)),
    "_interpreters legacy": ("_interpreters", TWICE_IN_ONE.format(module="_interpreters", config="'legacy'"),
                             False),
    "_interpreters isolated": ("_interpreters",
                               TWICE_IN_ONE.format(module="_interpreters", config="'isolated'"), True),
}

MAIN = """
import contextlib, io, numpy, kofa
X = numpy.arange(1.0, 41.0).reshape(-1, 1)
with contextlib.redirect_stdout(io.StringIO()):
    kofa.exponential_mixture(X, 2, [1.0, 8.0], 2)
CODE = {code!r}
{run}
with contextlib.redirect_stdout(io.StringIO()):
    weight, lambda_ = kofa.exponential_mixture(X, 2, [1.0, 8.0], 2)
print("main interpreter fits:", len(weight))
"""


@pytest.mark.parametrize("way", sorted(WAYS))
def test_import_in_a_subinterpreter_is_refused(way, tmp_path):
    module, run, isolated = WAYS[way]
    if importlib.util.find_spec(module) is None:
        pytest.skip("{} cannot start sub-interpreters on this build: no {}".format(
            sys.version.split()[0], module))
    results = tmp_path / "outcomes.txt"
    child = run_script(MAIN.format(code=IN_SUBINTERPRETER.format(path=str(results)), run=run))
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "main interpreter fits: 2"
    outcomes = results.read_text().splitlines()
    assert len(outcomes) == 2
    for outcome in outcomes:
        assert outcome.startswith("ImportError: ")
        if not isolated and not FREE_THREADED:
            assert outcome == "ImportError: " + OURS


SUBINTERPRETER_FIRST = """
import _testcapi, json
_testcapi.run_in_subinterp({code!r})
try:
    import kofa
    main = "imported"
except ImportError as exc:
    main = "ImportError: " + str(exc)
print(json.dumps([open({path!r}).read(), main]))
"""


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi")
def test_a_subinterpreter_that_loads_first_keeps_the_module(tmp_path):
    """The interpreter that loads kofa first keeps it, a (legacy)
    sub-interpreter as well as the main one; free-threaded builds refuse
    the sub-interpreter themselves."""
    results = tmp_path / "outcomes.txt"
    results.write_text("")
    child = run_script(SUBINTERPRETER_FIRST.format(code=IN_SUBINTERPRETER.format(path=str(results)),
                                                   path=str(results)), PYTHONWARNINGS="ignore")
    assert child.returncode == 0, child.stderr
    sub, main = json.loads(child.stdout)
    sub = sub[:-1]  # one outcome, whose message may span lines
    if not FREE_THREADED:
        # The record stays with the sub-interpreter whether its load finished
        # or NumPy refused that interpreter (NumPy 2.3 on 3.14 does).
        assert sub == "imported" or (sub.startswith("ImportError: ") and OURS not in sub), sub
        assert main == "ImportError: " + OURS
    else:
        assert sub.startswith("ImportError: ") and sub != "ImportError: " + OURS and main == "imported"

"""Loading of kofa, its namespace and re-import behaviour."""
import builtins
import importlib
import inspect
import json
import pydoc
import re
import sys

import numpy
import pytest

import kofa
from helpers import run_script

ADDED_BY_EXEC = ["__builtins__", "numpy", "gaussian_mixture", "exponential_mixture",
                 "exponential_gaussian_mixture", "__test__"]


def test_namespace_order_in_fresh_interpreter():
    proc = run_script("import json, kofa; print(json.dumps(list(vars(kofa))))")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""  # the interpreter it was built for: no version warning
    names = json.loads(proc.stdout)
    leading = names[:-len(ADDED_BY_EXEC)]
    assert names[-len(ADDED_BY_EXEC):] == ADDED_BY_EXEC
    assert {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"} \
        == set(leading)


def test_namespace_values():
    assert kofa.__builtins__ is builtins and kofa.numpy is numpy
    assert type(kofa.__test__) is dict and kofa.__test__ == {}
    assert kofa.__doc__.startswith("\nCreated on Thu Oct 19 19:00:20 2023")
    assert kofa.__file__ == kofa.__spec__.origin and kofa.__package__ == ""
    assert kofa.__loader__ is kofa.__spec__.loader


def test_reimport_and_reload_return_the_same_module():
    functions = kofa.gaussian_mixture, kofa.exponential_mixture
    original_test, marker = kofa.__test__, {"kept": True}
    kofa.__test__ = marker
    try:
        del sys.modules["kofa"]
        assert importlib.import_module("kofa") is kofa and sys.modules["kofa"] is kofa
        assert importlib.reload(kofa) is kofa
        # the exec phase did not run again: user changes survive
        assert kofa.__test__ is marker
        assert (kofa.gaussian_mixture, kofa.exponential_mixture) == functions
    finally:
        sys.modules["kofa"] = kofa
        kofa.__test__ = original_test


ALIAS = """
import importlib.util, json, sys, types
origin = importlib.util.find_spec("kofa").origin
placeholder = sys.modules["kofa"] = types.ModuleType("kofa")
spec = importlib.util.spec_from_file_location("elsewhere.kofa", origin)
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
kept = sys.modules["kofa"] is placeholder
del sys.modules["kofa"]
import kofa
print(json.dumps([kept, kofa is module]))
"""


def test_loading_under_another_name():
    """A module loaded under another dotted name is reachable as "kofa"
    too, unless something already is."""
    proc = run_script(ALIAS)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [True, True]


TWO_MODULE_OBJECTS = """
import importlib.util, json
spec = importlib.util.find_spec("kofa")
first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
spec.loader.exec_module(first)
try:
    spec.loader.exec_module(second)
    outcome = "loaded"
except RuntimeError as exc:
    outcome = str(exc)
import kofa
print(json.dumps([outcome, kofa is first, hasattr(second, "gaussian_mixture")]))
"""


def test_a_second_module_object_made_before_the_load_is_refused():
    proc = run_script(TWO_MODULE_OBJECTS)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [
        "Module 'kofa' has already been imported. Re-initialisation is not supported.", True, False]


LOADS_DURING_A_LOAD = """
import importlib.util, json, os, sys, threading
spec = importlib.util.find_spec("kofa")
route, fails, root = os.environ["FIRST_LOAD"], os.environ["FIRST_LOAD_FAILS"] == "1", os.environ["ROOT"]
inside, release = threading.Event(), threading.Event()
# A NumPy first on sys.path: it holds the first load inside its import (in
# its own module, where importlib holds no lock but NumPy's), then puts the
# real NumPy in its place, or fails.
STAND_IN = '''main = __import__("sys").modules["__main__"]
main.inside.set()
main.release.wait(60)
main.sys.path.remove(main.root)
del main.sys.modules["numpy"]
if main.fails:
    raise ImportError("no NumPy for the first load")
import numpy
'''
for package, name, text in [("numpy", "__init__.py", STAND_IN), ("vendor", "__init__.py", ""),
                            ("vendor", os.path.basename(spec.origin), None)]:  # the extension in a package
    os.makedirs(os.path.join(root, package), exist_ok=True)
    if text is None:
        os.symlink(spec.origin, os.path.join(root, package, name))
    else:
        with open(os.path.join(root, package, name), "w") as file:
            file.write(text)
sys.path.insert(0, root)
NAMES = ("numpy", "gaussian_mixture", "exponential_mixture", "exponential_gaussian_mixture")
outcomes, modules = {}, {}

def load(name):
    try:
        if name == "first" and route == "vendor.kofa":  # importlib locks "vendor.kofa" only
            import vendor.kofa as module
        elif name in ("plain", "later"):  # whatever the module table holds as "kofa"
            import kofa as module
        else:
            module = modules[name] = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
    except ImportError as exc:
        outcomes[name] = str(exc)
    else:
        modules[name] = module
        outcomes[name] = [hasattr(module, attribute) for attribute in NAMES]

first = threading.Thread(target=load, args=("first",), name="first")
first.start()
inside.wait(60)
others = [threading.Thread(target=load, args=(name,)) for name in ["plain"] + [str(i) for i in range(7)]]
for thread in others:
    thread.start()
for thread in others:
    thread.join(60)
release.set()
first.join(60)
load("after")
load("later")
print(json.dumps([outcomes, modules.get("first") is modules["after"], modules["later"] is modules["after"]]))
"""


@pytest.mark.parametrize("route", ["spec", "vendor.kofa"])
@pytest.mark.parametrize("fails", [False, True])
def test_no_thread_receives_a_module_whose_load_has_not_finished(route, fails, tmp_path):
    """While one thread's load (through the spec by hand, or of the same
    extension inside a package) waits inside NumPy's import, importlib holds
    no lock of "kofa": every other load, a plain import included, is
    refused, not handed the half-filled module. Once it is done the next
    ones get it; once it has failed, a new load."""
    proc = run_script(LOADS_DURING_A_LOAD, FIRST_LOAD=route, FIRST_LOAD_FAILS=str(int(fails)), ROOT=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    outcomes, same, later_same = json.loads(proc.stdout)
    refused = ("Module 'kofa' is being loaded by another import that has not finished; "
               "import it again once that load is complete.")
    first = "no NumPy for the first load" if fails else [True] * 4
    assert outcomes == dict({str(i): refused for i in range(7)},
                            plain=refused, first=first, after=[True] * 4, later=[True] * 4)
    assert (same, later_same) == (not fails, True)


RELEASE_AT_LOAD = r"""
import contextlib, io, sys, types
import numpy
import reference

class Lazy(types.ModuleType):  # a module whose attributes all come from __getattr__
    def __getattr__(self, name):
        value = getattr(numpy, name)
        # a release text of its own, freed once the reader lets it go
        return value.encode().decode() if name == "__version__" else value

sys.modules["numpy"] = Lazy("numpy")
import kofa
sys.modules["numpy"] = numpy
X = numpy.random.default_rng(3).exponential(2.0, (60, 1))
for impl in (kofa, reference):  # the int64 start takes the NaN scale as NumPy's release does
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            impl.exponential_mixture(X, 1, numpy.array([3]), 3)
    except ValueError as exc:
        print(exc)
"""


def test_numpy_release_is_read_as_an_attribute_at_load():
    """A NumPy stand-in that answers __version__ through __getattr__ is read
    at its release (NumPy 1.24 to 2.3 store the scale array itself)."""
    proc = run_script(RELEASE_AT_LOAD, PYTHONMALLOC="debug")  # freed memory overwritten
    assert proc.returncode == 0, proc.stderr
    got, want = proc.stdout.splitlines()
    assert got == want


ZIP_AT_LOAD = """
import builtins, json
import numpy
real_zip = builtins.zip
builtins.zip = lambda *iterables: iter([{pair}])  # the zip that kofa takes at load
import kofa
builtins.zip = real_zip
X = numpy.zeros((4, 1))
outcome = []
for fit in (kofa.gaussian_mixture, lambda *a, **k: exec("m, c = " + repr({pair}))):
    try:
        fit(X, 1, [[0.0]], [[[1.0]]], 1)
    except ValueError as exc:
        outcome.append(str(exc))
print(json.dumps(outcome))
"""


@pytest.mark.parametrize("pair", ["[]", "[1.0]", "[1.0, 2.0, 3.0]", "(1.0, 2.0, 3.0)", "{1.0: 1, 2.0: 2, 3.0: 3}",
                                  "{1.0, 2.0, 3.0}"])
def test_zip_taken_at_load_unpacks_like_the_interpreter(pair):
    """The zip that the load takes may yield anything: a pair that is not
    two items fails with the interpreter's own unpacking message."""
    proc = run_script(ZIP_AT_LOAD.format(pair=pair))
    assert proc.returncode == 0, proc.stderr
    got, want = json.loads(proc.stdout)
    assert got == want


SPEC_READS = """
import importlib.util, json
real = importlib.util.find_spec("kofa")


class Spec:
    # The interpreter reads name and origin itself; kofa's own reads of the
    # others fail with `error` where `failing` is read, and miss elsewhere.
    def __init__(self, failing, error):
        self.name, self.origin, self.failing, self.error = real.name, real.origin, failing, error

    def __getattr__(self, attribute):
        if attribute == self.failing:
            raise self.error(attribute)
        raise AttributeError(attribute)


outcomes = []
for failing, error in [("loader", RuntimeError), ("parent", KeyboardInterrupt),
                       ("submodule_search_locations", RuntimeError), ("parent", AttributeError)]:
    try:
        module = real.loader.create_module(Spec(failing, error))
        outcomes.append(["created", module.__file__ == real.origin, module.__loader__, module.__package__,
                         hasattr(module, "__path__")])
    except BaseException as exc:
        outcomes.append([type(exc).__name__, str(exc)])
print(json.dumps(outcomes))
"""


def test_a_failing_read_of_the_spec_fails_the_load():
    """Only a missing spec attribute (AttributeError) is passed over; any
    other error of the read ends the create phase with that error."""
    proc = run_script(SPEC_READS)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [
        ["RuntimeError", "loader"], ["KeyboardInterrupt", "parent"],
        ["RuntimeError", "submodule_search_locations"], ["created", True, None, None, False]]


FAILED_IMPORT = """
import json, sys
sys.modules["numpy"] = None
try:
    import kofa
except ImportError as exc:
    tb, frames = exc.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        frames.append([code.co_filename, code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    failure = [type(exc).__name__, str(exc), frames, "kofa" in sys.modules]
del sys.modules["numpy"]
import kofa, numpy
print(json.dumps([failure, kofa.numpy is numpy, list(vars(kofa))[-5:]]))
"""


def test_failed_numpy_import_then_successful_import():
    proc = run_script(FAILED_IMPORT)
    assert proc.returncode == 0, proc.stderr
    (kind, message, frames, loaded), numpy_bound, names = json.loads(proc.stdout)
    assert kind == "ModuleNotFoundError" and not loaded
    assert message == "import of numpy halted; None in sys.modules"
    assert [f for f in frames if f[0] == "kofa.cpp"] == [["kofa.cpp", "init kofa", 7]]
    assert frames[-1] == ["kofa.cpp", "init kofa", 7]
    assert numpy_bound and names == ADDED_BY_EXEC[1:]


def test_help_text_documents_every_function_and_parameter():
    doc = kofa.__doc__
    assert doc.startswith("\nCreated on Thu Oct 19 19:00:20 2023\n")
    section = dict(re.findall(r"^(\w[\w ]*)\n-+\n(.*?)(?=^\w[\w ]*\n-+\n|\Z)", doc, re.M | re.S))
    # The manual's signatures are the ones introspection reports ...
    documented = {name: " ".join(parameters.split())
                  for name, parameters in re.findall(r"^(\w+)(\(.*?\))", section["Functions"],
                                                     re.M | re.S)}
    functions = [kofa.gaussian_mixture, kofa.exponential_mixture, kofa.exponential_gaussian_mixture]
    assert documented == {f.__name__: str(inspect.signature(f)) for f in functions}
    # ... and every parameter has its entry.
    entries = re.findall(r"^([\w, ]+) : ", section["Parameters"], re.M)
    assert {name for entry in entries for name in entry.split(", ")} \
        == {name for f in functions for name in inspect.signature(f).parameters}
    # help(kofa) indents the manual by four columns: it must fit 80.
    rendered = pydoc.plaintext.document(kofa)
    manual = rendered[rendered.index("DESCRIPTION"):rendered.index("FUNCTIONS")]
    assert max(len(line) for line in manual.splitlines()) <= 80


LOAD_SWEEP = r"""
import importlib.util, json, os
import numpy
import _testcapi
from helpers import kofa_entries

spec = importlib.util.find_spec("kofa")


def load_again():
    # After a failed load the next one succeeds with whole function objects,
    # or is refused outright.
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except ImportError as exc:
        return "refused: " + str(exc)
    function = module.gaussian_mixture
    whole = all(type(name) is str for name in vars(type(function)))
    # line 9 is a loading line and gaussian_mixture's def line: a binding
    # error there has the function's own name, after a load failed there
    try:
        function()
    except TypeError as exc:
        binding = kofa_entries(exc)
    named = binding == [("kofa.gaussian_mixture", 9)]
    return "loaded" if whole and named and function.__name__ == "gaussian_mixture" else "broken"


def load_failing_at(point):
    # In a forked child, so that every attempt starts from a process that
    # never loaded the module.
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            module = importlib.util.module_from_spec(spec)  # the create phase, undisturbed
            error = None
            _testcapi.set_nomemory(point, point + 1)
            try:
                spec.loader.exec_module(module)
            except BaseException as exc:  # noqa: BLE001 - its entries are the outcome
                error = exc
            finally:
                _testcapi.remove_mem_hooks()
            if error is None:
                os.write(write_end, b'"loaded"')
            else:  # a death while loading again leaves the first line
                os.write(write_end, json.dumps(kofa_entries(error)).encode() + b"\n")
                os.write(write_end, json.dumps(load_again()).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        written = [json.loads(line) for line in pipe.read().splitlines()] + ["died", "died"]
    os.waitpid(pid, 0)
    return written[0] if written[0] in ("loaded", "died") else written[:2]


# A failure that the load survives (a cleared error) is one "loaded" among
# the others; the sweep ends when the load has allocated no more for a while.
outcomes = []
while outcomes[-20:] != ["loaded"] * 20 and len(outcomes) < 5000:
    outcomes.append(load_failing_at(len(outcomes)))
print(json.dumps(outcomes))
"""


def has_set_nomemory():
    try:
        import _testcapi
    except ImportError:
        return False
    return hasattr(_testcapi, "set_nomemory")


@pytest.mark.skipif(not has_set_nomemory(), reason="needs _testcapi.set_nomemory")
def test_load_failure_reports_the_step_it_failed_in():
    """Each allocation of the exec phase made to fail in turn, in a process
    of its own: the failure has at most one entry, at the line of its step,
    and the steps come in their order."""
    run = run_script(LOAD_SWEEP)
    assert run.returncode == 0, run.stderr[-3000:]
    outcomes = json.loads(run.stdout)
    assert outcomes[-1] == "loaded", outcomes[-5:]
    lines = []
    for outcome in outcomes:
        if outcome == "loaded":
            continue
        if outcome == "died" and sys.version_info[:3] == (3, 13, 0) and not lines[1:]:
            continue  # inside CPython 3.13.0's PyType_Ready, after it failed to grow the type's dict
        entries, next_load = outcome
        # only a type left broken by the interpreter refuses later loads
        refused = next_load.startswith("refused: ")
        assert next_load == "loaded" or (refused and sys.version_info[:3] == (3, 13, 0) and not entries), outcome
        assert len(entries) <= 1 and all(name == "init kofa" for name, line in entries), entries
        line = entries[0][1] if entries else 0  # 0: before the module object is set
        if not lines or lines[-1] != line:
            lines.append(line)
    # other steps (1), the NumPy import (7: it may allocate nothing when
    # NumPy is loaded), each function made and stored (at its def line), the
    # namespace's __test__ (1)
    assert lines in ([0, 1, 7, 9, 39, 89, 1], [0, 1, 9, 39, 89, 1]), lines


UNREADABLE_VERSION = """
import json, sys, numpy
from helpers import sample
text = "2." + "%s"  # made here: only this frame and numpy refer to it
before = sys.getrefcount(text)
class Unreadable:  # no module: the load reads no types from it
    def __getattr__(self, name):
        if name == "__version__":
            %s
        return getattr(numpy, name)
sys.modules["numpy"] = Unreadable()
import kofa
sys.modules["numpy"] = numpy
weight, scales = kofa.exponential_mixture(sample(), 1, numpy.array([5.0]), 1)
print(json.dumps([len(weight), len(scales), sys.getrefcount(text) - before]))
"""


@pytest.mark.parametrize("text,answer", [
    ("\\udcff", "return text"),  # no UTF-8 for a lone surrogate
    ("x", "return text"),
    ("4", "raise AttributeError(name)"),
    ("4", "raise RuntimeError('no release')"),
])
def test_an_unreadable_numpy_version_counts_as_an_unknown_release(text, answer):
    """The fit runs as on a new NumPy (which refuses a one-element array as
    an element), and the release text is not kept."""
    run = run_script(UNREADABLE_VERSION % (text, answer))
    assert run.returncode == 0, run.stderr[-2000:]
    assert json.loads(run.stdout.splitlines()[-1]) == [1, 1, 0]

"""Shared helpers for the kofa tests."""
import os
import subprocess
import sys

import numpy

SOURCE_FILE = "kofa.cpp"
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def kofa_entries(exc):
    """(name, line) of every traceback entry the module added to ``exc``."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def call_failing_allocation(point, function, args):
    """``function(*args)`` with allocation ``point`` made to fail
    (_testcapi.set_nomemory): (result, error, reached), ``reached`` False
    when the call ran through before the failure. ``function(*args)`` passes
    the tuple itself: nothing is allocated between the hook and the call."""
    import _testcapi

    result = error = None
    _testcapi.set_nomemory(point, point + 1)
    try:
        result = function(*args)
    except BaseException as exc:
        error = exc
    try:
        bytearray(64)
        reached = True
    except MemoryError:
        reached = False  # the failure still lay ahead: the call ran through
    _testcapi.remove_mem_hooks()
    try:
        return result, error, reached
    finally:
        # The error's traceback holds this frame: without this, the two
        # would keep each other alive (a cycle, which a sweep with the
        # collector off never frees).
        del error


def sample(n=200, seed=7):
    """One-column sample drawn from two exponentials (means 1 and 8)."""
    rng = numpy.random.default_rng(seed)
    values = numpy.concatenate([rng.exponential(1.0, n), rng.exponential(8.0, n)])
    return values.reshape(-1, 1)


def run_script(source, **environment):
    """Run ``source`` in a fresh interpreter that finds the same kofa build;
    keyword arguments set environment variables (None removes one)."""
    import kofa

    env = dict(os.environ)
    for name, value in environment.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    paths = [os.path.dirname(os.path.abspath(kofa.__file__)), TESTS_DIR]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return subprocess.run([sys.executable, "-c", source], cwd=TESTS_DIR, env=env,
                          capture_output=True, text=True, timeout=600)

"""Session-wide checks for the test suite.

The repository's ``kofa/`` directory holds the C++ sources; Python would
treat it as a namespace package if no compiled ``kofa`` module were
importable.  Refuse to run in that case instead of failing test by test.

Colour is for the person at the terminal: pytest's own report keeps it, but
the processes the tests start, whose output the tests read, inherit an
environment without it (``pytest_sessionstart``).
"""

import importlib.machinery
import os

import pytest


def _load_kofa():
    try:
        import kofa
    except ImportError as exc:
        raise pytest.UsageError(
            "cannot import the kofa extension module ({}); install the package "
            "(make test, or pip install .) or build it with 'make dev' and run "
            "with PYTHONPATH=build-dev".format(exc)
        )
    origin = getattr(kofa, "__file__", None) or ""
    if not origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        raise pytest.UsageError(
            "'kofa' resolved to {!r}, not to the compiled extension module; "
            "install the package or build it with 'make dev'".format(
                origin or list(getattr(kofa, "__path__", []))
            )
        )
    return kofa


def pytest_configure(config):
    _load_kofa()


# Variables that make a program colour output that is no terminal (mypy,
# pytest, CPython from 3.13 for its tracebacks, and others), which
# `make test` sets in a terminal; and the ones that turn colour off.
FORCING_COLOUR = ("FORCE_COLOR", "PY_COLORS", "CLICOLOR_FORCE", "MYPY_FORCE_COLOR", "PYTHON_COLORS")


def pytest_sessionstart(session):
    """From here on, processes that tests start see no colour settings but
    the two that turn it off. pytest's terminal writer chose its colour when
    it was configured, before this hook, and keeps it."""
    for name in FORCING_COLOUR:
        os.environ.pop(name, None)
    os.environ["PYTHON_COLORS"] = "0"
    os.environ["NO_COLOR"] = "1"


def pytest_report_header(config):
    import numpy

    kofa = _load_kofa()
    return "kofa: {}\nnumpy: {} ({})".format(kofa.__file__, numpy.__version__, numpy.__file__)

"""Session-wide checks for the test suite.

The repository's ``kofa/`` directory holds the C++ sources; Python would
treat it as a namespace package if no compiled ``kofa`` module were
importable.  Refuse to run in that case instead of failing test by test.
"""

import importlib.machinery

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


def pytest_report_header(config):
    import numpy

    kofa = _load_kofa()
    return "kofa: {}\nnumpy: {} ({})".format(kofa.__file__, numpy.__version__, numpy.__file__)

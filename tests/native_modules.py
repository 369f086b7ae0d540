"""Checks shared by the tests of every native module."""

import importlib
import sys

import pytest


def assert_initialises_once(name):
    """Importing an already initialised native module again is refused with ImportError."""
    importlib.import_module(name)
    saved = sys.modules.pop(name)
    try:
        with pytest.raises(ImportError) as info:
            importlib.import_module(name)
        assert "already initialised" in str(info.value.__cause__)
    finally:
        sys.modules[name] = saved

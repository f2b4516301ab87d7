import sys

import pytest


@pytest.fixture
def pipe(capsys):
    """stderr as a pipe: call it to get what was written since the last call."""
    return lambda: capsys.readouterr().err


@pytest.fixture
def terminal(capsys, monkeypatch):
    """stderr as a terminal: call it to get what was written since the last call."""
    # The capture stream is swapped between fixture set-up and the test, so patch its class.
    monkeypatch.setattr(type(sys.stderr), "isatty", lambda self: True)
    return lambda: capsys.readouterr().err

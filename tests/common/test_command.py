import logging as std_logging
import signal

import pytest

from zel.common import command
from zel.common import logging as zlogging

log = zlogging.getColorLogger("zel.test")


def raises_value_error():
    raise ValueError("bad input (f.txt, line 3)")


def runs_out_of_memory():
    raise MemoryError


def logs_an_error():
    log.error("survived an error")


def signalled(signum):
    def main():
        signal.raise_signal(signum)
        return 0

    return main


def terminated_twice():
    # A parent's death can be told twice: the run goes on ending as the first asked.
    try:
        signal.raise_signal(signal.SIGTERM)
    except KeyboardInterrupt:
        signal.raise_signal(signal.SIGTERM)
    return 0


@pytest.mark.parametrize(
    ("main", "status", "last_error"),
    [
        (lambda: None, 0, None),
        (lambda: 3, 3, None),
        (raises_value_error, 1, "bad input (f.txt, line 3)"),
        (logs_an_error, 1, "the outputs hold what was written"),
        (runs_out_of_memory, 1, zlogging.error_text(MemoryError())),
        (signalled(signal.SIGINT), 130, None),
        (signalled(signal.SIGTERM), 143, None),
        (signalled(signal.SIGHUP), 129, None),
        (terminated_twice, 143, None),
    ],
)
def test_the_exit_status_tells_how_the_run_went(caplog, main, status, last_error):
    before = {s: signal.getsignal(s) for s in command.INTERRUPTS}
    with caplog.at_level(std_logging.INFO, logger="zel"):
        assert command.run(main, "zel.test", "the outputs hold what was written") == status
    errors = [r.getMessage() for r in caplog.records if r.levelno >= std_logging.ERROR]
    assert (errors[-1] if errors else None) == last_error
    assert {s: signal.getsignal(s) for s in command.INTERRUPTS} == before


def test_an_interrupt_turned_into_another_error_ends_quietly(caplog):
    def main():
        try:
            signal.raise_signal(signal.SIGTERM)
        except KeyboardInterrupt as e:
            raise ImportError("Encountered an error while initializing the extension") from e

    with caplog.at_level(std_logging.INFO, logger="zel"):
        assert command.run(main, "zel.test") == 143
    assert caplog.records == []


def test_an_error_that_cannot_be_logged_still_ends_with_one_plain_line(monkeypatch, capfd):
    # Near a memory limit the logger itself can fail; the run must not end in a traceback.
    def refuse(_error):
        raise MemoryError

    monkeypatch.setattr(zlogging, "error_text", refuse)

    def main():
        raise ValueError("bad input")

    assert command.run(main, "zel.test") == 1
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1 and " ERROR zel.test: out of memory" in lines[0], lines

"""Running a command line so that its exit status tells the truth.

``run(main, ...)`` calls ``main()`` and returns the process's exit status:

- 128 + the signal's number after Ctrl-C (130), SIGTERM (143) or SIGHUP (129): each of them
  raises KeyboardInterrupt, so the pipelines write their files as they do on Ctrl-C;
- 141 (as SIGPIPE would) when the reader of the output went away (``| head``), quietly;
- 1 when ``main`` raised an error (logged in one line) or logged one itself (the pipelines
  log what they survive);
- else what ``main`` returned (0 for None).

An interrupt at any moment ends the command with its status, quietly while the modules load.
"""

import contextlib
import logging as _logging
import os
import signal
import sys
import threading

from . import logging as zlogging

INTERRUPTS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(KeyboardInterrupt):
    """An interrupt that ended a run once the files it promises on interrupts were written."""


# The first interrupting signal received while a command runs, or None.
_received = None


def _interrupt(signum, _frame):
    global _received
    if _received is None:
        _received = signum
    elif signum != signal.SIGINT:
        # A repeated request to end (a parent's death can be told more than once) while the
        # run is already ending as asked: the files being written are finished. Only Ctrl-C,
        # the user at the keyboard, interrupts again.
        return
    raise KeyboardInterrupt


def interrupted():
    """The exit status of the signal that interrupted the command, or None."""
    return None if _received is None else 128 + _received


class _ErrorCount(_logging.Handler):
    def __init__(self):
        super().__init__(_logging.ERROR)
        self.count = 0

    def emit(self, record):
        self.count += 1


def _caused_by_interrupt(error):
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, KeyboardInterrupt):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def run(main, logger_name, failure_note=None):
    """Runs ``main()`` as a command and returns its exit status (see the module's text).

    ``failure_note`` is logged last when ``main`` returned after logging an error, to say what
    its outputs hold.
    """
    global _received
    _received = None
    saved = {signum: signal.getsignal(signum) for signum in INTERRUPTS}
    # Ctrl-C, SIGTERM and SIGHUP raise KeyboardInterrupt, the first remembered.
    for signum in INTERRUPTS:
        signal.signal(signum, _interrupt)
    errors = _ErrorCount()
    # Made while memory is there: the line an error goes out as when nothing else can be made.
    last_line = f"- ERROR {logger_name}: {zlogging.OUT_OF_MEMORY}\n".encode()
    saved_hook = sys.unraisablehook
    sys.unraisablehook = _unraisable_unless_out_of_memory
    watched = [_logging.getLogger("zel"), _logging.getLogger("__main__")]
    for logger in watched:
        logger.addHandler(errors)
    try:
        try:
            status = main()
        except KeyboardInterrupt:
            return interrupted() or 128 + signal.SIGINT
        except BrokenPipeError:
            # The reader of the output is gone (`| head`): end quietly, as other tools do, and
            # keep the interpreter's last flush from failing again.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 128 + signal.SIGPIPE
        except Exception as e:
            if interrupted() and _caused_by_interrupt(e):
                # An interrupt that ended as another error: what it stopped is worth telling,
                # but an interrupt while the modules load stops nothing (quietly).
                if not isinstance(e, ImportError):
                    _log_error(logger_name, e, last_line)
                return interrupted()
            _log_error(logger_name, e, last_line)
            return 1
    finally:
        sys.unraisablehook = saved_hook
        for logger in watched:
            logger.removeHandler(errors)
        for signum, handler in saved.items():
            signal.signal(signum, handler)
    if interrupted():
        return interrupted()
    if errors.count:
        if failure_note:
            zlogging.getColorLogger(logger_name).error("%s", failure_note)
        return 1
    return status or 0


def _unraisable_unless_out_of_memory(unraisable):
    # A MemoryError in a finaliser (a generator the import machinery drops) is the run's error
    # seen early: the run reports it once, not as an "Exception ignored" traceback.
    if not isinstance(unraisable.exc_value, MemoryError):
        sys.__unraisablehook__(unraisable)


def _log_error(logger_name, error, last_line):
    try:
        zlogging.getColorLogger(logger_name).error("%s", zlogging.error_text(error))
    except Exception:
        # At the edge of a memory limit, logging itself (a lazy import, a formatted line) can
        # fail: one plain line still tells why the run ended, instead of a traceback; when not
        # even its time can be formatted, the line made at the start, with "-" for the time.
        try:
            line = zlogging.plain_line("ERROR", logger_name, zlogging.OUT_OF_MEMORY).encode()
        except MemoryError:
            line = last_line
        os.write(sys.stderr.fileno(), line)


@contextlib.contextmanager
def terminations_as_interrupts():
    """Inside the block, SIGTERM and SIGHUP (where their action is the default) raise
    KeyboardInterrupt, so that what the block has half made is cleaned up as on Ctrl-C; once
    the block has ended, the signal is delivered again and ends the process as it would have.
    Only the main thread receives signals: elsewhere the block runs unchanged."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received = []

    def handler(signum, _frame):
        received.append(signum)
        raise KeyboardInterrupt

    saved = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) == signal.SIG_DFL:
            saved[signum] = signal.signal(signum, handler)
    try:
        yield
    finally:
        for signum, previous in saved.items():
            signal.signal(signum, previous)
        if received:
            os.kill(os.getpid(), received[0])

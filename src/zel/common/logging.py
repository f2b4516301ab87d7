"""Loggers that colour their level names on a terminal, and scoped debug/quiet switches.

Stage messages go to ``info``; ``quiet`` hides them (and progress bars) but never warnings or
errors; ``debug`` shows ``debug`` and ``debug_print`` output as well.
"""

import contextlib
import logging as _logging
import os
import pprint
import sys
import time

_COLOURS = {
    _logging.DEBUG: "\033[36m",
    _logging.INFO: "\033[32m",
    _logging.WARNING: "\033[33m",
    _logging.ERROR: "\033[31m",
    _logging.CRITICAL: "\033[1;31m",
}
_RESET = "\033[0m"
_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
_DATE_FORMAT = "%Y-%m-%d %H:%M:%S"
# What a line says when memory ran out before its own text could be made.
OUT_OF_MEMORY = "out of memory: the process reached its memory limit"
# The error line written when no other can be made, "-" for its time.
_LAST_ERROR_LINE = f"- ERROR zel: {OUT_OF_MEMORY}\n".encode()

# Count of active quiet scopes; progress bars stay hidden while it is positive.
_quiet_scopes = 0
# Text put before every message on stderr (see set_label).
_label = ""


def set_label(label):
    """Put ``label`` before every message this process writes to stderr ("" for none), so the
    logs of processes sharing one terminal can be told apart."""
    global _label
    _label = label


class _ColourFormatter(_logging.Formatter):
    def format(self, record):
        text = super().format(record)
        if not _label or "\n" not in text:
            return text
        # Every line of a message or traceback says whose it is.
        first, *rest = text.split("\n")
        return "\n".join([first, *(f"{_label}: {line}" for line in rest)])

    def formatMessage(self, record):
        plain_message, plain_level = record.message, record.levelname
        if _label:
            record.message = f"{_label}: {plain_message}"
        if _is_terminal(sys.stderr):
            record.levelname = f"{_COLOURS.get(record.levelno, '')}{plain_level}{_RESET}"
        try:
            return super().formatMessage(record)
        finally:
            record.message, record.levelname = plain_message, plain_level


class _StderrHandler(_logging.StreamHandler):
    """Writes to whatever sys.stderr is at the time, so redirections made later are honoured."""

    def __init__(self):
        super().__init__()
        self.setFormatter(_ColourFormatter(_FORMAT, _DATE_FORMAT))

    @property
    def stream(self):
        return sys.stderr

    @stream.setter
    def stream(self, _value):
        pass

    def handleError(self, record):
        # Out of memory, formatting can fail where writing still works: the message goes out
        # plain, in one line, instead of a traceback of the logging machinery.
        if isinstance(sys.exc_info()[1], MemoryError):
            try:
                try:
                    text = record.getMessage()
                except MemoryError:
                    text = OUT_OF_MEMORY
                sys.stderr.write(plain_line(record.levelname, record.name, text))
                return
            except Exception:
                # Not even a plain line can be made: an error still leaves the line made at
                # import, so that a run that ends by it does not end without a word.
                if record.levelno >= _logging.ERROR:
                    try:
                        os.write(2, _LAST_ERROR_LINE)
                    except OSError:
                        pass
                return
        super().handleError(record)


def plain_line(levelname, name, text):
    """A line as the handler writes it, made without the logging machinery, for when that
    machinery cannot run (out of memory)."""
    return f"{time.strftime(_DATE_FORMAT)} {levelname} {name}: {text}\n"


def error_text(error):
    """What a one-line error report says of ``error``: its message, or what an error raised
    without one means."""
    text = str(error)
    if text:
        return text
    if isinstance(error, MemoryError):
        return "out of memory: the process reached its memory limit or the machine's memory"
    return type(error).__name__


def _is_terminal(stream):
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        return False


class ColorLogger(_logging.LoggerAdapter):
    """A standard logger with ``debug_print`` for object dumps."""

    def __init__(self, logger):
        super().__init__(logger, {})

    def debug_print(self, obj):
        """Log ``obj`` at debug level, pretty-printed unless it is text."""
        if not self.logger.isEnabledFor(_logging.DEBUG):
            return
        try:
            text = obj if isinstance(obj, str) else pprint.pformat(obj)
        except Exception:  # a dump must never break the program it describes
            text = object.__repr__(obj)
        self.logger.debug(text)

    def process(self, msg, kwargs):
        return msg, kwargs


def getColorLogger(name):
    """The logger of ``name``; its top-level package logger writes to stderr at info level."""
    top = _logging.getLogger(name.split(".", 1)[0])
    if not any(isinstance(h, _StderrHandler) for h in top.handlers):
        top.addHandler(_StderrHandler())
        if top.level == _logging.NOTSET:
            top.setLevel(_logging.INFO)
    return ColorLogger(_logging.getLogger(name))


def is_quiet():
    """True while a ``using_config`` block with quiet set is running."""
    return _quiet_scopes > 0


class _Settings:
    """The value of a ``using_config`` block: switches applied to its loggers until it ends."""

    def __init__(self, loggers):
        self._loggers = loggers
        self._debug = False
        self._quiet = False

    def set_debug(self, flag):
        self._debug = bool(flag)
        self._apply()

    def set_quiet(self, flag):
        global _quiet_scopes
        flag = bool(flag)
        if flag != self._quiet:
            _quiet_scopes += 1 if flag else -1
        self._quiet = flag
        self._apply()

    def _apply(self):
        # Quiet wins over debug: it must hide stage messages whatever else is asked.
        if self._quiet:
            level = _logging.WARNING
        elif self._debug:
            level = _logging.DEBUG
        else:
            level = _logging.INFO
        for logger in self._loggers:
            logger.setLevel(level)


@contextlib.contextmanager
def using_config(names, debug=None, quiet=None):
    """Apply debug/quiet settings to the loggers ``names`` (a name or a list) inside the block.

    A setting for a module reaches its whole package: the package's top-level logger gets it
    too, so the modules a command line drives (which log under their own names) follow the
    command line's switches. The entered value has ``set_debug(flag)`` and ``set_quiet(flag)``;
    the loggers' levels are restored when the block ends, also when it raises.
    """
    if isinstance(names, str):
        names = [names]
    named = [getColorLogger(name).logger for name in names]
    packages = [_logging.getLogger(name.split(".", 1)[0]) for name in names]
    loggers = list(dict.fromkeys(named + packages))
    saved = [logger.level for logger in loggers]
    settings = _Settings(loggers)
    try:
        settings._apply()
        if debug is not None:
            settings.set_debug(debug)
        if quiet is not None:
            settings.set_quiet(quiet)
        yield settings
    finally:
        settings.set_quiet(False)
        for logger, level in zip(loggers, saved, strict=True):
            logger.setLevel(level)


class _Rewrite(_logging.Filter):
    def __init__(self, old, new):
        super().__init__()
        self.old, self.new = old, new

    def filter(self, record):
        message = record.getMessage()
        if self.old in message:
            record.msg, record.args = message.replace(self.old, self.new), ()
        return True


@contextlib.contextmanager
def rewriting(old, new):
    """Inside the block, messages that reach the handlers of the package's loggers and of the
    root logger say ``new`` where they said ``old`` (a path, say, that stands for another)."""
    rewrite = _Rewrite(old, new)
    handlers = [*_logging.getLogger("zel").handlers, *_logging.getLogger().handlers]
    for handler in handlers:
        handler.addFilter(rewrite)
    try:
        yield
    finally:
        for handler in handlers:
            handler.removeFilter(rewrite)

import logging as std_logging

import pytest

from zel.common import logging


def emit_all(logger):
    logger.debug("a debug line")
    logger.debug_print({"dumped": [1, 2]})
    logger.info("an info line")
    logger.warning("a warning line")
    logger.error("an error line")
    try:
        raise ValueError("boom")
    except ValueError:
        logger.exception("an exception line")


@pytest.mark.parametrize(
    ("debug", "quiet", "shown", "hidden"),
    [
        (None, None, ["info", "warning", "error", "exception", "boom"], ["debug", "dumped"]),
        (True, None, ["debug", "dumped", "info", "warning"], []),
        (None, True, ["warning", "error", "exception", "boom"], ["info", "debug"]),
        (True, True, ["warning", "error"], ["info", "debug", "dumped"]),
    ],
)
def test_levels_under_using_config(pipe, debug, quiet, shown, hidden):
    logger = logging.getColorLogger("zel.tests.levels")
    with logging.using_config(["zel.tests.levels", "__main__"], debug=debug, quiet=quiet):
        emit_all(logger)
    out = pipe()
    for word in shown:
        assert word in out
    for word in hidden:
        assert f"{word} line" not in out and f"'{word}'" not in out


def test_settings_restored_after_block_even_on_error(pipe):
    logger = logging.getColorLogger("zel.tests.restore")
    before = logger.logger.level
    with pytest.raises(RuntimeError), logging.using_config("zel.tests.restore") as settings:
        settings.set_quiet(True)
        assert logging.is_quiet()
        settings.set_debug(True)
        assert logger.logger.level == std_logging.WARNING, "quiet wins over debug"
        raise RuntimeError
    assert logger.logger.level == before
    assert not logging.is_quiet()
    logger.info("visible again")
    assert "visible again" in pipe()


def test_package_setting_reaches_module_loggers(pipe):
    logger = logging.getColorLogger("zel.tests.child")
    with logging.using_config(["zel", "__main__"], quiet=True):
        logger.info("hidden stage message")
        logger.warning("kept warning")
    out = pipe()
    assert "hidden stage message" not in out
    assert "kept warning" in out


def test_colour_only_on_a_terminal(terminal):
    logging.getColorLogger("zel.tests.colour").warning("tinted")
    out = terminal()
    assert "\033[" in out
    assert "tinted" in out


def test_plain_text_when_not_a_terminal(pipe):
    logging.getColorLogger("zel.tests.plain").warning("plain")
    out = pipe()
    assert "\033[" not in out
    assert "WARNING zel.tests.plain: plain" in out


def test_one_handler_per_package_and_records_propagate(pipe, caplog):
    for _ in range(3):
        logger = logging.getColorLogger("zel.tests.once")
    with caplog.at_level(std_logging.INFO, logger="zel"):
        logger.info("only once")
    assert pipe().count("only once") == 1
    assert [r.getMessage() for r in caplog.records] == ["only once"]


def test_debug_print_never_raises_on_an_unprintable_object(pipe):
    class Unprintable:
        def __repr__(self):
            raise RuntimeError("no repr")

    with logging.using_config("zel.tests.odd", debug=True):
        logging.getColorLogger("zel.tests.odd").debug_print([Unprintable()])
    assert "<list object at" in pipe()


def test_a_module_setting_reaches_its_sibling_modules(pipe):
    sibling = logging.getColorLogger("zel.tests.sibling")
    with logging.using_config(["zel.tests.driver", "__main__"], quiet=True):
        sibling.info("sibling stage message")
        sibling.warning("sibling warning")
    with logging.using_config(["zel.tests.driver", "__main__"], debug=True):
        sibling.debug_print("sibling dump")
    out = pipe()
    assert "sibling stage message" not in out
    assert "sibling warning" in out and "sibling dump" in out


def test_a_label_begins_every_line_of_a_message_and_its_traceback(pipe):
    log = logging.getColorLogger("zel.labelled")
    logging.set_label("src-trg")
    try:
        try:
            raise ValueError("two\nlines")
        except ValueError:
            log.exception("failed")
    finally:
        logging.set_label("")
    lines = pipe().splitlines()
    assert lines[0].endswith("zel.labelled: src-trg: failed")
    assert len(lines) > 3 and all(line.startswith("src-trg: ") for line in lines[1:])


class _Unprintable:
    def __str__(self):
        raise MemoryError


def _refuse(*_args):
    raise MemoryError


# Without even the memory for a plain line, an error still leaves the line made at import.
@pytest.mark.parametrize(
    ("plain", "ending"),
    [
        (True, " ERROR zel.tests.memory: out of memory: the process reached its memory limit"),
        (False, "- ERROR zel: out of memory: the process reached its memory limit"),
    ],
)
def test_a_line_that_cannot_be_formatted_out_of_memory_still_goes_out_plain(
    capfd, monkeypatch, plain, ending
):
    # Through the package's own handler: pytest's capturing handler re-raises logging errors.
    logging.getColorLogger("zel.tests.memory")
    (handler,) = std_logging.getLogger("zel").handlers
    record = std_logging.LogRecord(
        "zel.tests.memory", std_logging.ERROR, __file__, 1, "%s", (_Unprintable(),), None
    )
    if not plain:
        monkeypatch.setattr(logging, "plain_line", _refuse)
    handler.handle(record)
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].endswith(ending), lines

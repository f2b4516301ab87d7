import math

import pytest

from zel.common import numbers, text
from zel.common.config import Config


@pytest.mark.parametrize("convert", [text.to_unicode, text.to_str])
@pytest.mark.parametrize(
    ("value", "expected"),
    [("abc", "abc"), (b"caf\xc3\xa9", "café"), (bytearray(b"x"), "x"), (None, None), (3, "3")],
)
def test_text_conversions(convert, value, expected):
    assert convert(value) == expected


def test_to_unicode_rejects_invalid_utf8():
    with pytest.raises(UnicodeDecodeError):
        text.to_unicode(b"\xff")


@pytest.mark.parametrize(
    ("value", "margin", "expected"),
    [
        ("3", 0, 3),
        ("3.0", 0, 3),
        ("1e3", 0, 1000),
        ("1.5599e+06", 0, 1559900),
        ("0.25", 0, 0.25),
        (" 7 ", 0, 7),
        (2.0, 0, 2),
        (2.5, 0, 2.5),
        (2.9999, 0.001, 3),
        (2.99, 0.001, 2.99),
        (-4.0000001, 1e-6, -4),
        (True, 0, 1),
        (12, 0, 12),
    ],
)
def test_to_number(value, margin, expected):
    result = numbers.toNumber(value, margin)
    assert result == expected
    assert type(result) is type(expected)


@pytest.mark.parametrize("value", ["inf", "nan", float("inf")])
def test_to_number_keeps_non_finite_floats(value):
    result = numbers.toNumber(value)
    assert isinstance(result, float)
    assert math.isinf(result) or math.isnan(result)


@pytest.mark.parametrize(
    ("value", "error"), [("x1", ValueError), ("", ValueError), (None, TypeError)]
)
def test_to_number_rejects(value, error):
    with pytest.raises(error):
        numbers.toNumber(value)


def test_config_sources_and_precedence():
    base = Config({"a": 1, "b": 2})
    conf = Config(base)
    conf.update({"b": 3})
    conf.update(c=4, a=5)
    assert (conf.data.a, conf.data.b, conf.data.c) == (5, 3, 4)
    assert (base.data.a, base.data.b) == (1, 2), "copying must not alias the source"
    assert Config({"x": 1}, x=2).data.x == 2
    assert conf.get("missing", "dflt") == "dflt"
    assert conf.get("c") == 4
    with pytest.raises(AttributeError):
        _ = conf.data.missing


@pytest.mark.parametrize(
    ("keys", "expected"),
    [
        (["src_path", "trg_path"], True),
        (["src_path", "other"], False),
        ("src_path", True),
        ([], True),
    ],
)
def test_config_has(keys, expected):
    assert Config({"src_path": "a", "trg_path": None}).has(keys) is expected


def test_config_repr_shows_every_setting():
    shown = repr(Config({"threshold": 0.001, "src_path": "a.txt"}))
    assert "threshold=0.001" in shown
    assert "src_path='a.txt'" in shown

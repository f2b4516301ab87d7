"""Conversions between bytes and text."""


def to_unicode(x, encoding="utf-8"):
    """``x`` as a str: bytes are decoded, str and None pass unchanged, others go through str()."""
    if x is None or isinstance(x, str):
        return x
    if isinstance(x, (bytes, bytearray, memoryview)):
        return bytes(x).decode(encoding)
    return str(x)


def to_str(x, encoding="utf-8"):
    """The native text form of ``x``; on Python 3 that is the same as :func:`to_unicode`."""
    return to_unicode(x, encoding)

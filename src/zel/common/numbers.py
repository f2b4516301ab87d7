"""Number parsing that keeps whole numbers whole."""

import math


def toNumber(x, margin=0):
    """Return the numeric value of ``x`` (a number or the text of one).

    The result is an int when the value lies within ``margin`` of a whole number and a float
    otherwise, so counts read as "3" or "3.0" print back as 3. Text that is no number raises
    ValueError; anything else that float() refuses raises TypeError.
    """
    if isinstance(x, bool):
        return int(x)
    if isinstance(x, int):
        return x
    if isinstance(x, (str, bytes)):
        text = x.strip()
        try:
            return int(text)
        except ValueError:
            value = float(text)
    else:
        value = float(x)
    if math.isfinite(value):
        nearest = round(value)
        if abs(value - nearest) <= margin:
            return int(nearest)
    return value

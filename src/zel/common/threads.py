"""How many threads the native kernels use.

The kernels read the environment variable ``ZEL_THREADS`` at the start of every operation;
without it they use every core the process may run on (its CPU affinity and cgroup quota).
Results never depend on the number: any count gives the same bytes.
"""

import os

VARIABLE = "ZEL_THREADS"


def set_threads(count):
    """Use `count` threads from the next operation on; None uses every usable core."""
    if count is None:
        os.environ.pop(VARIABLE, None)
        return
    if isinstance(count, bool) or not isinstance(count, int):
        raise TypeError(f"the thread count must be an int or None, not {type(count).__name__}")
    if count < 1:
        raise ValueError(f"the thread count must be at least 1, not {count}")
    os.environ[VARIABLE] = str(count)


def get_threads():
    """The count set with set_threads or ZEL_THREADS, or None when every core is used."""
    value = os.environ.get(VARIABLE)
    return int(value) if value and value.isdigit() and int(value) > 0 else None

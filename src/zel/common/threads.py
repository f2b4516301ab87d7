"""How many threads the native kernels use.

The kernels read the environment variable ``ZEL_THREADS`` at the start of every operation;
without it they use every core the process may run on (its CPU affinity and cgroup quota).
Results never depend on the number: any count gives the same bytes.
"""

import math
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
    """The count set with set_threads or ZEL_THREADS, or None when every core is used.

    As the kernels take it: a value that is not a positive integer is a ValueError naming the
    variable, and a count beyond eight threads a core (at least 16) is lowered to that.
    """
    value = os.environ.get(VARIABLE)
    if not value:
        return None
    if not (value.isascii() and value.isdigit()) or int(value) == 0:
        raise ValueError(f"{VARIABLE} must be a positive whole number of threads, not {value!r}")
    return min(int(value), max(16, 8 * usable_cores()))


def usable_cores():
    """The cores this process may run on: its CPU affinity, lowered to its cgroup CPU quota.

    This is the kernels' thread count when neither set_threads nor ZEL_THREADS sets one.
    """
    cores = len(os.sched_getaffinity(0)) or os.cpu_count() or 1
    try:
        with open("/sys/fs/cgroup/cpu.max", encoding="ascii") as f:
            quota, period = (float(field) for field in f.read().split()[:2])
    except (OSError, ValueError):  # no cgroup v2 file, or "max": no quota
        return cores
    if quota <= 0 or period <= 0:
        return cores
    return min(cores, math.ceil(quota / period))

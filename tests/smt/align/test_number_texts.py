import numpy as np
import pytest

EDGES = [
    0.0,
    -0.0,
    0.5,
    1.0,
    0.1,
    1e16,
    1e15,
    9999999999999998.0,
    1.5e16,
    1e-4,
    1e-5,
    0.0005,
    0.00012,
    -0.000012,
    0.0001234,
    9.999999747378752e-06,
    13.287712379549449,
    5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    float("inf"),
    float("-inf"),
    float("nan"),
    123456789012345.6,
    0.30000000000000004,
    -2.5,
    -7.0,
    9007199254740991.0,
    9007199254740992.0,
    9007199254740994.0,
]


@pytest.fixture(scope="module")
def float_reprs(entry):
    return entry("float_reprs")


def test_edge_values_print_as_repr(float_reprs):
    assert float_reprs(np.array(EDGES)) == [repr(v) for v in EDGES]


@pytest.mark.parametrize(
    "kind", ["bit patterns", "float32 values", "decimal scales", "whole numbers"]
)
def test_random_values_print_as_repr(float_reprs, kind):
    rng = np.random.default_rng(12345)
    if kind == "bit patterns":
        values = rng.integers(0, 2**64, 200_000, dtype=np.uint64).view(np.float64)
    elif kind == "float32 values":
        bits = rng.integers(0, 2**32, 100_000, dtype=np.uint32)
        with np.errstate(invalid="ignore"):  # widening signalling NaNs
            values = bits.view(np.float32).astype(np.float64)
    elif kind == "decimal scales":
        values = rng.random(100_000) * 10.0 ** rng.integers(-30, 30, 100_000)
    else:  # on both sides of 2**53, where not every integer is a double
        values = rng.integers(-(2**55), 2**55, 100_000).astype(np.float64)
    assert float_reprs(values) == [repr(v) for v in values.tolist()]

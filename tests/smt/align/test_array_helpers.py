import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp


@pytest.fixture(scope="module")
def grid_indices(entry):
    return entry("grid_indices")


@pytest.fixture(scope="module")
def sub_matrix(entry):
    return entry("sub_matrix")


@pytest.fixture(scope="module")
def normalize(entry):
    return entry("normalize")


def reference_normalize(array, axis, out):
    s = np.broadcast_to(np.expand_dims(array.sum(axis=axis), axis), array.shape)
    mask = s > 0
    out[mask] = array[mask] / s[mask]
    return out


def test_grid_indices_shapes_and_grid(grid_indices):
    x, y = grid_indices([4, 0, 4], [1, 2])
    assert x.dtype == np.int64 and y.dtype == np.int64
    assert x.shape == (3, 1) and y.shape == (1, 2)
    t = np.arange(50.0).reshape(5, 10)
    assert np.array_equal(t[x, y], [[t[4, 1], t[4, 2]], [t[0, 1], t[0, 2]], [t[4, 1], t[4, 2]]])


ids = st.lists(st.integers(-6, 5), max_size=6)


@settings(max_examples=200, deadline=None)
@given(src=ids, trg=ids)
def test_sub_matrix_matches_fancy_indexing(sub_matrix, src, trg):
    t = np.random.default_rng(len(src) * 7 + len(trg)).random((6, 6))
    expected = t[np.asarray(src, dtype=np.int64)[:, None], np.asarray(trg, dtype=np.int64)[None, :]]
    got = sub_matrix(t, src, trg)
    assert got.shape == (len(src), len(trg))
    assert np.array_equal(got, expected)


def test_sub_matrix_of_a_transposed_view(sub_matrix):
    t = np.arange(12.0).reshape(3, 4)
    assert np.array_equal(sub_matrix(t.T, [0, 3], [2]), t.T[[0, 3]][:, [2]])


@pytest.mark.parametrize(("src", "trg"), [([3], [0]), ([0], [4]), ([-4], [0]), ([0, 7], [9])])
def test_sub_matrix_index_error_reads_like_numpy(sub_matrix, src, trg):
    t = np.zeros((3, 4))
    with pytest.raises(IndexError) as numpy_error:
        t[np.asarray(src)[:, None], np.asarray(trg)[None, :]]
    with pytest.raises(IndexError) as ours:
        sub_matrix(t, src, trg)
    assert str(ours.value) == str(numpy_error.value)


@pytest.mark.parametrize(
    "array", [np.zeros((2, 2), np.float32), np.zeros(3), np.zeros((2, 2, 2)), [[0.0]], None]
)
def test_sub_matrix_needs_a_2d_float64_array(sub_matrix, array):
    with pytest.raises(TypeError):
        sub_matrix(array, [0], [0])


def test_normalize_leaves_zero_rows(normalize):
    out = np.zeros((2, 2))
    result = normalize(np.array([[1.0, 3.0], [0.0, 0.0]]), 1, out)
    assert result is out
    assert np.array_equal(out, [[0.25, 0.75], [0.0, 0.0]])


cells = st.one_of(st.floats(-1, 5), st.just(0.0), st.just(float("nan")))


@settings(max_examples=300, deadline=None)
@given(
    array=hnp.arrays(
        np.float64, hnp.array_shapes(min_dims=1, max_dims=4, max_side=4), elements=cells
    ),
    data=st.data(),
)
def test_normalize_matches_whole_array_formulation(normalize, array, data):
    axis = data.draw(st.integers(-array.ndim, array.ndim - 1))
    in_place = data.draw(st.booleans())
    start = (
        array.copy() if in_place else data.draw(hnp.arrays(np.float64, array.shape, elements=cells))
    )
    expected = reference_normalize(array, axis, start.copy())
    got = normalize(array, axis, array if in_place else start)
    np.testing.assert_allclose(got, expected, rtol=1e-12, equal_nan=True)


def test_normalize_into_an_overlapping_view_reads_the_original(normalize):
    a = np.arange(1.0, 10.0).reshape(3, 3)
    expected = reference_normalize(a.copy(), 1, a.T.copy())
    normalize(a, 1, a.T)
    np.testing.assert_allclose(a.T, expected)


@pytest.mark.parametrize("axis", [2, -3])
def test_normalize_axis_error(normalize, axis):
    a = np.ones((2, 2))
    with pytest.raises(np.exceptions.AxisError):
        normalize(a, axis, a)


@pytest.mark.parametrize(
    ("array", "out", "error"),
    [
        (np.ones((2, 2), np.float32), np.ones((2, 2)), TypeError),
        (np.ones((2, 2)), np.ones((2, 2), np.float32), TypeError),
        (np.ones((2, 2)), np.ones((2, 3)), ValueError),
    ],
)
def test_normalize_argument_errors(normalize, array, out, error):
    with pytest.raises(error):
        normalize(array, 0, out)


def test_normalize_refuses_a_read_only_out(normalize):
    out = np.ones((2, 2))
    out.flags.writeable = False
    with pytest.raises(TypeError, match="writable"):
        normalize(np.ones((2, 2)), 0, out)

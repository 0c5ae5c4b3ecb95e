import numpy as np
import pytest
from hypothesis import given, strategies as st

from zarnik.utils import rolling_window


@given(st.integers(1, 40).flatmap(lambda n: st.tuples(st.just(n), st.integers(1, n))))
def test_rows_are_the_trailing_windows(case):
    length, window = case
    x = np.arange(length, dtype=float) * 1.5
    w = rolling_window(x, window)
    assert w.shape == (length - window + 1, window)
    for i in range(length - window + 1):
        np.testing.assert_array_equal(w[i], x[i : i + window])


def test_view_is_read_only_and_shares_memory():
    x = np.arange(10.0)
    w = rolling_window(x, 3)
    assert np.shares_memory(w, x)
    with pytest.raises(ValueError):
        w[0, 0] = 1.0


def test_non_contiguous_input():
    x = np.arange(20.0)[::2]
    np.testing.assert_array_equal(rolling_window(x, 2)[1], [2.0, 4.0])


@pytest.mark.parametrize(
    "array, window, exc, message",
    [
        (np.arange(5.0), 0, ValueError, "window must be at least 1, got 0"),
        (np.arange(5.0), -1, ValueError, "window must be at least 1, got -1"),
        (np.arange(5.0), 6, ValueError, "window 6 is larger than the series length 5"),
        (np.arange(5.0), 2**62, ValueError, "larger than the series length 5"),
        (np.arange(0.0), 1, ValueError, "window 1 is larger than the series length 0"),
        (np.arange(5.0), 2.0, TypeError, "window must be an integer, got float"),
        (np.arange(5.0), True, TypeError, "window must be an integer, got bool"),
        (np.arange(5.0), "3", TypeError, "window must be an integer, got str"),
        (np.ones((2, 3)), 1, ValueError, "expected a 1-D array, got 2-D"),
        (np.float64(1.0), 1, ValueError, "expected a 1-D array, got 0-D"),
    ],
)
def test_invalid_arguments(array, window, exc, message):
    with pytest.raises(exc, match=message):
        rolling_window(array, window)


def test_numpy_integer_window_accepted():
    assert rolling_window(np.arange(4.0), np.int64(2)).shape == (3, 2)

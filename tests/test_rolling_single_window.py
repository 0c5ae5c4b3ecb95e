"""A series that holds exactly one window has its own short path in the kernels.

Its value must be the bits the general path gives that window inside a longer
series (the block grid placed the same way through ``last``), and for
ts_argmin / ts_argmax numpy's argmin / argmax (first NaN, else first extreme).
"""

from __future__ import annotations

import functools

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zarnik.rolling as R

SINGLE = [name for name, info in R.KERNELS.items() if info.inputs == 1]
PAIR = [name for name, info in R.KERNELS.items() if info.inputs == 2]
SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e200, -1e200, 1e-300]


@pytest.fixture(autouse=True)
def _quiet_conditions():
    """Floating-point conditions of the kernels are tested in test_rolling_warnings.py."""
    with np.errstate(all="ignore"):
        yield


def assert_same_bits(a, b, what):
    """Equal down to the last bit (any NaN matches any NaN, -0.0 only -0.0)."""
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype, what
    na, nb = np.isnan(a), np.isnan(b)
    bits = np.dtype("u{}".format(a.itemsize))
    bad = (na != nb) | (~na & (a.view(bits) != b.view(bits)))
    assert not bad.any(), "{}: {!r} vs {!r}".format(what, a, b)


@st.composite
def windows(draw):
    """One window of n values (ties, specials, a large offset or none) and a tail of later values."""
    n = draw(st.integers(1, 300))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    level = draw(st.sampled_from([0.0, 1.0, -250.0, 1e8]))
    x = level + draw(st.sampled_from([1e-3, 1.0, 40.0])) * rng.normal(size=n)
    if draw(st.booleans()):
        x = np.round(x)  # ties
    for special in draw(st.lists(st.sampled_from(SPECIAL), max_size=4)):
        x[rng.integers(0, n)] = special
    tail = rng.normal(size=draw(st.integers(1, 40)))
    return x, tail


@settings(max_examples=150, deadline=None)
@given(windows(), windows(), st.one_of(st.none(), st.integers(0, 10**6)))
def test_a_single_window_matches_the_same_window_in_a_longer_series(wx, wy, last):
    (x, tx), (y, _) = wx, wy
    n = len(x)
    y = np.resize(y, n)
    ty = np.resize(tx[::-1], len(tx))
    # the longer series puts the window's newest value at the same place on the grid
    newest = -1 if last is None else last
    long_last = newest + len(tx)
    for name in SINGLE + PAIR:
        one = (x[:, None], y[:, None]) if name in PAIR else (x[:, None],)
        longer = (np.r_[x, tx][:, None], np.r_[y, ty][:, None]) if name in PAIR else (np.r_[x, tx][:, None],)
        want = R._apply_columns(name, n, *longer, last=long_last)[:1]
        got = R._apply_columns(name, n, *one, last=last)
        assert_same_bits(got, want, "{} n={} last={}".format(name, n, last))
        if last is None:
            f = getattr(R, name)
            flat = f(n, x, y) if name in PAIR else f(x, n)
            assert_same_bits(flat, want[:, 0], "{} 1-D n={}".format(name, n))


@settings(max_examples=200, deadline=None)
@given(windows())
def test_single_window_arg_extremes_match_numpy(w):
    x, _ = w
    n = len(x)
    # numpy: the first NaN if there is one, else the first minimum / maximum
    assert R.ts_argmin(x, n).tolist() == [float(np.argmin(x))]
    assert R.ts_argmax(x, n).tolist() == [float(np.argmax(x))]


@pytest.mark.parametrize("name", SINGLE + PAIR)
@pytest.mark.parametrize("how", ["keywords", "mixed", "partial"])
def test_every_way_of_passing_arguments_gives_the_same_result(name, how):
    rng = np.random.default_rng(7)
    x, y = rng.normal(size=30), rng.normal(size=30)
    f = getattr(R, name)
    p = R.KERNELS[name].params
    values = (9, x, y) if name in PAIR else (x, 9)
    want = f(*values)  # every argument by position: the call without an argument tuple
    if how == "keywords":
        got = f(**dict(zip(p, values)))
    elif how == "mixed":
        got = f(values[0], **dict(zip(p[1:], values[1:])))
    else:
        got = functools.partial(f, **{p[-1]: values[-1]})(*values[:-1])
    assert_same_bits(got, want, "{} {}".format(name, how))


@pytest.mark.parametrize("name", ["ma", "covariance"])
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, a, p: f(*a[:-1]), "missing required argument"),
        (lambda f, a, p: f(*a, 1), "at most"),
        (lambda f, a, p: f(*a, **{p[0]: a[0]}), "at most"),
        (lambda f, a, p: f(**{p[0]: a[0]}, nope=1), "missing required argument"),
    ],
)
def test_argument_errors_are_the_interpreters(name, call, message):
    f = getattr(R, name)
    a = (3, np.ones(5), np.ones(5)) if name == "covariance" else (np.ones(5), 3)
    with pytest.raises(TypeError, match=message):
        call(f, a, R.KERNELS[name].params)

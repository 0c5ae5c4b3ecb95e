"""Every bound callable of zarnik.interface reports its parameters, and they are the ones it accepts."""

from __future__ import annotations

import inspect

import numpy as np
import pytest

import zarnik.interface as zi
import zarnik.rolling as zr


def _callables():
    """(label, function) for every method, property getter and static function of the node classes."""
    out = []
    for cls_name in zi.__all__:
        cls = getattr(zi, cls_name)
        for name, value in vars(cls).items():
            if isinstance(value, property):
                fn = value.fget
            elif isinstance(value, staticmethod):
                fn = value.__func__
            elif name.startswith("__") and name in ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"):
                continue
            else:
                fn = getattr(cls, name)
            if callable(fn):
                out.append((f"{cls_name}.{name}", fn))
    return out


CALLABLES = _callables()


@pytest.mark.parametrize("label, fn", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_every_bound_callable_has_a_clean_signature(label, fn):
    sig = inspect.signature(fn)
    params = list(sig.parameters)
    if not label.endswith("._shift"):
        assert params[0] == "self"
    # the docstring shown by help() is the hand-written text, not a generated signature line
    assert fn.__doc__ is None or "->" not in fn.__doc__.splitlines()[0]
    assert "object" not in str(sig)


INITS = {
    "ConstantFactor": ["self", "value"],
    "UnaryCombinedFactor": ["self", "func", "factor", "args"],
    "ShiftedFactor": ["self", "factor", "n"],
    "BinaryCombinedFactor": ["self", "func", "arg1", "arg2"],
    "UserDefinedLeafFactor": ["self", "name", "func"],
    "CombinedFactor": ["self", "func", "args"],
}


@pytest.mark.parametrize("name", sorted(INITS))
def test_init_signatures_name_the_accepted_keywords(name):
    init = getattr(zi, name).__init__
    sig = inspect.signature(init)
    assert list(sig.parameters) == INITS[name]
    # the positional-or-keyword parameters really are accepted by keyword
    leaf = zi.UserDefinedLeafFactor("u", lambda *a: None)
    values = {"value": 1.5, "func": np.add, "factor": leaf, "n": 2, "arg1": leaf, "arg2": 2.0, "name": "v"}
    kw = {p.name: values[p.name] for p in list(sig.parameters.values())[1:] if p.kind is p.POSITIONAL_OR_KEYWORD}
    star = [leaf] if any(p.kind is p.VAR_POSITIONAL for p in sig.parameters.values()) else []
    obj = object.__new__(getattr(zi, name))
    if star and "factor" not in kw:
        init(obj, *kw.values(), *star)  # keywords cannot precede *args
    else:
        init(obj, **kw)
    for key in ("func", "factor", "n", "name"):
        if key in kw:
            assert getattr(obj, "_" + key) is kw[key]


def test_operators_and_members_bound_by_keyword():
    leaf = zi.UserDefinedLeafFactor("u", lambda *a: None)
    assert zi.AbstractFactor.__sub__(leaf, other=1.0).expr == (np.subtract, (leaf, 1.0))
    assert zi.AbstractFactor.__rsub__(leaf, other=1.0).expr == (np.subtract, (1.0, leaf))
    assert inspect.signature(zi._node_members).parameters["func"].default is None
    assert list(inspect.signature(zi.ShiftedFactor._shift).parameters) == ["series", "n"]
    assert np.array_equal(zi.ShiftedFactor._shift(series=np.arange(4), n=1), [1, 2, 3])
    # the members shared with the rolling nodes carry the same clean signatures
    assert list(inspect.signature(zr.RollingWindowFactor.expr.fget).parameters) == ["self"]
    assert zi.LeafFactor.shift.__doc__ and zi.BinaryCombinedFactor._repr.__doc__


@pytest.mark.parametrize("name", sorted(INITS))
def test_class_signatures_follow_the_init_that_runs(name):
    cls = getattr(zi, name)
    assert list(inspect.signature(cls).parameters) == INITS[name][1:]

    class Keeps(cls):
        pass

    class Own(cls):
        def __init__(self, a, b=2):
            pass

    assert inspect.signature(Keeps) == inspect.signature(cls)
    assert list(inspect.signature(Own).parameters) == ["a", "b"]
    # instances are not callables with a signature
    assert object.__new__(cls).__signature__ is None

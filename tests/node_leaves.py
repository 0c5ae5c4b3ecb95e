"""A leaf class for tests of the node classes: a fixed look-back and a name shown as its repr."""

from __future__ import annotations

from zarnik.interface import LeafFactor


class Leaf(LeafFactor):
    __hash__ = object.__hash__

    def __init__(self, label, lookback):
        self.label, self.lookback = label, lookback

    @property
    def shift(self):
        return self.lookback

    def __repr__(self):
        return self.label

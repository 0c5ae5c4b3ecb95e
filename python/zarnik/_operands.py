"""The operands of the combining nodes of ``zarnik.interface``, and the user leaf's call.

The extension module assembles the node classes and binds each constructor with its signature
and docstring; the bodies of those that combine operands are here. They only read look-backs,
compare them and wrap operands in ``ShiftedFactor`` / ``ConstantFactor`` nodes. What a finished
tree reports (``expr``, ``dependencies``, ``shift`` and its text) is walked natively by the
extension module, at any depth.
"""

from __future__ import annotations

import sys
from typing import Any, List, Tuple

from . import interface, utils
from .interface import AbstractFactor, ConstantFactor, ShiftedFactor

# "no operand is a node" (a look-back may be any object, None included)
_NO_NODE = object()


def line_up(operands: List[Any], nodes: bool = False) -> Any:
    """Lines the operands of a combining node up on one look-back, in place.

    Each node is wrapped in a ``ShiftedFactor`` that drops the rows it has beyond the longest
    look-back among them; every other operand becomes a ``ConstantFactor``. With ``nodes`` every
    operand's ``shift`` is read. Returns that look-back (``_NO_NODE`` when no operand is a node).
    """
    shifts = [_NO_NODE] * len(operands)
    longest = _NO_NODE
    for i, operand in enumerate(operands):
        if nodes or isinstance(operand, AbstractFactor):
            shifts[i] = shift = operand.shift
            if longest is _NO_NODE or shift > longest:
                longest = shift
    if longest is not _NO_NODE:
        for i, shift in enumerate(shifts):
            if shift is _NO_NODE:
                operands[i] = ConstantFactor(operands[i])
            elif shift < longest:
                operands[i] = ShiftedFactor(operands[i], longest - shift)
    return longest


def line_up_nodes(*operands: Any) -> Tuple[Any, List[Any]]:
    """``zarnik.interface._line_up``: (longest look-back, the lined-up operands), every operand a node."""
    if not operands:
        max([])  # raises as max() of nothing does
    lined = list(operands)
    return line_up(lined, True), lined


def init_binary(node: Any, func: Any, arg1: Any, arg2: Any) -> None:
    """``BinaryCombinedFactor.__init__``."""
    node1, node2 = isinstance(arg1, AbstractFactor), isinstance(arg2, AbstractFactor)
    assert node1 or node2
    node._func = func
    # The text is built on demand (`_repr`) from the name and the operands as passed; an operand
    # that is not a node keeps the text it shows now.
    name = format(interface._function_name(func))
    node._repr_args = (sys.intern(name) if type(name) is str else name, arg1 if node1 else repr(arg1),
                       arg2 if node2 else repr(arg2))
    operands = [arg1, arg2]
    shift = line_up(operands)
    if shift is _NO_NODE:  # only under -O with neither operand a node: reading arg2.shift reports it
        operands[0] = ConstantFactor(arg1)
        shift = arg2.shift
    node._arg1, node._arg2 = operands
    node._shift = shift


def init_combined(node: Any, func: Any, *args: Any) -> None:
    """``CombinedFactor.__init__``."""
    node._func = func
    operands = list(args)
    shift = line_up(operands)
    if shift is _NO_NODE:
        assert False
        raise ValueError("CombinedFactor needs at least one factor argument")
    node._shift = shift
    node._args = operands


def execute_user_leaf(leaf: Any, order_book_ids: Any, start_date: Any, end_date: Any) -> Any:
    """``UserDefinedLeafFactor.execute``: the user's function, its result checked by
    ``zarnik.utils.check_user_leaf``."""
    ret = leaf._func(order_book_ids, start_date, end_date)
    return utils.check_user_leaf(leaf._name, ret, order_book_ids, start_date, end_date,
                                 interface.ostrel.get_trading_dates, interface.InvalidUserFactor)

"""Formula libraries shipped with zarnik: the 101 formulaic alphas and classic factors.

``zarnik.alphas.get("alpha001")`` returns an :class:`Alpha` (name, formula,
the paper's text, family); ``.factor()`` builds its expression tree and
``.evaluate(ids, start, end)`` computes it. ``evaluate(names, ids, start, end)``
computes many at once, sharing loaded fields and common subtrees.

The 101 alphas are those of Z. Kakushadze, "101 Formulaic Alphas",
Wilmott 84 (2016), arXiv:1601.00991, Appendix A. Each formula here is a
transcription of the paper's text into the formula language; conventions:

* ``x ^ y`` of the paper is written ``x ** y``; ``c ? a : b`` is
  ``IF(c, a, b)``; ``||`` is ``|``; ``min(x, d)`` / ``max(x, d)`` with a number
  of days d are ``TS_MIN`` / ``TS_MAX``, with two series ``MIN`` / ``MAX``.
* Fractional windows (``ts_rank(x, 3.82)``) are floored, as the paper says;
  the written number is kept in the key and repr (``floor(3.82)``).
* ``stddev`` and ``covariance`` are population moments (divisor d); the
  paper does not say, and ranks and correlations do not depend on it.
* ``ts_rank(x, d)``: the paper's "time-series rank in the past d days" is here
  the 0-based position of today's value in the ascending order of the window,
  divided by d: values in [0, (d - 1) / d]; among equal values today's ranks
  highest. (A percentile rank in (0, 1] is this plus 1/d when there are no ties.)
* ``ts_argmax(x, d)`` / ``ts_argmin``: "which day ts_max(x, d) occurred on" is
  here the 0-based position in the window, 0 = the oldest of the d dates,
  d - 1 = today; ties go to the oldest. (A 1-based count adds 1; every alpha
  that uses them ranks the result, so the choice does not change any alpha.)
* ``rank`` is the cross-sectional percentile rank in (0, 1], average ranks for
  ties, NaN missing, ±inf ordered values.
* ``decay_linear(x, d)`` weights d, d - 1, ..., 1 from today backwards,
  normalised to sum to 1.
* ``IndNeutralize(x, IndClass.level)`` demeans x within industries per date;
  the store holds first-level classifications only, so sector, industry and
  subindustry all use the CITICS first level (``industry``).
* ``adv{d}`` is the d-date mean of the traded value (``total_turnover``);
  ``vwap`` is traded value / volume, back-adjusted like the prices; ``cap`` is
  the raw close times shares outstanding; ``returns`` the daily simple return
  of the back-adjusted close.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

__all__ = ["Alpha", "get", "names", "families", "table", "evaluate", "ALPHA101", "CLASSIC"]


@dataclass(frozen=True)
class Alpha:
    """一个命名公式

    Parameters
    ----------
    name : str
        名称，如 "alpha001"、"momentum_20"。
    formula : str
        公式字符串（``zarnik.parse`` 的语法）。
    family : str
        所属类别："alpha101"、"momentum"、"reversal"、"volatility"、"liquidity"、"size"、"demo"。
    paper : str
        原文公式（alpha101 为论文附录中的写法；经典因子为其定义）。
    description : str
        说明。
    """

    name: str
    formula: str
    family: str
    paper: str = ""
    description: str = ""

    def factor(self) -> Any:
        """构建因子表达式树。"""
        from .formula import parse

        return parse(self.formula)

    def evaluate(self, order_book_ids: Any, start_date: Any, end_date: Any, progress: bool | None = None) -> Any:
        """计算因子值，返回 FactorFrame。"""
        from .engine import execute_factor

        return execute_factor(self.factor(), order_book_ids, start_date, end_date, progress=progress)


# (number, the paper's text, the formula)
_A101: tuple[tuple[int, str, str], ...] = (
    (1, "(rank(Ts_ArgMax(SignedPower(((returns < 0) ? stddev(returns, 20) : close), 2.), 5)) - 0.5)",
     "RANK(TS_ARGMAX(SIGNEDPOWER(IF(returns < 0, STDDEV(returns, 20), close), 2.0), 5)) - 0.5"),
    (2, "(-1 * correlation(rank(delta(log(volume), 2)), rank(((close - open) / open)), 6))",
     "-1 * CORR(RANK(DELTA(LOG(volume), 2)), RANK((close - open) / open), 6)"),
    (3, "(-1 * correlation(rank(open), rank(volume), 10))",
     "-1 * CORR(RANK(open), RANK(volume), 10)"),
    (4, "(-1 * Ts_Rank(rank(low), 9))",
     "-1 * TS_RANK(RANK(low), 9)"),
    (5, "(rank((open - (sum(vwap, 10) / 10))) * (-1 * abs(rank((close - vwap)))))",
     "RANK(open - SUM(vwap, 10) / 10) * (-1 * ABS(RANK(close - vwap)))"),
    (6, "(-1 * correlation(open, volume, 10))",
     "-1 * CORR(open, volume, 10)"),
    (7, "((adv20 < volume) ? ((-1 * ts_rank(abs(delta(close, 7)), 60)) * sign(delta(close, 7))) : (-1 * 1))",
     "IF(adv20 < volume, (-1 * TS_RANK(ABS(DELTA(close, 7)), 60)) * SIGN(DELTA(close, 7)), -1)"),
    (8, "(-1 * rank(((sum(open, 5) * sum(returns, 5)) - delay((sum(open, 5) * sum(returns, 5)), 10))))",
     "-1 * RANK(SUM(open, 5) * SUM(returns, 5) - DELAY(SUM(open, 5) * SUM(returns, 5), 10))"),
    (9, "((0 < ts_min(delta(close, 1), 5)) ? delta(close, 1) : ((ts_max(delta(close, 1), 5) < 0) ? "
        "delta(close, 1) : (-1 * delta(close, 1))))",
     "IF(0 < TS_MIN(DELTA(close, 1), 5), DELTA(close, 1), "
     "IF(TS_MAX(DELTA(close, 1), 5) < 0, DELTA(close, 1), -1 * DELTA(close, 1)))"),
    (10, "rank(((0 < ts_min(delta(close, 1), 4)) ? delta(close, 1) : ((ts_max(delta(close, 1), 4) < 0) ? "
         "delta(close, 1) : (-1 * delta(close, 1)))))",
     "RANK(IF(0 < TS_MIN(DELTA(close, 1), 4), DELTA(close, 1), "
     "IF(TS_MAX(DELTA(close, 1), 4) < 0, DELTA(close, 1), -1 * DELTA(close, 1))))"),
    (11, "((rank(ts_max((vwap - close), 3)) + rank(ts_min((vwap - close), 3))) * rank(delta(volume, 3)))",
     "(RANK(TS_MAX(vwap - close, 3)) + RANK(TS_MIN(vwap - close, 3))) * RANK(DELTA(volume, 3))"),
    (12, "(sign(delta(volume, 1)) * (-1 * delta(close, 1)))",
     "SIGN(DELTA(volume, 1)) * (-1 * DELTA(close, 1))"),
    (13, "(-1 * rank(covariance(rank(close), rank(volume), 5)))",
     "-1 * RANK(COV(RANK(close), RANK(volume), 5))"),
    (14, "((-1 * rank(delta(returns, 3))) * correlation(open, volume, 10))",
     "(-1 * RANK(DELTA(returns, 3))) * CORR(open, volume, 10)"),
    (15, "(-1 * sum(rank(correlation(rank(high), rank(volume), 3)), 3))",
     "-1 * SUM(RANK(CORR(RANK(high), RANK(volume), 3)), 3)"),
    (16, "(-1 * rank(covariance(rank(high), rank(volume), 5)))",
     "-1 * RANK(COV(RANK(high), RANK(volume), 5))"),
    (17, "(((-1 * rank(ts_rank(close, 10))) * rank(delta(delta(close, 1), 1))) * rank(ts_rank((volume / adv20), 5)))",
     "((-1 * RANK(TS_RANK(close, 10))) * RANK(DELTA(DELTA(close, 1), 1))) * RANK(TS_RANK(volume / adv20, 5))"),
    (18, "(-1 * rank(((stddev(abs((close - open)), 5) + (close - open)) + correlation(close, open, 10))))",
     "-1 * RANK((STDDEV(ABS(close - open), 5) + (close - open)) + CORR(close, open, 10))"),
    (19, "((-1 * sign(((close - delay(close, 7)) + delta(close, 7)))) * (1 + rank((1 + sum(returns, 250)))))",
     "(-1 * SIGN((close - DELAY(close, 7)) + DELTA(close, 7))) * (1 + RANK(1 + SUM(returns, 250)))"),
    (20, "(((-1 * rank((open - delay(high, 1)))) * rank((open - delay(close, 1)))) * rank((open - delay(low, 1))))",
     "((-1 * RANK(open - DELAY(high, 1))) * RANK(open - DELAY(close, 1))) * RANK(open - DELAY(low, 1))"),
    (21, "((((sum(close, 8) / 8) + stddev(close, 8)) < (sum(close, 2) / 2)) ? (-1 * 1) : (((sum(close, 2) / 2) < "
         "((sum(close, 8) / 8) - stddev(close, 8))) ? 1 : (((1 < (volume / adv20)) || ((volume / adv20) == 1)) ? 1 : "
         "(-1 * 1))))",
     "IF(SUM(close, 8) / 8 + STDDEV(close, 8) < SUM(close, 2) / 2, -1, "
     "IF(SUM(close, 2) / 2 < SUM(close, 8) / 8 - STDDEV(close, 8), 1, "
     "IF((1 < volume / adv20) | (volume / adv20 == 1), 1, -1)))"),
    (22, "(-1 * (delta(correlation(high, volume, 5), 5) * rank(stddev(close, 20))))",
     "-1 * (DELTA(CORR(high, volume, 5), 5) * RANK(STDDEV(close, 20)))"),
    (23, "(((sum(high, 20) / 20) < high) ? (-1 * delta(high, 2)) : 0)",
     "IF(SUM(high, 20) / 20 < high, -1 * DELTA(high, 2), 0)"),
    (24, "((((delta((sum(close, 100) / 100), 100) / delay(close, 100)) < 0.05) || ((delta((sum(close, 100) / 100), 100) "
         "/ delay(close, 100)) == 0.05)) ? (-1 * (close - ts_min(close, 100))) : (-1 * delta(close, 3)))",
     "IF((DELTA(SUM(close, 100) / 100, 100) / DELAY(close, 100) < 0.05) | "
     "(DELTA(SUM(close, 100) / 100, 100) / DELAY(close, 100) == 0.05), "
     "-1 * (close - TS_MIN(close, 100)), -1 * DELTA(close, 3))"),
    (25, "rank(((((-1 * returns) * adv20) * vwap) * (high - close)))",
     "RANK((((-1 * returns) * adv20) * vwap) * (high - close))"),
    (26, "(-1 * ts_max(correlation(ts_rank(volume, 5), ts_rank(high, 5), 5), 3))",
     "-1 * TS_MAX(CORR(TS_RANK(volume, 5), TS_RANK(high, 5), 5), 3)"),
    (27, "((0.5 < rank((sum(correlation(rank(volume), rank(vwap), 6), 2) / 2.0))) ? (-1 * 1) : 1)",
     "IF(0.5 < RANK(SUM(CORR(RANK(volume), RANK(vwap), 6), 2) / 2.0), -1, 1)"),
    (28, "scale(((correlation(adv20, low, 5) + ((high + low) / 2)) - close))",
     "SCALE((CORR(adv20, low, 5) + (high + low) / 2) - close)"),
    (29, "(min(product(rank(rank(scale(log(sum(ts_min(rank(rank((-1 * rank(delta((close - 1), 5))))), 2), 1))))), 1), 5) "
         "+ ts_rank(delay((-1 * returns), 6), 5))",
     "TS_MIN(PRODUCT(RANK(RANK(SCALE(LOG(SUM(TS_MIN(RANK(RANK(-1 * RANK(DELTA(close - 1, 5)))), 2), 1))))), 1), 5) "
     "+ TS_RANK(DELAY(-1 * returns, 6), 5)"),
    (30, "(((1.0 - rank(((sign((close - delay(close, 1))) + sign((delay(close, 1) - delay(close, 2)))) + "
         "sign((delay(close, 2) - delay(close, 3)))))) * sum(volume, 5)) / sum(volume, 20))",
     "((1.0 - RANK(SIGN(close - DELAY(close, 1)) + SIGN(DELAY(close, 1) - DELAY(close, 2)) + "
     "SIGN(DELAY(close, 2) - DELAY(close, 3)))) * SUM(volume, 5)) / SUM(volume, 20)"),
    (31, "((rank(rank(rank(decay_linear((-1 * rank(rank(delta(close, 10)))), 10)))) + rank((-1 * delta(close, 3)))) + "
         "sign(scale(correlation(adv20, low, 12))))",
     "(RANK(RANK(RANK(DECAY_LINEAR(-1 * RANK(RANK(DELTA(close, 10))), 10)))) + RANK(-1 * DELTA(close, 3))) + "
     "SIGN(SCALE(CORR(adv20, low, 12)))"),
    (32, "(scale(((sum(close, 7) / 7) - close)) + (20 * scale(correlation(vwap, delay(close, 5), 230))))",
     "SCALE(SUM(close, 7) / 7 - close) + 20 * SCALE(CORR(vwap, DELAY(close, 5), 230))"),
    (33, "rank((-1 * ((1 - (open / close))^1)))",
     "RANK(-1 * ((1 - open / close) ** 1))"),
    (34, "rank(((1 - rank((stddev(returns, 2) / stddev(returns, 5)))) + (1 - rank(delta(close, 1)))))",
     "RANK((1 - RANK(STDDEV(returns, 2) / STDDEV(returns, 5))) + (1 - RANK(DELTA(close, 1))))"),
    (35, "((Ts_Rank(volume, 32) * (1 - Ts_Rank(((close + high) - low), 16))) * (1 - Ts_Rank(returns, 32)))",
     "(TS_RANK(volume, 32) * (1 - TS_RANK((close + high) - low, 16))) * (1 - TS_RANK(returns, 32))"),
    (36, "(((((2.21 * rank(correlation((close - open), delay(volume, 1), 15))) + (0.7 * rank((open - close)))) + "
         "(0.73 * rank(Ts_Rank(delay((-1 * returns), 6), 5)))) + rank(abs(correlation(vwap, adv20, 6)))) + "
         "(0.6 * rank((((sum(close, 200) / 200) - open) * (close - open)))))",
     "2.21 * RANK(CORR(close - open, DELAY(volume, 1), 15)) + 0.7 * RANK(open - close) + "
     "0.73 * RANK(TS_RANK(DELAY(-1 * returns, 6), 5)) + RANK(ABS(CORR(vwap, adv20, 6))) + "
     "0.6 * RANK((SUM(close, 200) / 200 - open) * (close - open))"),
    (37, "(rank(correlation(delay((open - close), 1), close, 200)) + rank((open - close)))",
     "RANK(CORR(DELAY(open - close, 1), close, 200)) + RANK(open - close)"),
    (38, "((-1 * rank(Ts_Rank(close, 10))) * rank((close / open)))",
     "(-1 * RANK(TS_RANK(close, 10))) * RANK(close / open)"),
    (39, "((-1 * rank((delta(close, 7) * (1 - rank(decay_linear((volume / adv20), 9)))))) * (1 + rank(sum(returns, 250))))",
     "(-1 * RANK(DELTA(close, 7) * (1 - RANK(DECAY_LINEAR(volume / adv20, 9))))) * (1 + RANK(SUM(returns, 250)))"),
    (40, "((-1 * rank(stddev(high, 10))) * correlation(high, volume, 10))",
     "(-1 * RANK(STDDEV(high, 10))) * CORR(high, volume, 10)"),
    (41, "(((high * low)^0.5) - vwap)",
     "(high * low) ** 0.5 - vwap"),
    (42, "(rank((vwap - close)) / rank((vwap + close)))",
     "RANK(vwap - close) / RANK(vwap + close)"),
    (43, "(ts_rank((volume / adv20), 20) * ts_rank((-1 * delta(close, 7)), 8))",
     "TS_RANK(volume / adv20, 20) * TS_RANK(-1 * DELTA(close, 7), 8)"),
    (44, "(-1 * correlation(high, rank(volume), 5))",
     "-1 * CORR(high, RANK(volume), 5)"),
    (45, "(-1 * ((rank((sum(delay(close, 5), 20) / 20)) * correlation(close, volume, 2)) * "
         "rank(correlation(sum(close, 5), sum(close, 20), 2))))",
     "-1 * ((RANK(SUM(DELAY(close, 5), 20) / 20) * CORR(close, volume, 2)) * "
     "RANK(CORR(SUM(close, 5), SUM(close, 20), 2)))"),
    (46, "((0.25 < (((delay(close, 20) - delay(close, 10)) / 10) - ((delay(close, 10) - close) / 10))) ? (-1 * 1) : "
         "(((((delay(close, 20) - delay(close, 10)) / 10) - ((delay(close, 10) - close) / 10)) < 0) ? 1 : "
         "((-1 * 1) * (close - delay(close, 1)))))",
     "IF(0.25 < (DELAY(close, 20) - DELAY(close, 10)) / 10 - (DELAY(close, 10) - close) / 10, -1, "
     "IF((DELAY(close, 20) - DELAY(close, 10)) / 10 - (DELAY(close, 10) - close) / 10 < 0, 1, "
     "-1 * (close - DELAY(close, 1))))"),
    (47, "((((rank((1 / close)) * volume) / adv20) * ((high * rank((high - close))) / (sum(high, 5) / 5))) - "
         "rank((vwap - delay(vwap, 5))))",
     "((RANK(1 / close) * volume) / adv20) * ((high * RANK(high - close)) / (SUM(high, 5) / 5)) - "
     "RANK(vwap - DELAY(vwap, 5))"),
    (48, "(indneutralize(((correlation(delta(close, 1), delta(delay(close, 1), 1), 250) * delta(close, 1)) / close), "
         "IndClass.subindustry) / sum(((delta(close, 1) / delay(close, 1))^2), 250))",
     "INDNEUTRALIZE((CORR(DELTA(close, 1), DELTA(DELAY(close, 1), 1), 250) * DELTA(close, 1)) / close, industry) / "
     "SUM((DELTA(close, 1) / DELAY(close, 1)) ** 2, 250)"),
    (49, "(((((delay(close, 20) - delay(close, 10)) / 10) - ((delay(close, 10) - close) / 10)) < (-1 * 0.1)) ? 1 : "
         "((-1 * 1) * (close - delay(close, 1))))",
     "IF((DELAY(close, 20) - DELAY(close, 10)) / 10 - (DELAY(close, 10) - close) / 10 < -1 * 0.1, 1, "
     "-1 * (close - DELAY(close, 1)))"),
    (50, "(-1 * ts_max(rank(correlation(rank(volume), rank(vwap), 5)), 5))",
     "-1 * TS_MAX(RANK(CORR(RANK(volume), RANK(vwap), 5)), 5)"),
    (51, "(((((delay(close, 20) - delay(close, 10)) / 10) - ((delay(close, 10) - close) / 10)) < (-1 * 0.05)) ? 1 : "
         "((-1 * 1) * (close - delay(close, 1))))",
     "IF((DELAY(close, 20) - DELAY(close, 10)) / 10 - (DELAY(close, 10) - close) / 10 < -1 * 0.05, 1, "
     "-1 * (close - DELAY(close, 1)))"),
    (52, "((((-1 * ts_min(low, 5)) + delay(ts_min(low, 5), 5)) * rank(((sum(returns, 240) - sum(returns, 20)) / 220))) "
         "* ts_rank(volume, 5))",
     "((-1 * TS_MIN(low, 5) + DELAY(TS_MIN(low, 5), 5)) * RANK((SUM(returns, 240) - SUM(returns, 20)) / 220)) * "
     "TS_RANK(volume, 5)"),
    (53, "(-1 * delta((((close - low) - (high - close)) / (close - low)), 9))",
     "-1 * DELTA(((close - low) - (high - close)) / (close - low), 9)"),
    (54, "((-1 * ((low - close) * (open^5))) / ((low - high) * (close^5)))",
     "(-1 * ((low - close) * open ** 5)) / ((low - high) * close ** 5)"),
    (55, "(-1 * correlation(rank(((close - ts_min(low, 12)) / (ts_max(high, 12) - ts_min(low, 12)))), rank(volume), 6))",
     "-1 * CORR(RANK((close - TS_MIN(low, 12)) / (TS_MAX(high, 12) - TS_MIN(low, 12))), RANK(volume), 6)"),
    (56, "(0 - (1 * (rank((sum(returns, 10) / sum(sum(returns, 2), 3))) * rank((returns * cap)))))",
     "0 - 1 * (RANK(SUM(returns, 10) / SUM(SUM(returns, 2), 3)) * RANK(returns * cap))"),
    (57, "(0 - (1 * ((close - vwap) / decay_linear(rank(ts_argmax(close, 30)), 2))))",
     "0 - 1 * ((close - vwap) / DECAY_LINEAR(RANK(TS_ARGMAX(close, 30)), 2))"),
    (58, "(-1 * Ts_Rank(decay_linear(correlation(IndNeutralize(vwap, IndClass.sector), volume, 3.92795), 7.89291), 5.50322))",
     "-1 * TS_RANK(DECAY_LINEAR(CORR(INDNEUTRALIZE(vwap, industry), volume, 3.92795), 7.89291), 5.50322)"),
    (59, "(-1 * Ts_Rank(decay_linear(correlation(IndNeutralize(((vwap * 0.728317) + (vwap * (1 - 0.728317))), "
         "IndClass.industry), volume, 4.25197), 16.2289), 8.19648))",
     "-1 * TS_RANK(DECAY_LINEAR(CORR(INDNEUTRALIZE(vwap * 0.728317 + vwap * (1 - 0.728317), industry), volume, "
     "4.25197), 16.2289), 8.19648)"),
    (60, "(0 - (1 * ((2 * scale(rank(((((close - low) - (high - close)) / (high - low)) * volume)))) - "
         "scale(rank(ts_argmax(close, 10))))))",
     "0 - 1 * (2 * SCALE(RANK(((close - low) - (high - close)) / (high - low) * volume)) - "
     "SCALE(RANK(TS_ARGMAX(close, 10))))"),
    (61, "(rank((vwap - ts_min(vwap, 16.1219))) < rank(correlation(vwap, adv180, 17.9282)))",
     "RANK(vwap - TS_MIN(vwap, 16.1219)) < RANK(CORR(vwap, adv180, 17.9282))"),
    (62, "((rank(correlation(vwap, sum(adv20, 22.4101), 9.91009)) < rank(((rank(open) + rank(open)) < "
         "(rank(((high + low) / 2)) + rank(high))))) * -1)",
     "(RANK(CORR(vwap, SUM(adv20, 22.4101), 9.91009)) < "
     "RANK((RANK(open) + RANK(open)) < (RANK((high + low) / 2) + RANK(high)))) * -1"),
    (63, "((rank(decay_linear(delta(IndNeutralize(close, IndClass.industry), 2.25164), 8.22237)) - "
         "rank(decay_linear(correlation(((vwap * 0.318108) + (open * (1 - 0.318108))), sum(adv180, 37.2467), 13.557), "
         "12.2883))) * -1)",
     "(RANK(DECAY_LINEAR(DELTA(INDNEUTRALIZE(close, industry), 2.25164), 8.22237)) - "
     "RANK(DECAY_LINEAR(CORR(vwap * 0.318108 + open * (1 - 0.318108), SUM(adv180, 37.2467), 13.557), 12.2883))) * -1"),
    (64, "((rank(correlation(sum(((open * 0.178404) + (low * (1 - 0.178404))), 12.7054), sum(adv120, 12.7054), 16.6208)) "
         "< rank(delta(((((high + low) / 2) * 0.178404) + (vwap * (1 - 0.178404))), 3.69741))) * -1)",
     "(RANK(CORR(SUM(open * 0.178404 + low * (1 - 0.178404), 12.7054), SUM(adv120, 12.7054), 16.6208)) < "
     "RANK(DELTA(((high + low) / 2) * 0.178404 + vwap * (1 - 0.178404), 3.69741))) * -1"),
    (65, "((rank(correlation(((open * 0.00817205) + (vwap * (1 - 0.00817205))), sum(adv60, 8.6911), 6.40374)) < "
         "rank((open - ts_min(open, 13.635)))) * -1)",
     "(RANK(CORR(open * 0.00817205 + vwap * (1 - 0.00817205), SUM(adv60, 8.6911), 6.40374)) < "
     "RANK(open - TS_MIN(open, 13.635))) * -1"),
    (66, "((rank(decay_linear(delta(vwap, 3.51013), 7.23052)) + Ts_Rank(decay_linear(((((low * 0.96633) + "
         "(low * (1 - 0.96633))) - vwap) / (open - ((high + low) / 2))), 11.4157), 6.72611)) * -1)",
     "(RANK(DECAY_LINEAR(DELTA(vwap, 3.51013), 7.23052)) + "
     "TS_RANK(DECAY_LINEAR((low * 0.96633 + low * (1 - 0.96633) - vwap) / (open - (high + low) / 2), 11.4157), "
     "6.72611)) * -1"),
    (67, "((rank((high - ts_min(high, 2.14593)))^rank(correlation(IndNeutralize(vwap, IndClass.sector), "
         "IndNeutralize(adv20, IndClass.subindustry), 6.02936))) * -1)",
     "(RANK(high - TS_MIN(high, 2.14593)) ** "
     "RANK(CORR(INDNEUTRALIZE(vwap, industry), INDNEUTRALIZE(adv20, industry), 6.02936))) * -1"),
    (68, "((Ts_Rank(correlation(rank(high), rank(adv15), 8.91644), 13.9333) < rank(delta(((close * 0.518371) + "
         "(low * (1 - 0.518371))), 1.06157))) * -1)",
     "(TS_RANK(CORR(RANK(high), RANK(adv15), 8.91644), 13.9333) < "
     "RANK(DELTA(close * 0.518371 + low * (1 - 0.518371), 1.06157))) * -1"),
    (69, "((rank(ts_max(delta(IndNeutralize(vwap, IndClass.industry), 2.72412), 4.79344))^Ts_Rank(correlation(((close * "
         "0.490655) + (vwap * (1 - 0.490655))), adv20, 4.92416), 9.0615)) * -1)",
     "(RANK(TS_MAX(DELTA(INDNEUTRALIZE(vwap, industry), 2.72412), 4.79344)) ** "
     "TS_RANK(CORR(close * 0.490655 + vwap * (1 - 0.490655), adv20, 4.92416), 9.0615)) * -1"),
    (70, "((rank(delta(vwap, 1.29456))^Ts_Rank(correlation(IndNeutralize(close, IndClass.industry), adv50, 17.8256), "
         "17.9171)) * -1)",
     "(RANK(DELTA(vwap, 1.29456)) ** TS_RANK(CORR(INDNEUTRALIZE(close, industry), adv50, 17.8256), 17.9171)) * -1"),
    (71, "max(Ts_Rank(decay_linear(correlation(Ts_Rank(close, 3.43976), Ts_Rank(adv180, 12.0647), 18.0175), 4.20501), "
         "15.6948), Ts_Rank(decay_linear((rank(((low + open) - (vwap + vwap)))^2), 16.4662), 4.4388))",
     "MAX(TS_RANK(DECAY_LINEAR(CORR(TS_RANK(close, 3.43976), TS_RANK(adv180, 12.0647), 18.0175), 4.20501), 15.6948), "
     "TS_RANK(DECAY_LINEAR(RANK((low + open) - (vwap + vwap)) ** 2, 16.4662), 4.4388))"),
    (72, "(rank(decay_linear(correlation(((high + low) / 2), adv40, 8.93345), 10.1519)) / "
         "rank(decay_linear(correlation(Ts_Rank(vwap, 3.72469), Ts_Rank(volume, 18.5188), 6.86671), 2.95011)))",
     "RANK(DECAY_LINEAR(CORR((high + low) / 2, adv40, 8.93345), 10.1519)) / "
     "RANK(DECAY_LINEAR(CORR(TS_RANK(vwap, 3.72469), TS_RANK(volume, 18.5188), 6.86671), 2.95011))"),
    (73, "(max(rank(decay_linear(delta(vwap, 4.72775), 2.91864)), Ts_Rank(decay_linear(((delta(((open * 0.147155) + "
         "(low * (1 - 0.147155))), 2.03608) / ((open * 0.147155) + (low * (1 - 0.147155)))) * -1), 3.33829), 16.7411)) "
         "* -1)",
     "MAX(RANK(DECAY_LINEAR(DELTA(vwap, 4.72775), 2.91864)), "
     "TS_RANK(DECAY_LINEAR((DELTA(open * 0.147155 + low * (1 - 0.147155), 2.03608) / "
     "(open * 0.147155 + low * (1 - 0.147155))) * -1, 3.33829), 16.7411)) * -1"),
    (74, "((rank(correlation(close, sum(adv30, 37.4843), 15.1365)) < rank(correlation(rank(((high * 0.0261661) + "
         "(vwap * (1 - 0.0261661)))), rank(volume), 11.4791))) * -1)",
     "(RANK(CORR(close, SUM(adv30, 37.4843), 15.1365)) < "
     "RANK(CORR(RANK(high * 0.0261661 + vwap * (1 - 0.0261661)), RANK(volume), 11.4791))) * -1"),
    (75, "(rank(correlation(vwap, volume, 4.24304)) < rank(correlation(rank(low), rank(adv50), 12.4413)))",
     "RANK(CORR(vwap, volume, 4.24304)) < RANK(CORR(RANK(low), RANK(adv50), 12.4413))"),
    (76, "(max(rank(decay_linear(delta(vwap, 1.24383), 11.8259)), Ts_Rank(decay_linear(Ts_Rank(correlation("
         "IndNeutralize(low, IndClass.sector), adv81, 8.14941), 19.569), 17.1543), 19.383)) * -1)",
     "MAX(RANK(DECAY_LINEAR(DELTA(vwap, 1.24383), 11.8259)), "
     "TS_RANK(DECAY_LINEAR(TS_RANK(CORR(INDNEUTRALIZE(low, industry), adv81, 8.14941), 19.569), 17.1543), 19.383)) * -1"),
    (77, "min(rank(decay_linear(((((high + low) / 2) + high) - (vwap + high)), 20.0451)), "
         "rank(decay_linear(correlation(((high + low) / 2), adv40, 3.1614), 5.64125)))",
     "MIN(RANK(DECAY_LINEAR(((high + low) / 2 + high) - (vwap + high), 20.0451)), "
     "RANK(DECAY_LINEAR(CORR((high + low) / 2, adv40, 3.1614), 5.64125)))"),
    (78, "(rank(correlation(sum(((low * 0.352233) + (vwap * (1 - 0.352233))), 19.7428), sum(adv40, 19.7428), 6.83313))"
         "^rank(correlation(rank(vwap), rank(volume), 5.77492)))",
     "RANK(CORR(SUM(low * 0.352233 + vwap * (1 - 0.352233), 19.7428), SUM(adv40, 19.7428), 6.83313)) ** "
     "RANK(CORR(RANK(vwap), RANK(volume), 5.77492))"),
    (79, "(rank(delta(IndNeutralize(((close * 0.60733) + (open * (1 - 0.60733))), IndClass.sector), 1.23438)) < "
         "rank(correlation(Ts_Rank(vwap, 3.60973), Ts_Rank(adv150, 9.18637), 14.6644)))",
     "RANK(DELTA(INDNEUTRALIZE(close * 0.60733 + open * (1 - 0.60733), industry), 1.23438)) < "
     "RANK(CORR(TS_RANK(vwap, 3.60973), TS_RANK(adv150, 9.18637), 14.6644))"),
    (80, "((rank(Sign(delta(IndNeutralize(((open * 0.868128) + (high * (1 - 0.868128))), IndClass.industry), 4.04545)))"
         "^Ts_Rank(correlation(high, adv10, 5.11456), 5.53756)) * -1)",
     "(RANK(SIGN(DELTA(INDNEUTRALIZE(open * 0.868128 + high * (1 - 0.868128), industry), 4.04545))) ** "
     "TS_RANK(CORR(high, adv10, 5.11456), 5.53756)) * -1"),
    (81, "((rank(Log(product(rank((rank(correlation(vwap, sum(adv10, 49.6054), 8.47743))^4)), 14.9655))) < "
         "rank(correlation(rank(vwap), rank(volume), 5.07914))) * -1)",
     "(RANK(LOG(PRODUCT(RANK(RANK(CORR(vwap, SUM(adv10, 49.6054), 8.47743)) ** 4), 14.9655))) < "
     "RANK(CORR(RANK(vwap), RANK(volume), 5.07914))) * -1"),
    (82, "(min(rank(decay_linear(delta(open, 1.46063), 14.8717)), Ts_Rank(decay_linear(correlation(IndNeutralize(volume, "
         "IndClass.sector), ((open * 0.634196) + (open * (1 - 0.634196))), 17.4842), 6.92131), 13.4283)) * -1)",
     "MIN(RANK(DECAY_LINEAR(DELTA(open, 1.46063), 14.8717)), "
     "TS_RANK(DECAY_LINEAR(CORR(INDNEUTRALIZE(volume, industry), open * 0.634196 + open * (1 - 0.634196), 17.4842), "
     "6.92131), 13.4283)) * -1"),
    (83, "((rank(delay(((high - low) / (sum(close, 5) / 5)), 2)) * rank(rank(volume))) / (((high - low) / "
         "(sum(close, 5) / 5)) / (vwap - close)))",
     "(RANK(DELAY((high - low) / (SUM(close, 5) / 5), 2)) * RANK(RANK(volume))) / "
     "(((high - low) / (SUM(close, 5) / 5)) / (vwap - close))"),
    (84, "SignedPower(Ts_Rank((vwap - ts_max(vwap, 15.3217)), 20.7127), delta(close, 4.96796))",
     "SIGNEDPOWER(TS_RANK(vwap - TS_MAX(vwap, 15.3217), 20.7127), DELTA(close, 4.96796))"),
    (85, "(rank(correlation(((high * 0.876703) + (close * (1 - 0.876703))), adv30, 9.61331))^rank(correlation("
         "Ts_Rank(((high + low) / 2), 3.70596), Ts_Rank(volume, 10.1595), 7.11408)))",
     "RANK(CORR(high * 0.876703 + close * (1 - 0.876703), adv30, 9.61331)) ** "
     "RANK(CORR(TS_RANK((high + low) / 2, 3.70596), TS_RANK(volume, 10.1595), 7.11408))"),
    (86, "((Ts_Rank(correlation(close, sum(adv20, 14.7444), 6.00049), 20.4195) < rank(((open + close) - "
         "(vwap + open)))) * -1)",
     "(TS_RANK(CORR(close, SUM(adv20, 14.7444), 6.00049), 20.4195) < RANK((open + close) - (vwap + open))) * -1"),
    (87, "(max(rank(decay_linear(delta(((close * 0.369701) + (vwap * (1 - 0.369701))), 1.91233), 2.65461)), "
         "Ts_Rank(decay_linear(abs(correlation(IndNeutralize(adv81, IndClass.industry), close, 13.4132)), 4.89768), "
         "14.4535)) * -1)",
     "MAX(RANK(DECAY_LINEAR(DELTA(close * 0.369701 + vwap * (1 - 0.369701), 1.91233), 2.65461)), "
     "TS_RANK(DECAY_LINEAR(ABS(CORR(INDNEUTRALIZE(adv81, industry), close, 13.4132)), 4.89768), 14.4535)) * -1"),
    (88, "min(rank(decay_linear(((rank(open) + rank(low)) - (rank(high) + rank(close))), 8.06882)), "
         "Ts_Rank(decay_linear(correlation(Ts_Rank(close, 8.44728), Ts_Rank(adv60, 20.6966), 8.01266), 6.65053), "
         "2.61957))",
     "MIN(RANK(DECAY_LINEAR((RANK(open) + RANK(low)) - (RANK(high) + RANK(close)), 8.06882)), "
     "TS_RANK(DECAY_LINEAR(CORR(TS_RANK(close, 8.44728), TS_RANK(adv60, 20.6966), 8.01266), 6.65053), 2.61957))"),
    (89, "(Ts_Rank(decay_linear(correlation(((low * 0.967285) + (low * (1 - 0.967285))), adv10, 6.94279), 5.51607), "
         "3.79744) - Ts_Rank(decay_linear(delta(IndNeutralize(vwap, IndClass.industry), 3.48158), 10.1466), 15.3012))",
     "TS_RANK(DECAY_LINEAR(CORR(low * 0.967285 + low * (1 - 0.967285), adv10, 6.94279), 5.51607), 3.79744) - "
     "TS_RANK(DECAY_LINEAR(DELTA(INDNEUTRALIZE(vwap, industry), 3.48158), 10.1466), 15.3012)"),
    (90, "((rank((close - ts_max(close, 4.66719)))^Ts_Rank(correlation(IndNeutralize(adv40, IndClass.subindustry), "
         "low, 5.38375), 3.21856)) * -1)",
     "(RANK(close - TS_MAX(close, 4.66719)) ** TS_RANK(CORR(INDNEUTRALIZE(adv40, industry), low, 5.38375), 3.21856)) "
     "* -1"),
    (91, "((Ts_Rank(decay_linear(decay_linear(correlation(IndNeutralize(close, IndClass.industry), volume, 9.74928), "
         "16.398), 3.83219), 4.8667) - rank(decay_linear(correlation(vwap, adv30, 4.01303), 2.6809))) * -1)",
     "(TS_RANK(DECAY_LINEAR(DECAY_LINEAR(CORR(INDNEUTRALIZE(close, industry), volume, 9.74928), 16.398), 3.83219), "
     "4.8667) - RANK(DECAY_LINEAR(CORR(vwap, adv30, 4.01303), 2.6809))) * -1"),
    (92, "min(Ts_Rank(decay_linear(((((high + low) / 2) + close) < (low + open)), 14.7221), 18.8683), "
         "Ts_Rank(decay_linear(correlation(rank(low), rank(adv30), 7.58555), 6.94024), 6.80584))",
     "MIN(TS_RANK(DECAY_LINEAR((high + low) / 2 + close < low + open, 14.7221), 18.8683), "
     "TS_RANK(DECAY_LINEAR(CORR(RANK(low), RANK(adv30), 7.58555), 6.94024), 6.80584))"),
    (93, "(Ts_Rank(decay_linear(correlation(IndNeutralize(vwap, IndClass.industry), adv81, 17.4193), 19.848), 7.54455) / "
         "rank(decay_linear(delta(((close * 0.524434) + (vwap * (1 - 0.524434))), 2.77377), 16.2664)))",
     "TS_RANK(DECAY_LINEAR(CORR(INDNEUTRALIZE(vwap, industry), adv81, 17.4193), 19.848), 7.54455) / "
     "RANK(DECAY_LINEAR(DELTA(close * 0.524434 + vwap * (1 - 0.524434), 2.77377), 16.2664))"),
    (94, "((rank((vwap - ts_min(vwap, 11.5783)))^Ts_Rank(correlation(Ts_Rank(vwap, 19.6462), Ts_Rank(adv60, 4.02992), "
         "18.0926), 2.70756)) * -1)",
     "(RANK(vwap - TS_MIN(vwap, 11.5783)) ** "
     "TS_RANK(CORR(TS_RANK(vwap, 19.6462), TS_RANK(adv60, 4.02992), 18.0926), 2.70756)) * -1"),
    (95, "(rank((open - ts_min(open, 12.4105))) < Ts_Rank((rank(correlation(sum(((high + low) / 2), 19.1351), "
         "sum(adv40, 19.1351), 12.8742))^5), 11.7584))",
     "RANK(open - TS_MIN(open, 12.4105)) < "
     "TS_RANK(RANK(CORR(SUM((high + low) / 2, 19.1351), SUM(adv40, 19.1351), 12.8742)) ** 5, 11.7584)"),
    (96, "(max(Ts_Rank(decay_linear(correlation(rank(vwap), rank(volume), 3.83878), 4.16783), 8.38151), "
         "Ts_Rank(decay_linear(Ts_ArgMax(correlation(Ts_Rank(close, 7.45404), Ts_Rank(adv60, 4.13242), 3.65459), "
         "12.6556), 14.0365), 13.4143)) * -1)",
     "MAX(TS_RANK(DECAY_LINEAR(CORR(RANK(vwap), RANK(volume), 3.83878), 4.16783), 8.38151), "
     "TS_RANK(DECAY_LINEAR(TS_ARGMAX(CORR(TS_RANK(close, 7.45404), TS_RANK(adv60, 4.13242), 3.65459), 12.6556), "
     "14.0365), 13.4143)) * -1"),
    (97, "((rank(decay_linear(delta(IndNeutralize(((low * 0.721001) + (vwap * (1 - 0.721001))), IndClass.industry), "
         "3.3705), 20.4523)) - Ts_Rank(decay_linear(Ts_Rank(correlation(Ts_Rank(low, 7.87871), Ts_Rank(adv60, 17.255), "
         "4.97547), 18.5925), 15.7152), 6.71659)) * -1)",
     "(RANK(DECAY_LINEAR(DELTA(INDNEUTRALIZE(low * 0.721001 + vwap * (1 - 0.721001), industry), 3.3705), 20.4523)) - "
     "TS_RANK(DECAY_LINEAR(TS_RANK(CORR(TS_RANK(low, 7.87871), TS_RANK(adv60, 17.255), 4.97547), 18.5925), 15.7152), "
     "6.71659)) * -1"),
    (98, "(rank(decay_linear(correlation(vwap, sum(adv5, 26.4719), 4.58418), 7.18088)) - "
         "rank(decay_linear(Ts_Rank(Ts_ArgMin(correlation(rank(open), rank(adv15), 20.8187), 8.62571), 6.95668), "
         "8.07206)))",
     "RANK(DECAY_LINEAR(CORR(vwap, SUM(adv5, 26.4719), 4.58418), 7.18088)) - "
     "RANK(DECAY_LINEAR(TS_RANK(TS_ARGMIN(CORR(RANK(open), RANK(adv15), 20.8187), 8.62571), 6.95668), 8.07206))"),
    (99, "((rank(correlation(sum(((high + low) / 2), 19.8975), sum(adv60, 19.8975), 8.8136)) < "
         "rank(correlation(low, volume, 6.28259))) * -1)",
     "(RANK(CORR(SUM((high + low) / 2, 19.8975), SUM(adv60, 19.8975), 8.8136)) < "
     "RANK(CORR(low, volume, 6.28259))) * -1"),
    (100, "(0 - (1 * (((1.5 * scale(indneutralize(indneutralize(rank(((((close - low) - (high - close)) / (high - low)) "
          "* volume)), IndClass.subindustry), IndClass.subindustry))) - scale(indneutralize((correlation(close, "
          "rank(adv20), 5) - rank(ts_argmin(close, 30))), IndClass.subindustry))) * (volume / adv20))))",
     "0 - 1 * ((1.5 * SCALE(INDNEUTRALIZE(INDNEUTRALIZE(RANK(((close - low) - (high - close)) / (high - low) * volume), "
     "industry), industry)) - SCALE(INDNEUTRALIZE(CORR(close, RANK(adv20), 5) - RANK(TS_ARGMIN(close, 30)), industry))) "
     "* (volume / adv20))"),
    (101, "((close - open) / ((high - low) + .001))",
     "(close - open) / ((high - low) + 0.001)"),
)

ALPHA101: dict[str, Alpha] = {
    "alpha{:03d}".format(n): Alpha("alpha{:03d}".format(n), formula, "alpha101", paper,
                                   "Kakushadze (2016), 101 Formulaic Alphas, Alpha#{}".format(n))
    for n, paper, formula in _A101
}

# name, family, formula, definition, description
_CLASSIC: tuple[tuple[str, str, str, str, str], ...] = (
    # the demo job's factors
    ("reversal_5d", "demo", "-(close / DELAY(close, 5) - 1)", "-(close_t / close_{t-5} - 1)", "5 日反转"),
    ("momentum_60_5", "demo", "DELAY(close, 5) / DELAY(close, 60) - 1", "close_{t-5} / close_{t-60} - 1",
     "60 日动量（跳过最近 5 日）"),
    ("low_volatility_20", "demo", "-STD(close / DELAY(close, 1) - 1, 20)", "-std(daily return, 20)", "20 日低波动"),
    ("volume_price_corr_10", "demo", "-CORR(close, volume, 10)", "-corr(close, volume, 10)", "量价相关性"),
    ("volume_surge_5_60", "demo", "-(MA(volume, 5) / MA(volume, 60))", "-(mean(volume, 5) / mean(volume, 60))",
     "放量程度"),
    ("alpha_rank_corr_6", "demo", "-CORR(RANK(DELTA(LOG(volume), 1)), RANK((close - open) / open), 6)",
     "-corr(rank(delta(log(volume), 1)), rank((close - open) / open), 6)", "成交量变化与日内收益的排名相关性"),
    ("alpha_stoch_10", "demo", "-((close - TS_MIN(low, 10)) / (TS_MAX(high, 10) - TS_MIN(low, 10)))",
     "-(close - min(low, 10)) / (max(high, 10) - min(low, 10))", "10 日随机指标位置"),
    # momentum
    ("momentum_20", "momentum", "close / DELAY(close, 20) - 1", "close_t / close_{t-20} - 1", "20 日动量"),
    ("momentum_120_20", "momentum", "DELAY(close, 20) / DELAY(close, 120) - 1", "close_{t-20} / close_{t-120} - 1",
     "半年动量（跳过最近一个月）"),
    ("momentum_250_20", "momentum", "DELAY(close, 20) / DELAY(close, 250) - 1", "close_{t-20} / close_{t-250} - 1",
     "12-1 月动量"),
    ("high_52w_distance", "momentum", "close / TS_MAX(high, 250)", "close / max(high, 250)", "相对 52 周最高价位置"),
    ("trend_slope_20", "momentum", "SLOPE(LOG(close), 20)", "OLS slope of log(close) on time, 20 dates",
     "20 日对数价格趋势斜率"),
    # reversal
    ("reversal_1d", "reversal", "-returns", "-(close_t / close_{t-1} - 1)", "1 日反转"),
    ("reversal_20d", "reversal", "-(close / DELAY(close, 20) - 1)", "-(close_t / close_{t-20} - 1)", "20 日反转"),
    ("intraday_reversal", "reversal", "-(close / open - 1)", "-(close / open - 1)", "日内反转"),
    ("overnight_gap", "reversal", "-(open / DELAY(close, 1) - 1)", "-(open_t / close_{t-1} - 1)", "隔夜跳空反转"),
    # volatility
    ("volatility_20", "volatility", "-STD(returns, 20)", "-std(returns, 20)", "20 日低波动"),
    ("volatility_60", "volatility", "-STD(returns, 60)", "-std(returns, 60)", "60 日低波动"),
    ("range_volatility_20", "volatility", "-MA((high - low) / close, 20)", "-mean((high - low) / close, 20)",
     "20 日平均振幅"),
    ("downside_volatility_20", "volatility", "-STD(MIN(returns, 0), 20)", "-std(min(returns, 0), 20)", "20 日下行波动"),
    ("skewness_20", "volatility", "-TS_SKEW(returns, 20)", "-skew(returns, 20)", "20 日收益偏度"),
    # liquidity
    ("turnover_20", "liquidity", "-MA(turnover_rate, 20)", "-mean(volume / shares, 20)", "20 日平均换手率"),
    ("abnormal_turnover", "liquidity", "-(MA(turnover_rate, 5) / MA(turnover_rate, 60))",
     "-(mean(turnover, 5) / mean(turnover, 60))", "异常换手"),
    ("amihud_20", "liquidity", "MA(ABS(returns) / total_turnover, 20) * 100000000",
     "mean(|returns| / traded value, 20)", "Amihud 非流动性"),
    ("log_adv20", "liquidity", "-LOG(adv20)", "-log(mean(traded value, 20))", "20 日平均成交额（取对数）"),
    # size
    ("size", "size", "-LOG(cap)", "-log(market cap)", "小市值"),
    ("size_nonlinear", "size", "-(LOG(cap) ** 3)", "-log(market cap)^3", "市值的三次方"),
)

CLASSIC: dict[str, Alpha] = {
    name: Alpha(name, formula, family, paper, description)
    for name, family, formula, paper, description in _CLASSIC
}

_ALL: dict[str, Alpha] = {**ALPHA101, **CLASSIC}


def get(name: str) -> Alpha:
    """按名称取公式，如 ``get("alpha001")``、``get("momentum_20")``；也接受 "alpha1"、"Alpha#1"。"""
    if not isinstance(name, str):
        raise TypeError("alpha name: expected a str, got {}".format(type(name).__name__))
    hit = _ALL.get(name)
    if hit is not None:
        return hit
    key = name.strip().lower().replace("#", "")
    if key.startswith("alpha") and key[5:].isdigit():
        hit = ALPHA101.get("alpha{:03d}".format(int(key[5:])))
        if hit is not None:
            return hit
    raise KeyError("unknown alpha {!r}: expected alpha001 .. alpha101 or one of the classic factors ({})".format(
        name, ", ".join(CLASSIC)))


def families() -> list[str]:
    """全部类别名。"""
    return list(dict.fromkeys(a.family for a in _ALL.values()))


def names(family: str | None = None) -> list[str]:
    """全部（或某一类别的）公式名称。"""
    if family is None:
        return list(_ALL)
    if family not in families():
        raise ValueError("family: expected one of {}, got {!r}".format(families(), family))
    return [n for n, a in _ALL.items() if a.family == family]


def table(family: str | None = None) -> Any:
    """公式一览表（pandas DataFrame，以名称为索引：family、formula、paper、description）。"""
    import pandas as pd

    rows = [_ALL[n] for n in names(family)]
    return pd.DataFrame({"family": [a.family for a in rows], "formula": [a.formula for a in rows],
                         "paper": [a.paper for a in rows], "description": [a.description for a in rows]},
                        index=pd.Index([a.name for a in rows], name="name"))


def evaluate(which: Any, order_book_ids: Any, start_date: Any, end_date: Any,
             progress: bool | None = None) -> dict[str, Any]:
    """一次计算多个公式，共享行情数据与公共子表达式。

    Parameters
    ----------
    which : str or iterable of str
        公式名称列表，或类别名（如 "alpha101"），或 "all"。
    order_book_ids, start_date, end_date
        同 ``zarnik.execute_factors``。

    Returns
    -------
    dict
        名称 -> FactorFrame。
    """
    from .engine import execute_factors

    if isinstance(which, str):
        if which == "all":
            chosen = names()
        elif which in families():
            chosen = names(which)
        else:
            chosen = [get(which).name]
    elif isinstance(which, Iterable):
        chosen = [get(n).name for n in which]
    else:
        raise TypeError("which: expected a name, a family or a list of names, got {}".format(type(which).__name__))
    if not chosen:
        raise ValueError("which: no formulas selected")
    return execute_factors({n: _ALL[n].factor() for n in chosen}, order_book_ids, start_date, end_date,
                           progress=progress)

"""IC and quantile analysis run through FactorAssayer with the package's result classes."""
from __future__ import annotations

import types

import numpy as np
import pandas as pd

import ostrel
from zarnik.analysis import assayer


def test_pipeline_results_carry_the_step_tables(monkeypatch):
    rng = np.random.default_rng(4)
    dates = pd.bdate_range("2021-01-04", periods=40)
    cols = ["S{:02d}".format(i) for i in range(30)]
    factor = pd.DataFrame(rng.normal(size=(40, 30)), index=dates, columns=cols)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(40, 30)), index=dates, columns=cols)
    closes = pd.Series(np.cumprod(1 + rng.normal(scale=0.01, size=40)) * 3000, index=dates)

    def get_price(oid, start_date=None, end_date=None, frequency=None, fields=None, expect_df=True):
        idx = pd.MultiIndex.from_arrays([[oid] * 40, dates], names=["order_book_id", "date"])
        return pd.DataFrame({fields[0]: closes.values}, index=idx)

    monkeypatch.setattr(ostrel, "instruments", lambda oid: types.SimpleNamespace(type="INDX"), raising=False)
    monkeypatch.setattr(ostrel, "get_price", get_price, raising=False)
    pipeline = assayer.FactorAssayer()
    ic_step = assayer.ICAnalysis(industry_classification={"S01": "A", "S02": "B"}, max_decay=3)
    q_step = assayer.QuantileReturnAnalysis(quantile=5, benchmark="000300.XSHG")
    pipeline.append(("ic", ic_step))
    pipeline.append(("quantile", q_step))
    out = pipeline.analysis(factor.copy(), returns.copy(), periods=[1, 5], ascending=False)

    ic = out["ic"]
    assert isinstance(ic, assayer.ICAnalysisResult) and ic.name == "ic"
    direct = assayer.ICAnalysis(industry_classification={"S01": "A", "S02": "B"}, max_decay=3).analysis(
        factor, returns, [1, 5], ascending=False)
    for key in ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute"):
        pd.testing.assert_frame_equal(getattr(ic, key), getattr(direct, key), check_names=False)
    assert ic.ic_industry_distribute.industry == {"S01": "A", "S02": "B"}

    q = out["quantile"]
    assert isinstance(q, assayer.QuantileReturnAnalysisResult) and q.name == "quantile"
    bench = closes.pct_change().fillna(0)
    np.testing.assert_allclose(q.benchmark_return.to_numpy(), (1 + bench).cumprod().to_numpy() - 1, rtol=1e-12)
    excess = q.quantile_excess_annulized_returns
    assert list(excess.index) == ["q1", "q2", "q3", "q4", "q5"] and list(excess.columns) == ["P_1", "P_5"]
    daily = q.quantile_returns.groupby(level="tag").transform(lambda s: (1 + s) / (1 + s).shift(1).fillna(1) - 1)
    want = daily.groupby(level="tag").apply(lambda s: (s.to_numpy() - bench.to_numpy()[:, None] + 1).prod(axis=0))
    np.testing.assert_allclose(excess.to_numpy(), np.vstack(want.to_numpy()) ** (252 / 40) - 1, rtol=1e-9)

"""The research job end to end on a small synthetic market with a planted reversal."""

from __future__ import annotations

import base64
import io
import re
from types import SimpleNamespace

import matplotlib.image as mpimg
import numpy as np
import pandas as pd
import pytest

_iface = pytest.importorskip("zarnik.interface")
_assayer = pytest.importorskip("zarnik.analysis.assayer")
if not hasattr(_iface, "LeafFactor") or not hasattr(_assayer, "FactorAssayer"):
    pytest.skip("expression nodes or the pipeline are not in this build", allow_module_level=True)

import ostrel
from zarnik.analysis import assayer as A
from zarnik.report.job import DEMO_FORMULAS, run_job

CAL = pd.bdate_range("2021-01-04", periods=260)
IDS = ["{:06d}.XSHE".format(i) for i in range(80)]
STYLES = ["beta", "size", "momentum"]


def _market():
    rng = np.random.default_rng(11)
    T, N = len(CAL), len(IDS)
    ret = np.zeros((T, N))
    eps = rng.normal(0, 0.02, (T, N))
    for t in range(T):  # next-day return leans against the past five days' move
        past = ret[max(0, t - 5):t].sum(axis=0)
        ret[t] = -0.08 * past + eps[t]
    close = 10 * np.cumprod(1 + ret, axis=0)
    opn = close * (1 + rng.normal(0, 0.005, (T, N)))
    vol = rng.lognormal(12, 0.4, (T, N))
    data = {"close": close, "open": opn, "high": np.fmax(close, opn) * 1.01, "low": np.fmin(close, opn) * 0.99,
            "volume": vol, "total_turnover": vol * close}
    return {k: pd.DataFrame(v, index=CAL, columns=IDS) for k, v in data.items()}


@pytest.fixture
def market(monkeypatch):
    frames = _market()
    industries = pd.Series(["ind{}".format(i % 6) for i in range(len(IDS))], index=IDS)

    def dates_between(s, e):
        return CAL[(CAL >= pd.Timestamp(s)) & (CAL <= pd.Timestamp(e))]

    def get_price(order_book_ids=None, start_date=None, end_date=None, fields="close", adjust_type="post",
                  expect_df=True, **kw):
        ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
        wide = frames["close"].reindex(columns=[i for i in ids if i in IDS]).loc[dates_between(start_date, end_date)]
        if wide.empty:
            return None
        long = wide.T.stack()
        long.index.names = ["order_book_id", "date"]
        return long.to_frame("close")

    def exposure(order_book_ids=None, start_date=None, end_date=None, factors=None):
        idx = pd.MultiIndex.from_product([list(order_book_ids), dates_between(start_date, end_date)],
                                         names=["order_book_id", "date"])
        return pd.DataFrame(np.random.default_rng(3).normal(size=(len(idx), 3)), index=idx, columns=STYLES)

    def industry(order_book_ids, dates, source="citics_2019", **kw):
        idx = pd.MultiIndex.from_product([pd.DatetimeIndex(dates), list(order_book_ids)],
                                         names=["datetime", "order_book_id"])
        return pd.Series(industries.reindex(idx.get_level_values(1)).to_numpy(), index=idx)

    fakes = {
        "get_trading_dates": lambda s, e: list(dates_between(s, e).date),
        "get_previous_trading_date": lambda d, n=1: CAL[CAL.searchsorted(pd.Timestamp(d)) - n].date(),
        "get_next_trading_date": lambda d, n=1: CAL[CAL.searchsorted(pd.Timestamp(d), side="right") + n - 1].date(),
        "get_panel": lambda fields, ids, s, e, adjust_type="post": {
            f: frames[f].loc[dates_between(s, e), list(ids)] for f in fields},
        "get_price": get_price,
        "get_style_factor_exposure": exposure,
        "instruments": lambda oid: None,
    }
    records = [("ind{}".format(i % 6), oid, "2015-01-05") for i, oid in enumerate(IDS)]

    class Client:
        def execute(self, query, *args, **kwargs):
            return records

    fakes["client"] = SimpleNamespace(get_client=Client)
    for k, v in fakes.items():
        monkeypatch.setattr(ostrel, k, v, raising=False)
    monkeypatch.setattr(A, "_load_industry_data", industry, raising=False)
    return frames


def test_job_writes_reports_and_finds_the_reversal(market, tmp_path):
    table, results = run_job(DEMO_FORMULAS, IDS, CAL[70], CAL[-25], periods=(1, 5), report_dir=str(tmp_path),
                             benchmark=None, industry="citics_2019", progress=False)
    assert list(table.index) == list(DEMO_FORMULAS)
    rev = table.loc["reversal_5d"]
    assert rev["ic_mean"] > 0.05 and rev["ic_t"] > 3  # the planted signal, clearly
    assert set(results["reversal_5d"]) >= {"ic", "quantile", "factor_return", "style"}
    for name in DEMO_FORMULAS:
        html = (tmp_path / "{}.html".format(name)).read_text(encoding="utf-8")
        pngs = re.findall(r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"', html)
        # the coverage panel, six IC, six quantile, one factor-return and one style panel
        assert len(pngs) == 1 + 6 + 6 + 1 + 1
        for p in pngs:
            img = mpimg.imread(io.BytesIO(base64.b64decode(p)), format="png")
            assert img.ndim == 3 and img[..., :3].std() > 0

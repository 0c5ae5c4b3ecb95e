"""Statistical and accounting checks of the synthetic market generator.

The references here are written independently of the generator: they work only
from the generated tables (bars, styles, industries), the way a user of the
store would.
"""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st
from scipy import stats

import ostrel
from ostrel import schema
from ostrel.generate import BENCHMARK, simulate


def wide(tables, field):
    """(date x instrument) panel of one bar field of the stocks."""
    b = tables["bars"]
    b = b[b["order_book_id"] != BENCHMARK]
    out = b.pivot(index="date", columns="order_book_id", values=field)
    out.index = pd.to_datetime(out.index)
    return out.sort_index()


def style(tables, name):
    out = tables["styles"].pivot(index="date", columns="order_book_id", values=name)
    out.index = pd.to_datetime(out.index)
    return out.sort_index()


@pytest.fixture(scope="module")
def small():
    return simulate(60, "2021-01-01", "2022-06-30", 3, progress=False)


@pytest.fixture(scope="module")
def wide_market():
    """A larger market over eleven years: both classification switches, many reports and ex-dates."""
    return simulate(300, "2012-06-01", "2022-12-31", 11, progress=False)


@pytest.fixture(scope="module", params=["small", "wide_market"])
def market(request):
    return request.getfixturevalue(request.param)


# ---------------------------------------------------------------- determinism and arguments


def test_same_seed_same_market_other_seed_other_market():
    a = simulate(12, "2021-01-01", "2021-03-31", 5, progress=False)
    b = simulate(12, "2021-01-01", "2021-03-31", 5, progress=False)
    c = simulate(12, "2021-01-01", "2021-03-31", 6, progress=False)
    assert a.keys() == b.keys()
    for k in a:
        pd.testing.assert_frame_equal(a[k], b[k], obj=k)
    assert not np.allclose(a["bars"]["close"].to_numpy()[:100], c["bars"]["close"].to_numpy()[:100])


@pytest.mark.parametrize("args, exc, match", [
    ((5, "2021-01-01", "2021-06-30", 1), ValueError, "at least 10 instruments"),
    ((20, "2021-01-01", "2021-01-20", 1), ValueError, "need at least 30"),
    ((20.0, "2021-01-01", "2021-06-30", 1), TypeError, "n_instruments"),
    ((20, "2021-01-01", "2021-06-30", "1"), TypeError, "seed"),
    ((20, "not a date", "2021-06-30", 1), ValueError, "date"),
])
def test_bad_arguments(args, exc, match):
    with pytest.raises(exc, match=match):
        simulate(*args, progress=False)


@settings(max_examples=8, deadline=None)
@given(n=st.integers(10, 40), start=st.dates(pd.Timestamp("2007-01-01").date(), pd.Timestamp("2025-06-01").date()),
       days=st.integers(60, 700), seed=st.integers(0, 2 ** 32 - 1))
def test_any_small_market_is_well_formed(n, start, days, seed):
    end = start + pd.Timedelta(days=days)
    tables = simulate(n, str(start), str(end), seed, progress=False)
    inst = tables["instruments"].set_index("order_book_id")
    assert (inst["type"] == "CS").sum() == n and inst.loc[BENCHMARK, "type"] == "INDX"
    b, sty = tables["bars"], tables["styles"]
    px = b[["open", "high", "low", "close", "adj_factor"]].to_numpy()
    assert np.isfinite(px).all() and (px > 0).all()
    expo = sty[list(ostrel.STYLE_FACTORS)].to_numpy()
    assert np.isfinite(expo).all() and np.abs(expo).max() < 50
    # one style row per stock bar, standardised per date
    assert len(sty) == (b["order_book_id"] != BENCHMARK).sum()
    g = sty.groupby("date")["size"]
    assert (g.mean().abs() < 1e-9).all()
    # bars only inside an instrument's life
    life = b.join(inst, on="order_book_id")
    assert (life["date"] >= life["listed_date"]).all()
    assert (life["de_listed_date"].isna() | (life["date"] < life["de_listed_date"])).all()
    # every stock has an industry from its listing on in both sources
    for table in ("industry_citics", "industry_sws"):
        first = tables[table].groupby("order_book_id")["start_date"].min()
        stocks = inst[inst["type"] == "CS"]
        assert (pd.to_datetime(first[stocks.index]) <= pd.to_datetime(stocks["listed_date"])).all()


def test_keys_unique_and_columns_match_the_store_layout(market):
    for name, df in market.items():
        assert list(df.columns) == [c for c, _ in schema.TABLES[name]], name
        assert not df.duplicated(list(schema.KEYS[name])).any(), name


# ---------------------------------------------------------------- prices


def test_no_impossible_prices(market):
    b = market["bars"]
    px = b[["open", "high", "low", "close"]].to_numpy()
    assert np.isfinite(px).all() and (px > 0).all()
    assert (b["low"] <= b[["open", "close"]].min(axis=1) * (1 + 1e-12)).all()
    assert (b["high"] >= b[["open", "close"]].max(axis=1) * (1 - 1e-12)).all()
    stocks = b[b["order_book_id"] != BENCHMARK]
    assert (stocks["volume"] > 0).all() and (stocks["total_turnover"] > 0).all()
    # turnover is volume times a price inside the day's range
    avg = stocks["total_turnover"] / stocks["volume"]
    assert ((avg >= stocks["low"] * (1 - 1e-9)) & (avg <= stocks["high"] * (1 + 1e-9))).all()


def test_daily_limit_against_ex_adjusted_previous_close(market):
    close, adj = wide(market, "close"), wide(market, "adj_factor")
    high, low = wide(market, "high"), wide(market, "low")
    prev = (close * adj).shift(1) / adj     # previous close in today's share terms
    ok = prev.notna() & close.notna()
    assert ok.to_numpy().sum() > 1000
    up = np.maximum(close / prev, high / prev) - 1
    down = np.minimum(close / prev, low / prev) - 1
    assert (up.to_numpy()[ok.to_numpy()] <= 0.10 + 1e-9).all()
    assert (down.to_numpy()[ok.to_numpy()] >= -0.10 - 1e-9).all()
    # the limits are reached now and then
    assert (up.to_numpy()[ok.to_numpy()] > 0.0999).any()


def test_adjustment_factors_grow_only_in_the_dividend_season(market):
    raw = wide(market, "adj_factor")
    adj = raw.ffill()
    step = adj / adj.shift(1)
    after_gap = raw.shift(1).isna() & raw.notna()
    moved = step.stack().dropna()
    moved = moved[(moved - 1).abs() > 1e-12]
    assert len(moved) > 10 and (moved > 1).all()
    days = moved.index.get_level_values(0)
    # an ex-date during a suspension shows at the first bar after it
    resumed = after_gap.stack().reindex(moved.index).to_numpy()
    assert (((days.month >= 5) & (days.month <= 7)) | resumed).all()
    assert ((days.month >= 5) & (days.month <= 7)).mean() > 0.95
    # bonus issues: a few factors jump by far more than any cash dividend
    assert (moved > 1.15).any() and (moved < 1.05).any()


def test_listing_delisting_and_suspensions(wide_market):
    inst = wide_market["instruments"].set_index("order_book_id")
    close = wide(wide_market, "close")
    first, last = close.apply(pd.Series.first_valid_index), close.apply(pd.Series.last_valid_index)
    stocks = inst[inst["type"] == "CS"]
    start, end = close.index[0], close.index[-1]
    listed = pd.to_datetime(stocks["listed_date"])
    gone = pd.to_datetime(stocks["de_listed_date"])
    assert (listed > start).sum() > 10 and gone.notna().sum() > 3
    # the first bar is on the listing day; the last bar is before the delisting day
    late = listed[listed > start]
    assert (pd.to_datetime(first[late.index]) == late).all()
    assert (pd.to_datetime(last[gone.dropna().index]) < gone.dropna()).all()
    # trading days inside an instrument's life without a bar: suspensions, some of them long
    dates = close.index
    life = (dates.to_numpy()[:, None] >= np.maximum(listed, start).to_numpy()) & \
           (dates.to_numpy()[:, None] < gone.fillna(end + pd.Timedelta(days=1)).to_numpy())
    holes = life & close[stocks.index].isna().to_numpy()
    assert 0.002 < holes.sum() / life.sum() < 0.05
    runs = max(int(np.diff(np.flatnonzero(np.diff(np.r_[0, h, 0]))).max(initial=0)) for h in holes.T.astype(int))
    assert runs >= 20
    assert inst.loc[BENCHMARK, "type"] == "INDX"


def test_fat_tails_and_planted_reversal(market):
    post = wide(market, "close") * wide(market, "adj_factor")
    r = post.pct_change(fill_method=None)
    flat = r.stack().dropna().to_numpy()
    z = (flat - flat.mean()) / flat.std()
    assert stats.kurtosis(flat) > 1.0
    assert (np.abs(z) > 4).mean() > 20 * 2 * stats.norm.sf(4)   # far more 4-sigma days than a normal law
    rev = -(post / post.shift(5) - 1)
    ics = rev.iloc[5:-1].rank(axis=1).corrwith(r.shift(-1).iloc[5:-1].rank(axis=1), axis=1).dropna()
    t = stats.ttest_1samp(ics, 0.0)
    assert t.pvalue < 0.01 and 0.015 < ics.mean() < 0.06


def test_index_follows_its_constituents(wide_market):
    b = wide_market["bars"]
    idx = b[b["order_book_id"] == BENCHMARK].set_index("date").sort_index()
    idx.index = pd.to_datetime(idx.index)
    assert len(idx) == len(wide_market["calendar"])
    post = wide(wide_market, "close") * wide(wide_market, "adj_factor")
    ew = post.pct_change(fill_method=None).mean(axis=1)
    ir = idx["close"].pct_change()
    assert ir.corr(ew) > 0.8
    assert (idx["volume"] > 0).all()


# ---------------------------------------------------------------- style exposures


def quiet_pairs(tables):
    """Date pairs between periodic reports (May to mid July) and the stocks whose factor did not change."""
    close, adj = wide(tables, "close"), wide(tables, "adj_factor")
    days = close.index
    out = []
    for y in sorted(set(days.year)):
        inside = days[(days >= pd.Timestamp(y, 5, 6)) & (days <= pd.Timestamp(y, 7, 15))]
        if len(inside) < 10:
            continue
        for t0, t1 in ((inside[0], inside[-1]), (inside[3], inside[4])):
            keep = close.loc[[t0, t1]].notna().all() & (adj.loc[t0] == adj.loc[t1])
            out.append((t0, t1, keep[keep].index))
    assert out
    return out


def exact_fit(y, X):
    """Largest residual and the coefficients of an ordinary least-squares fit with an intercept."""
    A = np.column_stack([np.ones(len(y))] + list(X))
    coef, *_ = np.linalg.lstsq(A, y, rcond=None)
    return np.abs(y - A @ coef).max() / max(np.abs(y).max(), 1.0), coef


def test_size_is_standardised_log_market_value(market):
    # size = z(log(close * shares)); shares are fixed unless the adjustment factor moves, so
    # log c1 - log c0 is exactly affine in (size1, size0) with unknown per-date constants
    close, size = wide(market, "close"), style(market, "size")
    for t0, t1, ids in quiet_pairs(market):
        assert len(ids) >= 8
        d = np.log(close.loc[t1, ids] / close.loc[t0, ids]).to_numpy()
        err, coef = exact_fit(d, [size.loc[t1, ids].to_numpy(), size.loc[t0, ids].to_numpy()])
        assert err < 1e-8 and coef[1] > 0 > coef[2]


@pytest.mark.parametrize("name", ["book_to_price", "earnings_yield", "leverage"])
def test_value_exposures_move_inversely_with_price_between_reports(market, name):
    # raw = a + K / close with K fixed between reports: z1 is exactly affine in (z0 * c0/c1, c0/c1)
    close, x = wide(market, "close"), style(market, name)
    for t0, t1, ids in quiet_pairs(market):
        ratio = (close.loc[t0, ids] / close.loc[t1, ids]).to_numpy()
        z0, z1 = x.loc[t0, ids].to_numpy(), x.loc[t1, ids].to_numpy()
        err, coef = exact_fit(z1, [z0 * ratio, ratio])
        assert err < 1e-8 and coef[1] > 0
    # a dearer stock has a lower book-to-price: falling prices raise the exposure
    t0, t1, ids = quiet_pairs(market)[0]
    move = np.log(close.loc[t1, ids] / close.loc[t0, ids])
    move -= move.mean()
    if name != "leverage":
        assert np.corrcoef(move, x.loc[t1, ids] - x.loc[t0, ids])[0, 1] < 0


def test_growth_changes_only_at_reports(market):
    g = style(market, "growth")
    for t0, t1, ids in quiet_pairs(market):
        err, coef = exact_fit(g.loc[t1, ids].to_numpy(), [g.loc[t0, ids].to_numpy()])
        assert err < 1e-8 and coef[1] > 0
    # ... and does change across a reporting season
    days = g.index
    a, b = days[days <= pd.Timestamp(days[-1].year - 1, 3, 1)][-1], days[days >= pd.Timestamp(days[-1].year - 1, 5, 6)][0]
    both = g.loc[[a, b]].dropna(axis=1)
    assert np.corrcoef(both.loc[a], both.loc[b])[0, 1] < 0.999


def test_non_linear_size_is_the_orthogonalised_cube(market):
    size, nls = style(market, "size"), style(market, "non_linear_size")
    for d in size.index[:: max(1, len(size) // 25)]:
        s = size.loc[d].dropna()
        c = s ** 3
        beta = np.polyfit(s, c, 1)
        res = c - np.polyval(beta, s)
        want = (res - res.mean()) / res.std(ddof=0)
        np.testing.assert_allclose(nls.loc[d, s.index], want, atol=1e-8)
        assert abs(np.corrcoef(s, nls.loc[d, s.index])[0, 1]) < 1e-8


def test_momentum_is_standardised_past_return_skipping_a_month(market):
    post = (wide(market, "close") * wide(market, "adj_factor")).ffill().bfill()
    mom = style(market, "momentum")
    logp = np.log(post.to_numpy())
    T = len(post)
    for t in range(30, T, max(1, T // 20)):
        past = logp[t - 21] - logp[max(t - 252, 0)]
        row = mom.iloc[t]
        ok = row.notna().to_numpy()
        want = (past[ok] - past[ok].mean()) / past[ok].std()
        np.testing.assert_allclose(row.to_numpy()[ok], want, atol=1e-8)


def test_beta_and_residual_volatility_track_realised_ones(wide_market):
    b = wide_market["bars"]
    ir = b[b["order_book_id"] == BENCHMARK].set_index("date")["close"].sort_index().pct_change()
    ir.index = pd.to_datetime(ir.index)
    r = (wide(wide_market, "close") * wide(wide_market, "adj_factor")).pct_change(fill_method=None)
    last = r.index[-1]
    win = r.iloc[-252:]
    x = ir.loc[win.index]
    enough = win.notna().sum() > 200
    realised = win.loc[:, enough].apply(lambda y: y.cov(x) / x[y.notna()].var())
    resid = win.loc[:, enough].apply(lambda y: (y - realised[y.name] * x).std())
    beta, rv = style(wide_market, "beta").loc[last], style(wide_market, "residual_volatility").loc[last]
    both = realised.index.intersection(beta.dropna().index)
    assert len(both) > 100
    assert np.corrcoef(beta[both], realised[both])[0, 1] > 0.9
    assert stats.spearmanr(rv[both], resid[both]).statistic > 0.9


def test_liquidity_is_log_turnover_rate(market):
    # liquidity = z(log(sum of 21 days of volume / shares)) and log shares = log market value - log close,
    # so with fixed shares log(sum volume) + log close is affine in (liquidity, size) on each date
    vol, close, adj = wide(market, "volume"), wide(market, "close"), wide(market, "adj_factor")
    size, liq = style(market, "size"), style(market, "liquidity")
    for t in range(40, len(vol), max(1, len(vol) // 10)):
        d, window = vol.index[t], vol.index[t - 20: t + 1]
        a = adj.loc[window].ffill().bfill()
        fixed = (a.max() == a.min()) & close.loc[d].notna()
        ids = fixed[fixed].index
        assert len(ids) > 8
        y = np.log(vol.loc[window, ids].sum()) + np.log(close.loc[d, ids])
        err, coef = exact_fit(y.to_numpy(), [liq.loc[d, ids].to_numpy(), size.loc[d, ids].to_numpy()])
        assert err < 1e-4 and coef[1] > 0


@pytest.mark.parametrize("seed", [21, 22])
def test_cross_sectional_regression_recovers_the_size_premium(seed):
    tables = simulate(200, "2015-01-01", "2022-12-31", seed, progress=False)
    post = wide(tables, "close") * wide(tables, "adj_factor")
    fwd = post.pct_change(fill_method=None).shift(-1).to_numpy()
    names = ["size", "book_to_price", "momentum", "beta"]
    x = np.stack([style(tables, n).reindex_like(post).to_numpy() for n in names], axis=2)
    coefs = []
    for t in range(len(fwd) - 1):
        ok = np.isfinite(fwd[t]) & np.isfinite(x[t]).all(axis=1)
        A = np.column_stack([np.ones(ok.sum()), x[t][ok]])
        coefs.append(np.linalg.lstsq(A, fwd[t][ok], rcond=None)[0][1:])
    coefs = np.asarray(coefs)
    t = coefs.mean(axis=0) / coefs.std(axis=0) * np.sqrt(len(coefs))
    # small companies earn more: a negative size premium of a few basis points a day; cheap ones a little more
    assert t[0] < -2.5 and -0.001 < coefs[:, 0].mean() < 0
    assert t[1] > 1.0 and 0 < coefs[:, 1].mean() < 0.001


# ---------------------------------------------------------------- industries


def test_industry_records(wide_market):
    cal = set(pd.to_datetime(wide_market["calendar"]["date"]))
    sws = wide_market["industry_sws"].assign(start_date=lambda d: pd.to_datetime(d["start_date"]))
    cit = wide_market["industry_citics"].assign(start_date=lambda d: pd.to_datetime(d["start_date"]))
    inside = sws[sws["start_date"] >= min(cal)]
    assert (~inside["start_date"].isin(cal)).sum() > 5, "some sws changes fall on non-trading days"
    assert (~cit[cit["start_date"] >= min(cal)]["start_date"].isin(cal)).sum() > 5
    # the edition in force at a record's date is published for every instrument
    want = np.where(sws["start_date"] > pd.Timestamp("2021-07-31"), 3,
                    np.where(sws["start_date"] > pd.Timestamp("2014-01-01"), 2, 1))
    current = sws[sws["version"] == want]
    assert set(current["order_book_id"]) == set(wide_market["instruments"].query("type == 'CS'")["order_book_id"])
    assert {1, 2, 3} <= set(sws["version"])
    assert (sws["version"] != want).any(), "the previous edition goes on for a while after a switch"
    late = current[current["start_date"] > pd.Timestamp("2021-07-31")]
    assert late["order_book_id"].nunique() > 250
    assert len(set(late["industry_name"]) - set(current[current["version"] == 2]["industry_name"])) > 0
    # several reclassifications of one instrument over a decade happen
    assert (cit.groupby("order_book_id").size() >= 3).any()
    assert (current.groupby("order_book_id")["industry_name"].nunique() >= 2).mean() > 0.3


def test_industry_loader_sees_every_listed_instrument(small_store):
    from zarnik.analysis import assayer

    ids = list(ostrel.all_instruments("CS")["order_book_id"])
    dates = ostrel.get_trading_dates("2021-03-01", "2021-03-10")
    for source in ("citics_2019", "sws"):
        s = assayer._load_industry_data(ids, dates, source)
        got = set(s.index.get_level_values("order_book_id"))
        assert got == set(ids), source

"""Batch screening, the factor store and Dask execution."""

from __future__ import annotations

import json
import math
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

START, END = "2021-04-01", "2022-02-28"
FORMULAS = {
    "reversal": "-(close / DELAY(close, 5) - 1)",
    "reversal_x2": "-(close / DELAY(close, 5) - 1) * 2",
    "momentum": "DELAY(close, 5) / DELAY(close, 40) - 1",
    "volatility": "-STD(close / DELAY(close, 1) - 1, 20)",
    "pv_corr": "-CORR(close, volume, 10)",
    "ranked": "RANK(volume) - RANK(close)",
    "bad_window": "MA(close, 0)",
    "syntax": "close +",
    "unknown_field": "MA(nonexistent_field, 5)",
}


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    """A store of this module's own (so it can be changed), opened for the module's tests."""
    import ostrel
    from ostrel import store
    from ostrel.generate import generate

    before = store._state["path"]
    path = tmp_path_factory.mktemp("mining") / "market.duckdb"
    generate(str(path), instruments=40, start="2021-01-01", end="2022-04-30", seed=11, progress=False)
    ostrel.init(path)
    yield path
    if before is not None:
        ostrel.init(before)
    else:
        store.close()


def _mine(**kw):
    import zarnik

    kw.setdefault("periods", (1, 5))
    kw.setdefault("progress", False)
    return zarnik.mine(kw.pop("formulas", FORMULAS), start=START, end=END, **kw)


def _one_by_one(name: str, formula: str) -> dict:
    """The per-formula loop a researcher would write with the public API."""
    import ostrel

    import zarnik
    from zarnik.analysis.assayer import FactorAssayer
    from zarnik.mining import default_steps
    from zarnik.report.display import summary

    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"].tolist())
    frame = zarnik.execute_factor(zarnik.parse(formula), ids, START, END)
    fa = FactorAssayer()
    for step in default_steps():
        fa.append(step)
    res = fa.analysis(frame, "daily", ascending=False, periods=[1, 5])
    ic = summary(res["ic"]).loc["P_1"]
    q = summary(res["quantile"]).xs("P_1", level=0)
    return {"ic_mean": ic["ic_mean"], "ic_ir": ic["ir"], "ic_t": ic["t_stat"],
            "top_minus_bottom_ann": q.loc["top_minus_bottom", "annualized_return"],
            "coverage": float(np.isfinite(frame.to_numpy()).mean())}


def test_batch_equals_one_by_one_and_failures_do_not_stop_it(market):
    lb = _mine(factor_store=False, batch_size=4)
    assert list(lb.index[:0]) == [] and set(lb.index) == set(FORMULAS)
    failed = lb[lb["error"].notna()]
    assert set(failed.index) == {"bad_window", "syntax", "unknown_field"}
    assert "window" in failed.at["bad_window", "error"]
    assert "nonexistent_field" in failed.at["unknown_field", "error"]
    ok = lb[lb["error"].isna()]
    assert ok["n_dates"].min() > 150
    for name in ("reversal", "pv_corr", "ranked"):
        ref = _one_by_one(name, FORMULAS[name])
        for col, value in ref.items():
            assert ok.at[name, col] == pytest.approx(value, rel=1e-9, abs=1e-12), (name, col)
    # a rescaled copy of a factor is the same signal
    assert ok.at["reversal_x2", "ic_ir"] == pytest.approx(ok.at["reversal", "ic_ir"], rel=1e-12)
    # ordered by |IR|, failures last
    irs = ok["ic_ir"].abs().to_numpy()
    assert (np.diff(irs) <= 0).all()
    assert list(lb.index[-3:]) == list(failed.index)


def test_correlation_aware_selection_drops_duplicates(market):
    lb = _mine(factor_store=False, max_corr=0.9)
    first, second = sorted(["reversal", "reversal_x2"], key=list(lb.index).index)
    assert lb.at[first, "kept"] and not lb.at[second, "kept"]
    assert lb.at[second, "corr_kept"] == pytest.approx(1.0, abs=1e-9)
    assert lb.at[second, "corr_with"] == first
    kept = lb[lb["kept"]]
    assert (kept["corr_kept"].abs().fillna(0) < 0.9).all()
    assert not lb.loc[lb["error"].notna(), "kept"].any()


def test_store_is_hit_then_invalidated_when_the_data_changes(market, tmp_path):
    import duckdb
    import ostrel
    from ostrel import store as market_store

    import zarnik

    copy = tmp_path / "market.duckdb"
    shutil.copy(market, copy)
    ostrel.init(copy)
    try:
        fs = tmp_path / "factors"
        first = _mine(factor_store=fs)
        assert not first["cached"].any()
        second = _mine(factor_store=fs)
        ok = second["error"].isna()
        assert second.loc[ok, "cached"].all() and not second.loc[~ok, "cached"].any()
        pdt.assert_frame_equal(first.drop(columns="cached"), second.drop(columns="cached"))
        # the values read back equal a fresh evaluation
        ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"].tolist())
        stored = zarnik.load_factor(FORMULAS["pv_corr"], ids, START, END, fs)
        fresh = zarnik.execute_factor(zarnik.parse(FORMULAS["pv_corr"]), ids, START, END)
        pdt.assert_frame_equal(stored, fresh, check_freq=False)
        with pytest.raises(KeyError, match="not in the factor store"):
            zarnik.load_factor("MA(close, 7)", ids, START, END, fs)
        # change some prices: every entry misses
        market_store.release()
        con = duckdb.connect(str(copy))
        con.execute("UPDATE bars SET close = close * (1 + 0.02 * (dayofmonth(date) % 5))")
        con.close()
        ostrel.init(copy)
        third = _mine(factor_store=fs)
        assert not third["cached"].any()
        assert third.at["reversal", "ic_mean"] != first.at["reversal", "ic_mean"]
    finally:
        ostrel.init(market)


def test_two_local_dask_workers_give_the_same_leaderboard(market):
    pytest.importorskip("distributed")
    alone = _mine(factor_store=False, batch_size=3)
    spread = _mine(factor_store=False, batch_size=3, workers=2)
    pdt.assert_frame_equal(alone, spread)


def test_cli_mine_writes_the_leaderboard(market, tmp_path):
    src = tmp_path / "formulas.txt"
    src.write_text("# two factors and a broken one\nreversal = -(close / DELAY(close, 5) - 1)\n"
                   "-CORR(close, volume, 10)\nbroken = MA(close,\n", encoding="utf-8")
    out = tmp_path / "lb.csv"
    proc = subprocess.run(
        [sys.executable, "-m", "zarnik.cli", "mine", str(src), "--start", START, "--end", END, "--periods", "1,5",
         "--data", str(market), "--out", str(out), "--no-store", "--quiet"],
        capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    table = pd.read_csv(out, index_col="name")
    assert set(table.index) == {"reversal", "-CORR(close, volume, 10)", "broken"}
    assert table.at["broken", "error"].startswith("FormulaError")
    assert "3 formulas, 1 failed" in proc.stdout
    bad = subprocess.run([sys.executable, "-m", "zarnik.cli", "mine", str(tmp_path / "missing.txt"), "--start", START,
                          "--end", END, "--data", str(market)], capture_output=True, text=True, timeout=120)
    assert bad.returncode != 0 and "no such file" in bad.stderr and "Traceback" not in bad.stderr


@pytest.mark.parametrize("text, expected", [
    ("a = close\n# note\n\nb: MA(close, 5)\n", {"a": "close", "b": "MA(close, 5)"}),
    ("close >= DELAY(close, 1)\nclose == open\n", {"close >= DELAY(close, 1)": "close >= DELAY(close, 1)",
                                                   "close == open": "close == open"}),
    ("x = IF(close > open, 1, 0)\n", {"x": "IF(close > open, 1, 0)"}),
])
def test_read_formulas_text(tmp_path, text, expected):
    from zarnik.mining import read_formulas

    p = tmp_path / "f.txt"
    p.write_text(text, encoding="utf-8")
    assert read_formulas(p) == expected


def test_read_formulas_other_sources(tmp_path):
    from zarnik.mining import read_formulas
    from zarnik.rolling import MA
    from zarnik.leaves import Factor

    p = tmp_path / "f.json"
    p.write_text(json.dumps({"a": "close", "b": "open"}), encoding="utf-8")
    assert read_formulas(p) == {"a": "close", "b": "open"}
    gen = (("f{}".format(n), "MA(close, {})".format(n)) for n in (2, 3))
    assert read_formulas(gen) == {"f2": "MA(close, 2)", "f3": "MA(close, 3)"}
    node = MA(Factor("close"), 3)
    assert read_formulas([node]) == {repr(node): node}
    for bad, err in [("a = close\na = open\n", ValueError), ("", ValueError)]:
        p2 = tmp_path / "bad.txt"
        p2.write_text(bad, encoding="utf-8")
        with pytest.raises(err):
            read_formulas(p2)
    with pytest.raises(FileNotFoundError, match="no such file"):
        read_formulas(tmp_path / "nope.txt")
    with pytest.raises(TypeError):
        read_formulas(42)


@pytest.mark.parametrize("curve, expected", [
    ([1.0, 0.5], 1.0),
    ([1.0, 0.8, 0.4], 1.75),
    ([-0.2, -0.15, -0.05], 1.5),
    ([1.0, 0.9, 0.8], math.nan),
    ([0.0, 0.1], math.nan),
    ([math.nan, 0.1], math.nan),
])
def test_decay_half_life(curve, expected):
    from zarnik.mining.screen import _half_life

    got = _half_life(np.array(curve))
    assert (math.isnan(got) and math.isnan(expected)) or got == pytest.approx(expected)


@settings(max_examples=40, deadline=None)
@given(st.integers(2, 7), st.integers(40, 120), st.integers(0, 2**31 - 1), st.floats(0.2, 0.95))
def test_greedy_selection_matches_a_brute_force_reference(n, m, seed, threshold):
    """Without missing cells the sample correlation is Pearson's: compare with np.corrcoef."""
    from zarnik.mining.screen import _rank_and_select

    rng = np.random.default_rng(seed)
    base = rng.standard_normal(m)
    samples = {"f{}".format(i): base * rng.uniform(-1, 1) + rng.standard_normal(m) * rng.uniform(0.05, 1)
               for i in range(n)}
    table = pd.DataFrame({"ic_ir": rng.standard_normal(n), "error": [None] * n}, index=list(samples))
    out = _rank_and_select(table, samples, threshold)
    order = sorted(samples, key=lambda k: -abs(table.at[k, "ic_ir"]))
    assert list(out.index) == order
    kept: list[str] = []
    for name in order:
        rs = [np.corrcoef(samples[name], samples[k])[0, 1] for k in kept]
        best = max(rs, key=abs) if rs else math.nan
        if rs:
            assert out.at[name, "corr_kept"] == pytest.approx(best, abs=1e-9)
        else:
            assert math.isnan(out.at[name, "corr_kept"])
        keep = not rs or abs(best) < threshold
        assert bool(out.at[name, "kept"]) == keep
        if keep:
            kept.append(name)


def test_steps_of_a_later_run_in_the_same_process_are_used(market):
    """The per-process state (fields, returns, pipeline) is rebuilt when the steps change."""
    from zarnik.analysis import assayer as A

    formulas = {"reversal": FORMULAS["reversal"]}
    five = _mine(formulas=formulas, factor_store=False)
    ten = _mine(formulas=formulas, factor_store=False,
                steps=[("normalize", A.Normalization()), ("ic", A.ICAnalysis(rank_ic=False)),
                       ("quantile", A.QuantileReturnAnalysis(quantile=10))])
    assert five.at["reversal", "ic_mean"] != ten.at["reversal", "ic_mean"]  # Pearson, not rank IC
    assert math.isnan(ten.at["reversal", "decay_half_life"])  # no decay asked for


@pytest.mark.parametrize("formula, expected", [
    ("-(close / DELAY(close, 5) - 1)", True),
    ("-CORR(close, volume, 10) + TS_RANK(volume, 5)", True),
    ("IF(close > open, SIGNEDPOWER(close - open, 2), 0)", True),
    ("ADV(20) / volume", True),
    ("RANK(volume) - RANK(close)", False),
    ("close - DELAY(SCALE(close), 1)", False),
    ("GROUP_DEMEAN(close, industry)", False),
])
def test_column_wise_formulas_are_told_from_cross_sectional_ones(formula, expected):
    from zarnik.formula import parse
    from zarnik.mining.screen import column_wise

    assert column_wise(parse(formula)) is expected


def test_instrument_shards_evaluate_the_same_bits(market):
    import ostrel

    from zarnik.mining import screen

    formulas = dict(FORMULAS, too_far="DELAY(close, 100000)")  # fails while evaluating
    parsed, _ = screen._parse_all(formulas)
    parsed = [p for p in parsed if screen.column_wise(p[2])]
    assert "ranked" not in [p[0] for p in parsed]  # a cross-sectional formula is never sharded
    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"].tolist())
    job = screen._Job(ids=ids, start=START, end=END, periods=[1], period=1, steps=None,
                      market_path=str(market), fingerprint="test", fields=["close", "volume"],
                      lookback=max(int(n.shift) for _, _, n in parsed), shards=3)
    whole_frames, whole_errors = screen._evaluate_batch(job, parsed)
    parts = [screen._evaluate_batch(job, parsed, part) for part in screen.shards_of(ids, 3)]
    assert [len(p) for p in screen.shards_of(ids, 3)] in ([14, 13, 13], [13, 14, 13], [13, 13, 14])
    frames, errors = screen._join_shards(parsed, parts)
    assert set(errors) == set(whole_errors) == {"too_far"}
    assert set(frames) == set(whole_frames)
    for name, frame in frames.items():
        pdt.assert_index_equal(frame.columns, whole_frames[name].columns)
        pdt.assert_index_equal(frame.index, whole_frames[name].index)
        np.testing.assert_array_equal(frame.to_numpy(), whole_frames[name].to_numpy())  # NaN == NaN here


def test_sharded_leaderboard_equals_the_whole_universe_one(market):
    alone = _mine(factor_store=False, batch_size=3)
    sharded = _mine(factor_store=False, batch_size=3, instrument_shards=4)
    pdt.assert_frame_equal(alone, sharded)
    with pytest.raises(ValueError, match="instrument_shards must be a positive integer"):
        _mine(factor_store=False, instrument_shards=0)


def test_sharded_batches_on_two_dask_workers_give_the_same_leaderboard(market):
    pytest.importorskip("distributed")
    alone = _mine(factor_store=False, batch_size=2)
    spread = _mine(factor_store=False, batch_size=2, workers=2, instrument_shards=2)
    pdt.assert_frame_equal(alone, spread)


def _ic_pearson_no_decay():
    from zarnik.analysis import assayer as A

    return [("winsorize", A.Winzorization(method="mad")), ("ic", A.ICAnalysis(rank_ic=False))]


def _quantile_then_ic():
    from zarnik.analysis import assayer as A

    return [("normalize", A.Normalization()), ("quantile", A.QuantileReturnAnalysis(quantile=3)),
            ("ic", A.ICAnalysis(rank_ic=True, max_decay=4))]


def _ic_only_no_preprocess():
    from zarnik.analysis import assayer as A

    return [("ic", A.ICAnalysis(rank_ic=True, max_decay=30))]


@pytest.mark.parametrize("steps, periods, period, ascending", [
    (None, (1, 5), None, False),
    (None, (5, 1, 20), 1, True),
    (None, (1, 5, 20), 20, False),
    (_ic_pearson_no_decay, (1, 5), 5, True),
    (_quantile_then_ic, (2, 3), 3, False),
    (_ic_only_no_preprocess, (1, 10), 10, True),
])
def test_shared_analysis_gives_the_pipeline_bits(market, monkeypatch, steps, periods, period, ascending):
    """The screen computes each factor's row from pieces shared by the whole job (forward returns,
    the long-table index) and for the screened period only; the leaderboard must be the one of the
    whole analysis pipeline run on every factor, bit for bit (warnings and errors included)."""
    from zarnik.mining import screen

    formulas = dict(FORMULAS, flat="close * 0 + 1", sparse="IF(volume > TS_MAX(volume, 60) * 0.9, close, NAN)")
    kw = dict(formulas=formulas, factor_store=False, batch_size=3, periods=periods, period=period,
              ascending=ascending, steps=steps)
    calls = []
    original = screen._screen_shared
    monkeypatch.setattr(screen, "_screen_shared", lambda *a: calls.append(1) or original(*a))
    fast = _mine(**kw)
    assert calls, "the shared analysis was not used"
    monkeypatch.setattr(screen, "_shared_analysis", lambda *a, **k: None)
    screen._STATE.clear()
    whole = _mine(**kw)
    screen._STATE.clear()
    pdt.assert_frame_equal(fast, whole, check_exact=True)
    assert fast["ic_mean"].notna().sum() >= 6


def test_steps_the_shared_analysis_does_not_cover_run_the_whole_pipeline(market):
    from zarnik.analysis import assayer as A
    from zarnik.mining import screen

    industry = [("ic", A.ICAnalysis(rank_ic=True, industry_classification="citics_2019"))]
    two_ics = [("ic", A.ICAnalysis()), ("ic2", A.ICAnalysis(rank_ic=False))]
    for steps in (industry, two_ics):
        job = screen._Job(ids=["a"], start=START, end=END, periods=[1], period=1, steps=steps, market_path="",
                          fingerprint="", fields=[], lookback=0)
        fa = A.FactorAssayer()
        for s in steps:
            fa.append(s)
        dates = pd.DatetimeIndex(pd.date_range("2021-01-04", periods=30, freq="B"))
        returns = pd.DataFrame(0.01, index=dates, columns=pd.Index(["a"]))
        assert screen._shared_analysis(fa, returns, dates, job) is None


_KEYED = ["IF(SUM(high, 20) / 20 < high, -1 * DELTA(high, 2), 0)",
          "IF(SUM(high, 20) / 20 < high, -1 * DELTA(high, 2), 1)",
          "IF(close > open, 1, -1) * RANK(volume)", "-(close / DELAY(close, 5) - 1)",
          "DECAY_LINEAR(close, 5)", "SIGNEDPOWER(close - open, 2.0)", "TS_RANK(close, 3.82)"]


def test_expression_keys_are_the_same_in_every_process_and_tell_formulas_apart():
    """The factor store is shared between processes and runs: a formula's key may not depend on
    anything of the process (a constant's object address), and different computations differ."""
    from zarnik.formula import parse
    from zarnik.mining.store import expression_key

    here = [expression_key(parse(f)) for f in _KEYED]
    code = ("import json, zarnik; from zarnik.mining.store import expression_key; "
            "print(json.dumps([expression_key(zarnik.parse(f)) for f in {!r}]))".format(_KEYED))
    there = json.loads(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                      text=True).stdout.strip().splitlines()[-1])
    assert here == there
    assert None not in here and len(set(here)) == len(here)
    assert " at 0x" not in "".join(here)

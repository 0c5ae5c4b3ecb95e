"""Importers of a user's own data: round trips, refusals that leave the store untouched, upserts, CLI."""

import os
import subprocess
import sys
import time
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import ostrel
from ostrel import client, decorators, generate, importers, store
from ostrel.__main__ import main as cli_main

TABLES = ("calendar", "instruments", "bars", "styles", "industry_citics", "industry_sws")
KIND_OF = {"calendar": "calendar", "instruments": "instruments", "bars": "bars", "styles": "styles",
           "industry_citics": "industry", "industry_sws": "industry"}


@pytest.fixture(scope="module")
def tables():
    return generate.simulate(12, "2021-01-01", "2021-03-31", 5, progress=False)


@pytest.fixture(scope="module")
def exported(tables, tmp_path_factory):
    """Every table of the generated market as CSV and as Parquet, the way a user would export them."""
    d = tmp_path_factory.mktemp("export")
    for name, df in tables.items():
        df.to_csv(d / (name + ".csv"), index=False)
        df.to_parquet(d / (name + ".parquet"), index=False)
    return d


@pytest.fixture(scope="module")
def base_store(tables, tmp_path_factory):
    path = tmp_path_factory.mktemp("base") / "base.duckdb"
    generate.write_store(tables, str(path))
    return path


@pytest.fixture()
def work_store(base_store, tmp_path):
    """A private copy of the generated store for a test that writes."""
    path = tmp_path / "work.duckdb"
    path.write_bytes(base_store.read_bytes())
    return path


@pytest.fixture(autouse=True)
def keep_ostrel_location():
    """Imports close ostrel's connection; put the session's configured store back afterwards."""
    saved = store._state["path"]
    store.release()
    yield
    store.release()
    store._state["path"] = saved


def snapshot(path: Path) -> dict[str, pd.DataFrame]:
    con = duckdb.connect(str(path), read_only=True)
    try:
        out = {}
        for t in TABLES:
            df = con.execute("SELECT * FROM {}".format(t)).df()
            out[t] = df.sort_values(list(df.columns)).reset_index(drop=True)
        return out
    finally:
        con.close()


def assert_same_store(a: dict, b: dict) -> None:
    assert a.keys() == b.keys()
    for t in a:
        pd.testing.assert_frame_equal(a[t], b[t], check_dtype=False, obj=t)


def as_text(df: pd.DataFrame) -> pd.DataFrame:
    """A table as the text cells of its CSV export, ready to be spoiled."""
    return df.astype(object).where(df.notna(), "").astype(str).astype(object)


def write(df: pd.DataFrame, path: Path) -> Path:
    if path.suffix == ".csv":
        df.to_csv(path, index=False)
    else:
        df.to_parquet(path, index=False)
    return path


# ---------------------------------------------------------------- round trip


def answers(path: Path, ids: list[str]) -> dict:
    """What the client API says about a store."""
    ostrel.init(path)
    out = {
        "dates": ostrel.get_trading_dates("2021-01-01", "2021-03-31"),
        "instruments": [vars(ostrel.instruments(i)) for i in ids],
        "citics": client.get_client().execute("__internal__zx2019_industry"),
        "sws": client.get_client().execute("__internal__shenwan_industry"),
        "styles": ostrel.get_style_factor_exposure(ids, "2021-01-01", "2021-03-31"),
        "beta_size": ostrel.get_style_factor_exposure(order_book_ids=ids, start_date="2021-02-01",
                                                      end_date="2021-02-28", factors=["beta", "size"]),
    }
    for adjust in ("post", "pre", "none"):
        out["price_" + adjust] = ostrel.get_price(order_book_ids=ids, start_date="2021-01-01",
                                                  end_date="2021-03-31", fields=list(ostrel.DAILY_FIELDS),
                                                  adjust_type=adjust, expect_df=True)
    store.release()
    return out


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
@pytest.mark.parametrize("with_calendar", [True, False])
def test_round_trip_into_a_new_store_answers_the_same(tables, exported, base_store, tmp_path, fmt, with_calendar):
    new = tmp_path / "sub" / "new.duckdb"
    items = [(KIND_OF[t], exported / "{}.{}".format(t, fmt)) for t in TABLES if with_calendar or t != "calendar"]
    reports = importers.import_files(items, store=new)
    assert all(r.created for r in reports)
    assert {r.table: r.rows for r in reports} == {t: len(tables[t]) for t in TABLES if with_calendar or t != "calendar"}

    got, want = snapshot(new), snapshot(base_store)
    for t in TABLES:
        if t == "calendar" and not with_calendar:
            # the new store holds the whole exchange calendar, which covers the generated one
            assert set(want[t]["date"]) <= set(got[t]["date"]) and len(got[t]) > 1000
        else:
            pd.testing.assert_frame_equal(got[t], want[t], check_dtype=False, obj=t)

    ids = sorted(tables["instruments"]["order_book_id"])
    a, b = answers(new, ids), answers(base_store, ids)
    pd.testing.assert_index_equal(a["dates"], b["dates"])
    assert a["instruments"] == b["instruments"]
    assert a["citics"] == b["citics"] and a["sws"] == b["sws"]
    for k in ("styles", "beta_size", "price_post", "price_pre", "price_none"):
        pd.testing.assert_frame_equal(a[k], b[k], obj=k)


def test_cli_imports_one_kind_at_a_time_and_info_counts(tables, exported, tmp_path, capsys):
    new = tmp_path / "cli.duckdb"
    for t in ("instruments", "bars", "styles", "industry_citics", "industry_sws"):
        argv = ["import", KIND_OF[t], str(exported / (t + ".csv")), "--path", str(new), "--quiet"]
        if t.startswith("industry"):
            argv += ["--source", "sws" if t.endswith("sws") else "citics_2019"]
        assert cli_main(argv) == 0
    out = capsys.readouterr().out
    assert "(new store)" in out and "bars: {:,d} rows".format(len(tables["bars"])) in out
    assert cli_main(["info", "--path", str(new)]) == 0
    info = capsys.readouterr().out
    counts = {line.split()[0]: int(line.split()[1].replace(",", "")) for line in info.splitlines()
              if line.endswith("rows")}
    assert {t: counts[t] for t in TABLES[1:]} == {t: len(tables[t]) for t in TABLES[1:]}


# ---------------------------------------------------------------- refusals


def _set(table, row, col, value):
    def spoil(df):
        df.loc[row, col] = value
        return df
    return table, spoil


def _drop(table, col):
    return table, lambda df: df.drop(columns=[col])


def _extra(table, col):
    return table, lambda df: df.assign(**{col: "1"})


def _dup(table, row):
    return table, lambda df: pd.concat([df, df.iloc[[row]]], ignore_index=True)


BAD = {
    "non-numeric price": (*_set("bars", 3, "close", "abc"), "column 'close', row 4: expected a number, got 'abc'"),
    "unparsable date": (*_set("bars", 2, "date", "2021-13-45"), "column 'date', row 3: expected a date like"),
    "date with a time": (*_set("bars", 2, "date", "2021-01-05 10:30"), "row 3: expected a date without a time"),
    "required column missing": (*_drop("bars", "volume"), "missing column(s) ['volume']"),
    "unknown column": (*_extra("bars", "vwap"), "unknown column(s) ['vwap']"),
    "duplicate key": (*_dup("bars", 5), "duplicate key (order_book_id, date)"),
    "weekend date": (*_set("bars", 0, "date", "2021-01-09"), "row 1: expected a trading date of the store's"),
    "holiday date": (*_set("styles", 1, "date", "2021-02-12"), "row 2: expected a trading date of the store's"),
    "zero price": (*_set("bars", 6, "open", "0"), "column 'open', row 7: expected a positive price"),
    "negative price": (*_set("bars", 6, "low", "-2.5"), "column 'low', row 7: expected a positive price"),
    "missing price": (*_set("bars", 6, "close", ""), "column 'close', row 7: expected a positive price"),
    "NaN price": (*_set("bars", 6, "high", "nan"), "column 'high', row 7: expected a positive price"),
    "infinite price": (*_set("bars", 6, "high", "inf"), "column 'high', row 7: expected a positive price"),
    "negative volume": (*_set("bars", 8, "volume", "-100"), "column 'volume', row 9: expected a number >= 0"),
    "high below low": (*_set("bars", 9, "high", "0.001"), "column 'high', row 10: expected high >= low"),
    "zero adj_factor": (*_set("bars", 1, "adj_factor", "0"), "column 'adj_factor', row 2"),
    "bars of an unknown id": (*_set("bars", 4, "order_book_id", "999999.XSHG"),
                              "row 5: 1 id(s) without an instrument record ('999999.XSHG')"),
    "styles of an unknown id": (*_set("styles", 0, "order_book_id", "X"), "row 1: 1 id(s) without an instrument"),
    "infinite style value": (*_set("styles", 2, "beta", "-inf"), "column 'beta', row 3: expected a finite"),
    "no style factor": ("styles", lambda df: df[["order_book_id", "date"]], "no style factor column"),
    "instrument type": (*_set("instruments", 2, "type", "ETF"), 'column \'type\', row 3: expected "CS" or "INDX"'),
    "delisted before listed": (*_set("instruments", 0, "de_listed_date", "2001-01-01"),
                               "column 'de_listed_date', row 1: expected a date on or after listed_date"),
    "empty symbol": (*_set("instruments", 4, "symbol", ""), "column 'symbol', row 5: expected a non-empty text"),
    "duplicate instrument": (*_dup("instruments", 0), "duplicate key (order_book_id)"),
    "sws version": (*_set("industry_sws", 3, "version", "4"), "column 'version', row 4: expected a version 1, 2"),
    "industry start date": (*_set("industry_citics", 0, "start_date", ""), "column 'start_date', row 1"),
    "header only": ("bars", lambda df: df.iloc[:0], "the file has no rows"),
    "duplicate calendar date": (*_dup("calendar", 3), "duplicate key (date)"),
    "calendar leaving bars outside": ("calendar", lambda df: df.iloc[5:],
                                      "the store's bars has dates that are not in this calendar"),
}


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_file_is_refused_and_store_unchanged(tables, work_store, tmp_path, case, fmt):
    table, spoil, message = BAD[case]
    path = write(spoil(as_text(tables[table])), tmp_path / "bad.{}".format(fmt))
    before = snapshot(work_store)
    with pytest.raises(importers.InvalidImportFile) as err:
        importers.import_file(KIND_OF[table], path, store=work_store,
                              source="sws" if table == "industry_sws" else None)
    assert message in str(err.value)
    assert str(path) in str(err.value) and "nothing was written" in str(err.value)
    assert_same_store(snapshot(work_store), before)


def test_good_rows_of_a_bad_batch_are_not_written_either(tables, work_store, tmp_path):
    inst = as_text(tables["instruments"])
    inst.loc[len(inst)] = ["688001.XSHG", "新股", "CS", "2021-02-01", ""]
    bars = as_text(tables["bars"])
    bars.loc[0, "close"] = "-1"
    before = snapshot(work_store)
    with pytest.raises(importers.InvalidImportFile, match="column 'close', row 1"):
        importers.import_files([("instruments", write(inst, tmp_path / "i.csv")),
                                ("bars", write(bars, tmp_path / "b.parquet"))], store=work_store)
    assert_same_store(snapshot(work_store), before)


@pytest.mark.parametrize("name, content, message", [
    ("bars.xlsx", b"whatever", "expected a .csv or .parquet file"),
    ("bars.csv", b"", "the file is empty"),
    ("bars.parquet", b"not parquet at all", "not a readable Parquet file"),
    ("bars.csv", "order_book_id,date,date\n".encode(), "appear more than once"),
    ("bars.csv", "\n\n".encode(), "the file is empty"),
    ("bars.csv", "order_book_id,date\n600000.XSHG,2021-01-04,1\n".encode(), "not a readable CSV file"),
    ("bars.csv", "order_book_id,date\n浦发,2021-01-04\n".encode("gbk"), "not UTF-8 text"),
    ("bars.csv", "order_book_id,date\n600000.XSHG,2021-01-04\n浦发,2021-01-05\n".encode("gbk"), "not UTF-8"),
])
def test_unreadable_files(work_store, tmp_path, name, content, message):
    path = tmp_path / name
    path.write_bytes(content)
    before = snapshot(work_store)
    with pytest.raises(importers.InvalidImportFile, match=message):
        importers.import_file("bars", path, store=work_store)
    assert_same_store(snapshot(work_store), before)


def _typed(table, **columns):
    return table, lambda df: df.assign(**{k: v(df) for k, v in columns.items()})


TYPED = {  # native Parquet column types, as other tools write them
    "dates as integers": (*_typed("bars", date=lambda df: pd.to_datetime(df["date"]).dt.strftime("%Y%m%d")
                                  .astype("int64")), None),
    "tz-aware timestamps": (*_typed("bars", date=lambda df: pd.to_datetime(df["date"]).dt.tz_localize(
        "Asia/Shanghai")), None),
    "float32 prices": (*_typed("bars", close=lambda df: df["close"].astype("float32").astype("float64")), None),
    "integer volume": (*_typed("bars", volume=lambda df: df["volume"].astype("int64")), None),
    "integer ids": (*_typed("instruments", order_book_id=lambda df: np.arange(len(df))),
                    "column 'order_book_id', rows 1, 2, 3, 4, 5 and 8 more: expected text, got 0, 1"),
    "boolean prices": (*_typed("bars", open=lambda df: df["open"] > 10), "column 'open', rows 1, 2, 3"),
    "missing timestamp": (*_typed("bars", date=lambda df: pd.to_datetime(df["date"]).where(df.index != 3)),
                          "column 'date', row 4: expected a date, got NaT"),
    "timestamp with a time": (*_typed("styles", date=lambda df: pd.to_datetime(df["date"]) + pd.Timedelta(hours=15)),
                              "expected a date without a time of day, got 2021-01-04 15:00:00"),
}


@pytest.mark.parametrize("case", sorted(TYPED))
def test_typed_parquet_columns(tables, work_store, tmp_path, case):
    table, change, message = TYPED[case]
    path = write(change(tables[table].copy()), tmp_path / "typed.parquet")
    before = snapshot(work_store)
    if message is None:  # accepted: re-importing the store's own rows leaves it as it was
        importers.import_file(KIND_OF[table], path, store=work_store)
    else:
        with pytest.raises(importers.InvalidImportFile) as err:
            importers.import_file(KIND_OF[table], path, store=work_store)
        assert message in str(err.value)
    assert_same_store(snapshot(work_store), before)


def test_gzipped_csv_and_a_byte_order_mark(tables, work_store, tmp_path):
    inst = tables["instruments"].iloc[:3].assign(symbol="改名")
    inst.to_csv(tmp_path / "i.csv.gz", index=False, encoding="utf-8-sig")
    r = importers.import_file("instruments", tmp_path / "i.csv.gz", store=work_store)
    assert (r.rows, r.replaced) == (3, 3)
    assert (snapshot(work_store)["instruments"]["symbol"] == "改名").sum() == 3


def test_a_bad_file_creates_no_store(tables, tmp_path):
    bars = as_text(tables["bars"])
    bars.loc[2, "volume"] = "lots"
    target = tmp_path / "never.duckdb"
    with pytest.raises(importers.InvalidImportFile, match="column 'volume', row 3: expected a number"):
        importers.import_file("bars", write(bars, tmp_path / "b.csv"), store=target)
    assert not target.exists() and os.listdir(tmp_path) == ["b.csv"]


@settings(max_examples=15, deadline=None)
@given(bad=st.sets(st.integers(0, 199), min_size=1, max_size=9))
def test_reported_rows_are_exactly_the_bad_ones(tables, base_store, tmp_path_factory, bad):
    # against the rows spoiled here: the first five are named, the rest counted
    bars = as_text(tables["bars"].iloc[:200])
    for r in bad:
        bars.loc[r, "total_turnover"] = "n/a"
    path = write(bars, tmp_path_factory.mktemp("rows") / "b.csv")
    with pytest.raises(importers.InvalidImportFile) as err:
        importers.import_file("bars", path, store=base_store)
    rows = sorted(r + 1 for r in bad)
    expect = "row{} {}".format("s" if len(rows) > 1 else "", ", ".join(map(str, rows[:5])))
    if len(rows) > 5:
        expect += " and {} more".format(len(rows) - 5)
    assert "column 'total_turnover', {}: expected a number".format(expect) in str(err.value)
    assert len(err.value.problems) == 1


def test_busy_store_is_reported(tables, work_store, tmp_path):
    before = snapshot(work_store)
    holder = subprocess.Popen(
        [sys.executable, "-c", "import duckdb, sys, time; c = duckdb.connect(sys.argv[1], read_only=True); "
                               "print('ready', flush=True); time.sleep(60)", str(work_store)],
        stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        with pytest.raises(importers.StoreBusy, match="in use by another process"):
            importers.import_file("bars", write(as_text(tables["bars"]), tmp_path / "b.csv"), store=work_store)
    finally:
        holder.kill()
        holder.wait()
    assert_same_store(snapshot(work_store), before)


# ---------------------------------------------------------------- upsert


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_upsert_replaces_existing_keys_and_adds_new_ones(tables, work_store, tmp_path, fmt):
    rng = np.random.default_rng(7)
    old = tables["bars"]
    pick = np.sort(rng.choice(len(old), 40, replace=False))
    changed = old.iloc[pick].copy()
    changed[["open", "high", "low", "close"]] *= 1.5
    newcomer = changed.iloc[:3].assign(order_book_id="688001.XSHG")
    upload = pd.concat([changed, newcomer], ignore_index=True)
    inst = pd.DataFrame({"order_book_id": ["688001.XSHG"], "symbol": ["新股"], "type": ["CS"],
                         "listed_date": [pd.Timestamp("2021-01-04")]})  # de_listed_date left out
    reports = importers.import_files([("instruments", write(inst, tmp_path / "i.{}".format(fmt))),
                                      ("bars", write(upload, tmp_path / "b.{}".format(fmt)))], store=work_store)
    by_table = {r.table: r for r in reports}
    assert (by_table["bars"].replaced, by_table["bars"].new) == (40, 3)
    assert (by_table["instruments"].replaced, by_table["instruments"].new) == (0, 1)

    # reference: the old table with the uploaded keys swapped for the uploaded rows
    key = ["order_book_id", "date"]
    kept = old.merge(upload[key], on=key, how="left", indicator=True)
    expect = pd.concat([kept[kept["_merge"] == "left_only"].drop(columns="_merge"), upload], ignore_index=True)
    expect["date"] = pd.to_datetime(expect["date"])
    got = snapshot(work_store)["bars"]
    got["date"] = pd.to_datetime(got["date"])
    pd.testing.assert_frame_equal(got, expect.sort_values(list(expect.columns)).reset_index(drop=True),
                                  check_dtype=False)
    listed = snapshot(work_store)["instruments"].set_index("order_book_id").loc["688001.XSHG"]
    assert listed["type"] == "CS" and pd.isna(listed["de_listed_date"])


def test_styles_upsert_replaces_the_whole_row(tables, work_store, tmp_path):
    part = tables["styles"].iloc[:10][["order_book_id", "date", "beta"]].assign(beta=42.0)
    importers.import_file("styles", write(part, tmp_path / "s.csv"), store=work_store)
    got = snapshot(work_store)["styles"]
    got["date"] = pd.to_datetime(got["date"])
    rows = got.merge(part[["order_book_id", "date"]].assign(date=pd.to_datetime(part["date"])),
                     on=["order_book_id", "date"])
    assert len(rows) == 10 and (rows["beta"] == 42.0).all()
    assert rows.drop(columns=["order_book_id", "date", "beta"]).isna().all().all()  # absent factors: NULL
    assert len(got) == len(tables["styles"])


@pytest.mark.parametrize("new_store", [False, True])
def test_a_failure_while_writing_rolls_everything_back(tables, work_store, tmp_path, monkeypatch, new_store):
    real, calls = importers._write, []

    def failing(con, table, frame):
        calls.append(table)
        if len(calls) == 2:
            raise OSError("disk full")
        return real(con, table, frame)

    monkeypatch.setattr(importers, "_write", failing)
    target = tmp_path / "fresh" / "new.duckdb" if new_store else work_store
    before = None if new_store else snapshot(work_store)
    changed = tables["bars"].assign(close=tables["bars"]["close"] + 1)
    with pytest.raises(OSError, match="disk full"):
        importers.import_files([("instruments", write(tables["instruments"], tmp_path / "i.csv")),
                                ("bars", write(changed, tmp_path / "b.csv"))], store=target)
    assert calls == ["instruments", "bars"]
    if new_store:
        assert not target.exists() and os.listdir(target.parent) == []
    else:
        assert_same_store(snapshot(work_store), before)


@settings(max_examples=10, deadline=None)
@given(data=st.data())
def test_styles_upsert_matches_a_reference(tables, base_store, tmp_path_factory, data):
    old = tables["styles"]
    rows = data.draw(st.lists(st.integers(0, len(old) - 1), min_size=1, max_size=30, unique=True))
    factors = data.draw(st.lists(st.sampled_from(ostrel.STYLE_FACTORS), min_size=1, max_size=10, unique=True))
    upload = old.iloc[rows][["order_book_id", "date"] + factors].copy()
    upload[factors] = data.draw(st.floats(-5, 5)) + np.add.outer(np.arange(len(upload)), np.arange(len(factors)) / 10)
    d = tmp_path_factory.mktemp("styles")
    path = d / "s.duckdb"
    path.write_bytes(base_store.read_bytes())
    report = importers.import_file("styles", write(upload, d / "s.parquet"), store=path)
    assert (report.rows, report.replaced, report.new) == (len(rows), len(rows), 0)

    expect = old.copy()
    expect.loc[expect.index[rows], list(ostrel.STYLE_FACTORS)] = np.nan
    expect.loc[expect.index[rows], factors] = upload[factors].to_numpy()
    expect["date"] = pd.to_datetime(expect["date"])
    got = snapshot(path)["styles"]
    got["date"] = pd.to_datetime(got["date"])
    key = ["order_book_id", "date"]
    pd.testing.assert_frame_equal(got.sort_values(key).reset_index(drop=True),
                                  expect.sort_values(key).reset_index(drop=True), check_dtype=False)


def test_reimporting_the_same_file_is_idempotent(work_store, exported):
    before = snapshot(work_store)
    r = importers.import_file("industry", exported / "industry_sws.parquet", store=work_store)
    assert r.table == "industry_sws" and r.replaced == r.rows
    assert_same_store(snapshot(work_store), before)


def test_new_data_is_visible_to_an_open_client_and_caches(tables, work_store, tmp_path):
    from zarnik.analysis import assayer

    ostrel.init(work_store)
    before = ostrel.get_price("600000.XSHG", "2021-01-04", "2021-01-04", fields="close", adjust_type="none")
    industries = assayer.get_all_industry_data("citics_2019")
    bars = tables["bars"]
    row = bars[(bars["order_book_id"] == "600000.XSHG") & (bars["date"] == pd.Timestamp("2021-01-04").date())]
    importers.import_file("bars", write(row.assign(close=row["close"] * 2), tmp_path / "b.csv"))  # configured store
    after = ostrel.get_price("600000.XSHG", "2021-01-04", "2021-01-04", fields="close", adjust_type="none")
    assert after["close"].iloc[0] == pytest.approx(2 * before["close"].iloc[0], rel=1e-15)

    recs = pd.DataFrame({"industry_name": ["新行业"], "order_book_id": ["600000.XSHG"], "start_date": ["2021-02-06"]})
    importers.import_file("industry", write(recs, tmp_path / "ind.csv"), source="citics_2019")
    now = assayer.get_all_industry_data("citics_2019")
    assert len(now) == len(industries) + 1 and "新行业" in set(now["first_industry_name"])


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_cli_bad_file_exit_code_and_stderr(tables, work_store, tmp_path, fmt):
    bars = as_text(tables["bars"])
    bars.loc[11, "high"] = "x"
    path = write(bars, tmp_path / "bad.{}".format(fmt))
    before = snapshot(work_store)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-m", "ostrel", "import", "bars", str(path), "--path", str(work_store),
                           "--quiet"], capture_output=True, text=True, env=env)
    assert proc.returncode == 2 and proc.stdout == ""
    assert "column 'high', row 12: expected a number, got 'x'" in proc.stderr
    assert_same_store(snapshot(work_store), before)


def test_own_calendar_with_a_saturday_session(tables, tmp_path):
    cal = pd.DataFrame({"date": ["2021-01-04", "2021-01-05", "2021-01-09"]})
    inst = tables["instruments"].iloc[:1]
    bar = tables["bars"].iloc[:1].assign(date="2021-01-09")
    new = tmp_path / "own.duckdb"
    importers.import_files([("bars", write(bar, tmp_path / "b.csv")), ("calendar", write(cal, tmp_path / "c.csv")),
                            ("instruments", write(inst, tmp_path / "i.parquet"))], store=new)
    ostrel.init(new)
    assert [d.strftime("%F") for d in ostrel.get_trading_dates("2021-01-01", "2021-01-31")] == list(cal["date"])
    assert ostrel.get_price(inst["order_book_id"].iloc[0], "2021-01-09", "2021-01-09") is not None
    # a wider calendar is answered at once by the open client
    wider = pd.concat([cal, pd.DataFrame({"date": ["2021-01-06"]})]).sort_values("date")
    importers.import_file("calendar", write(wider, tmp_path / "c1.csv"))
    assert [d.strftime("%F") for d in ostrel.get_trading_dates("2021-01-01", "2021-01-31")] == list(wider["date"])
    # a second calendar without that Saturday would strand the bar
    with pytest.raises(importers.InvalidImportFile, match=r"2021-01-09 \(1 rows\)"):
        importers.import_file("calendar", write(cal.iloc[:2], tmp_path / "c2.csv"), store=new)


def test_store_problems_are_reported(exported, work_store, tmp_path):
    inst = exported / "instruments.csv"
    junk = tmp_path / "junk.duckdb"
    junk.write_bytes(b"not a database")
    with pytest.raises(ValueError, match="is not a market-data store"):
        importers.import_file("instruments", inst, store=junk)
    assert junk.read_bytes() == b"not a database"
    part = tmp_path / "part.duckdb"
    duckdb.connect(str(part)).execute("CREATE TABLE calendar (date DATE)").close()
    with pytest.raises(ValueError, match=r"table\(s\) \['instruments', 'bars'"):
        importers.import_file("instruments", inst, store=part)
    other = duckdb.connect(str(work_store), read_only=True)  # a connection of the user's own
    try:
        with pytest.raises(importers.StoreBusy, match="open in this process"):
            importers.import_file("instruments", inst, store=work_store)
    finally:
        other.close()


@pytest.mark.parametrize("call, exc, message", [
    (lambda p: importers.import_file("quotes", p), ValueError, "unknown kind 'quotes'"),
    (lambda p: importers.import_file("bars", p, source="sws"), ValueError, "industry files only"),
    (lambda p: importers.import_file("industry", p, source="gics"), ValueError, "unknown industry source"),
    (lambda p: importers.import_file("bars", p.with_name("absent.csv")), FileNotFoundError, "no such file"),
    (lambda p: importers.import_files([]), ValueError, "nothing to import"),
])
def test_bad_arguments(exported, call, exc, message):
    with pytest.raises(exc, match=message):
        call(exported / "industry_sws.csv")


def test_ttl_caches_are_cleared_together():
    calls = []

    @decorators.ttl_cache(1000)
    def load(x):
        calls.append(x)
        return x

    load(1), load(1)
    decorators.clear_all()
    load(1)
    assert calls == [1, 1]

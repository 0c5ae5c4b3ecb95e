"""Industry loaders against a test double of the market-data client."""

from __future__ import annotations

import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ostrel
from zarnik.analysis import assayer

T = pd.Timestamp


class FakeClient:
    def __init__(self, tables: dict[str, list]):
        self.tables = tables
        self.queries: list[str] = []

    def execute(self, query: str):
        self.queries.append(query)
        return list(self.tables[query])


@pytest.fixture
def client(monkeypatch):
    """Installs a fake client and fresh caches around the loaders."""
    fake = FakeClient({"__internal__zx2019_industry": [], "__internal__shenwan_industry": []})
    monkeypatch.setattr(ostrel, "client", types.SimpleNamespace(get_client=lambda: fake), raising=False)
    monkeypatch.setattr(assayer, "get_all_industry_data", assayer.ttl_cache(10800)(assayer._fetch_industry_data))
    monkeypatch.setattr(
        assayer, "get_all_industry_category", assayer.ttl_cache(10800)(assayer._build_industry_category)
    )
    return fake


def test_constants():
    assert assayer.VALID_INDUSTRY_SOURCE == ("citics_2019", "sws")
    assert assayer.FIELD_MAPPING == {"citics_2019": "first_industry_name", "sws": "index_name"}


@pytest.mark.parametrize("fn", ["get_all_industry_data", "get_all_industry_category", "_load_industry_data"])
def test_invalid_source_never_contacts_client(client, fn):
    args = (["a"], [T("2020-01-02")]) if fn == "_load_industry_data" else ()
    with pytest.raises(ValueError) as err:
        getattr(assayer, fn)(*args, source="abc")
    assert str(err.value) == "source: invalid source=abc, expect one of [sws, citics_2019]"
    assert client.queries == []


def test_citics_table_sorted_with_original_row_labels(client):
    client.tables["__internal__zx2019_industry"] = [
        ("银行", "B", "2019-03-01"),
        ("电子", "A", "2020-01-06"),
        ("医药", "A", "2018-01-02"),
    ]
    df = assayer.get_all_industry_data("citics_2019")
    assert list(df.columns) == ["first_industry_name", "order_book_id", "start_date"]
    assert list(df.index) == [2, 1, 0]
    assert list(df["order_book_id"]) == ["A", "A", "B"]
    assert list(df["start_date"]) == [T("2018-01-02"), T("2020-01-06"), T("2019-03-01")]
    assert client.queries == ["__internal__zx2019_industry"]


@pytest.mark.parametrize(
    "start, version, kept",
    [
        ("2013-06-03", 1, True),
        ("2014-01-01", 1, True),  # the boundaries are strict comparisons
        ("2014-01-01", 2, False),
        ("2014-01-02", 2, True),
        ("2015-01-05", 1, False),
        ("2021-07-31", 2, True),
        ("2021-07-31", 3, False),
        ("2021-08-01", 3, True),
        ("2021-12-13", 2, False),
    ],
)
def test_sws_version_selection(client, start, version, kept):
    client.tables["__internal__shenwan_industry"] = [("X", "A", start, version)]
    df = assayer.get_all_industry_data("sws")
    assert list(df.columns) == ["index_name", "order_book_id", "start_date"]
    assert len(df) == int(kept)


def test_sws_history_of_one_instrument(client):
    client.tables["__internal__shenwan_industry"] = [
        ("v3", "A", "2021-12-13", 3),
        ("old15", "A", "2015-01-05", 1),
        ("new15", "A", "2015-01-05", 2),
        ("v1", "A", "2013-06-03", 1),
    ]
    df = assayer.get_all_industry_data("sws")
    assert list(df["index_name"]) == ["v1", "new15", "v3"]


def test_one_query_shared_by_both_loaders(client):
    client.tables["__internal__shenwan_industry"] = [("X", "A", "2015-01-05", 2), ("Y", "B", "2015-01-05", 2)]
    first = assayer.get_all_industry_category("sws")
    second = assayer.get_all_industry_category("sws")
    data = assayer.get_all_industry_data("sws")
    assert first is second
    assert data is assayer.get_all_industry_data("sws")
    assert client.queries == ["__internal__shenwan_industry"]
    # the category table works on a copy: the cached table keeps its names
    assert list(data["index_name"]) == ["X", "Y"]


def test_category_codes_in_name_order_and_filled(client):
    client.tables["__internal__zx2019_industry"] = [
        ("钢铁", "B", "2020-01-04"),  # a Saturday: kept in the code table
        ("电子", "A", "2020-01-02"),
        ("银行", "A", "2020-01-08"),
        ("医药", "C", "2020-01-08"),
        (None, "C", "2020-01-09"),
    ]
    names = sorted({"钢铁", "电子", "银行", "医药"})
    code = {n: i for i, n in enumerate(names)}
    cat = assayer.get_all_industry_category("citics_2019")
    assert list(cat.index) == [T("2020-01-02"), T("2020-01-04"), T("2020-01-08"), T("2020-01-09")]
    assert list(cat.columns) == ["A", "B", "C"]
    assert (cat.dtypes == np.int64).all()
    expected = pd.DataFrame(
        {
            "A": [code["电子"], code["电子"], code["银行"], code["银行"]],
            "B": [code["钢铁"]] * 4,
            "C": [code["医药"], code["医药"], code["医药"], -1],
        },
        index=cat.index,
    )
    np.testing.assert_array_equal(cat.to_numpy(), expected.to_numpy())


def test_duplicate_start_date_raises(client):
    client.tables["__internal__zx2019_industry"] = [("a", "A", "2020-01-02"), ("b", "A", "2020-01-02")]
    with pytest.raises(ValueError):
        assayer.get_all_industry_category()


def _records():
    return [
        ("电子", "A", "2020-01-02"),
        ("银行", "A", "2020-01-11"),  # Saturday: in force from Monday 2020-01-13
        ("医药", "B", "2020-01-08"),  # B's first record: earlier dates take it too
        ("钢铁", "B", "2020-01-15"),
    ]


@pytest.mark.parametrize(
    "date, expected",
    [
        ("2019-12-31", {"A": "电子", "B": "医药"}),  # before every record: first assignments
        ("2020-01-06", {"A": "电子", "B": "医药"}),
        ("2020-01-10", {"A": "电子", "B": "医药"}),
        ("2020-01-13", {"A": "银行", "B": "医药"}),  # the weekend change took effect
        ("2020-01-15", {"A": "银行", "B": "钢铁"}),  # a change on its own date
        ("2020-03-02", {"A": "银行", "B": "钢铁"}),  # after the last change
    ],
)
def test_industry_in_force(client, date, expected):
    client.tables["__internal__zx2019_industry"] = _records()
    s = assayer._load_industry_data(["B", "A", "Z"], [T(date)])
    got = {k[1]: v for k, v in s.items()}
    assert got == expected  # Z has no record: absent


def test_industry_series_shape_and_order(client):
    client.tables["__internal__zx2019_industry"] = _records()
    dates = pd.DatetimeIndex(["2020-01-13", "2020-01-06"], name="datetime")
    ids = pd.Index(["B", "A"], name="order_book_id")
    s = assayer._load_industry_data(ids, dates, "citics_2019")
    assert list(s.index) == [(T("2020-01-13"), "B"), (T("2020-01-13"), "A"), (T("2020-01-06"), "B"), (T("2020-01-06"), "A")]
    assert list(s.index.names) == ["datetime", "order_book_id"]
    assert list(s) == ["医药", "银行", "医药", "电子"]
    assert client.queries == ["__internal__zx2019_industry"]


def test_industry_without_records(client):
    s = assayer._load_industry_data(["A"], [T("2020-01-02")])
    assert len(s) == 0


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.sampled_from("abcd"), st.sampled_from("XYZ"), st.integers(0, 40)),
        min_size=1,
        max_size=15,
        unique_by=lambda r: (r[1], r[2]),
    ),
    st.lists(st.integers(-5, 50), min_size=1, max_size=8),
)
def test_industry_matches_as_of_reference(records, days):
    base = T("2020-01-01")
    fake = FakeClient({"__internal__zx2019_industry": [(n, i, base + pd.Timedelta(days=d)) for n, i, d in records]})
    dates = [base + pd.Timedelta(days=d) for d in days]
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ostrel, "client", types.SimpleNamespace(get_client=lambda: fake), raising=False)
        mp.setattr(assayer, "get_all_industry_data", assayer._fetch_industry_data)
        s = assayer._load_industry_data(["X", "Y", "Z", "W"], dates)
    expected = {}
    for d in dates:
        for inst in ["X", "Y", "Z", "W"]:
            mine = sorted((base + pd.Timedelta(days=day), n) for n, i, day in records if i == inst)
            if not mine:
                continue
            before = [n for start, n in mine if start <= d]
            expected[(d, inst)] = before[-1] if before else mine[0][1]
    got = {}
    for k, v in s.items():
        got[k] = v
    assert got == expected

"""Stores that cannot be used: other formats, damaged files, busy files, read-only locations.

Every case must give a clear ostrel error naming the file (in Python and from
``python -m ostrel info``, exit 2), and no DuckDB connection may install or load
an extension or reach the network.
"""

import os
import re
import shutil
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path

import duckdb
import numpy as np
import pytest

import ostrel
from ostrel import generate, importers, store
from ostrel.__main__ import main as cli_main

PYTHONPATH = str(Path(ostrel.__file__).resolve().parents[1])
BLOCK = 262144  # DuckDB's block size; blocks follow three 4 KiB headers


@pytest.fixture(scope="module")
def real_store(tmp_path_factory):
    path = tmp_path_factory.mktemp("real") / "real.duckdb"
    generate.generate(str(path), instruments=12, start="2021-01-01", end="2021-03-31", seed=5, progress=False)
    return path


@pytest.fixture(autouse=True)
def keep_ostrel_location():
    saved = store._state["path"]
    store.release()
    yield
    store.release()
    store._state["path"] = saved


def _holder(path: Path) -> subprocess.Popen:
    """Another process holding a write connection to ``path``."""
    proc = subprocess.Popen(
        [sys.executable, "-c", "import duckdb, sys, time; c = duckdb.connect(sys.argv[1]); "
                               "print('ready', flush=True); time.sleep(120)", str(path)],
        stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready"
    return proc


def _make(kind: str, real: Path, d: Path):
    """(path, error class, message pattern, holder process or None) for one kind of unusable store."""
    p = d / "store.duckdb"
    if kind == "sqlite":
        con = sqlite3.connect(p)
        con.execute("CREATE TABLE bars (order_book_id TEXT, close REAL)")
        con.commit()
        con.close()
        return p, store.NotAStore, r"a SQLite database", None
    if kind == "random bytes":
        p.write_bytes(np.random.default_rng(7).bytes(20000))
        return p, store.NotAStore, r"not a DuckDB database", None
    if kind == "empty file":
        p.write_bytes(b"")
        return p, store.NotAStore, r"empty", None
    if kind == "directory":
        p.mkdir()
        return p, store.NotAStore, r"a directory", None
    if kind == "other duckdb":
        duckdb.connect(str(p)).execute("CREATE TABLE calendar (date DATE)").close()
        return p, store.NotAStore, r"table\(s\) \['instruments', 'bars'", None
    data = real.read_bytes()
    if kind == "truncated":
        p.write_bytes(data[: len(data) // 2])
        return p, store.StoreDamaged, r"", None
    if kind == "bad checksums":
        b = bytearray(data)
        for start in range(3 * 4096, len(b), BLOCK):  # every block's stored checksum
            for i in range(start, start + 8):
                b[i] ^= 0x5A
        p.write_bytes(bytes(b))
        return p, store.StoreDamaged, r"checksum", None
    if kind == "busy":
        shutil.copyfile(real, p)
        return p, store.StoreBusy, r"in use by another process", _holder(p)
    raise AssertionError(kind)


KINDS = ["sqlite", "random bytes", "empty file", "directory", "other duckdb", "truncated", "bad checksums", "busy"]


@pytest.fixture(params=KINDS)
def bad_store(request, real_store, tmp_path):
    path, exc, pattern, holder = _make(request.param, real_store, tmp_path)
    before = path.read_bytes() if path.is_file() else None
    yield request.param, path, exc, pattern
    if holder is not None:
        holder.kill()
        holder.wait()
    if before is not None:
        assert path.read_bytes() == before, "the file was changed"


def _head(exc) -> str:
    return {store.NotAStore: "not an ostrel store: {}", store.StoreDamaged: "store {} is damaged: ",
            store.StoreBusy: "the store {} is in use by another process"}[exc]


def test_init_or_first_read_names_the_fault(bad_store):
    kind, path, exc, pattern = bad_store
    with pytest.raises(exc) as err:
        ostrel.init(path)
        store.verify()  # damage inside the data shows when it is read
    text = str(err.value)
    assert text.startswith(_head(exc).format(path)), text
    assert re.search(pattern, text), text
    assert isinstance(err.value, store.StoreError)


def test_info_prints_the_fault_and_exits_2(bad_store, tmp_path):
    kind, path, exc, pattern = bad_store
    home = tmp_path / "home"
    home.mkdir()
    env = dict(os.environ, PYTHONPATH=PYTHONPATH, HOME=str(home), XDG_DATA_HOME=str(home))
    env.pop("OSTREL_DATA", None)
    r = subprocess.run([sys.executable, "-m", "ostrel", "info", "--path", str(path)], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 2, r.stderr
    assert r.stderr.startswith("ostrel info: " + _head(exc).format(path)), r.stderr
    assert "Traceback" not in r.stderr
    assert r.stdout == ""
    # DuckDB keeps installed extensions under ~/.duckdb: nothing was fetched
    assert not (home / ".duckdb").exists()


def test_reading_a_damaged_store_is_not_blamed_on_a_field(real_store, tmp_path):
    from zarnik.engine import execute_factor
    from zarnik.leaves import Factor as Leaf

    path, exc, _, _ = _make("bad checksums", real_store, tmp_path)
    with pytest.raises(store.StoreDamaged, match="^store {} is damaged: ".format(path)):
        ostrel.init(path)
        execute_factor(Leaf("close"), ["000001.XSHE"], "2021-02-01", "2021-02-26")


def test_importer_refuses_unusable_stores(bad_store, real_store, tmp_path):
    kind, path, exc, pattern = bad_store
    src = tmp_path / "instruments.csv"
    duckdb.connect(str(real_store), read_only=True, config=dict(store.CONNECTION_CONFIG)).execute(
        "SELECT * FROM instruments").df().to_csv(src, index=False)
    if kind == "directory":
        exc = store.NotAStore
    with pytest.raises(exc):
        importers.import_file("instruments", src, store=path)


def test_connections_cannot_load_code_or_reach_files(small_store, monkeypatch, tmp_path):
    seen = []
    real_connect = duckdb.connect

    def spy(*args, **kwargs):
        seen.append(kwargs.get("config"))
        return real_connect(*args, **kwargs)

    monkeypatch.setattr(duckdb, "connect", spy)
    # every kind of connection: reading, generating, importing into a new and an existing store
    tables = generate.simulate(10, "2021-01-01", "2021-02-28", 1, progress=False)
    out = tmp_path / "g.duckdb"
    generate.write_store(tables, str(out))
    tables["instruments"].to_csv(tmp_path / "i.csv", index=False)
    importers.import_file("instruments", tmp_path / "i.csv", store=out)
    importers.import_file("instruments", tmp_path / "i.csv", store=tmp_path / "new.duckdb")
    ostrel.init(out)
    con = store.connection()
    assert len(seen) >= 4
    for cfg in seen:
        assert cfg is not None
        for name in ("autoinstall_known_extensions", "autoload_known_extensions", "enable_external_access",
                     "allow_community_extensions"):
            assert cfg[name] is False, (name, cfg)
    settings = dict(con.execute("SELECT name, value FROM duckdb_settings()").fetchall())
    assert settings["autoinstall_known_extensions"] == "false"
    assert settings["autoload_known_extensions"] == "false"
    assert settings["enable_external_access"] == "false"
    # SQL cannot switch them back on, install an extension or read other files
    for sql in ("SET autoload_known_extensions = true", "SET enable_external_access = true",
                "INSTALL sqlite", "LOAD sqlite",
                "SELECT * FROM read_csv('{}')".format(tmp_path / "i.csv"),
                "ATTACH '{}' AS other".format(tmp_path / "new.duckdb")):
        with pytest.raises(duckdb.Error):
            con.execute(sql)


# ---------------------------------------------------------------------------- read-only locations

_DROP = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner"]


def _run_unprivileged(code: str, tmp: Path) -> subprocess.CompletedProcess:
    """Runs ``code`` in a process that file permissions apply to, even when the tests run as root."""
    cmd = [sys.executable, "-c", textwrap.dedent(code)]
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("running as root without setpriv: file permissions cannot be enforced")
        cmd = _DROP + cmd
    env = dict(os.environ, PYTHONPATH=PYTHONPATH, HOME=str(tmp), XDG_DATA_HOME=str(tmp))
    env.pop("OSTREL_DATA", None)
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=300)
    probe = subprocess.run((_DROP if os.geteuid() == 0 else []) + [sys.executable, "-c",
                           "import os, sys; sys.exit(os.access(sys.argv[1], os.W_OK))", str(tmp / "ro")])
    if probe.returncode != 0:
        pytest.skip("file permissions are not enforced here")
    return r


@pytest.fixture()
def ro_dir(real_store, tmp_path):
    """A read-only directory holding a copy of the store (file itself writable)."""
    d = tmp_path / "ro"
    d.mkdir()
    shutil.copyfile(real_store, d / "store.duckdb")
    (d / "store.duckdb").chmod(0o666)
    d.chmod(0o555)
    yield d
    d.chmod(0o755)


@pytest.mark.parametrize("case", ["import into a new store", "import into a stored file", "generate",
                                  "import into a read-only file"])
def test_read_only_locations_are_refused_clearly(case, ro_dir, real_store, tmp_path):
    src = tmp_path / "instruments.csv"
    duckdb.connect(str(real_store), read_only=True, config=dict(store.CONNECTION_CONFIG)).execute(
        "SELECT * FROM instruments").df().to_csv(src, index=False)
    target = {"import into a new store": ro_dir / "new.duckdb", "import into a stored file": ro_dir / "store.duckdb",
              "generate": ro_dir / "gen.duckdb", "import into a read-only file": tmp_path / "locked.duckdb"}[case]
    if case == "import into a read-only file":
        shutil.copyfile(real_store, target)
        target.chmod(0o444)
    before = sorted(os.listdir(target.parent))
    content = target.read_bytes() if target.exists() else None
    if case == "generate":
        call = "generate.generate({!r}, instruments=10, start='2021-01-01', end='2021-02-28', progress=False)".format(
            str(target))
    else:
        call = "importers.import_file('instruments', {!r}, store={!r})".format(str(src), str(target))
    r = _run_unprivileged("""
        from ostrel import generate, importers, store
        try:
            {}
        except store.StoreNotWritable as e:
            print("refused:", e)
        """.format(call), tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("refused: cannot write the store {}: ".format(target)), r.stdout + r.stderr
    assert "read-only" in r.stdout
    assert sorted(os.listdir(target.parent)) == before  # no temporary file left behind
    if content is not None:
        assert target.read_bytes() == content


def test_a_store_in_a_read_only_directory_can_be_read(ro_dir, tmp_path):
    r = _run_unprivileged("""
        import sys
        from ostrel.__main__ import main
        sys.exit(main(["info", "--path", {!r}]))
        """.format(str(ro_dir / "store.duckdb")), tmp_path)
    assert r.returncode == 0, r.stderr
    assert "bars" in r.stdout and "rows" in r.stdout


def test_generate_cli_reports_a_read_only_directory(ro_dir, tmp_path):
    r = _run_unprivileged("""
        import sys
        from ostrel.__main__ import main
        sys.exit(main(["generate", "--out", {!r}, "--instruments", "10"]))
        """.format(str(ro_dir / "g.duckdb")), tmp_path)
    assert r.returncode == 2, r.stderr
    assert r.stderr.startswith("ostrel generate: cannot write the store "), r.stderr
    assert "Traceback" not in r.stderr

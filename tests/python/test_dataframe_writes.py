"""pandas DataFrame.to_sql and polars DataFrame.write_database through the
driver behave as they do with adbc-driver-sqlite on the same DataFrames: the
same calls succeed or fail, and leave the same rows, with and without a
schema-qualified name."""

import itertools

import pytest
from driver_helpers import demo_dbapi

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
adbc_sqlite = pytest.importorskip("adbc_driver_sqlite.dbapi")

_names = itertools.count()

FIRST = {"id": [1, 2, 3], "name": ["a", "b", None], "score": [1.5, None, 3.0]}
SECOND = {"id": [7, 8], "name": ["x", "y"], "score": [0.0, -1.0]}


@pytest.fixture
def zorvane(driver_path, devserver):
    with demo_dbapi(driver_path, devserver.url) as c:
        yield c


@pytest.fixture
def sqlite(tmp_path):
    c = adbc_sqlite.connect(str(tmp_path / "peer.db"), autocommit=True)
    yield c
    c.close()


def rows(conn, table):
    """The table's rows, or None when it does not exist."""
    try:
        with conn.cursor() as cur:
            cur.execute(f'SELECT id, name, score FROM "{table}" ORDER BY id')
            return [tuple(r) for r in cur.fetchall()]
    except Exception:  # the missing table surfaces at execute or at fetch, by driver
        return None


def outcome(write):
    """('ok', None) or ('error', exception class name)."""
    try:
        write()
        return ("ok", None)
    except Exception as exc:  # the peer's failure class is what must match
        return ("error", type(exc).__name__)


def pandas_write(conn, table, data, if_exists, schema):
    return lambda: pd.DataFrame(data).to_sql(table, conn, if_exists=if_exists, index=False, schema=schema)


def polars_write(conn, table, data, if_exists, schema):
    name = f"{schema}.{table}" if schema else table
    return lambda: pl.DataFrame(data).write_database(name, conn, if_table_exists=if_exists, engine="adbc")


@pytest.mark.parametrize("writer", [pandas_write, polars_write], ids=["pandas", "polars"])
@pytest.mark.parametrize("schema", [None, "main"])
@pytest.mark.parametrize("if_exists", ["fail", "replace", "append"])
@pytest.mark.parametrize("exists", [False, True], ids=["new", "existing"])
def test_writes_match_the_sqlite_driver(zorvane, sqlite, writer, schema, if_exists, exists):
    table = f"df_t{next(_names)}"
    results = {}
    for label, conn in (("zorvane", zorvane), ("sqlite", sqlite)):
        # The SQLite driver refuses adbc.ingest.target_db_schema outright (its
        # schemas are attached databases, which polars passes as the catalog);
        # pandas there is compared with the same write without the schema.
        peer_schema = None if label == "sqlite" and writer is pandas_write else schema
        if exists:
            assert outcome(writer(conn, table, FIRST, "fail", peer_schema)) == ("ok", None)
        result = outcome(writer(conn, table, SECOND, if_exists, peer_schema))
        results[label] = (result, rows(conn, table))
    assert results["zorvane"] == results["sqlite"]


def test_pandas_replace_twice_leaves_only_the_last_frame(zorvane):
    table = f"df_t{next(_names)}"
    for data in (FIRST, SECOND, SECOND):
        pd.DataFrame(data).to_sql(table, zorvane, if_exists="replace", index=False)
    assert rows(zorvane, table) == [(7, "x", 0.0), (8, "y", -1.0)]

"""pandas read_sql and polars read_database through the driver, with and
without parameters, give the frames adbc-driver-sqlite gives for the same
statement over the same rows."""

import adbc_driver_manager.dbapi
import pytest
from driver_helpers import demo_dbapi

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
adbc_sqlite = pytest.importorskip("adbc_driver_sqlite.dbapi")

ROWS = [(1, "a", 1.5), (2, "b", None), (3, None, 3.0)]
SQL = "SELECT id, name, score FROM read_t WHERE id >= ? ORDER BY id"


def _load(conn, create):
    with conn.cursor() as cur:
        cur.execute(create)
        cur.executemany("INSERT INTO read_t VALUES (?, ?, ?)", ROWS)
    conn.commit()


@pytest.fixture(scope="module")
def zorvane(driver_path, devserver):
    with demo_dbapi(driver_path, devserver.url) as c:
        _load(c, "CREATE OR REPLACE TABLE read_t (id BIGINT, name VARCHAR, score DOUBLE)")
        yield c


@pytest.fixture(scope="module")
def sqlite(tmp_path_factory):
    path = tmp_path_factory.mktemp("peer") / "peer.db"
    with adbc_sqlite.connect(str(path), autocommit=True) as c:
        _load(c, "CREATE TABLE read_t (id INTEGER, name TEXT, score REAL)")
        yield c


def pandas_read(conn, params):
    # pandas takes no parameters over ADBC: both drivers refuse alike.
    try:
        return pd.read_sql(SQL if params else SQL.replace("?", "1"), conn, params=params)
    except NotImplementedError as refused:
        return str(refused)


def polars_read(conn, params):
    options = {"parameters": params} if params else None
    return pl.read_database(SQL if params else SQL.replace("?", "1"), conn,
                            execute_options=options).to_pandas()


@pytest.mark.parametrize("reader", [pandas_read, polars_read], ids=["pandas", "polars"])
@pytest.mark.parametrize("params", [None, (2,)], ids=["plain", "parameters"])
def test_reads_match_the_sqlite_driver(zorvane, sqlite, reader, params):
    ours, theirs = reader(zorvane, params), reader(sqlite, params)
    if isinstance(theirs, str):
        assert ours == theirs
        return
    assert list(ours.columns) == ["id", "name", "score"]
    assert ours.astype(object).where(ours.notna(), None).values.tolist() == \
        theirs.astype(object).where(theirs.notna(), None).values.tolist()


def test_a_failing_read_reaches_the_caller_with_its_sqlstate(zorvane):
    with pytest.raises(pd.errors.DatabaseError) as raised:
        pd.read_sql("SELECT * FROM no_such_read_table", zorvane)
    assert isinstance(raised.value.__cause__, adbc_driver_manager.dbapi.ProgrammingError)
    assert raised.value.__cause__.sqlstate == "42S02"
    with pytest.raises(adbc_driver_manager.dbapi.ProgrammingError):
        pl.read_database("SELECT * FROM no_such_read_table", zorvane)

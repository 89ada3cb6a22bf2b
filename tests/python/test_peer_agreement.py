"""The same DB-API script against this driver and the SQLite ADBC driver
(PyPI): where ADBC defines the behaviour, both raise the same DB-API
exception classes and treat cancellation alike."""

import adbc_driver_manager.dbapi as dbapi
import pytest

sqlite_dbapi = pytest.importorskip("adbc_driver_sqlite.dbapi")


@pytest.fixture(params=["zorvane", "sqlite"])
def conn(request, driver_path, devserver):
    if request.param == "zorvane":
        c = dbapi.connect(driver=driver_path,
                          db_kwargs={"uri": devserver.url, "username": "demo",
                                     "password": "demo"})
    else:
        c = sqlite_dbapi.connect()
    with c.cursor() as cur:
        cur.execute("DROP TABLE IF EXISTS peer_t")
        cur.execute("CREATE TABLE peer_t (a INTEGER PRIMARY KEY, b VARCHAR)")
        cur.execute("INSERT INTO peer_t VALUES (1, 'one')")
    yield c
    c.close()


@pytest.mark.parametrize("sql, params, klass", [
    ("SELEC 1", None, dbapi.ProgrammingError),
    ("SELECT * FROM no_such_peer_table", None, dbapi.ProgrammingError),
    ("INSERT INTO no_such_peer_table VALUES (1)", None, dbapi.ProgrammingError),
    ("CREATE TABLE peer_t (a INTEGER)", None, dbapi.ProgrammingError),
    ("INSERT INTO peer_t VALUES (1, 'again')", None, dbapi.IntegrityError),
    ("SELECT ?, ?", (1,), dbapi.ProgrammingError),
    ("SELECT ?", (1, 2), dbapi.ProgrammingError),
])
def test_failures_raise_the_same_exception_class(conn, sql, params, klass):
    with conn.cursor() as cur:
        with pytest.raises(klass):
            cur.execute(sql, params)
            cur.fetchall()
    # Nothing of the failed statement took effect. (A fresh cursor: SQLite's
    # keeps a refused parameter set bound.)
    with conn.cursor() as cur:
        cur.execute("SELECT count(*) FROM peer_t")
        assert cur.fetchone() == (1,)


def test_parameters_and_executemany_agree(conn):
    with conn.cursor() as cur:
        cur.executemany("INSERT INTO peer_t VALUES (?, ?)",
                        [(2, "it's"), (3, "-- not a comment"), (4, None)])
        assert cur.rowcount == 3
        cur.execute("SELECT b FROM peer_t WHERE a >= ? ORDER BY a", (2,))
        assert cur.fetchall() == [("it's",), ("-- not a comment",), (None,)]


def test_cancelling_an_idle_cursor_is_harmless(conn):
    # ADBC leaves cancel optional: a driver either does nothing for an idle
    # statement or says it does not support cancelling; either way the
    # cursor keeps working.
    with conn.cursor() as cur:
        try:
            cur.adbc_cancel()
        except dbapi.NotSupportedError:
            pass
        cur.execute("SELECT 1")
        assert cur.fetchall() == [(1,)]

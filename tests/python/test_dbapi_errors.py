"""Failures as a DB-API host meets them: raised by execute itself, with the
server's SQLSTATE and the exception class that says what kind of failure it
was."""

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
import pytest
from driver_helpers import connected


def dbapi_connect(driver_path, uri, **db_kwargs):
    return dbapi.connect(driver=driver_path,
                         db_kwargs={"uri": uri, "username": "demo", "password": "demo",
                                    **db_kwargs})


@pytest.fixture(scope="module")
def conn(driver_path, devserver):
    with dbapi_connect(driver_path, devserver.url) as c:
        with c.cursor() as cur:
            cur.execute("CREATE OR REPLACE TABLE err_t (a INTEGER PRIMARY KEY)")
            cur.execute("INSERT INTO err_t VALUES (1)")
        yield c


@pytest.mark.parametrize("sql, klass, status, sqlstate, text", [
    ("SELEC 1", dbapi.ProgrammingError, dm.AdbcStatusCode.INVALID_ARGUMENT, "42000",
     "syntax error"),
    ("SELECT * FROM no_such_table", dbapi.ProgrammingError, dm.AdbcStatusCode.NOT_FOUND,
     "42S02", "no_such_table"),
    ("INSERT INTO no_such_table VALUES (1)", dbapi.ProgrammingError,
     dm.AdbcStatusCode.NOT_FOUND, "42S02", "no_such_table"),
    ("CREATE TABLE err_t (a INTEGER)", dbapi.ProgrammingError,
     dm.AdbcStatusCode.ALREADY_EXISTS, "42S01", "already exists"),
    ("SELECT no_such_column FROM err_t", dbapi.ProgrammingError, dm.AdbcStatusCode.NOT_FOUND,
     "42S22", "no_such_column"),
    ("INSERT INTO err_t VALUES ('x')", dbapi.DataError, dm.AdbcStatusCode.INVALID_DATA,
     "22018", "Could not convert"),
    ("INSERT INTO err_t VALUES (1)", dbapi.IntegrityError, dm.AdbcStatusCode.INTEGRITY,
     "23000", "primary key"),
])
def test_execute_raises_the_servers_failure(conn, sql, klass, status, sqlstate, text):
    with conn.cursor() as cur:
        with pytest.raises(klass) as raised:
            cur.execute(sql)
        assert raised.value.status_code == status
        assert raised.value.sqlstate == sqlstate
        assert text in str(raised.value)
        # The cursor stays usable after a failure.
        cur.execute("SELECT count(*) FROM err_t")
        assert cur.fetchone() == (1,)


def test_execute_update_reports_failed_dml_and_ddl(driver_path, devserver):
    with connected(driver_path, devserver.url, username="demo", password="demo") as conn:
        with dm.AdbcStatement(conn) as stmt:
            stmt.set_sql_query("DROP TABLE no_such_table_either")
            with pytest.raises(dm.ProgrammingError) as raised:
                stmt.execute_update()
            assert raised.value.sqlstate == "42S02"


def test_http_error_before_any_batch_is_raised_by_execute(conn, devserver):
    devserver.set_fault("http_status", endpoint="query", status=503,
                        body='{"message": "node is draining", "sqlstate": "08006"}', times=1)
    with conn.cursor() as cur:
        with pytest.raises(dbapi.OperationalError) as raised:
            cur.execute("SELECT 1")
        assert raised.value.sqlstate == "08006"
        assert "node is draining" in str(raised.value)


def _details(exc):
    return {k.decode() if isinstance(k, bytes) else k: v for k, v in exc.details}


def test_error_frame_after_batches_reaches_the_reader_with_its_state(driver_path, devserver):
    devserver.set_fault("error_frame", endpoint="query", after_batches=1,
                        message="disk quota exceeded", sqlstate="53100", times=1)
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.max_stream_buffer_mb": "16"}) as conn:
        with conn.cursor() as cur:
            cur.execute("SELECT range AS v, 'row-' || range::VARCHAR AS s FROM range(3000000)")
            with pytest.raises(dbapi.OperationalError) as raised:
                cur.fetch_arrow_table()
    assert raised.value.sqlstate == "53100"
    assert "disk quota exceeded" in str(raised.value)
    details = _details(raised.value)
    assert details["adbc.zorvane.sqlstate"] == b"53100"
    assert b"disk quota exceeded" in details["adbc.zorvane.message"]


def test_server_failure_mid_stream_carries_the_servers_error_code(conn):
    # DuckDB fails on the last row, long after the first batches went out.
    sql = ("SELECT range AS v, CASE WHEN range = 2999999 THEN error('row went bad') "
           "ELSE 'ok' END AS s FROM range(3000000)")
    with conn.cursor() as cur:
        with pytest.raises(dbapi.Error) as raised:
            cur.execute(sql)
            cur.fetch_arrow_table()
    assert not isinstance(raised.value, dbapi.InterfaceError)
    assert "row went bad" in str(raised.value)
    details = _details(raised.value)
    assert details["adbc.zorvane.error_code"]
    assert details["adbc.zorvane.sqlstate"] == raised.value.sqlstate.encode()


@pytest.mark.parametrize("uri", ["http://127.0.0.1:9", "http://nosuch.invalid:80"])
def test_unreachable_hosts_report_08001(driver_path, uri):
    with pytest.raises(dbapi.OperationalError) as raised:
        dbapi_connect(driver_path, uri, **{"adbc.zorvane.connect_timeout_sec": "5"})
    assert raised.value.sqlstate == "08001"


def test_unknown_statement_option_names_the_key(conn):
    with conn.cursor() as cur:
        with pytest.raises(dbapi.NotSupportedError, match="unknown key: zv.no.such.option"):
            cur.adbc_statement.set_options(**{"zv.no.such.option": "1"})

"""The ADBC 1.1 surface through the driver manager (which loads the driver as
1.1.0): GetInfo's version, option round trips of all three handles, result
and parameter schemas, statistics, time-outs; and a host that can only load
the driver as 1.0.0 (through a shim) keeps the 1.0.0 behaviour."""

import os
import socket
import subprocess
import sys
import textwrap
import threading

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
import pyarrow as pa
import pytest


def dbapi_connect(driver_path, uri, **db_kwargs):
    return dbapi.connect(driver=driver_path,
                         db_kwargs={"uri": uri, "username": "demo", "password": "demo",
                                    **db_kwargs})


@pytest.fixture(scope="module")
def conn(driver_path, devserver):
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.application_name": "reader",
                          "adbc.zorvane.connect_timeout_sec": "7"}) as c:
        yield c


def test_get_info_reports_the_version_the_host_loaded(conn):
    assert conn.adbc_get_info()["driver_adbc_version"] == 1001000


@pytest.mark.parametrize("key, expected", [
    ("username", "demo"),
    ("adbc.zorvane.application_name", "reader"),
    ("adbc.zorvane.connect_timeout_sec", "7"),
])
def test_database_options_read_back(conn, key, expected):
    assert conn.adbc_database.get_option(key) == expected


def test_database_uri_and_integer_options_read_back(conn, devserver):
    assert conn.adbc_database.get_option("uri") == devserver.url
    assert conn.adbc_database.get_option_int("adbc.zorvane.connect_timeout_sec") == 7


@pytest.mark.parametrize("key", ["password", "adbc.zorvane.session_token",
                                 "adbc.zorvane.proxy_pass"])
def test_secrets_are_never_read_back(conn, key):
    with pytest.raises(dm.ProgrammingError) as raised:
        conn.adbc_database.get_option(key)
    assert raised.value.status_code == dm.AdbcStatusCode.NOT_FOUND
    assert "secret" in str(raised.value)
    assert "demo" not in str(raised.value)


@pytest.mark.parametrize("key, value, expected", [
    ("adbc.zorvane.query_timeout_sec", "45", "45"),
    ("adbc.zorvane.batch_size_hint", "1000", "1000"),
    ("adbc.connection.read_only", "true", "true"),
    ("adbc.connection.autocommit", "true", "true"),
])
def test_connection_options_round_trip(driver_path, devserver, key, value, expected):
    with dbapi_connect(driver_path, devserver.url) as c:
        c.adbc_connection.set_options(**{key: value})
        assert c.adbc_connection.get_option(key) == expected


def test_current_catalog_and_schema_come_from_the_service(conn):
    assert conn.adbc_current_catalog == "zorvane"
    assert conn.adbc_current_db_schema == "main"
    for key in ("adbc.connection.catalog", "adbc.connection.db_schema"):
        with pytest.raises(dbapi.NotSupportedError, match="session of its own"):
            conn.adbc_connection.set_options(**{key: "other"})


@pytest.mark.parametrize("key, value, expected", [
    ("adbc.ingest.target_table", "sales.t", "sales.t"),
    ("zv.ingest.mode", "upsert", "upsert"),
    ("zv.ingest.key_columns", " a, b ,", "a,b"),
    ("zv.ingest.payload_format", "parquet", "parquet"),
    ("adbc.zorvane.query_timeout_sec", "9", "9"),
    ("adbc.ingest.mode", "adbc.ingest.mode.create", "adbc.ingest.mode.create"),
    ("adbc.ingest.mode", "adbc.ingest.mode.create_append", "adbc.ingest.mode.create_append"),
    ("adbc.ingest.mode", "adbc.ingest.mode.replace", "adbc.ingest.mode.replace"),
    ("adbc.ingest.mode", "adbc.ingest.mode.append", "adbc.ingest.mode.append"),
    ("adbc.ingest.target_catalog", "zorvane", "zorvane"),
    ("adbc.ingest.target_db_schema", "sales", "sales"),
])
def test_statement_options_round_trip(conn, key, value, expected):
    with conn.cursor() as cur:
        cur.adbc_statement.set_options(**{key: value})
        assert cur.adbc_statement.get_option(key) == expected


def test_typed_getters_and_setters(conn):
    with conn.cursor() as cur:
        stmt = cur.adbc_statement
        stmt.set_options(**{"adbc.zorvane.query_timeout_sec": 11})
        assert stmt.get_option_int("adbc.zorvane.query_timeout_sec") == 11
        assert stmt.get_option_float("adbc.zorvane.query_timeout_sec") == 11.0
        assert stmt.get_option_bytes("adbc.zorvane.query_timeout_sec") == b"11"
        with pytest.raises(dm.ProgrammingError):
            stmt.get_option_int("zv.ingest.mode")
        with pytest.raises(dm.ProgrammingError) as raised:
            stmt.get_option("no.such.option")
        assert raised.value.status_code == dm.AdbcStatusCode.NOT_FOUND


@pytest.mark.parametrize("sql, names", [
    ("SELECT 1::INTEGER AS a, 'x' AS b", ["a", "b"]),
    ("SELECT table_name, table_type FROM information_schema.tables", ["table_name",
                                                                      "table_type"]),
    ("SELECT ?::BIGINT AS p, 2 AS q;", ["p", "q"]),
    ("-- a note first\n/* and a block */ (SELECT 1 AS r)", ["r"]),
])
def test_execute_schema_without_running_the_query(conn, devserver, sql, names):
    with conn.cursor() as cur:
        schema = cur.adbc_execute_schema(sql)
    assert schema.names == names


def test_execute_schema_is_for_queries_only(conn):
    with conn.cursor() as cur:
        with pytest.raises(dbapi.NotSupportedError):
            cur.adbc_execute_schema("DROP TABLE anything")


def test_parameter_schema_has_one_field_per_placeholder(conn):
    with conn.cursor() as cur:
        stmt = cur.adbc_statement
        stmt.set_sql_query("SELECT '?' AS a WHERE ? > ? -- ?")
        schema = pa.schema(stmt.get_parameter_schema())
    assert schema.names == ["0", "1"]
    assert all(f.type == pa.null() for f in schema)


def test_statistics_are_not_offered(conn):
    with pytest.raises(dbapi.NotSupportedError):
        conn.adbc_connection.get_statistic_names()


def test_statement_query_timeout_overrides_the_connection(conn, devserver):
    devserver.set_fault("delay", endpoint="query", seconds=5, times=1)
    try:
        with conn.cursor() as cur:
            cur.adbc_statement.set_options(**{"adbc.zorvane.query_timeout_sec": "1"})
            with pytest.raises(dbapi.OperationalError) as raised:
                cur.execute("SELECT 42")
        assert raised.value.status_code == dm.AdbcStatusCode.TIMEOUT
        assert raised.value.sqlstate == "HYT00"
        assert "Query exceeded timeout of 1 seconds" in str(raised.value)
    finally:
        devserver.clear_faults()


def test_connect_timeout_bounds_a_control_plane_that_never_answers(driver_path):
    # Accepts connections and never says a word.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    port = listener.getsockname()[1]
    accepted = []
    stop = threading.Event()

    def accept():
        listener.settimeout(0.2)
        while not stop.is_set():
            try:
                accepted.append(listener.accept()[0])
            except OSError:
                pass

    thread = threading.Thread(target=accept)
    thread.start()
    try:
        script = textwrap.dedent(f"""
            import adbc_driver_manager.dbapi as dbapi
            try:
                dbapi.connect(driver={driver_path!r}, db_kwargs={{
                    "uri": "http://127.0.0.1:{port}", "username": "u", "password": "p",
                    "adbc.zorvane.connect_timeout_sec": "2"}})
            except dbapi.Error as exc:
                print("ERROR", exc.sqlstate, exc)
        """)
        # Without the bound the login would wait for its 30 s default.
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=20).stdout
    finally:
        stop.set()
        thread.join()
        for s in accepted:
            s.close()
        listener.close()
    assert out.startswith("ERROR HYT00"), out
    assert accepted


SHIM = "libzv_adbc_v100_shim.so"


@pytest.fixture(scope="module")
def shim_path(build_dir):
    path = build_dir / "tests" / "cpp" / SHIM
    if not path.exists():
        pytest.fail(f"shim not built: {path}")
    return str(path)


def test_a_one_zero_host_sees_the_one_zero_driver(shim_path, devserver):
    with dbapi_connect(shim_path, devserver.url) as c:
        assert c.adbc_get_info()["driver_adbc_version"] == 1000000
        with pytest.raises(dm.Error, match="not implemented"):
            c.adbc_connection.get_option("adbc.connection.autocommit")
        with c.cursor() as cur:
            # What 1.0 already offers keeps working: queries, parameters and
            # failures raised by execute.
            cur.execute("SELECT ? + 1 AS v", (41,))
            assert cur.fetchall() == [(42,)]
            with pytest.raises(dbapi.ProgrammingError) as raised:
                cur.execute("SELECT * FROM no_such_table")
            assert raised.value.sqlstate == "42S02"
            assert raised.value.vendor_code == dm.AdbcStatusCode.NOT_FOUND


def test_one_zero_host_passes_the_query_tests(shim_path):
    # The existing query tests, run by a host that loads the driver as 1.0.0.
    env = dict(os.environ, ZV_ADBC_DRIVER=shim_path)
    here = os.path.dirname(__file__)
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          os.path.join(here, "test_queries.py"),
                          "-k", "not get_info and not stress"],
                         env=env, capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stdout[-3000:]

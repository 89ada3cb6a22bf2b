"""Queries on compute through the real driver manager: results compared with
DuckDB's own answer, empty and failing results, time-outs, stalls, early
release, concurrency, and a bounded stress run."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi
import duckdb
import pyarrow as pa
import pytest
from driver_helpers import connected, open_connection

# Several column types, deterministic, computed the same way by the server
# (DuckDB) and by the local DuckDB used as the reference.
WIDE_SQL = ("SELECT range AS id, range * 1.5 AS ratio, 'row-' || range::VARCHAR AS label, "
            "(range % 7 = 0) AS flag, DATE '2024-01-01' + (range % 365)::INTEGER AS day, "
            "CASE WHEN range % 5 = 0 THEN NULL ELSE range % 1000 END AS maybe "
            "FROM range({n}) ORDER BY id")


def dbapi_connect(driver_path, uri, **db_kwargs):
    return adbc_driver_manager.dbapi.connect(
        driver=driver_path, db_kwargs={"uri": uri, "username": "demo", "password": "demo",
                                       **db_kwargs})


def fetch(conn, sql):
    with conn.cursor() as cur:
        cur.execute(sql)
        return cur.fetch_arrow_table()


def test_many_batches_match_duckdbs_own_answer(driver_path, devserver):
    sql = WIDE_SQL.format(n=300_000)
    # A small stream buffer makes the server cut the result into many batches.
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.max_stream_buffer_mb": "16"}) as conn:
        with conn.cursor() as cur:
            cur.execute(sql)
            reader = cur.fetch_record_batch()
            batches = list(reader)
    assert len(batches) > 1
    got = pa.Table.from_batches(batches)
    expected = duckdb.sql(sql).arrow()
    if isinstance(expected, pa.RecordBatchReader):
        expected = expected.read_all()
    assert got.schema.names == expected.schema.names
    assert got.equals(expected.cast(got.schema)), "result differs from DuckDB's answer"


def test_zero_rows_keep_their_schema_and_ddl_has_no_result(driver_path, devserver):
    with dbapi_connect(driver_path, devserver.url) as conn:
        empty = fetch(conn, "SELECT 1::INTEGER AS a, 'x' AS b WHERE false")
        assert empty.num_rows == 0
        assert empty.schema.names == ["a", "b"]
        assert empty.schema.field("a").type == pa.int32()
        with conn.cursor() as cur:
            cur.execute("CREATE OR REPLACE TABLE q_ddl AS SELECT * FROM range(10)")
            cur.execute("SELECT count(*) AS n FROM q_ddl")
            assert cur.fetchone() == (10,)


def test_dml_without_a_result_stream_reports_rows_affected(driver_path, devserver):
    with connected(driver_path, devserver.url, username="demo", password="demo") as conn:
        with dm.AdbcStatement(conn) as stmt:
            stmt.set_sql_query("CREATE OR REPLACE TABLE q_dml (a INTEGER)")
            stmt.execute_update()
            stmt.set_sql_query("INSERT INTO q_dml SELECT * FROM range(25)")
            assert stmt.execute_update() == 25


def test_server_error_after_some_batches_reaches_the_reader(driver_path, devserver):
    devserver.set_fault("error_frame", endpoint="query", after_batches=2,
                        message="disk quota exceeded", sqlstate="53100", times=1)
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.max_stream_buffer_mb": "16"}) as conn:
        with conn.cursor() as cur:
            cur.execute(WIDE_SQL.format(n=300_000))
            reader = cur.fetch_record_batch()
            got = []
            with pytest.raises(Exception, match="compute reported error: disk quota exceeded"):
                for batch in reader:
                    got.append(batch)
            # An error overtakes batches still queued, so the reader sees at
            # most the two sent before it, depending on how fast it read.
            assert len(got) <= 2


def test_sql_errors_and_http_errors_are_clear(driver_path, devserver):
    with dbapi_connect(driver_path, devserver.url) as conn:
        with pytest.raises(Exception, match="no_such_table"):
            fetch(conn, "SELECT * FROM no_such_table")
        devserver.set_fault("http_status", endpoint="query", status=503,
                            body="<html>maintenance</html>", content_type="text/html", times=1)
        with pytest.raises(Exception, match="compute returned HTTP 503: <html>maintenance</html>"):
            fetch(conn, "SELECT 1")
        devserver.set_fault("truncate", endpoint="query", after_batches=0, times=1)
        with pytest.raises(Exception, match="stream ended mid-frame"):
            fetch(conn, "SELECT 1")


def test_query_timeout_stops_a_slow_query(driver_path, devserver):
    devserver.set_fault("delay", endpoint="query", seconds=5, times=1)
    with dbapi_connect(driver_path, devserver.url) as conn:
        conn.adbc_connection.set_options(**{"adbc.zorvane.query_timeout_sec": "1"})
        started = time.monotonic()
        with pytest.raises(Exception, match="Query exceeded timeout of 1 seconds"):
            fetch(conn, "SELECT 42")
        assert time.monotonic() - started < 4.5


def test_stalled_stream_is_detected(driver_path, devserver):
    devserver.set_fault("stall", endpoint="query", seconds=30, after_batches=1, times=1)
    # The stall bound is read once per process: run the client in its own.
    script = textwrap.dedent(f"""
        import adbc_driver_manager.dbapi as dbapi
        conn = dbapi.connect(driver={driver_path!r}, db_kwargs={{"uri": {devserver.url!r},
            "username": "demo", "password": "demo", "adbc.zorvane.max_stream_buffer_mb": "16"}})
        cur = conn.cursor()
        cur.execute({WIDE_SQL.format(n=300_000)!r})
        try:
            cur.fetch_arrow_table()
            print("NO ERROR")
        except Exception as exc:
            print("ERROR", exc)
    """)
    env = dict(os.environ, ZV_STREAM_STALL_SEC="2")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         timeout=60).stdout
    assert "stream stalled (no data for 2s)" in out, out


def test_releasing_a_stream_early_stops_the_transfer(driver_path, devserver):
    before = devserver.counters()["client_disconnects"]
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.max_stream_buffer_mb": "16"}) as conn:
        with conn.cursor() as cur:
            cur.execute(WIDE_SQL.format(n=3_000_000))
            reader = cur.fetch_record_batch()
            next(iter(reader))
            started = time.monotonic()
            reader.close()
            assert time.monotonic() - started < 5
    deadline = time.monotonic() + 10
    while devserver.counters()["client_disconnects"] == before and time.monotonic() < deadline:
        time.sleep(0.1)
    assert devserver.counters()["client_disconnects"] > before


def test_two_statements_stream_at_once_on_one_connection(driver_path, devserver):
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.max_stream_buffer_mb": "16"}) as conn:
        a = conn.cursor()
        b = conn.cursor()
        a.execute("SELECT range AS v FROM range(200000)")
        b.execute("SELECT range * 2 AS v FROM range(200000)")
        ra, rb = a.fetch_record_batch(), b.fetch_record_batch()
        total_a = total_b = 0
        for batch_a, batch_b in zip(ra, rb):
            total_a += pa.compute.sum(batch_a.column(0)).as_py()
            total_b += pa.compute.sum(batch_b.column(0)).as_py()
        total_a += sum(pa.compute.sum(x.column(0)).as_py() for x in ra)
        total_b += sum(pa.compute.sum(x.column(0)).as_py() for x in rb)
        n = 200000
        assert total_a == n * (n - 1) // 2
        assert total_b == n * (n - 1)
        a.close()
        b.close()


def test_releasing_the_connection_under_an_open_stream_ends_it_cleanly(driver_path, devserver):
    db, conn = open_connection(driver_path, devserver.url, username="demo", password="demo",
                               **{"adbc.zorvane.max_stream_buffer_mb": "16"})
    stmt = dm.AdbcStatement(conn)
    stmt.set_sql_query(WIDE_SQL.format(n=3_000_000))
    handle, _ = stmt.execute_query()
    reader = pa.RecordBatchReader._import_from_c(handle.address)
    reader.read_next_batch()
    stmt.close()
    conn.close()
    db.close()
    with pytest.raises(Exception, match="connection was released"):
        for _ in reader:
            pass
    reader.close()


def test_sql_is_scrubbed_in_the_log_and_traced(driver_path, devserver, tmp_path):
    log, trace = tmp_path / "engine.log", tmp_path / "sql.trace"
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.api_trace_path": str(log),
                          "adbc.zorvane.log_path": str(trace),
                          "adbc.zorvane.log_level": "info"}) as conn:
        fetch(conn, "SELECT 'Server=x;Pwd=hunter2;' AS conn_string")
    text = log.read_text()
    assert "hunter2" not in text
    assert "Pwd=[REDACTED];" in text
    assert "AdbcStatementExecuteQuery -> SELECT 'Server=x;Pwd=[REDACTED];' AS conn_string" \
        in trace.read_text()


def test_multi_statement_notice_goes_to_standard_error_once(driver_path, devserver):
    script = textwrap.dedent(f"""
        import adbc_driver_manager.dbapi as dbapi
        conn = dbapi.connect(driver={driver_path!r}, db_kwargs={{"uri": {devserver.url!r},
            "username": "demo", "password": "demo"}})
        cur = conn.cursor()
        cur.execute("SELECT 1 AS a; SELECT 2 AS b; SELECT 3 AS c")
        print(cur.fetchall())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert "[(1,)]" in run.stdout
    assert run.stderr.count("zor-vane-odbc: multi-statement script returned 3 result sets") == 1


def _fd_and_thread_counts():
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


def test_stress_many_connections_and_queries_leave_nothing_behind(driver_path, devserver):
    # One connection first: the process-wide catalog poller starts with it and
    # rightly stays, so it belongs to the baseline.
    with dbapi_connect(driver_path, devserver.url) as conn:
        fetch(conn, "SELECT 1")
    time.sleep(0.2)
    fds_before, tasks_before = _fd_and_thread_counts()
    errors, results = [], []
    deadline = time.monotonic() + 8

    def worker(seed):
        try:
            while time.monotonic() < deadline:
                with dbapi_connect(driver_path, devserver.url) as conn:
                    for i in range(3):
                        n = 1000 + (seed * 7919 + i * 104729) % 20000
                        table = fetch(conn, f"SELECT range AS v FROM range({n})")
                        results.append((n, table.num_rows,
                                        pa.compute.sum(table.column(0)).as_py()))
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(repr(exc))

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors, errors[:3]
    assert len(results) >= 20
    for n, rows, total in results:
        assert rows == n and total == n * (n - 1) // 2
    # Worker threads are joined and sockets closed once everything is released.
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and _fd_and_thread_counts() != (fds_before, tasks_before):
        time.sleep(0.1)
    assert _fd_and_thread_counts() == (fds_before, tasks_before)


def test_information_schema_selects_are_answered_locally(driver_path, devserver, tmp_path):
    log, trace = tmp_path / "engine.log", tmp_path / "sql.trace"
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.api_trace_path": str(log),
                          "adbc.zorvane.log_path": str(trace),
                          "adbc.zorvane.log_level": "debug"}) as conn:
        devserver.reset_counters()
        local_sql = ("SELECT table_name, table_type FROM information_schema.tables "
                     "WHERE table_schema = 'sales' ORDER BY table_name")
        local = fetch(conn, local_sql)
        assert devserver.counters()["requests"].get("query") is None
        assert ("MetadataEngine(cache hit) -> " + local_sql) in trace.read_text()
        # The same question in a shape the engine declines (HAVING) is asked
        # of compute, and the answers agree.
        remote = fetch(conn, "SELECT table_name, table_type FROM information_schema.tables "
                             "WHERE table_schema = 'sales' GROUP BY table_name, table_type "
                             "HAVING count(*) > 0 ORDER BY table_name")
        assert devserver.counters()["requests"].get("query") == 1
        assert local.to_pylist() == remote.to_pylist()
        assert "order_totals" in local.column("table_name").to_pylist()
        # What the engine declines goes to compute, with the reason in the log.
        # A function the engine does not offer sends the statement to compute.
        counted = fetch(conn, "SELECT count(*) AS n FROM information_schema.tables "
                              "WHERE regexp_matches(table_name, '.')")
        assert counted.column("n").to_pylist()[0] >= 5
        assert devserver.counters()["requests"].get("query") == 2
    assert "routing to compute (reason=" in log.read_text()


def test_get_info_and_table_types_through_the_driver_manager(driver_path, devserver):
    with dbapi_connect(driver_path, devserver.url) as conn:
        info = conn.adbc_get_info()
        assert info["vendor_name"] == "Zorvane"
        assert info["driver_name"] == "Zorvane ADBC"
        assert info["driver_adbc_version"] == 1001000  # loaded as ADBC 1.1.0
        assert info["driver_arrow_version"] == pa.__version__
        assert conn.adbc_get_table_types() == ["BASE TABLE", "VIEW"]


def test_table_schema_from_the_snapshot_and_from_compute(driver_path, devserver, tmp_path):
    log, trace = tmp_path / "engine.log", tmp_path / "sql.trace"
    with dbapi_connect(driver_path, devserver.url,
                       **{"adbc.zorvane.api_trace_path": str(log),
                          "adbc.zorvane.log_path": str(trace),
                          "adbc.zorvane.log_level": "debug"}) as conn:
        devserver.reset_counters()
        orders = conn.adbc_get_table_schema("ORDERS", db_schema_filter="sales")
        assert orders.names[0] == "order_id"
        assert orders.field("order_id").type == pa.int32()
        assert devserver.counters()["requests"].get("query") is None
        # The schema of an empty result of the table, with the catalog's nullability.
        with conn.cursor() as cur:
            cur.execute("SELECT * FROM sales.orders LIMIT 0")
            result = cur.fetch_arrow_table().schema
        assert [(f.name, f.type) for f in orders] == [(f.name, f.type) for f in result]
        assert not orders.field("order_id").nullable
        # A table this connection creates is in its reloaded snapshot; one
        # the snapshot does not know is asked of compute, with its name quoted.
        with conn.cursor() as cur:
            cur.execute('CREATE OR REPLACE TABLE "odd""name" AS SELECT 1::BIGINT AS x, '
                        "'a' AS y")
        odd = conn.adbc_get_table_schema('odd"name')
        assert odd.names == ["x", "y"]
        assert odd.field("x").type == pa.int64()
        with pytest.raises(dm.Error) as raised:
            conn.adbc_get_table_schema("no_such_table_anywhere")
        assert "no_such_table_anywhere" in str(raised.value)
    text = log.read_text()
    assert 'GetTableSchema served from snapshot for "".\"sales\".\"ORDERS\" (columns=4)' in text
    assert "catalog moved (epoch " in text and "fetched snapshot installed" in text
    assert 'GetTableSchema served from snapshot for "".""."odd"name" (columns=2)' in text
    assert ('AdbcConnectionGetTableSchema(LIMIT 0 fallback) -> SELECT * FROM "no_such_table_anywhere" '
            "LIMIT 0" in trace.read_text())

"""What adbc.h promises a host about streams and execution, through the driver
manager: a cancelled stream ends with ECANCELED and its ADBC error, a server's
SQLSTATE means the same status for a query and a load, an append onto a table
that does not fit is ALREADY_EXISTS before any row is sent, only result set 0
is surfaced, execution progress is readable from any thread, and sessions run
in UTC.

Where adbc.h defines the behaviour the same script runs against the SQLite
driver too. That driver does not implement AdbcStatementCancel
(NOT_IMPLEMENTED) nor the progress options (NOT_FOUND): a cancelled stream is
compared with the PostgreSQL driver's against a PostgreSQL started for the
module instead, and progress runs against this driver only; multiple result
sets and SQLSTATEs are not ADBC's to define.
"""

import ctypes
import errno
import json
import threading

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
import adbc_driver_sqlite.dbapi as sqlite_dbapi
import pyarrow as pa
import pytest
from adbc_c import ADBC_STATUS_CANCELLED, ArrowArray, ArrowArrayStream, Handle, Manager
from hostile_server import ERROR, HostileServer, batch_frame, eos_frame, frame, framed, init_frame

QUERY = "/api/v1/query/stream/binary"
INGEST = "/api/v1/ingest/stream"
PROGRESS = "adbc.statement.exec.progress"          # ADBC_STATEMENT_OPTION_PROGRESS
MAX_PROGRESS = "adbc.statement.exec.max_progress"  # ADBC_STATEMENT_OPTION_MAX_PROGRESS


def zorvane(driver_path, devserver):
    return dbapi.connect(driver=driver_path,
                         db_kwargs={"uri": devserver.url, "username": "demo", "password": "demo"})


def scripted(driver_path, compute):
    """A connection whose compute node is the scripted loopback server."""
    return dbapi.connect(driver=driver_path,
                         db_kwargs={"uri": compute.url, "adbc.zorvane.session_token": "tok",
                                    "adbc.zorvane.compute_url": compute.url})


@pytest.fixture
def compute():
    with HostileServer() as srv:
        yield srv


# --- Cancel, at the C level ---------------------------------------------------

def next_array(stream):
    """get_next's errno, and whether it returned an array (released here)."""
    array = ArrowArray()
    rc = stream.get_next(ctypes.addressof(stream), ctypes.byref(array))
    if rc == 0 and array.release:
        array.release(ctypes.addressof(array))
        return rc, True
    return rc, False


@pytest.fixture(scope="module")
def postgres():
    import sys
    from pathlib import Path
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench" / "peers"))
    from postgres_server import PostgresServer
    with PostgresServer() as server:
        yield server


@pytest.fixture(params=["zorvane", "postgresql"])
def cancellable(request, driver_path):
    """(driver, database options, a query far longer than the batch queue
    holds, so the server is still sending when the host cancels), for this
    driver and for the PostgreSQL driver, which must agree."""
    if request.param == "zorvane":
        devserver = request.getfixturevalue("devserver")
        return (driver_path, {"uri": devserver.url, "username": "demo", "password": "demo"},
                "SELECT range AS v FROM range(500000000)")
    import adbc_driver_postgresql
    return (adbc_driver_postgresql._driver_path(),
            {"uri": request.getfixturevalue("postgres").uri},
            "SELECT generate_series(1, 500000000) AS v")


def test_a_cancelled_stream_ends_with_ecanceled_and_its_adbc_error(cancellable):
    driver, options, sql = cancellable
    m = Manager()
    db, conn, stmt = Handle(), Handle(), Handle()
    m.call("AdbcDatabaseNew", ctypes.byref(db))
    for key, value in [("driver", driver), *options.items()]:
        m.call("AdbcDatabaseSetOption", ctypes.byref(db), key.encode(), value.encode())
    m.call("AdbcDatabaseInit", ctypes.byref(db))
    m.call("AdbcConnectionNew", ctypes.byref(conn))
    m.call("AdbcConnectionInit", ctypes.byref(conn), ctypes.byref(db))
    m.call("AdbcStatementNew", ctypes.byref(conn), ctypes.byref(stmt))
    stream = ArrowArrayStream()
    try:
        m.call("AdbcStatementSetSqlQuery", ctypes.byref(stmt), sql.encode())
        m.call("AdbcStatementExecuteQuery", ctypes.byref(stmt), ctypes.byref(stream), None)
        assert next_array(stream) == (0, True)
        m.call("AdbcStatementCancel", ctypes.byref(stmt))
        for _ in range(1000):  # batches already handed over may still come
            rc, got = next_array(stream)
            assert rc != 0 or got, "a cancelled stream must not end as if complete"
            if rc != 0:
                break
        assert rc == errno.ECANCELED, (
            "adbc.h: Cancel 'should make the other functions return ADBC_STATUS_CANCELLED "
            f"(from ADBC functions) or ECANCELED (from methods of ArrowArrayStream)'; got {rc}")
        status = ctypes.c_uint8(0)
        error = m.lib.AdbcErrorFromArrayStream(ctypes.byref(stream), ctypes.byref(status))
        assert error, "AdbcErrorFromArrayStream gave no error for the failed stream"
        assert status.value == ADBC_STATUS_CANCELLED
        assert error.contents.sqlstate == b"57014"
        message = error.contents.message.decode()
        assert "cancel" in message
        assert stream.get_last_error(ctypes.addressof(stream)).decode() == message
    finally:
        if stream.release:
            stream.release(ctypes.addressof(stream))
        m.call("AdbcStatementRelease", ctypes.byref(stmt))
        m.call("AdbcConnectionRelease", ctypes.byref(conn))
        m.call("AdbcDatabaseRelease", ctypes.byref(db))


def slow_batches(count, rows, on_batch):
    """A bound stream that calls on_batch(i) before it hands over batch i."""
    schema = pa.schema([("id", pa.int64())])

    def gen():
        for i in range(count):
            on_batch(i)
            yield pa.record_batch([pa.array(range(i * rows, (i + 1) * rows), pa.int64())],
                                  schema=schema)
    return pa.RecordBatchReader.from_batches(schema, gen())


def in_thread(work):
    """work() run on another thread, its result or exception returned."""
    result = {}

    def run():
        try:
            result["value"] = work()
        except Exception as exc:  # noqa: BLE001 - handed back to the test
            result["value"] = exc
    t = threading.Thread(target=run)
    t.start()
    t.join(60)
    return result["value"]


def test_cancel_during_a_load_stops_it_with_cancelled_and_loads_nothing(driver_path, devserver):
    with zorvane(driver_path, devserver) as conn:
        before = devserver.counters()["ingests_committed"]
        stmt = dm.AdbcStatement(conn.adbc_connection)
        try:
            stmt.set_options(**{"adbc.ingest.target_table": "contract_cancelled_load",
                                "adbc.ingest.mode": "adbc.ingest.mode.create"})
            stmt.bind_stream(slow_batches(5, 1000, lambda i: i == 2 and in_thread(stmt.cancel)))
            with pytest.raises(dm.Error) as raised:
                stmt.execute_update()
        finally:
            stmt.close()
        assert raised.value.status_code == dm.AdbcStatusCode.CANCELLED, (
            "adbc.h: Cancel should make the other functions return ADBC_STATUS_CANCELLED")
        assert raised.value.sqlstate == "57014"
        assert devserver.counters()["ingests_committed"] == before
        with conn.cursor() as cur:
            cur.execute("SELECT count(*) FROM information_schema.tables "
                        "WHERE table_name = 'contract_cancelled_load'")
            assert cur.fetchone() == (0,)


# --- one status table for queries and loads ------------------------------------

@pytest.mark.parametrize("sqlstate, status", [
    ("42000", dm.AdbcStatusCode.INVALID_ARGUMENT),
    ("42601", dm.AdbcStatusCode.INVALID_ARGUMENT),
    ("42S01", dm.AdbcStatusCode.ALREADY_EXISTS),
    ("42S02", dm.AdbcStatusCode.NOT_FOUND),
    ("22012", dm.AdbcStatusCode.INVALID_DATA),
    ("23505", dm.AdbcStatusCode.INTEGRITY),
    ("08006", dm.AdbcStatusCode.IO),
    ("57014", dm.AdbcStatusCode.CANCELLED),
    ("HYT00", dm.AdbcStatusCode.TIMEOUT),
])
def test_a_server_sqlstate_means_the_same_status_for_a_query_and_a_load(driver_path, compute,
                                                                       sqlstate, status):
    refusal = frame(ERROR, json.dumps({"message": f"refused with {sqlstate}",
                                       "sqlstate": sqlstate}).encode())
    compute.route("POST", QUERY, framed(init_frame(), refusal))
    compute.route("POST", INGEST, framed(refusal))
    failures = []
    with scripted(driver_path, compute) as conn:
        with conn.cursor() as cur:
            with pytest.raises(dm.Error) as raised:
                cur.execute("SELECT 1")
            failures.append(raised.value)
            with pytest.raises(dm.Error) as raised:
                cur.adbc_ingest("t", pa.table({"a": [1]}), mode="create")
            failures.append(raised.value)
    for failure in failures:
        assert (failure.status_code, failure.sqlstate) == (status, sqlstate), failure
        assert f"refused with {sqlstate}" in str(failure)


@pytest.mark.parametrize("mode", ["append", "create_append"])
@pytest.mark.parametrize("peer", ["zorvane", "sqlite"])
def test_appending_data_the_table_cannot_hold_is_already_exists(driver_path, devserver, peer,
                                                               mode):
    conn = zorvane(driver_path, devserver) if peer == "zorvane" else sqlite_dbapi.connect()
    table = f"contract_append_{mode}"
    try:
        with conn.cursor() as cur:
            cur.execute(f"DROP TABLE IF EXISTS {table}")
            cur.execute(f"CREATE TABLE {table} (id INTEGER, name VARCHAR)")
            queries = devserver.counters()["requests"]["ingest"]
            with pytest.raises(dm.Error) as raised:
                cur.adbc_ingest(table, pa.table({"id": [1], "nope": ["x"]}), mode=mode)
            assert raised.value.status_code == dm.AdbcStatusCode.ALREADY_EXISTS, (
                "adbc.h: error if the table ... does not match the schema of the data to append "
                f"(ADBC_STATUS_ALREADY_EXISTS); got {raised.value!r}")
            assert "nope" in str(raised.value)
            if peer == "zorvane":
                assert devserver.counters()["requests"]["ingest"] == queries, "nothing is sent"
            # A fitting load still goes in, with fewer columns than the table.
            cur.adbc_ingest(table, pa.table({"ID": [2]}), mode=mode)
            cur.execute(f"SELECT id, name FROM {table}")
            assert cur.fetchall() == [(2, None)]
            cur.execute(f"DROP TABLE {table}")
    finally:
        conn.close()


# --- result sets ----------------------------------------------------------------

def ipc(values):
    batch = pa.record_batch([pa.array(values, pa.int64())], names=["v"])
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, batch.schema) as writer:
        writer.write_batch(batch)
    return sink.getvalue().to_pybytes()


TWO_SETS = init_frame({"streamId": "s", "resultSets": [{}, {}]})


@pytest.mark.parametrize("frames, rows", [
    ([TWO_SETS, batch_frame(ipc([1, 2])), eos_frame(0)], [1, 2]),
    ([TWO_SETS, batch_frame(ipc([1])), eos_frame(0), batch_frame(ipc([9]), 1), eos_frame(1)],
     [1]),
    ([TWO_SETS, batch_frame(ipc([9]), 1), batch_frame(ipc([1])), eos_frame(1),
      batch_frame(ipc([2])), eos_frame(0)], [1, 2]),
    ([init_frame(), batch_frame(ipc([1])), eos_frame(0), batch_frame(ipc([9]), 3)], [1]),
], ids=["eos-0-ends", "set-1-after", "interleaved", "unannounced-set-after"])
def test_the_eos_of_result_set_0_ends_the_result(driver_path, compute, frames, rows):
    compute.route("POST", QUERY, framed(*frames))
    with scripted(driver_path, compute) as conn:
        with conn.cursor() as cur:
            cur.execute("SELECT v FROM t; SELECT w FROM u")
            assert cur.fetch_arrow_table().column("v").to_pylist() == rows


@pytest.mark.parametrize("frames, message", [
    ([TWO_SETS, batch_frame(ipc([1])), batch_frame(ipc([9]), 1), eos_frame(1)],
     "the result stream ended without its end-of-stream frame"),
    ([TWO_SETS, batch_frame(ipc([1])), eos_frame(0), batch_frame(ipc([2]))],
     "the result stream continued after its end-of-stream frame (frame type BATCH followed it)"),
    ([TWO_SETS, eos_frame(0), eos_frame(0)],
     "the result stream continued after its end-of-stream frame (frame type EOS followed it)"),
    ([TWO_SETS, batch_frame(ipc([1])), eos_frame(0),
      frame(ERROR, b'{"message": "statement 2 failed", "sqlstate": "22012"}')],
     "statement 2 failed"),
], ids=["no-eos-0", "set-0-after-its-eos", "eos-0-twice", "later-statement-fails"])
def test_a_broken_result_set_0_is_still_an_error(driver_path, compute, frames, message):
    compute.route("POST", QUERY, framed(*frames))
    with scripted(driver_path, compute) as conn:
        with conn.cursor() as cur:
            with pytest.raises(dm.Error) as raised:
                cur.execute("SELECT v FROM t; SELECT w FROM u")
                cur.fetch_arrow_table()
    assert message in str(raised.value)


def test_a_script_of_two_queries_surfaces_the_first(driver_path, devserver):
    with zorvane(driver_path, devserver) as conn:
        with conn.cursor() as cur:
            cur.execute("SELECT 1 AS a UNION ALL SELECT 2; SELECT 'x' AS b")
            assert cur.fetchall() == [(1,), (2,)]
            cur.execute("SELECT 3 AS c")  # the connection stays usable
            assert cur.fetchall() == [(3,)]


# --- execution progress ----------------------------------------------------------

def progress(stmt):
    return stmt.get_option_float(PROGRESS), stmt.get_option_float(MAX_PROGRESS)


def test_query_progress_counts_received_rows_from_any_thread(driver_path, devserver):
    total = 3_000_000
    with zorvane(driver_path, devserver) as conn:
        stmt = dm.AdbcStatement(conn.adbc_connection)
        try:
            assert progress(stmt) == (0.0, 0.0), "nothing has run yet"
            stmt.set_sql_query(f"SELECT range AS v FROM range({total})")
            handle, _ = stmt.execute_query()
            reader = pa.RecordBatchReader._import_from_c(handle.address)
            first = reader.read_next_batch().num_rows
            done, expected = in_thread(lambda: progress(stmt))
            # adbc.h: "This represents the progress of execution, not of
            # consumption"; the maximum is "the value of
            # ADBC_STATEMENT_OPTION_PROGRESS for a completed query".
            assert first <= done <= total
            assert expected in (0.0, float(total)), "nonpositive: the maximum is not known"
            read = first + sum(batch.num_rows for batch in reader)
            assert read == total
            assert in_thread(lambda: progress(stmt)) == (float(total), float(total))
            reader.close()
            assert progress(stmt) == (float(total), float(total)), "readable after release"
        finally:
            stmt.close()


def test_load_progress_counts_sent_rows_from_any_thread(driver_path, devserver):
    seen = []
    with zorvane(driver_path, devserver) as conn:
        stmt = dm.AdbcStatement(conn.adbc_connection)
        try:
            stmt.set_options(**{"adbc.ingest.target_table": "contract_progress_load",
                                "adbc.ingest.mode": "adbc.ingest.mode.replace"})
            stmt.bind_stream(slow_batches(4, 1000, lambda i: seen.append(in_thread(
                lambda: progress(stmt)))))
            assert stmt.execute_update() == 4000
            # Before batch i is read, batches 0..i-1 have been sent; the total
            # is known only once the load has committed.
            assert seen == [(1000.0 * i, 0.0) for i in range(4)]
            assert progress(stmt) == (4000.0, 4000.0)
        finally:
            stmt.close()
        with conn.cursor() as cur:
            cur.execute("DROP TABLE contract_progress_load")


# --- time zone -------------------------------------------------------------------

def test_sessions_run_in_utc(driver_path, devserver):
    with zorvane(driver_path, devserver) as conn:
        with conn.cursor() as cur:
            cur.execute("SELECT current_setting('TimeZone') AS tz, "
                        "TIMESTAMPTZ '2024-06-01 12:00:00+00' AS ts")
            table = cur.fetch_arrow_table()
    assert table.column("tz").to_pylist() == ["UTC"]
    assert table.schema.field("ts").type == pa.timestamp("us", "UTC")

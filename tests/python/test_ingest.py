"""Bulk ingest through the real driver manager against the dev server: rows
checked with a SELECT afterwards, server errors with their SQLSTATE, replays,
Parquet payloads, and loads that fail or are cancelled leaving the table as it
was."""

import itertools
import threading
import time

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi
import pyarrow as pa
import pytest
from driver_helpers import demo_dbapi, run

_names = itertools.count()


@pytest.fixture
def conn(driver_path, devserver):
    with demo_dbapi(driver_path, devserver.url) as c:
        yield c



@pytest.fixture
def table(conn):
    name = f"ingest_t{next(_names)}"
    run(conn, f"CREATE TABLE {name} (id BIGINT PRIMARY KEY, name VARCHAR, amount INTEGER)")
    return name


def rows(conn, table):
    return run(conn, f"SELECT id, name, amount FROM {table} ORDER BY id").to_pylist()


def batch(ids, names=None, amounts=None, schema=None):
    names = names or [f"n{i}" for i in ids]
    amounts = amounts or [i * 10 for i in ids]
    schema = schema or pa.schema([("id", pa.int64()), ("name", pa.utf8()), ("amount", pa.int32())])
    return pa.record_batch([pa.array(ids, pa.int64()), pa.array(names), pa.array(amounts, pa.int32())],
                           schema=schema)


def expected(ids):
    return [{"id": i, "name": f"n{i}", "amount": i * 10} for i in ids]


def ingest(conn, table, batches, schema=None, **options):
    """Low-level run: options, bind_stream, execute_update; returns rows affected."""
    schema = schema or batches[0].schema
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        # The tables exist: append (ADBC's default mode is create).
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "adbc.ingest.mode.append",
                            **options})
        stmt.bind_stream(pa.RecordBatchReader.from_batches(schema, batches))
        return stmt.execute_update()
    finally:
        stmt.close()


# --- successful loads -------------------------------------------------------

@pytest.mark.parametrize("payload_format", ["arrow_ipc", "parquet"])
def test_append_loads_every_batch_in_either_format(conn, table, payload_format):
    batches = [batch([1, 2]), batch([]), batch([3, 4, 5])]
    assert ingest(conn, table, batches, **{"zv.ingest.payload_format": payload_format}) == 5
    assert rows(conn, table) == expected([1, 2, 3, 4, 5])


def test_dbapi_adbc_ingest_append_and_replace(conn, table):
    with conn.cursor() as cur:
        assert cur.adbc_ingest(table, pa.Table.from_batches([batch([1, 2, 3])]), mode="append") == 3
        assert rows(conn, table) == expected([1, 2, 3])
        cur.adbc_ingest(table, pa.Table.from_batches([batch([7])]), mode="replace")
    assert rows(conn, table) == expected([7])


def test_upsert_updates_existing_keys(conn, table):
    ingest(conn, table, [batch([1, 2])])
    ingest(conn, table, [batch([2, 3], names=["two", "three"], amounts=[0, 0])],
           **{"zv.ingest.mode": "upsert", "zv.ingest.key_columns": " id ,"})
    assert rows(conn, table) == [{"id": 1, "name": "n1", "amount": 10},
                                 {"id": 2, "name": "two", "amount": 0},
                                 {"id": 3, "name": "three", "amount": 0}]


def test_only_empty_batches_load_nothing(conn, table):
    assert ingest(conn, table, [batch([]), batch([])]) == 0
    assert rows(conn, table) == []


def test_single_bound_batch_is_ingested(conn, table):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "adbc.ingest.mode.append"})
        stmt.bind(batch([4, 5]))
        assert stmt.execute_update() == 2
    finally:
        stmt.close()
    assert rows(conn, table) == expected([4, 5])


def test_idempotent_replay_loads_once(conn, table, devserver):
    key = f"load-{table}"
    for _ in range(2):
        ingest(conn, table, [batch([1, 2])], **{"zv.ingest.idempotency_key": key})
    assert rows(conn, table) == expected([1, 2])
    assert devserver.counters()["ingest_replays"] >= 1


def test_sql_clears_the_target_and_a_new_target_makes_an_ingest_again(conn, table):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    target = {"adbc.ingest.target_table": table, "adbc.ingest.mode": "adbc.ingest.mode.append"}
    try:
        stmt.set_options(**target)
        stmt.bind_stream(pa.RecordBatchReader.from_batches(batch([1]).schema, [batch([1])]))
        stmt.execute_update()
        # SetSqlQuery clears the target: the statement runs its SQL.
        stmt.set_sql_query(f"SELECT count(*) AS n FROM {table}")
        stream, _ = stmt.execute_query()
        assert pa.RecordBatchReader._import_from_c(stream.address).read_all()["n"][0].as_py() == 1
        stmt.set_options(**target)
        stmt.bind_stream(pa.RecordBatchReader.from_batches(batch([2]).schema, [batch([2])]))
        assert stmt.execute_update() == 1
    finally:
        stmt.close()
    assert rows(conn, table) == expected([1, 2])


# --- failures leave the table unchanged --------------------------------------

def _failing_reader(schema, good, error):
    def gen():
        yield good
        raise error
    return pa.RecordBatchReader.from_batches(schema, gen())


@pytest.mark.parametrize("case", ["unknown_table", "unknown_column", "bad_cast", "key_violation"])
def test_server_errors_carry_their_sqlstate_and_change_nothing(conn, table, case):
    ingest(conn, table, [batch([1])])
    options = {}
    data = [batch([5, 6])]
    target = table
    if case == "unknown_table":
        target, state, status = table + "_missing", "42S02", dm.AdbcStatusCode.NOT_FOUND
    elif case == "unknown_column":
        data = [batch([5], schema=pa.schema([("id", pa.int64()), ("nope", pa.utf8()),
                                              ("amount", pa.int32())]))]
        # adbc.h: "does not match the schema of the data to append (ADBC_STATUS_ALREADY_EXISTS)"
        state, status = "42S22", dm.AdbcStatusCode.ALREADY_EXISTS
    elif case == "bad_cast":
        data = [pa.record_batch([pa.array(["x"]), pa.array(["a"]), pa.array([1], pa.int32())],
                                names=["id", "name", "amount"])]
        options["zv.ingest.coerce"] = "no"
        state, status = "22018", dm.AdbcStatusCode.INVALID_DATA
    else:
        data = [batch([7]), batch([1])]  # the second batch repeats key 1
        state, status = "23000", dm.AdbcStatusCode.INTEGRITY
    with pytest.raises(dm.Error) as raised:
        ingest(conn, target, data, **options)
    assert raised.value.sqlstate == state, raised.value
    assert raised.value.status_code == status
    assert rows(conn, table) == expected([1])


def test_failing_host_stream_cancels_the_upload(conn, table, devserver):
    ingest(conn, table, [batch([1])])
    before = devserver.counters()
    schema = batch([1]).schema
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "replace"})
        stmt.bind_stream(_failing_reader(schema, batch([2, 3]), ValueError("producer broke")))
        with pytest.raises(dm.Error) as raised:
            stmt.execute_update()
    finally:
        stmt.close()
    assert "reading the bound data" in str(raised.value) and "producer broke" in str(raised.value)
    assert raised.value.sqlstate == "22023"
    assert rows(conn, table) == expected([1])
    assert devserver.counters()["ingests_committed"] == before["ingests_committed"]


def _cancelled_load(conn, table, batches, cancel_after=None):
    """The failure of a load the statement's Cancel stops: from within the last
    read of the bound stream, or from another thread after cancel_after seconds."""
    stmt = dm.AdbcStatement(conn.adbc_connection)

    def gen():
        yield from batches
        if cancel_after is None:
            stmt.cancel()

    try:
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "adbc.ingest.mode.append"})
        stmt.bind_stream(pa.RecordBatchReader.from_batches(batches[0].schema, gen()))
        if cancel_after is not None:
            threading.Timer(cancel_after, stmt.cancel).start()
        with pytest.raises(dm.Error) as raised:
            stmt.execute_update()
    finally:
        stmt.close()
    return raised.value


def test_cancel_stops_a_load_before_its_end_whatever_it_waits_for(conn, table, devserver):
    before = devserver.counters()["ingests_committed"]
    late = _cancelled_load(conn, table, [batch([2, 3])])
    # The server holds the upload back; the pushes wait for room.
    devserver.set_fault("delay", endpoint="ingest", seconds=60, times=1)
    ids = list(range(10, 200_010))
    started = time.monotonic()
    waiting = _cancelled_load(conn, table, [batch(ids)] * 40, cancel_after=2.0)
    assert time.monotonic() - started < 30
    devserver.clear_faults()
    for failure in (late, waiting):
        assert failure.status_code == dm.AdbcStatusCode.CANCELLED, failure
        assert failure.sqlstate == "57014"
    assert rows(conn, table) == []
    assert devserver.counters()["ingests_committed"] == before


def test_a_parquet_encoding_that_fails_midway_loads_nothing(conn, table, devserver):
    # Batches are encoded several at once and the ones before the failing
    # encoding are already on their way; the upload is still cancelled whole.
    ingest(conn, table, [batch([1])])
    before = devserver.counters()
    schema = pa.schema([pa.field("id", pa.int64(), nullable=False), ("name", pa.utf8()), ("amount", pa.int32())])
    good = [batch(list(range(100 + 10 * k, 110 + 10 * k)), schema=schema) for k in range(20)]
    # Parquet refuses a null in a column declared non-nullable; Arrow carries it.
    bad = batch([2, 3], schema=schema).set_column(0, pa.field("id", pa.int64(), nullable=False),
                                                  pa.array([None, 3], pa.int64()))
    with pytest.raises(dm.Error) as raised:
        ingest(conn, table, good[:9] + [bad] + good[9:], **{"zv.ingest.payload_format": "parquet"})
    assert "parquet WriteRecordBatch" in str(raised.value) and "non-nullable" in str(raised.value)
    assert (raised.value.sqlstate, raised.value.status_code) == ("HY000", dm.AdbcStatusCode.IO)
    assert rows(conn, table) == expected([1])
    assert devserver.counters()["ingests_committed"] == before["ingests_committed"]


@pytest.mark.parametrize("status,state,code", [
    (401, "28000", dm.AdbcStatusCode.UNAUTHORIZED),
    (403, "42501", dm.AdbcStatusCode.UNAUTHORIZED),
    (503, "53000", dm.AdbcStatusCode.INTERNAL),
    (201, "HY000", dm.AdbcStatusCode.IO),
])
@pytest.mark.parametrize("batches", [1, 400], ids=["small", "answered-mid-upload"])
def test_http_status_of_the_upload(conn, table, devserver, status, state, code, batches):
    # A 401 is worth one fresh login and one more try; the second one is final.
    # A long upload meets the answer while the host is still pushing batches:
    # the server's status is the reason reported, not the aborted push.
    devserver.set_fault("http_status", endpoint="ingest", status=status, body="{}",
                        content_type="application/json", times=2 if status == 401 else 1)
    ids = list(range(5000))
    try:
        with pytest.raises(dm.Error) as raised:
            ingest(conn, table, [batch([1])] if batches == 1 else [batch(ids)] * batches)
    finally:
        devserver.clear_faults()
    assert raised.value.sqlstate == state
    assert raised.value.status_code == code
    assert rows(conn, table) == []


# --- statement surface -------------------------------------------------------

@pytest.mark.parametrize("key,value,code", [
    ("adbc.ingest.mode", ".append", dm.AdbcStatusCode.INVALID_ARGUMENT),
    ("zv.ingest.mode", "merge", dm.AdbcStatusCode.INVALID_ARGUMENT),
    ("zv.ingest.payload_format", "csv", dm.AdbcStatusCode.INVALID_ARGUMENT),
    ("adbc.ingest.temporary", "TRUE", dm.AdbcStatusCode.NOT_IMPLEMENTED),
    ("zv.ingest.coerce", "sometimes", dm.AdbcStatusCode.INVALID_ARGUMENT),
    ("no.such.key", "1", dm.AdbcStatusCode.NOT_IMPLEMENTED),
])
def test_refused_options(conn, key, value, code):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        with pytest.raises(dm.Error) as raised:
            stmt.set_options(**{key: value})
        assert raised.value.status_code == code
    finally:
        stmt.close()


@pytest.mark.parametrize("options,message", [
    ({"zv.ingest.mode": "upsert", "zv.ingest.payload_format": "parquet",
      "zv.ingest.key_columns": "id"}, "does not support mode=upsert"),
    ({"zv.ingest.mode": "upsert"}, "key_columns required for upsert"),
    ({"zv.ingest.mode": "land"}, "target_location required for land mode"),
])
def test_invalid_combinations_fail_before_any_traffic(conn, table, devserver, options, message):
    before = devserver.counters()["requests"]["ingest"]
    with pytest.raises(dm.Error, match=message):
        ingest(conn, table, [batch([1])], **options)
    assert devserver.counters()["requests"]["ingest"] == before


def test_bound_ingest_with_an_output_stream_is_refused(conn, table):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.set_options(**{"adbc.ingest.target_table": table})
        stmt.bind(batch([1]))
        with pytest.raises(dm.Error) as raised:
            stmt.execute_query()
        assert raised.value.sqlstate == "HY010"
        assert raised.value.status_code == dm.AdbcStatusCode.INVALID_STATE
    finally:
        stmt.close()
    assert rows(conn, table) == []


def test_bound_data_without_target_is_a_parameter_set_never_ignored(conn, table):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.bind(batch([1]))
        stmt.set_sql_query("SELECT 42 AS x")
        with pytest.raises(dm.ProgrammingError) as raised:
            stmt.execute_query()
        assert raised.value.sqlstate == "07002"
    finally:
        stmt.close()
    assert rows(conn, table) == []


def test_an_early_refusal_does_not_leave_the_producer_blocked(conn):
    # The server refuses the unknown table as soon as it has the header, while
    # the host still has far more batches than the upload queue holds.
    import time
    big = [batch(list(range(i * 20000, (i + 1) * 20000))) for i in range(60)]
    started = time.monotonic()
    with pytest.raises(dm.Error) as raised:
        ingest(conn, "no_such_ingest_table", big)
    assert raised.value.sqlstate == "42S02"
    assert time.monotonic() - started < 30

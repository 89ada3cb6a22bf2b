"""ADBC ingest modes (create, create_append, append, replace) and target
schemas through the driver manager: resulting schema, rows and rows affected
on new and existing tables, and failures that leave the old table as it was."""

import itertools

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi
import pyarrow as pa
import pyarrow.compute
import pytest
from driver_helpers import demo_dbapi, run

_names = itertools.count()


@pytest.fixture
def conn(driver_path, devserver):
    with demo_dbapi(driver_path, devserver.url) as c:
        yield c



def fresh_name():
    return f"modes_t{next(_names)}"


OLD = pa.table({"id": pa.array([1, 2, 3], pa.int64()), "name": ["a", "b", "c"]})
NEW = pa.table({"k": pa.array([10, 20], pa.int32()), "v": pa.array([1.5, 2.5]),
                "when": pa.array([0, 1], pa.timestamp("us"))})


def ingest(conn, table, data, mode=None, **options):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        opts = {"adbc.ingest.target_table": table, **options}
        if mode is not None:
            opts["adbc.ingest.mode"] = f"adbc.ingest.mode.{mode}"
        stmt.set_options(**opts)
        stmt.bind_stream(pa.RecordBatchReader.from_batches(data.schema, data.to_batches()))
        return stmt.execute_update()
    finally:
        stmt.close()


def content(conn, table):
    return run(conn, f'SELECT * FROM "{table}"')


def exists(conn, table, schema="main"):
    literal = table.replace("'", "''")
    sql = (f"SELECT count(*) AS n FROM duckdb_tables() WHERE table_name = '{literal}' "
           f"AND schema_name = '{schema}'")
    return run(conn, sql)["n"][0].as_py() == 1


# mode, table exists beforehand -> expected error SQLSTATE (None: success with NEW's rows)
@pytest.mark.parametrize("mode,exists,state", [
    ("create", False, None),
    ("create", True, "42S01"),
    ("create_append", False, None),
    ("append", False, "42S02"),
    ("replace", False, None),
    ("replace", True, None),
])
@pytest.mark.parametrize("payload_format", ["arrow_ipc", "parquet"])
def test_each_mode_on_a_new_and_an_existing_table(conn, mode, exists, state, payload_format):
    table = fresh_name()
    if exists:
        ingest(conn, table, OLD, "create")
    options = {"zv.ingest.payload_format": payload_format}
    if state is not None:
        with pytest.raises(dm.Error) as raised:
            ingest(conn, table, NEW, mode, **options)
        assert raised.value.sqlstate == state, raised.value
        if state == "42S01":
            assert raised.value.status_code == dm.AdbcStatusCode.ALREADY_EXISTS
            assert content(conn, table) == OLD
        return
    assert ingest(conn, table, NEW, mode, **options) == NEW.num_rows
    got = content(conn, table)
    assert got.schema == NEW.schema
    assert got.sort_by("k") == NEW


def test_create_append_appends_to_an_existing_table(conn):
    table = fresh_name()
    assert ingest(conn, table, OLD, "create_append") == 3
    assert ingest(conn, table, OLD.slice(0, 1), "create_append") == 1
    assert content(conn, table).num_rows == 4


def test_replace_of_eight_rows_by_three_reports_three(conn):
    table = fresh_name()
    eight = pa.table({"id": pa.array(range(8), pa.int64()), "name": [str(i) for i in range(8)]})
    ingest(conn, table, eight, "create")
    assert ingest(conn, table, OLD, "replace") == 3
    assert content(conn, table).sort_by("id") == OLD


def test_empty_load_creates_the_table_in_both_formats(conn):
    for payload_format in ("arrow_ipc", "parquet"):
        table = fresh_name()
        empty = NEW.slice(0, 0)
        assert ingest(conn, table, empty, "create", **{"zv.ingest.payload_format": payload_format}) == 0
        got = content(conn, table)
        assert got.num_rows == 0 and got.schema == NEW.schema


def _failing_reader(schema, good, error):
    def gen():
        yield good
        raise error
    return pa.RecordBatchReader.from_batches(schema, gen())


@pytest.mark.parametrize("mode", ["replace", "create"])
def test_a_host_stream_failing_midway_leaves_the_old_state(conn, mode):
    table = fresh_name()
    if mode == "replace":
        ingest(conn, table, OLD, "create")
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": mode})
        stmt.bind_stream(_failing_reader(NEW.schema, NEW.to_batches()[0], ValueError("producer broke")))
        with pytest.raises(dm.Error):
            stmt.execute_update()
    finally:
        stmt.close()
    if mode == "replace":
        assert content(conn, table) == OLD
    else:
        assert not exists(conn, table)


def test_replace_with_a_server_side_failure_keeps_the_old_table(conn):
    table = fresh_name()
    ingest(conn, table, OLD, "create")
    # The second batch breaks the NOT NULL column the first batch's schema declares.
    schema = pa.schema([pa.field("id", pa.int64(), nullable=False)])
    bad = pa.RecordBatchReader.from_batches(schema, [
        pa.record_batch([pa.array([1], pa.int64())], schema=schema),
        pa.RecordBatch.from_arrays([pa.array([None], pa.int64())], schema=schema),
    ])
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "replace"})
        stmt.bind_stream(bad)
        with pytest.raises(dm.Error):
            stmt.execute_update()
    finally:
        stmt.close()
    assert content(conn, table) == OLD


@pytest.mark.parametrize("name", ['quote"d', "with space", "select", "Grüße", "dotted.name"])
def test_awkward_table_and_column_names_are_taken_literally(conn, name):
    data = pa.table({name: pa.array([1, 2], pa.int64()), "order": ["x", "y"]})
    assert ingest(conn, name + str(next(_names)), data, "create") == 2


def test_awkward_names_round_trip(conn):
    table = 'quote"d table ' + str(next(_names))
    data = pa.table({'col "q"': pa.array([1], pa.int64()), "from": ["x"], "Ünïcode": [True]})
    ingest(conn, table, data, "create")
    quoted = '"' + table.replace('"', '""') + '"'
    assert run(conn, f"SELECT * FROM {quoted}") == data


@pytest.mark.parametrize("data,state", [
    (pa.table({"a": [1], "A": [2]}), "42S21"),
    (pa.table({}), "22023"),
    (pa.table({"h": pa.array([1.0], pa.float16())}), "HYC00"),
])
def test_unloadable_data_is_refused_before_sending(conn, devserver, data, state):
    before = devserver.counters()["requests"]["ingest"]
    with pytest.raises(dm.Error) as raised:
        ingest(conn, fresh_name(), data, "create")
    assert raised.value.sqlstate == state, raised.value
    assert devserver.counters()["requests"]["ingest"] == before


@pytest.mark.parametrize("options,message", [
    ({"adbc.ingest.target_catalog": "zorvane"}, "needs adbc.ingest.target_db_schema"),
    ({"adbc.ingest.target_db_schema": ""}, "must not be empty"),
    ({"zv.ingest.mode": "land", "zv.ingest.target_location": "x", "adbc.ingest.target_db_schema": "s"},
     "writes files"),
])
def test_contradicting_options_are_refused(conn, devserver, options, message):
    before = devserver.counters()["requests"]["ingest"]
    with pytest.raises(dm.Error, match=message):
        ingest(conn, fresh_name(), OLD, **options)
    assert devserver.counters()["requests"]["ingest"] == before


def test_target_schema_is_honoured(conn):
    run(conn, 'CREATE SCHEMA IF NOT EXISTS "Side Schema"')
    table = fresh_name()
    assert ingest(conn, table, OLD, "create", **{"adbc.ingest.target_db_schema": "Side Schema"}) == 3
    assert run(conn, f'SELECT * FROM "Side Schema"."{table}"') == OLD
    assert not exists(conn, table)  # not in the default schema
    catalog = run(conn, "SELECT current_database() AS c")["c"][0].as_py()
    assert ingest(conn, table, OLD, "replace", **{"adbc.ingest.target_db_schema": "Side Schema",
                                                  "adbc.ingest.target_catalog": catalog}) == 3


def test_an_unknown_target_schema_is_a_clear_error(conn):
    with pytest.raises(dm.Error) as raised:
        ingest(conn, fresh_name(), OLD, "create", **{"adbc.ingest.target_db_schema": "no_such_schema"})
    assert "no_such_schema" in str(raised.value)


def test_a_stream_whose_schema_changes_midway_loads_nothing(conn):
    table = fresh_name()
    ingest(conn, table, OLD, "create")
    other = pa.record_batch([pa.array(["not an id"])], names=["id"])

    def gen():
        yield OLD.to_batches()[0]
        yield other

    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "replace"})
        stmt.bind_stream(pa.RecordBatchReader.from_batches(OLD.schema, gen()))
        with pytest.raises(dm.Error):
            stmt.execute_update()
    finally:
        stmt.close()
    assert content(conn, table) == OLD


def test_an_append_racing_a_replace_never_sees_a_partial_table(driver_path, devserver, conn):
    import threading
    table = fresh_name()
    ingest(conn, table, OLD, "create")
    big = pa.table({"id": pa.array(range(200_000), pa.int64()), "name": ["r"] * 200_000})
    extra = pa.table({"id": pa.array([-1], pa.int64()), "name": ["appended"]})
    errors = []

    def append_many():
        with adbc_driver_manager.dbapi.connect(
                driver=driver_path, db_kwargs={"uri": devserver.url, "username": "demo", "password": "demo"},
                autocommit=True) as other:
            for _ in range(5):
                try:
                    ingest(other, table, extra, "append")
                except dm.Error as exc:  # a conflict with the replace is an error, never a partial load
                    errors.append(exc)

    racer = threading.Thread(target=append_many)
    racer.start()
    assert ingest(conn, table, big.combine_chunks(), "replace") == big.num_rows
    racer.join()
    got = content(conn, table)
    replaced = got.filter(pa.compute.not_equal(got["id"], -1))
    assert replaced.sort_by("id") == big.combine_chunks()
    assert got.num_rows - replaced.num_rows <= 5 - len(errors)
    assert all(e.sqlstate for e in errors)

"""What the service does with ingested values never changes data silently:
coercion only where no value changes (22018 naming the column otherwise),
idempotency keys scoped to their load, and upserts that refuse NULL or
repeated keys (23000). Checked through the driver manager."""

import itertools

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



def ingest(conn, table, batches, **options):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        # The tables exist: append (ADBC's default mode is create).
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "adbc.ingest.mode.append",
                            **options})
        stmt.bind_stream(pa.RecordBatchReader.from_batches(batches[0].schema, batches))
        return stmt.execute_update()
    finally:
        stmt.close()


def table_with(conn, columns):
    name = f"sem_t{next(_names)}"
    run(conn, f"CREATE TABLE {name} ({columns})")
    return name


# value, arrow type, column type -> stored value (None: refused with 22018)
@pytest.mark.parametrize("value,arrow_type,column_type,stored", [
    (2.0, pa.float64(), "INTEGER", 2),
    (1.7, pa.float64(), "INTEGER", None),
    (300, pa.int64(), "TINYINT", None),
    (-1, pa.int64(), "UINTEGER", None),
    (12, pa.int64(), "TINYINT", 12),
    (0.1, pa.float64(), "REAL", None),
    (0.5, pa.float64(), "REAL", 0.5),
    ("42", pa.utf8(), "BIGINT", 42),
    ("4x", pa.utf8(), "BIGINT", None),
    (123.456, pa.float64(), "DECIMAL(6, 2)", None),
])
def test_coercion_only_where_no_value_changes(conn, value, arrow_type, column_type, stored):
    table = table_with(conn, f"c {column_type}")
    data = pa.record_batch([pa.array([value, None], arrow_type)], names=["c"])
    if stored is None:
        with pytest.raises(dm.Error) as raised:
            ingest(conn, table, [data])
        assert raised.value.sqlstate == "22018"
        assert "column 'c'" in str(raised.value)
        assert run(conn, f"SELECT count(*) AS n FROM {table}")["n"][0].as_py() == 0
    else:
        assert ingest(conn, table, [data]) == 2
        assert run(conn, f"SELECT c FROM {table} ORDER BY c NULLS LAST")["c"].to_pylist() == [stored, None]


def test_an_idempotency_key_is_scoped_to_its_target_and_mode(conn):
    first = table_with(conn, "id BIGINT")
    second = table_with(conn, "id BIGINT")
    data = pa.record_batch([pa.array([1, 2], pa.int64())], names=["id"])
    key = {"zv.ingest.idempotency_key": f"k{next(_names)}"}
    assert ingest(conn, first, [data], **key) == 2
    assert ingest(conn, first, [data], **key) == 2  # a replay: nothing loaded again
    for target, extra in ((second, {}), (first, {"zv.ingest.mode": "overwrite"})):
        with pytest.raises(dm.Error) as raised:
            ingest(conn, target, [data], **key, **extra)
        assert "idempotency key" in str(raised.value)
        assert raised.value.sqlstate == "22023"
    assert run(conn, f"SELECT count(*) AS n FROM {first}")["n"][0].as_py() == 2
    assert run(conn, f"SELECT count(*) AS n FROM {second}")["n"][0].as_py() == 0


@pytest.mark.parametrize("batches", [
    [[1, 1]],            # repeated within a batch
    [[1, 2], [3, 2]],    # repeated across the upload's batches
    [[1, None]],         # a NULL key
], ids=["same_batch", "across_batches", "null_key"])
def test_upsert_refuses_null_and_repeated_keys(conn, batches):
    table = table_with(conn, "id BIGINT, v VARCHAR")
    run(conn, f"INSERT INTO {table} VALUES (1, 'old')")
    data = [pa.record_batch([pa.array(ids, pa.int64()), pa.array(["new"] * len(ids))], names=["id", "v"])
            for ids in batches]
    with pytest.raises(dm.Error) as raised:
        ingest(conn, table, data, **{"zv.ingest.mode": "upsert", "zv.ingest.key_columns": "id"})
    assert raised.value.sqlstate == "23000"
    assert raised.value.status_code == dm.AdbcStatusCode.INTEGRITY
    assert run(conn, f"SELECT id, v FROM {table}").to_pylist() == [{"id": 1, "v": "old"}]


def test_upsert_with_distinct_keys_still_updates_and_inserts(conn):
    table = table_with(conn, "id BIGINT, v VARCHAR")
    run(conn, f"INSERT INTO {table} VALUES (1, 'old')")
    data = [pa.record_batch([pa.array([1], pa.int64()), pa.array(["new"])], names=["id", "v"]),
            pa.record_batch([pa.array([2], pa.int64()), pa.array(["two"])], names=["id", "v"])]
    assert ingest(conn, table, data, **{"zv.ingest.mode": "upsert", "zv.ingest.key_columns": "id"}) == 2
    assert run(conn, f"SELECT id, v FROM {table} ORDER BY id").to_pylist() == [
        {"id": 1, "v": "new"}, {"id": 2, "v": "two"}]

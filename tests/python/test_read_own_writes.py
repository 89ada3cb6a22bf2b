"""A connection sees its own catalog changes: after DDL, DML or an ingest on a
connection, its information_schema answers, GetObjects and GetTableSchema
reflect the change, and a new connection in the same process is not handed a
cached snapshot from before it."""

import itertools

import pyarrow as pa
import pytest
from driver_helpers import demo_dbapi, run

_names = itertools.count()


def connect(driver_path, devserver):
    return demo_dbapi(driver_path, devserver.url)


@pytest.fixture
def conn(driver_path, devserver):
    c = connect(driver_path, devserver)
    yield c
    c.close()



def listed_in_information_schema(conn, table):
    sql = f"SELECT column_name FROM information_schema.columns WHERE table_name = '{table}'"
    return run(conn, sql)["column_name"].to_pylist()


def listed_in_get_objects(conn, table):
    objects = conn.adbc_get_objects(depth="tables", table_name_filter=table).read_all().to_pylist()
    return [t["table_name"] for c in objects for s in c["catalog_db_schemas"] or []
            for t in s["db_schema_tables"] or []]


def create_by_sql(conn, table):
    run(conn, f"CREATE TABLE {table} (a INTEGER, b VARCHAR)")


def create_by_ingest(conn, table):
    with conn.cursor() as cur:
        cur.adbc_ingest(table, pa.table({"a": pa.array([1], pa.int32()), "b": ["x"]}), mode="create")


def replace_by_ingest(conn, table):
    with conn.cursor() as cur:
        cur.adbc_ingest(table, pa.table({"c": pa.array([1.0])}), mode="replace")


@pytest.mark.parametrize("create", [create_by_sql, create_by_ingest])
def test_a_new_table_is_seen_by_every_catalog_answer(conn, create):
    table = f"row_t{next(_names)}"
    # Install the snapshot in the engine before the change.
    assert listed_in_information_schema(conn, table) == []
    assert listed_in_get_objects(conn, table) == []
    create(conn, table)
    assert listed_in_information_schema(conn, table) == ["a", "b"]
    assert listed_in_get_objects(conn, table) == [table]
    assert conn.adbc_get_table_schema(table).names == ["a", "b"]


def test_a_replaced_table_shows_its_new_columns(conn):
    table = f"row_t{next(_names)}"
    create_by_ingest(conn, table)
    assert conn.adbc_get_table_schema(table).names == ["a", "b"]
    replace_by_ingest(conn, table)
    assert listed_in_information_schema(conn, table) == ["c"]
    assert conn.adbc_get_table_schema(table).names == ["c"]
    run(conn, f"DROP TABLE {table}")
    assert listed_in_information_schema(conn, table) == []
    assert listed_in_get_objects(conn, table) == []


def test_a_new_connection_is_not_handed_a_snapshot_from_before_the_change(driver_path, devserver, conn):
    table = f"row_t{next(_names)}"
    assert listed_in_information_schema(conn, table) == []  # the cache holds the old catalog
    create_by_sql(conn, table)
    other = connect(driver_path, devserver)
    try:
        assert listed_in_information_schema(other, table) == ["a", "b"]
    finally:
        other.close()


def test_reads_cost_no_catalog_fetch(conn, devserver):
    table = f"row_t{next(_names)}"
    create_by_sql(conn, table)
    listed_in_information_schema(conn, table)
    before = devserver.counters()["snapshot_fetches"]
    for _ in range(5):
        run(conn, "SELECT 1 AS x")
        assert listed_in_information_schema(conn, table) == ["a", "b"]
        listed_in_get_objects(conn, table)
    assert devserver.counters()["snapshot_fetches"] == before

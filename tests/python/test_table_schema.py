"""AdbcConnectionGetTableSchema returns the schema of an empty result of the
table (SELECT * FROM t LIMIT 0 on compute) with each field's nullability from
the catalog, for every column type the service knows, for names that exist in
several schemas, for tables an ingest created, and the same answer every time."""

import base64
import types

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
import frame_client
import pyarrow as pa
import pytest
from hostile_server import HostileServer, batch_frame, eos_frame, framed, init_frame
from server_fixture import start_devserver

COLUMNS = ("a INTEGER NOT NULL, b DECIMAL(10,2), c TIMESTAMP WITH TIME ZONE, d TIMESTAMP, e REAL, f SMALLINT, "
           "g BLOB, h VARCHAR(20), i DATE, j BOOLEAN, k BIGINT, l DOUBLE, m TINYINT, n TIME, o HUGEINT, "
           "p UUID, r DECIMAL(20,3) NOT NULL, s DECIMAL(4,1), u UBIGINT")
TABLES = {("one", "typed"): COLUMNS, ("one", "twin"): "x INTEGER, y VARCHAR",
          ("two", "twin"): "z DOUBLE", ("Dos_é", "Mixed"): "id BIGINT NOT NULL, \"Name\" VARCHAR",
          ("one", 'we"ird'): "h HUGEINT NOT NULL, v VARCHAR"}
# Created by an ingest from an Arrow schema: non-nullable fields become NOT NULL columns.
LANDED = pa.schema([pa.field("id", pa.int64(), nullable=False), pa.field("note", pa.string()),
                    pa.field("at", pa.timestamp("us", tz="UTC"), nullable=False),
                    pa.field("big", pa.uint64(), nullable=False)])
TRACE_LABEL = "AdbcConnectionGetTableSchema(LIMIT 0 fallback) -> "


def connect(driver_path, url, **options):
    return dbapi.connect(driver=driver_path, db_kwargs={"uri": url, "username": "demo", "password": "demo",
                                                        **options})


@pytest.fixture(scope="module")
def env(driver_path, tmp_path_factory):
    with start_devserver(nodes=1, demo_data=False) as srv:
        token = frame_client.login(srv.url)
        node = next(iter(srv.node_urls.values()))
        ddl = ["CREATE SCHEMA one", "CREATE SCHEMA two", 'CREATE SCHEMA "Dos_é"']
        ddl += [f'CREATE TABLE "{schema}"."{table.replace(chr(34), 2 * chr(34))}" ({columns})'
                for (schema, table), columns in TABLES.items()]
        for statement in ddl:
            result = frame_client.query(node, token, statement)
            assert not result.error_body and not result.error, statement
        with connect(driver_path, srv.url) as writer, writer.cursor() as cur:
            cur.adbc_ingest("landed", pa.Table.from_pylist([], schema=LANDED), mode="create",
                            db_schema_name="one")
            writer.commit()
        # Opened after every table exists, so its snapshot knows them all.
        trace = tmp_path_factory.mktemp("trace") / "sql.trace"
        with connect(driver_path, srv.url, **{"adbc.zorvane.log_path": str(trace)}) as conn:
            yield types.SimpleNamespace(conn=conn, node=node, token=token, trace=trace)


def empty_result_schema(conn, sql):
    with conn.cursor() as cur:
        cur.execute(sql)
        return cur.fetch_arrow_table().schema


def catalog_nullability(env, schema, table):
    """is_nullable of each column, in order, as compute's own catalog answers."""
    sql = ("SELECT is_nullable FROM information_schema.columns WHERE table_schema = '{}' AND table_name = '{}' "
           "ORDER BY ordinal_position").format(schema.replace("'", "''"), table.replace("'", "''"))
    return [r["is_nullable"] == "YES" for r in frame_client.query(env.node, env.token, sql).table().to_pylist()]


def quoted(name):
    return '"' + name.replace('"', '""') + '"'


@pytest.mark.parametrize("schema,table", list(TABLES) + [("one", "landed")])
def test_is_the_empty_results_schema_with_the_catalogs_nullability(env, schema, table):
    result = empty_result_schema(env.conn, f"SELECT * FROM {quoted(schema)}.{quoted(table)} LIMIT 0")
    nullable = catalog_nullability(env, schema, table)
    expected = pa.schema([f.with_nullable(n) for f, n in zip(result, nullable, strict=True)])
    answers = [env.conn.adbc_get_table_schema(name, db_schema_filter=schema)
               for name in (table, table.upper(), table, table)]
    assert answers == [expected] * len(answers)
    if table == "landed":
        assert [f.nullable for f in expected] == [f.nullable for f in LANDED]


@pytest.mark.parametrize("schema,table,sent", [
    # Known to the snapshot, with types only compute can tell: the names it resolved.
    ("ONE", "TYPED", 'SELECT * FROM "zorvane"."one"."typed" LIMIT 0'),
    ("one", 'WE"IRD', 'SELECT * FROM "zorvane"."one"."we""ird" LIMIT 0'),
    # Unknown to the snapshot: the names as given.
    ("One", "No_such", 'SELECT * FROM "One"."No_such" LIMIT 0'),
    # Answered by the snapshot alone: nothing is sent.
    ("dos_é", "MIXED", None),
])
def test_compute_is_asked_by_the_names_the_snapshot_resolved(env, schema, table, sent):
    before = env.trace.read_text() if env.trace.exists() else ""
    try:
        env.conn.adbc_get_table_schema(table, db_schema_filter=schema)
    except dm.Error:
        assert sent is not None and "No_such" in sent
    new = env.trace.read_text()[len(before):]
    asked = [line.split(TRACE_LABEL, 1)[1] for line in new.splitlines() if TRACE_LABEL in line]
    assert asked == ([sent] if sent else [])


def test_a_name_in_several_schemas_is_never_merged(env):
    # Without a schema the name resolves as compute resolves it, here not at
    # all: neither table lives in the default schema.
    with pytest.raises(dm.Error):
        env.conn.adbc_get_table_schema("twin")
    one = env.conn.adbc_get_table_schema("twin", db_schema_filter="one")
    assert one.names == ["x", "y"]


def test_compute_answers_are_read_by_the_schema_they_declare_first(driver_path):
    # INIT declares a NOT NULL field; the batch after it says nullable.
    declared = pa.schema([pa.field("x", pa.int32(), nullable=False)])
    batch = pa.RecordBatch.from_pylist([], schema=pa.schema([pa.field("x", pa.int32())]))
    schema_ipc = frame_client.ipc_bytes(pa.Table.from_pylist([], schema=declared), schema_only=True)
    init = init_frame({"streamId": "s", "resultSets": [
        {"rowsAffected": -1, "schemaIpc": base64.b64encode(schema_ipc).decode()}]})
    with HostileServer() as compute:
        compute.route("POST", "/api/v1/query/stream/binary",
                      framed(init, batch_frame(frame_client.ipc_bytes(batch)), eos_frame()))
        # No snapshot on this node: every call asks compute, by the names given.
        conn = dbapi.connect(driver=driver_path, db_kwargs={
            "uri": compute.url, "adbc.zorvane.session_token": "tok", "adbc.zorvane.compute_url": compute.url})
        try:
            answers = [conn.adbc_get_table_schema("t") for _ in range(12)]
        finally:
            conn.close()
    assert answers == [declared] * len(answers)

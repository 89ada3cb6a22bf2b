"""The ADBC surface call by call, as the ADBC C header documents it.

Each assertion message quotes the header's own words, so a departure names the
rule it breaks. Where this driver departs on purpose (the service has no
explicit transactions), the test says so and checks the documented refusal.
"""

import adbc_driver_manager as dm
import pyarrow as pa
import pytest
from driver_helpers import connected

INFO_CODES = {
    0: ("vendor_name", "string_value"),
    1: ("vendor_version", "string_value"),
    2: ("vendor_arrow_version", "string_value"),
    100: ("driver_name", "string_value"),
    101: ("driver_version", "string_value"),
    102: ("driver_arrow_version", "string_value"),
}


@pytest.fixture(scope="module")
def conn(driver_path, devserver):
    with connected(driver_path, devserver.url, username="demo", password="demo") as c:
        yield c


def read(handle):
    """The table behind an ArrowArrayStream handle of the low-level API (the
    handle must stay alive until the import has taken its stream)."""
    return pa.RecordBatchReader._import_from_c(handle.address).read_all()


def get_objects(conn, depth, **filters):
    return read(conn.get_objects(depth, **filters))


# --- Transactions -------------------------------------------------------------

@pytest.mark.parametrize("call", ["commit", "rollback"])
def test_commit_and_rollback_in_autocommit_are_invalid_state(conn, call):
    # The service has no explicit transactions, so autocommit is always on.
    with pytest.raises(dm.Error) as raised:
        getattr(conn, call)()
    assert raised.value.status_code == dm.AdbcStatusCode.INVALID_STATE, (
        "header: AdbcConnectionCommit/Rollback - 'If the connection is in autocommit mode, "
        "ADBC_STATUS_INVALID_STATE'")
    assert raised.value.sqlstate == "25000"
    assert "no transaction in progress" in str(raised.value)


# --- GetInfo ------------------------------------------------------------------

def test_get_info_reports_each_standard_code_in_its_union_member(conn):
    table = read(conn.get_info())
    assert table.schema.field("info_name").type == pa.uint32(), \
        "header: GetInfo 'info_name | uint32 not null'"
    values = {}
    for row in table.to_pylist():
        values[row["info_name"]] = row["info_value"]
    for code, (name, _member) in INFO_CODES.items():
        assert code in values, f"GetInfo must report {name} ({code})"
        assert isinstance(values[code], str) and values[code], name


def test_get_info_with_a_code_list_returns_only_those_codes(conn):
    assert sorted(read(conn.get_info([0, 100])).column("info_name").to_pylist()) == [0, 100], \
        "header: GetInfo 'info_codes: A list of metadata codes to fetch, or NULL to fetch all'"


# --- GetObjects ---------------------------------------------------------------

def tables_of(result):
    for catalog in result.to_pylist():
        for schema in catalog["catalog_db_schemas"] or []:
            for table in schema["db_schema_tables"] or []:
                yield catalog["catalog_name"], schema["db_schema_name"], table


@pytest.mark.parametrize("depth, null_level", [
    (dm.GetObjectsDepth.CATALOGS, "catalog_db_schemas"),
    (dm.GetObjectsDepth.DB_SCHEMAS, "db_schema_tables"),
    (dm.GetObjectsDepth.TABLES, "table_columns and table_constraints"),
    (dm.GetObjectsDepth.ALL, None),
])
def test_get_objects_nulls_every_level_below_the_depth(conn, depth, null_level):
    result = get_objects(conn, depth, db_schema="sales")
    rows = result.to_pylist()
    assert rows, "the demo catalog has schema sales"
    rule = ("header: GetObjects depth - 'If 1, display only catalogs (i.e. catalog_schemas will "
            "be null). If 2, display only catalogs and schemas (i.e. db_schema_tables will be "
            "null), and so on.'")
    for catalog in rows:
        if null_level == "catalog_db_schemas":
            assert catalog["catalog_db_schemas"] is None, rule
            continue
        assert catalog["catalog_db_schemas"] is not None, rule
        for schema in catalog["catalog_db_schemas"]:
            if null_level == "db_schema_tables":
                assert schema["db_schema_tables"] is None, rule
                continue
            assert schema["db_schema_tables"] is not None, rule
            for table in schema["db_schema_tables"]:
                below = table["table_columns"] is None, table["table_constraints"] is None
                assert below == ((True, True) if null_level else (False, False)), rule


def test_get_objects_foreign_keys_name_the_referenced_columns(conn):
    result = get_objects(conn, dm.GetObjectsDepth.ALL, db_schema="sales")
    found = {}
    for _catalog, _schema, table in tables_of(result):
        for constraint in table["table_constraints"]:
            rule = ("header: CONSTRAINT_SCHEMA 'constraint_column_usage | list<USAGE_SCHEMA> | "
                    "For FOREIGN KEY only, the referenced table and columns.'")
            if constraint["constraint_type"] != "FOREIGN KEY":
                assert constraint["constraint_column_usage"] is None, rule
                continue
            usage = constraint["constraint_column_usage"]
            assert usage is not None and len(usage) == len(constraint["constraint_column_names"]), \
                rule
            for column, used in zip(constraint["constraint_column_names"], usage):
                found[(table["table_name"], column)] = (used["fk_catalog"], used["fk_db_schema"],
                                                        used["fk_table"], used["fk_column_name"])
    catalog = result.column("catalog_name")[0].as_py()
    assert found[("orders", "customer_id")] == (catalog, "sales", "customers", "customer_id")
    assert found[("order_items", "product_id")] == (catalog, "sales", "products", "product_id")


def test_get_objects_table_type_filter_and_empty_result_schema(conn):
    result = get_objects(conn, dm.GetObjectsDepth.TABLES, table_name="no_such_%")
    assert result.num_rows == 0
    assert result.schema.names == ["catalog_name", "catalog_db_schemas"], \
        "header: GetObjects result 'catalog_name | utf8, catalog_db_schemas | list<...>'"
    views = get_objects(conn, dm.GetObjectsDepth.TABLES, table_types=["VIEW"])
    assert {t["table_type"] for _, _, t in tables_of(views)} == {"VIEW"}


def test_get_table_types_lists_the_types_get_objects_reports(conn):
    types = set(read(conn.get_table_types()).column("table_type").to_pylist())
    reported = {t["table_type"] for _, _, t in
                tables_of(get_objects(conn, dm.GetObjectsDepth.TABLES))}
    assert reported <= types, \
        "header: GetObjects table_type 'Valid table types can be fetched from GetTableTypes'"


# --- Statement states ---------------------------------------------------------

def test_execute_without_a_query_is_invalid_state(conn):
    with dm.AdbcStatement(conn) as stmt:
        with pytest.raises(dm.Error) as raised:
            stmt.execute_query()
        assert raised.value.status_code == dm.AdbcStatusCode.INVALID_STATE, \
            "header: ExecuteQuery without SetSqlQuery/Bind has nothing to run: INVALID_STATE"


def test_execute_update_without_a_query_is_invalid_state(conn):
    with dm.AdbcStatement(conn) as stmt:
        with pytest.raises(dm.Error) as raised:
            stmt.execute_update()
        assert raised.value.status_code == dm.AdbcStatusCode.INVALID_STATE


def test_get_table_schema_needs_a_table_name(conn):
    with pytest.raises(dm.Error) as raised:
        conn.get_table_schema(None, None, "")
    assert raised.value.status_code == dm.AdbcStatusCode.INVALID_ARGUMENT


def test_turning_autocommit_off_is_refused_as_unsupported(driver_path, devserver):
    # On purpose: the service has no explicit transactions. The header lets a
    # driver refuse the option with NOT_IMPLEMENTED.
    with dm.AdbcDatabase(driver=driver_path, uri=devserver.url, username="demo",
                         password="demo") as db:
        with pytest.raises(dm.Error) as raised:
            dm.AdbcConnection(db, **{"adbc.connection.autocommit": "false"})
        assert raised.value.status_code == dm.AdbcStatusCode.NOT_IMPLEMENTED


def test_unknown_statement_option_is_not_implemented(conn):
    with dm.AdbcStatement(conn) as stmt:
        with pytest.raises(dm.Error) as raised:
            stmt.set_options(**{"adbc.no.such.option": "1"})
        assert raised.value.status_code == dm.AdbcStatusCode.NOT_IMPLEMENTED, \
            "header: SetOption 'ADBC_STATUS_NOT_IMPLEMENTED if the option is not recognized'"


# --- GetTableSchema -----------------------------------------------------------

def test_get_table_schema_of_a_known_table(conn):
    handle = conn.get_table_schema(None, "sales", "orders")
    schema = pa.Schema._import_from_c(handle.address)
    assert "order_id" in schema.names


@pytest.mark.parametrize("db_schema, table", [("sales", "no_such_table"), (None, "no_such_table"),
                                              ("no_such_schema", "orders")])
def test_get_table_schema_of_a_missing_table_is_not_found(conn, db_schema, table):
    with pytest.raises(dm.Error) as raised:
        conn.get_table_schema(None, db_schema, table)
    assert raised.value.status_code == dm.AdbcStatusCode.NOT_FOUND, \
        "header: GetTableSchema - 'ADBC_STATUS_NOT_FOUND if the table does not exist'"
    assert raised.value.sqlstate == "42S02"


# --- Ingest modes -------------------------------------------------------------

INGEST_MODES = {
    "create": "adbc.ingest.mode.create",
    "append": "adbc.ingest.mode.append",
    "replace": "adbc.ingest.mode.replace",
    "create_append": "adbc.ingest.mode.create_append",
}

_ingest_serial = iter(range(1_000_000))


def ingest(conn, table, data, mode):
    with dm.AdbcStatement(conn) as stmt:
        stmt.set_options(**{"adbc.ingest.target_table": table,
                            "adbc.ingest.mode": INGEST_MODES[mode]})
        reader = pa.RecordBatchReader.from_batches(data.schema, data.to_batches())
        stmt.bind_stream(reader)
        return stmt.execute_update()


def count_rows(conn, table):
    with dm.AdbcStatement(conn) as stmt:
        stmt.set_sql_query(f'SELECT count(*) AS n FROM "{table}"')
        handle, _ = stmt.execute_query()
        return read(handle).column("n")[0].as_py()


# (mode, table exists before?, expected status or None, rows afterwards)
@pytest.mark.parametrize("mode, exists, failure, rows_after", [
    ("create", False, None, 2),
    ("create", True, (dm.AdbcStatusCode.ALREADY_EXISTS, "42S01"), 3),
    ("append", False, (dm.AdbcStatusCode.NOT_FOUND, "42S02"), None),
    ("append", True, None, 5),
    ("replace", False, None, 2),
    ("replace", True, None, 2),
    ("create_append", False, None, 2),
    ("create_append", True, None, 5),
])
def test_ingest_modes_as_the_header_defines_them(conn, mode, exists, failure, rows_after):
    rule = {
        "create": "'Create the table and insert data; error if the table exists.'",
        "append": "'Do not create the table, and insert data; error if the table does not "
                  "exist (ADBC_STATUS_NOT_FOUND) or does not match the schema of the data'",
        "replace": "'Create the table and insert data; drop the original table if it "
                   "already exists.'",
        "create_append": "'Insert data; create the table if it does not exist, or error if "
                         "the table exists, but the schema does not match'",
    }[mode]
    table = f"conformance_{mode}_{next(_ingest_serial)}"
    old = pa.table({"id": pa.array([1, 2, 3], pa.int64()), "v": ["a", "b", "c"]})
    new = pa.table({"id": pa.array([10, 11], pa.int64()), "v": ["x", "y"]})
    if exists:
        ingest(conn, table, old, "create")
    if failure:
        with pytest.raises(dm.Error) as raised:
            ingest(conn, table, new, mode)
        assert (raised.value.status_code, raised.value.sqlstate) == failure, f"header: {rule}"
    else:
        affected = ingest(conn, table, new, mode)
        assert affected in (-1, 2), "rows affected counts the rows loaded"
    if rows_after is not None:
        assert count_rows(conn, table) == rows_after, f"header: {rule}"


# --- Type round trip ----------------------------------------------------------

# Every Arrow type, with what a round trip through ingest and a query does to
# it: "exact" (same type and values), a type it comes back as (values kept),
# or "refused" (NOT_IMPLEMENTED before anything is sent, naming the column).
ROUND_TRIP = [
    (pa.bool_(), [True, None, False], "exact"),
    (pa.int8(), [-128, None, 127], "exact"),
    (pa.int16(), [-32768, 0, 32767], "exact"),
    (pa.int32(), [-2**31, None, 2**31 - 1], "exact"),
    (pa.int64(), [-2**63, None, 2**63 - 1], "exact"),
    (pa.uint8(), [0, None, 255], "exact"),
    (pa.uint16(), [0, 65535, None], "exact"),
    (pa.uint32(), [0, 2**32 - 1, None], "exact"),
    (pa.uint64(), [0, 2**64 - 1, None], "exact"),
    (pa.float16(), [1.5, None, -2.0], "refused"),
    (pa.float32(), [1.5, None, -2.25], "exact"),
    (pa.float64(), [1.5, float("inf"), None], "exact"),
    (pa.string(), ["a", None, "é'\""], "exact"),
    (pa.large_string(), ["a", None, "b"], pa.string()),
    (pa.binary(), [b"\x00\xff", None, b""], "exact"),
    (pa.date32(), [0, None, 19000], "exact"),
    (pa.time64("us"), [0, None, 86399999999], "exact"),
    (pa.timestamp("us"), [0, None, 1_700_000_000_000_000], "exact"),
    (pa.timestamp("ms"), [0, None, 1_700_000_000_000], "exact"),
    (pa.timestamp("s"), [0, None, 1_700_000_000], "exact"),
    (pa.timestamp("ns"), [0, None, 1_700_000_000_000_000_001], "exact"),
    # Zoned timestamps are stored as instants to the microsecond and come back
    # in the service's session time zone: the instant is kept, the unit and
    # the zone name are not.
    (pa.timestamp("us", tz="UTC"), [0, None, 1_700_000_000_000_000], "instant"),
    (pa.timestamp("s", tz="Europe/Paris"), [0, None, 1_700_000_000], "instant"),
    (pa.timestamp("ms", tz="UTC"), [0, None, 1_700_000_000_000], "instant"),
    (pa.decimal128(10, 2), ["1.25", None, "-99999999.99"], "exact"),
    (pa.duration("ns"), [-42, None, 1], "refused"),
]


def typed_array(arrow_type, values):
    if pa.types.is_decimal(arrow_type):
        import decimal
        values = [None if v is None else decimal.Decimal(v) for v in values]
    return pa.array(values, arrow_type)


@pytest.mark.parametrize("arrow_type, values, outcome", ROUND_TRIP,
                         ids=[str(t) for t, _, _ in ROUND_TRIP])
def test_type_round_trip(conn, arrow_type, values, outcome):
    table = f"conformance_type_{next(_ingest_serial)}"
    data = pa.table({"c": typed_array(arrow_type, values)})
    if outcome == "refused":
        with pytest.raises(dm.Error) as raised:
            ingest(conn, table, data, "create")
        assert raised.value.status_code == dm.AdbcStatusCode.NOT_IMPLEMENTED
        assert "column 'c'" in str(raised.value) and str(arrow_type) in str(raised.value)
        return
    ingest(conn, table, data, "create")
    with dm.AdbcStatement(conn) as stmt:
        stmt.set_sql_query(f'SELECT c FROM "{table}"')
        handle, _ = stmt.execute_query()
        back = read(handle).column("c")
    if outcome == "instant":
        assert pa.types.is_timestamp(back.type) and back.type.unit == "us" and back.type.tz
        as_utc_micros = pa.timestamp("us", tz="UTC")
        assert back.cast(as_utc_micros).to_pylist() == \
            data.column("c").cast(as_utc_micros).to_pylist()
        return
    expected_type = arrow_type if outcome == "exact" else outcome
    assert back.type == expected_type
    assert back.to_pylist() == data.column("c").cast(expected_type).to_pylist()

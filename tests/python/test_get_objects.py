"""AdbcConnectionGetObjects through the real driver manager against the dev
server's demo catalog (schema sales), and on a connection whose snapshot
fetch failed."""

import adbc_driver_manager.dbapi as dbapi
import frame_client
import pytest
from server_fixture import start_devserver

SALES_TABLES = {
    "customers": "BASE TABLE",
    "products": "BASE TABLE",
    "orders": "BASE TABLE",
    "order_items": "BASE TABLE",
    "order_totals": "VIEW",
}


def connect(driver_path, url):
    return dbapi.connect(driver=driver_path,
                         db_kwargs={"uri": url, "username": "demo", "password": "demo"},
                         autocommit=True)


@pytest.fixture(scope="module")
def conn(driver_path, devserver):
    with connect(driver_path, devserver.url) as c:
        yield c


def objects(conn, **kwargs):
    return conn.adbc_get_objects(**kwargs).read_all().to_pylist()


def sales_tables(rows):
    """{table name: table struct} of schema sales, from every catalog."""
    return tables_of(rows, "sales")


def tables_of(rows, schema_name):
    """{table name: table struct} of one schema, from every catalog."""
    found = {}
    for catalog in rows:
        for schema in catalog["catalog_db_schemas"] or []:
            if schema["db_schema_name"] == schema_name:
                for table in schema["db_schema_tables"] or []:
                    found[table["table_name"]] = table
    return found


def test_tables_and_columns_match_the_servers_catalog(conn):
    tables = sales_tables(objects(conn, depth="all"))
    assert {name: t["table_type"] for name, t in tables.items()} == SALES_TABLES
    cur = conn.cursor()
    cur.execute("SELECT table_name, column_name, ordinal_position, is_nullable "
                "FROM information_schema.columns WHERE table_schema = 'sales'")
    expected = {}
    for table, column, ordinal, nullable in cur.fetchall():
        expected.setdefault(table, []).append((ordinal, column, nullable))
    cur.close()
    for name, table in tables.items():
        got = [(c["ordinal_position"], c["column_name"], c["xdbc_is_nullable"])
               for c in table["table_columns"]]
        assert got == sorted(expected[name]), name
    scope = tables["orders"]["table_columns"][0]
    assert (scope["xdbc_scope_schema"], scope["xdbc_scope_table"]) == ("sales", "orders")
    status = [c for c in tables["orders"]["table_columns"] if c["column_name"] == "status"][0]
    assert status["xdbc_column_def"] == "'open'"
    assert status["xdbc_type_name"] == "VARCHAR"


def test_keys_of_the_demo_schema(conn):
    tables = sales_tables(objects(conn, depth="all"))

    def keys(table, kind):
        return sorted(c["constraint_column_names"] for c in tables[table]["table_constraints"]
                      if c["constraint_type"] == kind)

    assert keys("order_items", "PRIMARY KEY") == [["order_id", "line_no"]]
    assert keys("order_items", "FOREIGN KEY") == [["order_id"], ["product_id"]]
    assert keys("orders", "FOREIGN KEY") == [["customer_id"]]
    assert keys("customers", "PRIMARY KEY") == [["customer_id"]]
    assert tables["order_totals"]["table_constraints"] == []
    usage = {c["constraint_column_names"][0]: c["constraint_column_usage"]
             for c in tables["order_items"]["table_constraints"]
             if c["constraint_type"] == "FOREIGN KEY"}
    for column, (table, referenced) in {"order_id": ("orders", "order_id"),
                                        "product_id": ("products", "product_id")}.items():
        assert [(u["fk_db_schema"], u["fk_table"], u["fk_column_name"]) for u in usage[column]] \
            == [("sales", table, referenced)]
    for constraint in tables["order_items"]["table_constraints"]:
        if constraint["constraint_type"] != "FOREIGN KEY":
            assert constraint["constraint_column_usage"] is None


@pytest.mark.parametrize("depth, level_that_is_null", [
    ("catalogs", "catalog_db_schemas"),
    ("db_schemas", "db_schema_tables"),
    ("tables", "table_columns"),
    ("all", None),
])
def test_depth_decides_the_nesting(conn, depth, level_that_is_null):
    rows = objects(conn, depth=depth, db_schema_filter="sales")
    assert len(rows) == 1
    if level_that_is_null == "catalog_db_schemas":
        assert rows[0]["catalog_db_schemas"] is None
        return
    schema = rows[0]["catalog_db_schemas"][0]
    if level_that_is_null == "db_schema_tables":
        assert schema["db_schema_tables"] is None
        return
    for table in schema["db_schema_tables"]:
        # Columns and constraints are both null below depth "all", never empty lists.
        assert (table["table_columns"] is None) == (level_that_is_null == "table_columns")
        assert (table["table_constraints"] is None) == (level_that_is_null == "table_columns")


@pytest.mark.parametrize("kwargs, expected_tables", [
    ({"table_name_filter": "ORD%"}, {"orders", "order_items", "order_totals"}),
    ({"table_types_filter": ["view"]}, {"order_totals"}),
    ({"table_types_filter": ["BASE TABLE"]}, set(SALES_TABLES) - {"order_totals"}),
    ({"db_schema_filter": "SALES", "table_name_filter": "order\\_items"}, {"order_items"}),
    ({"table_name_filter": "order_items_"}, set()),
    ({"catalog_filter": "no_such_catalog"}, set()),
])
def test_filters(conn, kwargs, expected_tables):
    rows = objects(conn, depth="tables", **kwargs)
    assert set(sales_tables(rows)) == expected_tables
    if not expected_tables:
        assert rows == [] or all(not s["db_schema_tables"] for c in rows
                                 for s in c["catalog_db_schemas"])


def test_catalog_depth_with_a_table_filter_lists_only_catalogs_holding_a_match(conn):
    rows = objects(conn, depth="catalogs", table_name_filter="ORD%")
    assert len(rows) == 1
    assert rows[0]["catalog_name"]
    assert rows[0]["catalog_db_schemas"] is None
    assert objects(conn, depth="catalogs", table_name_filter="zz%") == []


@pytest.mark.parametrize("pattern, expected", [
    ("no_such_column", {}),
    ("%_ID", {"customers": ["customer_id"], "orders": ["order_id", "customer_id"],
              "order_items": ["order_id", "product_id"], "products": ["product_id"],
              "order_totals": ["order_id", "customer_id"]}),
])
def test_column_filter(conn, pattern, expected):
    tables = sales_tables(objects(conn, depth="all", column_name_filter=pattern))
    assert set(tables) == set(SALES_TABLES)
    for name, table in tables.items():
        assert [c["column_name"] for c in table["table_columns"]] == expected.get(name, [])
    if expected:
        line = tables["order_items"]["table_columns"][1]
        assert line["ordinal_position"] == 3  # product_id keeps its place


def test_catalogs_and_schemas_without_tables_appear_at_their_depths(driver_path):
    with start_devserver(nodes=1) as srv:
        token = frame_client.login(srv.url)
        created = frame_client.query(next(iter(srv.node_urls.values())), token, 'CREATE SCHEMA "Leer_é"')
        assert not created.error_body and not created.error
        with connect(driver_path, srv.url) as c:
            def schemas(**kwargs):
                return {s["db_schema_name"] for cat in objects(c, depth="db_schemas", **kwargs)
                        for s in cat["catalog_db_schemas"]}

            assert {"sales", "Leer_é"} <= schemas()
            assert schemas(db_schema_filter="Leer%") == {"Leer_é"}
            # A table filter asks for schemas holding a matching table.
            assert "Leer_é" not in schemas(table_name_filter="%")
            catalogs = objects(c, depth="catalogs", db_schema_filter="Leer%")
            assert len(catalogs) == 1 and catalogs[0]["catalog_db_schemas"] is None
    # Also where no schema holds any table yet.
    with start_devserver(nodes=1, demo_data=False) as srv:
        token = frame_client.login(srv.url)
        assert not frame_client.query(next(iter(srv.node_urls.values())), token, "CREATE SCHEMA first").error
        with connect(driver_path, srv.url) as c:
            assert "first" in {s["db_schema_name"] for cat in objects(c, depth="db_schemas")
                               for s in cat["catalog_db_schemas"]}


# Every column type the dev server's compute can create, with the ODBC code
# GetObjects gives it (types the codes do not cover are VARCHAR's, 12).
TYPE_CODES = [
    ("BOOLEAN", -7), ("TINYINT", -6), ("SMALLINT", 5), ("INTEGER", 4), ("BIGINT", -5), ("HUGEINT", 12),
    ("UTINYINT", 12), ("USMALLINT", 12), ("UINTEGER", 12), ("UBIGINT", 12), ("UHUGEINT", 12),
    ("REAL", 7), ("DOUBLE", 8), ("DECIMAL(12,2)", 3), ("VARCHAR(20)", 12), ("BLOB", -3), ("BIT", -7),
    ("DATE", 91), ("TIME", 92), ("TIMETZ", 92), ("TIMESTAMP", 93), ("TIMESTAMP WITH TIME ZONE", 95),
    ("TIMESTAMP_S", 93), ("TIMESTAMP_NS", 93), ("INTERVAL", 12), ("UUID", 12), ("JSON", 12),
    ("INTEGER[]", 12), ("VARCHAR[3]", 12), ("MAP(VARCHAR, INTEGER)", 12), ("STRUCT(a INTEGER, b VARCHAR)", 12),
    ("UNION(n INTEGER, s VARCHAR)", 12), ("ENUM('x', 'y')", 12), ("VARINT", 12),
]


def test_type_names_are_the_services_own(driver_path):
    with start_devserver(nodes=1, demo_data=False) as srv:
        token = frame_client.login(srv.url)
        node = next(iter(srv.node_urls.values()))
        columns = ", ".join(f"c{i} {t}" for i, (t, _) in enumerate(TYPE_CODES))
        for sql in ("CREATE SCHEMA typed", f"CREATE TABLE typed.every_type ({columns})"):
            created = frame_client.query(node, token, sql)
            assert not created.error_body and not created.error, sql
        answer = frame_client.query(node, token, "SELECT column_name, data_type FROM information_schema.columns "
                                                 "WHERE table_name = 'every_type'")
        service_names = {r["column_name"]: r["data_type"] for r in answer.table().to_pylist()}
        assert service_names["c11"] == "FLOAT" and service_names["c13"] == "DECIMAL(12,2)"
        with connect(driver_path, srv.url) as c:
            (table,) = tables_of(objects(c, depth="all", table_name_filter="every_type"), "typed").values()
        got = {col["column_name"]: (col["xdbc_type_name"], col["xdbc_data_type"], col["xdbc_sql_data_type"])
               for col in table["table_columns"]}
        assert got == {f"c{i}": (service_names[f"c{i}"], code, code) for i, (_, code) in enumerate(TYPE_CODES)}

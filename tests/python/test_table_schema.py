"""AdbcConnectionGetTableSchema returns exactly the schema of an empty result
of the table (SELECT * FROM t LIMIT 0 on compute), for every column type the
service knows and for names that exist in several schemas."""

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
import frame_client
import pytest
from server_fixture import start_devserver

COLUMNS = ("a INTEGER NOT NULL, b DECIMAL(10,2), c TIMESTAMP WITH TIME ZONE, d TIMESTAMP, e REAL, f SMALLINT, "
           "g BLOB, h VARCHAR(20), i DATE, j BOOLEAN, k BIGINT, l DOUBLE, m TINYINT, n TIME, o HUGEINT, "
           "p UUID, r DECIMAL(20,3) NOT NULL, s DECIMAL(4,1), u UBIGINT")
TABLES = {("one", "typed"): COLUMNS, ("one", "twin"): "x INTEGER, y VARCHAR",
          ("two", "twin"): "z DOUBLE", ("Dos_é", "Mixed"): "id BIGINT, \"Name\" VARCHAR"}


@pytest.fixture(scope="module")
def conn(driver_path):
    with start_devserver(nodes=1, demo_data=False) as srv:
        token = frame_client.login(srv.url)
        node = next(iter(srv.node_urls.values()))
        ddl = ["CREATE SCHEMA one", "CREATE SCHEMA two", 'CREATE SCHEMA "Dos_é"']
        ddl += [f'CREATE TABLE "{schema}"."{table}" ({columns})' for (schema, table), columns in TABLES.items()]
        for statement in ddl:
            result = frame_client.query(node, token, statement)
            assert not result.error_body and not result.error, statement
        with dbapi.connect(driver=driver_path, db_kwargs={"uri": srv.url, "username": "demo",
                                                          "password": "demo"}) as c:
            yield c


def empty_result_schema(conn, sql):
    with conn.cursor() as cur:
        cur.execute(sql)
        return cur.fetch_arrow_table().schema


@pytest.mark.parametrize("schema,table", list(TABLES))
def test_equals_the_schema_of_an_empty_result(conn, schema, table):
    expected = empty_result_schema(conn, f'SELECT * FROM "{schema}"."{table}" LIMIT 0')
    assert conn.adbc_get_table_schema(table, db_schema_filter=schema) == expected
    assert conn.adbc_get_table_schema(table.upper(), db_schema_filter=schema) == expected


def test_a_name_in_several_schemas_is_never_merged(conn):
    # Without a schema the name resolves as compute resolves it, here not at
    # all: neither table lives in the default schema.
    with pytest.raises(dm.Error):
        conn.adbc_get_table_schema("twin")
    one = conn.adbc_get_table_schema("twin", db_schema_filter="one")
    assert one.names == ["x", "y"]

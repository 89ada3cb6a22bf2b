"""The nine information_schema relations of the catalog snapshot, read from DuckDB's catalog."""
from __future__ import annotations

import pyarrow as pa

from .arrow_ipc import single_batch
from .database import Database
from .odbc_columns import odbc_columns

SLOT_NAMES = ("catalogs", "schemata", "tables", "columns", "views", "key_column_usage", "odbc_columns",
              "table_constraints", "referential_constraints")

# Integer precision is reported in decimal digits, as ODBC clients expect,
# rather than DuckDB's bit counts. data_type is the type's name as compute's
# information_schema.columns gives it.
_QUERIES = {
    "catalogs": """
        SELECT database_name AS catalog_name, comment AS description
        FROM duckdb_databases() WHERE database_name = current_database()""",
    "schemata": """
        SELECT catalog_name, schema_name, schema_owner, default_character_set_catalog,
               default_character_set_schema, default_character_set_name, sql_path
        FROM information_schema.schemata WHERE catalog_name = current_database()
        ORDER BY schema_name""",
    "tables": """
        SELECT table_catalog, table_schema, table_name, table_type, is_insertable_into,
               TABLE_COMMENT AS description
        FROM information_schema.tables WHERE table_catalog = current_database()
        ORDER BY table_schema, table_name""",
    "columns": """
        SELECT table_catalog, table_schema, table_name, column_name,
               ordinal_position::INTEGER AS ordinal_position,
               data_type,
               is_nullable, column_default,
               character_maximum_length::INTEGER AS character_maximum_length,
               character_octet_length::INTEGER AS character_octet_length,
               CASE data_type WHEN 'TINYINT' THEN 3 WHEN 'SMALLINT' THEN 5 WHEN 'INTEGER' THEN 10
                    WHEN 'BIGINT' THEN 19 ELSE numeric_precision END::INTEGER AS numeric_precision,
               CASE WHEN data_type IN ('TINYINT', 'SMALLINT', 'INTEGER', 'BIGINT') THEN 10
                    ELSE numeric_precision_radix END::INTEGER AS numeric_precision_radix,
               numeric_scale::INTEGER AS numeric_scale,
               datetime_precision::INTEGER AS datetime_precision,
               CASE WHEN coalesce(is_identity, false) THEN 'YES' ELSE 'NO' END AS is_identity,
               is_generated,
               COLUMN_COMMENT AS description
        FROM information_schema.columns WHERE table_catalog = current_database()
        ORDER BY table_schema, table_name, ordinal_position""",
    "views": """
        SELECT table_catalog, table_schema, table_name, view_definition, check_option, is_updatable
        FROM information_schema.views WHERE table_catalog = current_database()
        ORDER BY table_schema, table_name""",
    "key_column_usage": """
        SELECT constraint_catalog, constraint_schema, constraint_name, table_catalog, table_schema, table_name,
               column_name, ordinal_position::INTEGER AS ordinal_position,
               position_in_unique_constraint::INTEGER AS position_in_unique_constraint
        FROM information_schema.key_column_usage WHERE table_catalog = current_database()""",
    "table_constraints": """
        SELECT database_name AS constraint_catalog, schema_name AS constraint_schema, constraint_name,
               database_name AS table_catalog, schema_name AS table_schema, table_name, constraint_type,
               'NO' AS is_deferrable, 'NO' AS initially_deferred, 'YES' AS enforced
        FROM duckdb_constraints()
        WHERE database_name = current_database()
          AND constraint_type IN ('PRIMARY KEY', 'FOREIGN KEY', 'UNIQUE', 'CHECK')
        ORDER BY schema_name, table_name, constraint_name""",
    "referential_constraints": """
        SELECT constraint_catalog, constraint_schema, constraint_name, unique_constraint_catalog,
               unique_constraint_schema, unique_constraint_name, match_option, update_rule, delete_rule
        FROM information_schema.referential_constraints WHERE constraint_catalog = current_database()""",
}


def build_snapshot(db: Database) -> tuple[int, list[pa.RecordBatch]]:
    """(epoch, one record batch per slot in slot order). Runs in a worker thread."""
    cur = db.cursor()
    try:
        cur.execute("BEGIN TRANSACTION")  # one consistent view of the catalog for all slots
        epoch = db.version.sequence
        tables = {name: cur.sql(q).to_arrow_table() for name, q in _QUERIES.items()}
        cur.execute("COMMIT")
    finally:
        cur.close()
    tables["odbc_columns"] = odbc_columns(tables["columns"])
    return epoch, [single_batch(tables[name]) for name in SLOT_NAMES]

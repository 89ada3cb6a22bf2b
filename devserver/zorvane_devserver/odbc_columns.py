"""The odbc_columns relation: information_schema.columns reshaped as an ODBC SQLColumns result."""
from __future__ import annotations

import pyarrow as pa

# (SQL type code, type name, column size, decimal digits, radix, octet length); None is NULL
_UNKNOWN = (12, "VARCHAR", 65535, None, None, 262140)
_EXACT = {
    "tinyint": (-6, "TINYINT", 3, 0, 10, None),
    "smallint": (5, "SMALLINT", 5, 0, 10, None),
    "integer": (4, "INTEGER", 10, 0, 10, None),
    "int": (4, "INTEGER", 10, 0, 10, None),
    "bigint": (-5, "BIGINT", 19, 0, 10, None),
    "real": (7, "REAL", 24, None, 2, None),
    "double": (8, "DOUBLE PRECISION", 53, None, 2, None),
    "double precision": (8, "DOUBLE PRECISION", 53, None, 2, None),
    "boolean": (-7, "BIT", 1, None, None, None),
    "date": (91, "DATE", 10, 0, None, None),
    "time": (92, "TIME", 15, None, None, None),
    "varbinary": (-3, "VARBINARY", 65535, None, None, 65535),
    "decimal": (3, "DECIMAL", None, None, 10, None),
    "varchar": (12, "VARCHAR", 256, None, None, 1024),
    "uuid": (12, "VARCHAR", 36, None, None, 144),
}

SCHEMA = pa.schema([
    ("table_cat", pa.string()), ("table_schem", pa.string()), ("table_name", pa.string()),
    ("column_name", pa.string()), ("data_type", pa.int16()), ("type_name", pa.string()),
    ("column_size", pa.int32()), ("buffer_length", pa.int32()), ("decimal_digits", pa.int16()),
    ("num_prec_radix", pa.int16()), ("nullable", pa.int16()), ("remarks", pa.string()),
    ("column_def", pa.string()), ("sql_data_type", pa.int16()), ("sql_datetime_sub", pa.int16()),
    ("char_octet_length", pa.int32()), ("ordinal_position", pa.int32()), ("is_nullable", pa.string()),
])


# DuckDB's names of the types ODBC clients know by other names: its FLOAT is
# 32-bit, BLOB is a byte string, DECIMAL carries its parameters in the name.
_ODBC_NAME = {"float": "real", "blob": "varbinary"}


def _type_info(data_type: str) -> tuple:
    t = (data_type or "").lower()
    t = "decimal" if t.startswith("decimal(") else _ODBC_NAME.get(t, t)
    if t in _EXACT:
        return _EXACT[t]
    if t.startswith("timestamp with time zone"):
        return (95, "TIMESTAMP WITH TIME ZONE", 32, None, None, None)
    if t.startswith("timestamp"):
        return (93, "TIMESTAMP", 26, None, None, None)
    if t.startswith("time"):
        return (92, "TIME", 15, None, None, None)
    return _UNKNOWN


def _first(*values):
    return next((v for v in values if v is not None), None)


def odbc_columns(columns: pa.Table) -> pa.Table:
    rows = []
    for c in columns.to_pylist():
        code, name, size, digits, radix, octets = _type_info(c["data_type"])
        nullable = c["is_nullable"] != "NO"
        rows.append({
            "table_cat": c["table_catalog"], "table_schem": c["table_schema"], "table_name": c["table_name"],
            "column_name": c["column_name"], "data_type": code, "type_name": name,
            "column_size": _first(c["character_maximum_length"], c["numeric_precision"], size),
            "buffer_length": _first(c["character_octet_length"], octets),
            "decimal_digits": _first(c["numeric_scale"], digits),
            "num_prec_radix": c["numeric_precision_radix"] if c["numeric_precision"] is not None else radix,
            "nullable": 1 if nullable else 0, "remarks": c["description"], "column_def": c["column_default"],
            "sql_data_type": code, "sql_datetime_sub": code if code in (91, 92, 93) else None,
            "char_octet_length": _first(c["character_octet_length"], octets),
            "ordinal_position": c["ordinal_position"], "is_nullable": "YES" if nullable else "NO",
        })
    return pa.Table.from_pylist(rows, schema=SCHEMA)

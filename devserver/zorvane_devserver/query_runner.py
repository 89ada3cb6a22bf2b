"""Runs a SQL text on DuckDB and yields its result sets as Arrow; every method blocks (call from a thread)."""
from __future__ import annotations

import re
from dataclasses import dataclass

import duckdb
import pyarrow as pa

from .arrow_ipc import BatchEncoder
from .database import Database

ROW_STATEMENTS = {"SELECT", "EXPLAIN", "PRAGMA", "CALL", "RELATION", "EXECUTE"}
COUNT_STATEMENTS = {"INSERT", "UPDATE", "DELETE", "MERGE_INTO"}
CATALOG_STATEMENTS = {"CREATE", "CREATE_FUNC", "DROP", "ALTER", "ATTACH", "DETACH", "IMPORT", "COPY_DATABASE"}
EMPTY_SCHEMA = pa.schema([])
# DuckDB hands results over in vectors of this many rows; a batch of a few
# vectors is ready as soon as DuckDB has produced them, so the first batch of a
# streaming query arrives after the same short time whatever the result size,
# while batches of about TARGET_BATCH_BYTES keep the per-batch work small
# beside the data.
VECTOR_ROWS = 2048
TARGET_BATCH_BYTES = 2 << 20
MAX_BATCH_ROWS = 1 << 20
_TYPE_WIDTHS = {"BOOLEAN": 1, "TINYINT": 1, "UTINYINT": 1, "SMALLINT": 2, "USMALLINT": 2, "INTEGER": 4,
                "UINTEGER": 4, "DATE": 4, "FLOAT": 4, "VARCHAR": 24, "BLOB": 24, "HUGEINT": 16, "UHUGEINT": 16,
                "UUID": 16, "INTERVAL": 16}


@dataclass
class ResultSet:
    statement_type: str
    rows_affected: int
    schema: pa.Schema
    reader: pa.RecordBatchReader | None = None
    encoder: BatchEncoder | None = None


def _type_width(type_name: str) -> int:
    base = type_name.split("(", 1)[0].strip()
    if type_name.endswith("[]") or base in ("STRUCT", "MAP", "UNION") or "[" in type_name:
        return 64
    if base == "DECIMAL":
        return 16
    return _TYPE_WIDTHS.get(base, 8)


def batch_rows_for(types) -> int:
    """Rows per batch for a result of these DuckDB types, a whole number of vectors."""
    width = sum(_type_width(str(t)) for t in types) or 8
    rows = TARGET_BATCH_BYTES // width
    return max(VECTOR_ROWS, min(MAX_BATCH_ROWS, rows // VECTOR_ROWS * VECTOR_ROWS))


def _catalog_kinds(sql: str) -> tuple[str, ...]:
    head = sql.upper()
    if re.search(r"\bVIEW\b", head):
        return ("views_version",)
    if re.search(r"\bSCHEMA\b", head):
        return ("schemas_version",)
    return ("tables_version",)


class QueryRun:
    def __init__(self, db: Database, sql: str):
        self._db = db
        self._sql = sql
        self._cursor = db.cursor()
        self.result_sets: list[ResultSet] = []

    def execute(self) -> list[ResultSet]:
        """Run every statement; only a lone row-returning statement is left streaming."""
        statements = duckdb.extract_statements(self._sql)
        if not statements:
            raise duckdb.ParserException("Parser Error: syntax error: no statement in the SQL text")
        for stmt in statements:
            kind = stmt.type.name
            if kind in ROW_STATEMENTS:
                rel = self._cursor.sql(stmt.query)
                if rel is None:
                    self.result_sets.append(ResultSet(kind, 0, EMPTY_SCHEMA))
                    continue
                reader = rel.to_arrow_reader(batch_rows_for(rel.types))
                if len(statements) > 1:  # later statements must not run while this one still streams
                    table = reader.read_all()
                    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
                self.result_sets.append(ResultSet(kind, -1, reader.schema, reader, BatchEncoder(reader.schema)))
            else:
                self._cursor.execute(stmt.query)
                # Always drain: DuckDB refuses new work on a connection with an unfinished result.
                result = self._cursor.fetchall()
                rows = result[0][0] if kind in COUNT_STATEMENTS and result else 0
                if kind in CATALOG_STATEMENTS:
                    self._db.version.bump(*_catalog_kinds(stmt.query))
                self.result_sets.append(ResultSet(kind, int(rows or 0), EMPTY_SCHEMA))
        return self.result_sets

    def next_encoded(self, index: int, max_bytes: int) -> list[list] | None:
        """The next batch of result set index as IPC streams, each a list of pieces; None at its end."""
        result_set = self.result_sets[index]
        if result_set.reader is None:
            return None
        try:
            batch = result_set.reader.read_next_batch()
        except StopIteration:
            return None
        return list(result_set.encoder.slices(batch, max_bytes))

    def interrupt(self) -> None:
        self._cursor.interrupt()

    def close(self) -> None:
        for rs in self.result_sets:
            if rs.reader is not None:
                rs.reader.close()
        self._cursor.close()

"""Runs a SQL text on DuckDB and yields its result sets as Arrow; every method blocks (call from a thread)."""
from __future__ import annotations

import re
from dataclasses import dataclass

import duckdb
import pyarrow as pa

from .arrow_ipc import encoded_slices
from .database import Database

ROW_STATEMENTS = {"SELECT", "EXPLAIN", "PRAGMA", "CALL", "RELATION", "EXECUTE"}
COUNT_STATEMENTS = {"INSERT", "UPDATE", "DELETE", "MERGE_INTO"}
CATALOG_STATEMENTS = {"CREATE", "CREATE_FUNC", "DROP", "ALTER", "ATTACH", "DETACH", "IMPORT", "COPY_DATABASE"}
READER_BATCH_ROWS = 1 << 20
EMPTY_SCHEMA = pa.schema([])


@dataclass
class ResultSet:
    statement_type: str
    rows_affected: int
    schema: pa.Schema
    reader: pa.RecordBatchReader | None = None


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
                reader = rel.to_arrow_reader(READER_BATCH_ROWS)
                if len(statements) > 1:  # later statements must not run while this one still streams
                    table = reader.read_all()
                    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
                self.result_sets.append(ResultSet(kind, -1, reader.schema, reader))
            else:
                self._cursor.execute(stmt.query)
                # Always drain: DuckDB refuses new work on a connection with an unfinished result.
                result = self._cursor.fetchall()
                rows = result[0][0] if kind in COUNT_STATEMENTS and result else 0
                if kind in CATALOG_STATEMENTS:
                    self._db.version.bump(*_catalog_kinds(stmt.query))
                self.result_sets.append(ResultSet(kind, int(rows or 0), EMPTY_SCHEMA))
        return self.result_sets

    def next_encoded(self, index: int, max_bytes: int) -> list[pa.Buffer] | None:
        """IPC streams for the next batch of result set index, or None at its end."""
        reader = self.result_sets[index].reader
        if reader is None:
            return None
        try:
            batch = reader.read_next_batch()
        except StopIteration:
            return None
        return list(encoded_slices(batch, max_bytes))

    def interrupt(self) -> None:
        self._cursor.interrupt()

    def close(self) -> None:
        for rs in self.result_sets:
            if rs.reader is not None:
                rs.reader.close()
        self._cursor.close()

"""Runs a SQL text on DuckDB and yields its result sets as Arrow; every method blocks (call from a thread)."""
from __future__ import annotations

import re
from dataclasses import dataclass

import duckdb
import pyarrow as pa

from . import CATALOG_NAME
from .arrow_ipc import BatchEncoder
from .database import Database

ROW_STATEMENTS = {"SELECT", "EXPLAIN", "PRAGMA", "CALL", "RELATION", "EXECUTE"}
COUNT_STATEMENTS = {"INSERT", "UPDATE", "DELETE", "MERGE_INTO"}
CATALOG_STATEMENTS = {"CREATE", "CREATE_FUNC", "DROP", "ALTER", "ATTACH", "DETACH", "IMPORT", "COPY_DATABASE"}
EMPTY_SCHEMA = pa.schema([])
# DuckDB's settings for scans of Python variables (off: see Database), which a
# client's SET, RESET or PRAGMA must not turn back on.
_PYTHON_SETTING = re.compile(r"python_", re.IGNORECASE)
# A setting statement as this server runs it: SET or RESET first, then its
# scope if written. A plain SET of a setting DuckDB keeps for the whole
# database (memory_limit, threads) would change it for every client, so
# each runs with SESSION scope, where DuckDB refuses those.
_SETTING_STATEMENT = re.compile(r"\s*(SET|RESET)\s+(?:(SESSION|GLOBAL|LOCAL|VARIABLE)\b)?", re.IGNORECASE)
_SERVICE_CATALOG = re.compile(rf"\b{CATALOG_NAME}\b", re.IGNORECASE)


def _refused(what: str) -> duckdb.PermissionException:
    return duckdb.PermissionException(f"Permission Error: {what} cannot be changed by a query")


def _session_setting(text: str) -> str:
    """The setting statement text, run for the client's session only."""
    if _PYTHON_SETTING.search(text):
        raise _refused("the server's Python settings")
    match = _SETTING_STATEMENT.match(text)
    if match is None or (match.group(2) or "").upper() == "GLOBAL":
        raise _refused("a setting of the whole server (write SET or RESET without GLOBAL)")
    if match.group(2):
        return text
    return text[:match.end(1)] + " SESSION" + text[match.end(1):]
# DuckDB hands results over in vectors of this many rows, and its Arrow reader
# is asked for READ_VECTORS at a time: they are ready soon after DuckDB has
# produced them (see Database.cursor), so the first batch of a streaming query
# arrives after the same short time whatever the result size. Later batches
# join reads up to about TARGET_BATCH_BYTES, which keeps the per-batch work
# small beside the data; a read of a few vectors, not one, keeps the reads
# (each a wait on DuckDB that gives up the GIL) few.
VECTOR_ROWS = 2048
READ_VECTORS = 8
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
    reader: pa.RecordBatchReader | None = None  # of at most READ_VECTORS vectors a batch
    encoder: BatchEncoder | None = None
    batch_rows: int = VECTOR_ROWS  # in each batch after the first, once the first read measured the rows
    started: bool = False  # a batch of it has been read
    rest: pa.RecordBatch | None = None  # of its first read, after the first vector


def _type_width(type_name: str) -> int:
    base = type_name.split("(", 1)[0].strip()
    if type_name.endswith("[]") or base in ("STRUCT", "MAP", "UNION") or "[" in type_name:
        return 64
    if base == "DECIMAL":
        return 16
    return _TYPE_WIDTHS.get(base, 8)


def estimated_row_width(types) -> int:
    """Bytes a row of these DuckDB types takes in Arrow, as far as the types tell."""
    return sum(_type_width(str(t)) for t in types) or 8


def batch_rows_for(row_width: float) -> int:
    """Rows per batch at row_width bytes a row, a whole number of vectors."""
    rows = int(TARGET_BATCH_BYTES // max(1.0, row_width))
    return max(VECTOR_ROWS, min(MAX_BATCH_ROWS, rows // VECTOR_ROWS * VECTOR_ROWS))


def _catalog_kinds(sql: str) -> tuple[str, ...]:
    head = sql.upper()
    if re.search(r"\bVIEW\b", head):
        return ("views_version",)
    if re.search(r"\bSCHEMA\b", head):
        return ("schemas_version",)
    return ("tables_version",)


def _arrow_reader(cursor: duckdb.DuckDBPyConnection, stmt) -> pa.RecordBatchReader | None:
    """A streaming reader of the statement's rows, READ_VECTORS vectors a read
    at most (fewer for wide rows, so the first rows come as soon).

    These are the two engine calls DuckDB's relation layer (cursor.sql) makes
    itself, without what it adds around them for Python callers: a scan of
    the caller's variables, and the statement rendered and bound again. That
    took a third of the server's time on a one-row query. Both calls are of the
    pinned DuckDB release (requirements.txt). None for a statement without
    result columns, as cursor.sql gives."""
    _, types, _, _, _, _ = cursor._bind(stmt, with_writes=True, values=None)
    read_rows = min(batch_rows_for(estimated_row_width(types)), READ_VECTORS * VECTOR_ROWS)
    result = cursor._submit(stmt.query, None, "stream", read_rows)
    if not result.description:
        result.drain()
        return None
    return result.arrow_reader()


# Statements after which a connection's session state (settings, current
# catalog and schema, temporary objects, transaction) is as it was, so the
# connection may serve the next request.
STATELESS_STATEMENTS = {"SELECT", "EXPLAIN", "INSERT", "UPDATE", "DELETE"}


class QueryRun:
    def __init__(self, db: Database, sql: str):
        self._db = db
        self._sql = sql
        self._cursor: duckdb.DuckDBPyConnection | None = None
        self._reusable = False
        self._interrupted = False
        self._ended: set[int] = set()
        self.result_sets: list[ResultSet] = []

    def execute(self) -> list[ResultSet]:
        """Run every statement; only a lone row-returning statement is left streaming."""
        statements = duckdb.extract_statements(self._sql)
        if not statements:
            raise duckdb.ParserException("Parser Error: syntax error: no statement in the SQL text")
        self._cursor = self._db.cursor()
        kinds = {stmt.type.name for stmt in statements}
        for stmt in statements:
            kind = stmt.type.name
            sql = stmt.query
            if kind == "SET":
                sql = _session_setting(sql)
            elif kind == "DETACH" and _SERVICE_CATALOG.search(sql):
                raise _refused("the service's catalog")
            if kind in ROW_STATEMENTS:
                reader = _arrow_reader(self._cursor, stmt)
                if reader is None:
                    self.result_sets.append(ResultSet(kind, 0, EMPTY_SCHEMA))
                    continue
                if len(statements) > 1:  # later statements must not run while this one still streams
                    table = reader.read_all()
                    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
                self.result_sets.append(ResultSet(kind, -1, reader.schema, reader, BatchEncoder(reader.schema)))
            else:
                self._cursor.execute(sql)
                # Always drain: DuckDB refuses new work on a connection with an unfinished result.
                result = self._cursor.fetchall()
                rows = result[0][0] if kind in COUNT_STATEMENTS and result else 0
                if kind in CATALOG_STATEMENTS:
                    self._db.version.bump(*_catalog_kinds(stmt.query))
                self.result_sets.append(ResultSet(kind, int(rows or 0), EMPTY_SCHEMA))
        self._reusable = kinds <= STATELESS_STATEMENTS
        return self.result_sets

    def head(self, max_bytes: int) -> tuple[list[list], bool]:
        """The first batches of a lone result set as next_encoded gives them, and
        whether they are all of it: a first batch smaller than one vector is
        almost always the whole result, so the end is looked for at once and a
        small answer needs no further trip to a worker thread."""
        if len(self.result_sets) != 1:
            return [], False
        head = []
        for _ in range(2):
            encoded, rows = self._next(0, max_bytes)
            if encoded is None:
                return head, True
            head.append(encoded)
            if rows >= VECTOR_ROWS:
                break
        return head, False

    def next_encoded(self, index: int, max_bytes: int) -> list[list] | None:
        """The next batch of result set index as IPC streams, each a list of pieces; None at its end."""
        return self._next(index, max_bytes)[0]

    def _next(self, index: int, max_bytes: int) -> tuple[list[list] | None, int]:
        result_set = self.result_sets[index]
        batch, result_set.rest = result_set.rest, None
        if batch is None:
            batch = self._read(index)
            if batch is None:
                return None, 0
            if result_set.started:
                batch = self._join_reads(index, batch)
            elif batch.num_rows:
                # Lists, structs and strings may be of any size: the first
                # read measures the rows, and later batches are sized by it
                # (an estimate from the types alone cut a table of short
                # lists into batches of a third of the target).
                result_set.batch_rows = batch_rows_for(batch.nbytes / max(1, batch.num_rows))
            if not result_set.started and batch.num_rows > VECTOR_ROWS:
                # The first vector of a result goes out on its own: the client
                # has its first rows after one vector's encoding, transfer and
                # decoding, not a whole batch's, whatever the batch size.
                batch, result_set.rest = batch.slice(0, VECTOR_ROWS), batch.slice(VECTOR_ROWS)
            result_set.started = True
        return list(result_set.encoder.slices(batch, max_bytes)), batch.num_rows

    def _join_reads(self, index: int, batch: pa.RecordBatch) -> pa.RecordBatch:
        """batch and the reads after it, up to the result set's batch_rows."""
        parts, rows = [batch], batch.num_rows
        while rows < self.result_sets[index].batch_rows:
            more = self._read(index)
            if more is None:
                break
            parts.append(more)
            rows += more.num_rows
        return parts[0] if len(parts) == 1 else pa.concat_batches(parts)

    def _read(self, index: int) -> pa.RecordBatch | None:
        """The next batch DuckDB gives for result set index; None at its end."""
        reader = self.result_sets[index].reader
        try:
            if reader is not None:
                return reader.read_next_batch()
        except StopIteration:
            pass
        self._ended.add(index)
        return None

    def interrupt(self) -> None:
        self._interrupted = True
        if self._cursor is not None:
            self._cursor.interrupt()

    def close(self) -> None:
        """Idempotent. The connection goes back to the database's idle pool when
        only stateless statements ran on it and every result was read to its end."""
        cursor, self._cursor = self._cursor, None
        if cursor is None:
            return
        for rs in self.result_sets:
            if rs.reader is not None:
                rs.reader.close()
        if self._reusable and not self._interrupted and len(self._ended) == len(self.result_sets):
            self._db.recycle(cursor)
        else:
            cursor.close()

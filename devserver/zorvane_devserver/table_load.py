"""Applies an ingest to a table inside one DuckDB transaction, so a failed upload changes nothing.

Every method blocks; the ingest handler calls them from worker threads, one at a time.
"""
from __future__ import annotations

import duckdb
import pyarrow as pa

from .database import Database
from .ingest_header import IngestError, IngestHeader
from .sqlstate import BAD_CAST, BAD_PARAMETER, KEY_VIOLATION, TABLE_EXISTS, UNKNOWN_COLUMN, UNKNOWN_TABLE, sqlstate_for

BATCH_VIEW = "__zv_ingest_batch"
STAGE_TABLE = "__zv_ingest_stage"
SEEN_KEYS = "__zv_upsert_seen_keys"


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def split_name(text: str) -> list[str]:
    """Dotted name with optional double-quoted parts."""
    parts, cur, quoted, i = [], "", False, 0
    while i < len(text):
        ch = text[i]
        if quoted:
            if ch == '"' and text[i + 1:i + 2] == '"':
                cur += '"'
                i += 1
            elif ch == '"':
                quoted = False
            else:
                cur += ch
        elif ch == '"':
            quoted = True
        elif ch == ".":
            parts.append(cur)
            cur = ""
        else:
            cur += ch
        i += 1
    if quoted:
        raise IngestError(f"bad ingest header: unbalanced quote in target_table {text!r}", BAD_PARAMETER)
    parts.append(cur)
    if len(parts) > 3 or not all(parts):
        raise IngestError(f"bad ingest header: target_table {text!r} is not [catalog.][schema.]table", BAD_PARAMETER)
    return parts


class TableLoad:
    def __init__(self, db: Database, header: IngestHeader):
        self.header = header
        self.rows_inserted = self.rows_updated = self.rows_deleted = 0
        self.created = False
        self._cur = db.cursor()
        self._cur.execute("BEGIN TRANSACTION")
        try:
            self._resolve()
            if header.table_action:
                self._apply_table_action()
            elif header.mode == "overwrite" and self._columns is not None:
                self.rows_deleted = self._count(f"DELETE FROM {self._target}")
            if self._columns is None and header.schema is not None and header.mode == "overwrite":
                self._create(pa.Table.from_batches([], schema=header.schema))
        except BaseException:
            self.rollback()
            raise

    def _resolve(self) -> None:
        parts = split_name(self.header.target_table)
        catalog = self._cur.execute("SELECT current_database()").fetchall()[0][0]
        if len(parts) == 3:
            if parts[0].lower() != catalog.lower():
                raise IngestError(f"Table {self.header.target_table} does not exist (unknown catalog)", UNKNOWN_TABLE)
            parts = parts[1:]
        schema, table = parts if len(parts) == 2 else ("main", parts[0])
        row = self._cur.execute(
            "SELECT schema_name, table_name FROM duckdb_tables() WHERE database_name = current_database() "
            "AND lower(schema_name) = lower(?) AND lower(table_name) = lower(?)", [schema, table]).fetchall()
        row = row[0] if row else None
        if row is None:
            if self.header.mode != "overwrite" and not self.header.table_action:
                raise IngestError(f"Table {self.header.target_table} does not exist", UNKNOWN_TABLE)
            exists = self._cur.execute("SELECT count(*) FROM duckdb_schemas() WHERE database_name = "
                                       "current_database() AND lower(schema_name) = lower(?)",
                                       [schema]).fetchall()[0][0]
            if not exists:
                raise IngestError(f"Schema {schema} does not exist", UNKNOWN_TABLE)
            self._target = f"{quote(schema)}.{quote(table)}"
            self._columns = None
            return
        self._target = f"{quote(row[0])}.{quote(row[1])}"
        self._load_columns(row[0], row[1])

    def _apply_table_action(self) -> None:
        """Creates (or for replace drops and re-creates) the target inside the load's transaction:
        a load that fails rolls the DDL back with it, so the old table is never missing or half-loaded."""
        action = self.header.table_action
        if self._columns is not None:
            if action == "create":
                raise IngestError(f"Table {self.header.target_table} already exists", TABLE_EXISTS)
            if action == "create_append":
                return
            self._cur.execute(f"DROP TABLE {self._target}")
        statements = duckdb.extract_statements(self.header.table_ddl)
        if len(statements) != 1 or statements[0].type.name != "CREATE":
            raise IngestError("bad ingest header: table_ddl must be one CREATE TABLE statement", BAD_PARAMETER)
        self._cur.execute(self.header.table_ddl)
        self._resolve()
        if not self._columns:
            raise IngestError(f"bad ingest header: table_ddl did not create {self.header.target_table}",
                              BAD_PARAMETER)
        self.created = True

    def _load_columns(self, schema: str, table: str) -> None:
        rows = self._cur.execute(
            "SELECT column_name, data_type FROM duckdb_columns() WHERE database_name = current_database() "
            "AND schema_name = ? AND table_name = ? ORDER BY column_index", [schema, table]).fetchall()
        self._columns = {name.lower(): (name, dtype) for name, dtype in rows}

    def _create(self, data: pa.Table) -> None:
        self._cur.register(BATCH_VIEW, data)
        try:
            self._cur.execute(f"CREATE TABLE {self._target} AS SELECT * FROM {BATCH_VIEW} LIMIT 0")
        finally:
            self._unregister()
        schema, table = split_name(self._target)
        self._load_columns(schema, table)
        self.created = True

    def _unregister(self) -> None:
        # After a failed statement the transaction is aborted and this fails too;
        # the first error is the one to report.
        try:
            self._cur.unregister(BATCH_VIEW)
        except duckdb.Error:
            pass

    def _count(self, sql: str) -> int:
        self._cur.execute(sql)
        return int(self._cur.fetchall()[0][0])

    def add(self, data: pa.Table) -> None:
        try:
            if self._columns is None:
                self._create(data)
            self._cur.register(BATCH_VIEW, data)
            try:
                self._apply(data)
            finally:
                self._unregister()
        except duckdb.Error as exc:
            raise IngestError(str(exc), sqlstate_for(exc)) from None

    def _apply(self, data: pa.Table) -> None:
        targets = []
        for name in data.column_names:
            if name.lower() not in self._columns:
                raise IngestError(f"column '{name}' does not exist in table {self.header.target_table}", UNKNOWN_COLUMN)
            targets.append(self._columns[name.lower()])
        described = self._cur.execute(f"DESCRIBE SELECT * FROM {BATCH_VIEW}").fetchall()
        for (src, src_type, *_), (dst, dst_type) in zip(described, targets):
            if src_type == dst_type:
                continue
            if not self.header.coerce:
                raise IngestError(f"column '{dst}': payload type {src_type} does not match {dst_type} "
                                  "and coerce is off", BAD_CAST)
            self._check_lossless(src, src_type, dst, dst_type)
        select = ", ".join(
            (f"CAST({quote(src)} AS {dtype}) AS {quote(dst)}" if self.header.coerce
             else f"{quote(src)} AS {quote(dst)}")
            for src, (dst, dtype) in zip(data.column_names, targets))
        cols = ", ".join(quote(dst) for dst, _ in targets)
        if self.header.mode != "upsert":
            self.rows_inserted += self._count(f"INSERT INTO {self._target} ({cols}) SELECT {select} FROM {BATCH_VIEW}")
            return
        keys = []
        for key in self.header.key_columns:
            if key.lower() not in self._columns or key.lower() not in {n.lower() for n in data.column_names}:
                raise IngestError(f"key column '{key}' is missing from the table or the payload", UNKNOWN_COLUMN)
            keys.append(self._columns[key.lower()][0])
        self._cur.execute(f"CREATE OR REPLACE TEMP TABLE {STAGE_TABLE} AS SELECT {select} FROM {BATCH_VIEW}")
        self._check_upsert_keys(keys)
        match = " AND ".join(f"t.{quote(k)} = s.{quote(k)}" for k in keys)
        updates = ", ".join(f"{quote(dst)} = s.{quote(dst)}" for dst, _ in targets if dst not in keys)
        if updates:
            self.rows_updated += self._count(
                f"UPDATE {self._target} AS t SET {updates} FROM {STAGE_TABLE} AS s WHERE {match}")
        self.rows_inserted += self._count(
            f"INSERT INTO {self._target} ({cols}) SELECT {cols} FROM {STAGE_TABLE} AS s "
            f"WHERE NOT EXISTS (SELECT 1 FROM {self._target} AS t WHERE {match})")
        self._cur.execute(f"DROP TABLE {STAGE_TABLE}")

    def _check_lossless(self, src: str, src_type: str, dst: str, dst_type: str) -> None:
        """Coercion may only change the type, never a value: each value must survive the cast and the
        cast back (1.7 into INTEGER would become 2, 300 into TINYINT would fail or wrap)."""
        cast = f"TRY_CAST({quote(src)} AS {dst_type})"
        changed = self._count(f"SELECT count(*) FROM {BATCH_VIEW} WHERE {quote(src)} IS NOT NULL AND "
                              f"({cast} IS NULL OR TRY_CAST({cast} AS {src_type}) IS DISTINCT FROM {quote(src)})")
        if changed:
            raise IngestError(f"column '{dst}': {changed} value(s) of type {src_type} cannot be stored as {dst_type} "
                              "without changing them; nothing was loaded", BAD_CAST)

    def _check_upsert_keys(self, keys: list[str]) -> None:
        """One upload names each key once: a NULL key matches nothing and a repeated one would be applied
        twice in an order the client cannot see, so both are refused rather than guessed at."""
        key_list = ", ".join(quote(k) for k in keys)
        nulls = " OR ".join(f"{quote(k)} IS NULL" for k in keys)
        if self._count(f"SELECT count(*) FROM {STAGE_TABLE} WHERE {nulls}"):
            raise IngestError(f"upsert: a key column ({key_list}) is NULL in the upload; nothing was loaded",
                              KEY_VIOLATION)
        self._cur.execute(
            f"CREATE TEMP TABLE IF NOT EXISTS {SEEN_KEYS} AS SELECT {key_list} FROM {STAGE_TABLE} LIMIT 0")
        repeated = self._count(
            f"SELECT count(*) FROM (SELECT {key_list} FROM (SELECT {key_list} FROM {STAGE_TABLE} "
            f"UNION ALL SELECT {key_list} FROM {SEEN_KEYS}) GROUP BY ALL HAVING count(*) > 1)")
        if repeated:
            raise IngestError(f"upsert: {repeated} key value(s) of ({key_list}) occur more than once in the upload; "
                              "nothing was loaded", KEY_VIOLATION)
        self._cur.execute(f"INSERT INTO {SEEN_KEYS} SELECT {key_list} FROM {STAGE_TABLE}")

    def commit(self) -> list[str]:
        try:
            if self._columns is None:
                raise IngestError(f"Table {self.header.target_table} does not exist and the upload carried "
                                  "no schema to create it from", UNKNOWN_TABLE)
            self._cur.execute("COMMIT")
        except duckdb.Error as exc:
            self.rollback()
            raise IngestError(str(exc), sqlstate_for(exc)) from None
        except BaseException:
            self.rollback()
            raise
        self._cur.close()
        return []

    @property
    def changed(self) -> bool:
        return self.created or bool(self.rows_inserted or self.rows_updated or self.rows_deleted)

    def rollback(self) -> None:
        try:
            self._cur.execute("ROLLBACK")
        except duckdb.Error:
            pass
        self._cur.close()

"""The table every system is measured with: integer, float, text, date,
nullable and decimal columns, generated deterministically with Arrow compute
(no per-row Python) and kept as an uncompressed Arrow IPC file that the
measuring processes memory-map."""
from __future__ import annotations

from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

BATCH_ROWS = 1 << 17
DECIMAL = pa.decimal128(12, 2)
SCHEMA = pa.schema([
    ("id", pa.int64()),
    ("amount", pa.float64()),
    ("label", pa.utf8()),
    ("day", pa.date32()),
    ("qty", pa.int32()),        # every tenth value is null
    ("price", DECIMAL),
])
DUCKDB_COLUMNS = "id BIGINT, amount DOUBLE, label VARCHAR, day DATE, qty INTEGER, price DECIMAL(12,2)"
POSTGRES_COLUMNS = "id bigint, amount double precision, label text, day date, qty integer, price numeric(12,2)"


def _decimal_from_cents(cents: np.ndarray) -> pa.Array:
    # Decimal128 values are two little-endian 64-bit lanes; every value here is non-negative.
    lanes = np.zeros((len(cents), 2), dtype=np.int64)
    lanes[:, 0] = cents
    return pa.Array.from_buffers(DECIMAL, len(cents), [None, pa.py_buffer(lanes.tobytes())])


def make_batch(start: int, rows: int) -> pa.RecordBatch:
    ids = np.arange(start, start + rows, dtype=np.int64)
    id_array = pa.array(ids)
    label = pc.binary_join_element_wise("item-", pc.cast(pa.array(ids % 10007), pa.utf8()), "")
    day = pa.array((ids % 3650 + 18262).astype(np.int32)).view(pa.date32())
    qty = pa.array((ids % 97).astype(np.int32), mask=(ids % 10 == 0))
    return pa.record_batch([id_array, pa.array(ids * 0.25 + 0.125), label, day, qty,
                            _decimal_from_cents(ids % 100_000_000)], schema=SCHEMA)


def write_dataset(path: Path, rows: int, batch_rows: int = BATCH_ROWS) -> int:
    """Writes the table of rows rows to path; returns its size in Arrow bytes."""
    nbytes = 0
    with pa.OSFile(str(path), "wb") as sink, pa.ipc.new_file(sink, SCHEMA) as writer:
        for start in range(0, rows, batch_rows):
            batch = make_batch(start, min(batch_rows, rows - start))
            nbytes += batch.nbytes
            writer.write_batch(batch)
    return nbytes


def read_dataset(path: Path) -> pa.Table:
    """The table, memory-mapped (its batches as written)."""
    return pa.ipc.open_file(pa.memory_map(str(path), "r")).read_all()


# One table per Arrow type family the service returns, made by the dev
# server's DuckDB itself (CREATE TABLE ... AS), for the fetch figure's
# per-family rates: each family's own decode and validation cost shows
# beside the raw download of the same response.
FAMILIES = {
    "integers": "range AS i64, (range % 2147483647)::INTEGER AS i32, (range % 32767)::SMALLINT AS i16, "
                "CASE WHEN range % 10 = 0 THEN NULL ELSE (range % 97)::INTEGER END AS i32_nullable",
    "floats": "range * 0.25 + 0.125 AS f64, (range % 1000 * 0.5)::FLOAT AS f32, "
              "CASE WHEN range % 10 = 0 THEN NULL ELSE range / 3.0 END::DOUBLE AS f64_nullable",
    "decimals": "(range % 100000000 / 100)::DECIMAL(12,2) AS d12, (range * 7 / 1000)::DECIMAL(38,10) AS d38, "
                "CASE WHEN range % 10 = 0 THEN NULL ELSE (range % 1000)::DECIMAL(4,1) END AS d4_nullable",
    "text": "'item-' || (range % 10007)::VARCHAR AS short, repeat('x', (range % 50)::INTEGER) || range::VARCHAR "
            "AS varied, CASE WHEN range % 10 = 0 THEN NULL ELSE 'é-' || range::VARCHAR END AS text_nullable",
    "dates_timestamps": "DATE '2000-01-01' + (range % 3650)::INTEGER AS day, "
                        "TIMESTAMP '2020-01-01' + to_microseconds(range * 1000) AS ts, "
                        "TIMESTAMPTZ '2020-01-01 00:00:00+00' + to_microseconds(range * 1000) AS tstz, "
                        "CASE WHEN range % 10 = 0 THEN NULL ELSE TIMESTAMP '2020-01-01' + to_seconds(range) END "
                        "AS ts_nullable",
    "nested": "[range, range + 1, range + 2] AS ints, {'a': range, 'b': 'v' || (range % 100)::VARCHAR} AS rec, "
              "['t' || (range % 7)::VARCHAR, NULL] AS texts, [(range % 1000)::DECIMAL(12,2)] AS decimals",
}


def family_table_sql(family: str, rows: int) -> str:
    """The statement that creates the family's table, fam_<family>, of rows rows on the dev server."""
    return f"CREATE TABLE fam_{family} AS SELECT {FAMILIES[family]} FROM range({rows})"

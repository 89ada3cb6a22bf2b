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

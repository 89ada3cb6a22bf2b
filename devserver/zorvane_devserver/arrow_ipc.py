"""Arrow IPC encoding of schemas and batches for BATCH frames and "schemaIpc" texts."""
from __future__ import annotations

import base64
from typing import Iterator

import pyarrow as pa

# A frame must stay under the 256 MiB ceiling; without a client budget we still
# cut large batches so a reader never has to hold a giant frame.
DEFAULT_MAX_BATCH_BYTES = 16 * 1024 * 1024


def ipc_stream(schema: pa.Schema, batch: pa.RecordBatch | None = None) -> pa.Buffer:
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, schema) as writer:
        if batch is not None:
            writer.write_batch(batch)
    return sink.getvalue()


def schema_base64(schema: pa.Schema) -> str:
    return base64.b64encode(ipc_stream(schema)).decode("ascii")


def read_single_stream(data) -> pa.Table:
    """All batches of one IPC stream held in memory."""
    return pa.ipc.open_stream(pa.py_buffer(data)).read_all()


def encoded_slices(batch: pa.RecordBatch, max_bytes: int) -> Iterator[pa.Buffer]:
    """IPC streams of consecutive slices of batch, each at most max_bytes when a row allows it."""
    if batch.num_rows == 0:
        return
    per_row = max(1.0, batch.nbytes / batch.num_rows)
    rows = max(1, int(max_bytes * 0.9 / per_row))
    for start in range(0, batch.num_rows, rows):
        yield from _fit(batch.slice(start, rows), max_bytes)


def _fit(part: pa.RecordBatch, max_bytes: int) -> Iterator[pa.Buffer]:
    buf = ipc_stream(part.schema, part)
    if buf.size <= max_bytes or part.num_rows <= 1:
        yield buf
        return
    half = part.num_rows // 2
    yield from _fit(part.slice(0, half), max_bytes)
    yield from _fit(part.slice(half), max_bytes)


def single_batch(table: pa.Table) -> pa.RecordBatch:
    """The whole table as exactly one record batch (also when it has no rows)."""
    batches = table.combine_chunks().to_batches()
    if len(batches) == 1:
        return batches[0]
    if not batches:
        return pa.RecordBatch.from_arrays([pa.array([], type=f.type) for f in table.schema], schema=table.schema)
    return pa.Table.from_batches(batches).combine_chunks().to_batches()[0]

"""Arrow IPC encoding of schemas and batches for BATCH frames and "schemaIpc" texts."""
from __future__ import annotations

import base64
from collections.abc import Iterator

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
    """The schema as a schema-only IPC stream: its message and the end marker,
    the bytes a stream writer would produce, without opening one."""
    return base64.b64encode(schema.serialize().to_pybytes() + IPC_END_OF_STREAM).decode("ascii")


def read_single_stream(data) -> pa.Table:
    """All batches of one IPC stream held in memory."""
    return pa.ipc.open_stream(pa.py_buffer(data)).read_all()


# What a stream writer appends when it is closed: continuation marker, zero length.
IPC_END_OF_STREAM = b"\xff\xff\xff\xff\x00\x00\x00\x00"


def _has_dictionary(fields) -> bool:
    for f in fields:
        t = f.type
        if pa.types.is_dictionary(t) or (t.num_fields and _has_dictionary(t.field(i) for i in range(t.num_fields))):
            return True
    return False


class BatchEncoder:
    """Single-batch IPC streams of one schema, as pieces a writer sends one after the other.

    The schema message is serialised once per result; each batch is serialised
    straight into a buffer of its exact size, so no stream buffer grows and is
    copied again. Dictionary columns need dictionary messages before the batch,
    which only the stream writer produces.
    """

    def __init__(self, schema: pa.Schema):
        self._schema = schema
        self._schema_message = None if _has_dictionary(schema) else schema.serialize()

    def encode(self, batch: pa.RecordBatch) -> list:
        if self._schema_message is None:
            return [ipc_stream(self._schema, batch)]
        return [self._schema_message, batch.serialize(), IPC_END_OF_STREAM]

    def slices(self, batch: pa.RecordBatch, max_bytes: int) -> Iterator[list]:
        """Encoded consecutive slices of batch, each at most max_bytes when a row allows it."""
        if batch.num_rows == 0:
            return
        per_row = max(1.0, batch.nbytes / batch.num_rows)
        rows = max(1, int(max_bytes * 0.9 / per_row))
        for start in range(0, batch.num_rows, rows):
            yield from self._fit(batch.slice(start, rows), max_bytes)

    def _fit(self, part: pa.RecordBatch, max_bytes: int) -> Iterator[list]:
        pieces = self.encode(part)
        if encoded_size(pieces) <= max_bytes or part.num_rows <= 1:
            yield pieces
            return
        half = part.num_rows // 2
        yield from self._fit(part.slice(0, half), max_bytes)
        yield from self._fit(part.slice(half), max_bytes)


def encoded_size(pieces) -> int:
    return sum(len(p) if isinstance(p, bytes) else p.size for p in pieces)


def single_batch(table: pa.Table) -> pa.RecordBatch:
    """The whole table as exactly one record batch (also when it has no rows)."""
    batches = table.combine_chunks().to_batches()
    if len(batches) == 1:
        return batches[0]
    if not batches:
        return pa.RecordBatch.from_arrays([pa.array([], type=f.type) for f in table.schema], schema=table.schema)
    return pa.Table.from_batches(batches).combine_chunks().to_batches()[0]

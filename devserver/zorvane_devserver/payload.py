"""Decoding of BATCH payloads of an ingest upload."""
from __future__ import annotations

import pyarrow as pa
import pyarrow.parquet as pq

from .ingest_header import IngestError
from .sqlstate import BAD_PARAMETER


def decode_payload(data: bytes | memoryview, payload_format: str) -> pa.Table:
    """The batch of one payload, read in place from the received frame (no copy of its bytes)."""
    try:
        if payload_format == "parquet":
            # One file in memory: the file reader itself, not the dataset layer that
            # read_table puts over it for paths and partitions.
            return pq.ParquetFile(pa.py_buffer(data)).read()
        table = pa.ipc.open_stream(pa.py_buffer(data)).read_all()
        # Reading checks the layout only: offsets or dictionary indices past
        # their buffers would have DuckDB read outside them as it loads.
        table.validate(full=True)
        return table
    except (pa.ArrowException, OSError, ValueError) as exc:
        kind = "Parquet file" if payload_format == "parquet" else "Arrow IPC stream"
        raise IngestError(f"BATCH payload is not a readable {kind}: {exc}", BAD_PARAMETER) from None

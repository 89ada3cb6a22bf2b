#!/usr/bin/env python3
"""The dev server's ingest path beside a raw DuckDB run of the same work, in one run.

    .venv/bin/python bench/devserver_ingest.py [--rows N] [--batch-rows R] [--runs K]

The same framed Arrow IPC upload (one BATCH frame per batch) is posted by a
raw HTTP client to the dev server, which appends it to a table; beside it an
embedded DuckDB decodes the same IPC payloads and inserts them into a table of
its own inside one transaction. Both print MB/s of upload bytes; their ratio
shows what the server's network and framing work costs on top of DuckDB.
"""
from __future__ import annotations

import argparse
import base64
import json
import struct
import sys
import time
from pathlib import Path

import duckdb
import pyarrow as pa

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "devserver"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from frame_client import login, query  # noqa: E402
from raw_timing import STREAM_TYPE, KeptAlive  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

COLUMNS = "id BIGINT, ratio DOUBLE, label VARCHAR, day DATE, qty INTEGER"
SOURCE_SQL = ("SELECT range AS id, range * 1.5::DOUBLE AS ratio, 'label-' || (range % 1000)::VARCHAR AS label, "
              "DATE '2024-01-01' + (range % 365)::INTEGER AS day, "
              "CASE WHEN range % 10 = 0 THEN NULL ELSE (range % 97)::INTEGER END AS qty FROM range({rows})")
INIT, BATCH, EOS, STATS = 1, 2, 3, 6


def ipc(schema: pa.Schema, batch: pa.RecordBatch | None = None) -> bytes:
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, schema) as writer:
        if batch is not None:
            writer.write_batch(batch)
    return sink.getvalue().to_pybytes()


def frame(kind: int, payload: bytes) -> bytes:
    return struct.pack(">B3xI", kind, len(payload)) + payload


def upload_body(table: str, payloads: list[bytes], schema: pa.Schema) -> list[bytes]:
    header = {"target_table": table, "mode": "append", "payload_format": "arrow_ipc",
              "schema_ipc": base64.b64encode(ipc(schema)).decode()}
    return ([frame(INIT, json.dumps(header).encode())] + [frame(BATCH, bytes(8) + p) for p in payloads]
            + [frame(EOS, bytes(4))])


def server_run(node: str, token: str, body: list[bytes]) -> float:
    with KeptAlive(node, token) as client:
        seconds, _, reply = client.post("/api/v1/ingest/stream", iter(body), {"Content-Type": STREAM_TYPE},
                                        chunked=True)
    if not reply or reply[0] != STATS:
        raise RuntimeError(f"upload refused: {reply[8:300]!r}")
    return seconds


def duckdb_run(con: duckdb.DuckDBPyConnection, table: str, payloads: list[bytes]) -> float:
    start = time.perf_counter()
    con.execute("BEGIN TRANSACTION")
    for payload in payloads:
        batch = pa.ipc.open_stream(pa.py_buffer(payload)).read_all()
        con.register("incoming", batch)
        con.execute(f"INSERT INTO {table} SELECT * FROM incoming")
        con.unregister("incoming")
    con.execute("COMMIT")
    return time.perf_counter() - start


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=4_000_000)
    ap.add_argument("--batch-rows", type=int, default=1 << 17)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    source = duckdb.connect().sql(SOURCE_SQL.format(rows=args.rows)).to_arrow_table()
    payloads = [ipc(source.schema, b) for b in source.to_batches(max_chunksize=args.batch_rows)]
    size = sum(len(p) for p in payloads)
    con = duckdb.connect()
    with start_devserver(nodes=1, demo_data=False, fault_injection=False) as srv:
        token = login(srv.url)
        node = srv.node_urls["compute-1"]
        best_server = best_duck = float("inf")
        for run in range(args.runs):
            table = f"t{run}"
            assert query(node, token, f"CREATE TABLE {table} ({COLUMNS})").status == 200
            con.execute(f"CREATE TABLE {table} ({COLUMNS})")
            best_server = min(best_server, server_run(node, token, upload_body(table, payloads, source.schema)))
            best_duck = min(best_duck, duckdb_run(con, table, payloads))
    print(f"{args.rows:,} rows in {len(payloads)} batches, {size / 1e6:.0f} MB of Arrow IPC; best of {args.runs}")
    print(f"dev server over HTTP:      {best_server:7.3f} s  {size / best_server / 1e6:8.1f} MB/s")
    print(f"DuckDB in-process:         {best_duck:7.3f} s  {size / best_duck / 1e6:8.1f} MB/s")
    print(f"server / in-process rate:  {best_duck / best_server:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The dev server's query path beside a raw DuckDB run of the same work, in one run.

    .venv/bin/python bench/devserver_query.py [--rows N] [--runs K]

For results of 10 thousand, 1 million and --rows rows of one table:
- time to the first BATCH frame over HTTP (request sent to first batch
  received), beside the time an embedded DuckDB takes to its first Arrow
  batch of the same query, each the median of --runs runs;
- the whole response downloaded by a raw client, beside DuckDB producing the
  same result as Arrow batches of the server's batch size in-process, each
  the best of --runs runs.
The first should not grow with the result size; the download should run near
the in-process rate (the server also encodes IPC and frames, and the client
reads over loopback).
"""
from __future__ import annotations

import argparse
import http.client
import json
import statistics
import struct
import sys
import time
from pathlib import Path
from urllib.parse import urlsplit

import duckdb

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "devserver"))

from frame_client import login, query  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

from zorvane_devserver.query_runner import batch_rows_for  # noqa: E402

TABLE_SQL = ("CREATE TABLE bench AS SELECT range AS id, range * 1.5 AS ratio, 'label-' || (range % 1000)::VARCHAR "
             "AS label, DATE '2024-01-01' + (range % 365)::INTEGER AS day FROM range({rows})")
BATCH = 2


def http_run(node: str, token: str, sql: str) -> tuple[float, float, int]:
    """Seconds to the first BATCH frame and to the end of the body, and body bytes."""
    parts = urlsplit(node)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=600)
    body = json.dumps({"sql": sql})
    start = time.perf_counter()
    conn.request("POST", "/api/v1/query/stream/binary", body, {
        "Authorization": f"Bearer {token}", "Content-Type": "application/json",
        "Accept": "application/vnd.zorvane.stream.v1"})
    resp = conn.getresponse()
    first = None
    size = 0
    pending = b""
    while True:
        data = resp.read1(1 << 20)
        if not data:
            break
        size += len(data)
        if first is None:
            pending += data
            # Walk the frames received so far until a BATCH header shows up.
            while len(pending) >= 8:
                kind, length = struct.unpack(">B3xI", pending[:8])
                if kind == BATCH:
                    first = time.perf_counter() - start
                    break
                if len(pending) < 8 + length:
                    break
                pending = pending[8 + length:]
    total = time.perf_counter() - start
    conn.close()
    return first or total, total, size


def duckdb_run(con: duckdb.DuckDBPyConnection, sql: str) -> tuple[float, float]:
    """Seconds to the first Arrow batch and to the last one, in-process."""
    cur = con.cursor()
    start = time.perf_counter()
    rel = cur.sql(sql)
    reader = rel.to_arrow_reader(batch_rows_for(rel.types))
    first = None
    for _ in reader:
        if first is None:
            first = time.perf_counter() - start
    total = time.perf_counter() - start
    cur.close()
    return first or total, total


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    con = duckdb.connect()
    con.execute(TABLE_SQL.format(rows=args.rows))
    sizes = sorted({min(10_000, args.rows), min(1_000_000, args.rows), args.rows})
    with start_devserver(nodes=1, demo_data=False, fault_injection=False) as srv:
        token = login(srv.url)
        node = srv.node_urls["compute-1"]
        setup = query(node, token, TABLE_SQL.format(rows=args.rows))
        assert setup.status == 200, setup.error_body
        print(f"{'rows':>10}  {'first batch: server':>20} {'DuckDB':>8}  {'whole result: server':>21} "
              f"{'DuckDB':>11} {'ratio':>6}  wire MB/s")
        for rows in sizes:
            sql = f"SELECT * FROM bench WHERE id < {rows}"
            # Taking turns, so a burst of load elsewhere on the machine hits both alike.
            runs = [(http_run(node, token, sql), duckdb_run(con, sql)) for _ in range(args.runs)]
            first_http = statistics.median(h[0] for h, _ in runs)
            first_duck = statistics.median(d[0] for _, d in runs)
            best_http = min((h for h, _ in runs), key=lambda r: r[1])
            best_duck = min(d[1] for _, d in runs)
            print(f"{rows:>10}  {first_http * 1000:>17.1f} ms {first_duck * 1000:>5.1f} ms  "
                  f"{best_http[1] * 1000:>18.1f} ms {best_duck * 1000:>8.1f} ms {best_duck / best_http[1]:>6.2f}"
                  f"  {best_http[2] / best_http[1] / 1e6:8.1f}")
    print("ratio: in-process DuckDB time / server time for the whole result (1.0 = the server adds nothing)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

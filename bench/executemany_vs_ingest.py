#!/usr/bin/env python3
"""executemany of N rows through literal rendering (folded into multi-row
INSERT statements) beside adbc_ingest of the same rows, against the dev
server, in the same run; and the same executemany with a statement shape that
cannot be folded (one request per row) on a tenth of the rows.

    .venv/bin/python bench/executemany_vs_ingest.py [--rows N] [--repeat K]
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "python"))

import adbc_driver_manager.dbapi as dbapi  # noqa: E402
import pyarrow as pa  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

DRIVER = adbc_driver_zorvane._driver_path()


def rows(n: int) -> list[tuple]:
    return [(i, f"name-{i}", i * 0.5) for i in range(n)]


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    data = rows(args.rows)
    table = pa.table({"id": [r[0] for r in data], "name": [r[1] for r in data],
                      "score": [r[2] for r in data]})
    with start_devserver(nodes=1) as srv, dbapi.connect(
            driver=DRIVER, db_kwargs={"uri": srv.url, "username": "demo",
                                      "password": "demo"}) as conn:
        # The ingest has a cursor of its own: its target stays on its
        # statement and would turn later binds into ingests.
        cur = conn.cursor()
        ingest_cur = conn.cursor()

        def reset():
            cur.execute("CREATE OR REPLACE TABLE bench_em (id BIGINT, name VARCHAR, "
                        "score DOUBLE)")

        def executemany():
            cur.executemany("INSERT INTO bench_em VALUES (?, ?, ?)", data)
            assert cur.rowcount == len(data), cur.rowcount

        def per_row():
            cur.executemany("INSERT INTO bench_em SELECT ?, ?, ?", data[: len(data) // 10])

        def ingest():
            ingest_cur.adbc_ingest("bench_em", table, mode="append")

        results = {}
        for name, fn in (("executemany (folded)", executemany), ("adbc_ingest", ingest),
                         ("executemany (per row, 1/10 rows)", per_row)):
            times = []
            for _ in range(args.repeat):
                reset()
                times.append(timed(fn))
            results[name] = statistics.median(times)
        cur.close()
        ingest_cur.close()

    base = results["adbc_ingest"]
    print(f"rows: {args.rows}, median of {args.repeat} runs")
    for name, seconds in results.items():
        n = args.rows // 10 if "1/10" in name else args.rows
        print(f"  {name:36s} {seconds * 1000:9.1f} ms  {n / seconds:10.0f} rows/s  "
              f"{seconds / base * (args.rows / n):6.1f}x adbc_ingest per row")


if __name__ == "__main__":
    main()

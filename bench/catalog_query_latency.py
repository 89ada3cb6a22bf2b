#!/usr/bin/env python3
"""Latency of an information_schema SELECT answered locally by the driver's
metadata engine, beside the same question sent to compute in the same run
(a HAVING clause, which the engine declines, makes it go there), over the dev server's
catalog grown to a few thousand columns.

    .venv/bin/python bench/catalog_query_latency.py [--tables N] [--runs K]
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
from frame_client import login, query  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

# ZV_ADBC_DRIVER, else the checkout's build.
DRIVER = adbc_driver_zorvane._driver_path()

LOCAL = ("SELECT table_name, column_name, data_type FROM information_schema.columns "
         "WHERE table_schema = 'bench' AND column_name LIKE 'c1%' "
         "ORDER BY table_name, column_name LIMIT 100")
# The same rows; HAVING is not answered locally, so this one runs on compute.
COMPUTE = ("SELECT table_name, column_name, data_type FROM information_schema.columns "
           "WHERE table_schema = 'bench' AND column_name LIKE 'c1%' "
           "GROUP BY table_name, column_name, data_type HAVING count(*) > 0 "
           "ORDER BY table_name, column_name LIMIT 100")


def grow_catalog(srv, tables: int) -> tuple[str, str]:
    """Schema bench with `tables` tables of 20 INTEGER columns; (node URL, token)."""
    token = login(srv.url)
    node = srv.node_urls["compute-1"]
    columns = ", ".join(f"c{i} INTEGER" for i in range(20))
    ddl = "CREATE SCHEMA bench; " + " ".join(
        f"CREATE TABLE bench.t{t} ({columns});" for t in range(tables))
    assert query(node, token, ddl).status == 200
    return node, token


def timed(cursor, sql: str) -> tuple[float, list]:
    start = time.perf_counter()
    cursor.execute(sql)
    rows = cursor.fetchall()
    return time.perf_counter() - start, rows


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tables", type=int, default=200)
    ap.add_argument("--runs", type=int, default=100)
    args = ap.parse_args()
    with start_devserver(nodes=1, demo_data=False, fault_injection=False) as srv:
        grow_catalog(srv, args.tables)
        with dbapi.connect(driver=DRIVER, db_kwargs={"uri": srv.url, "username": "demo",
                                                     "password": "demo"}) as conn:
            cur = conn.cursor()
            local_rows = timed(cur, LOCAL)[1]
            compute_rows = timed(cur, COMPUTE)[1]
            assert local_rows == compute_rows, "local and compute answers differ"
            local = [timed(cur, LOCAL)[0] for _ in range(args.runs)]
            remote = [timed(cur, COMPUTE)[0] for _ in range(args.runs)]
    print(f"catalog: {args.tables} tables x 20 columns; answer: {len(local_rows)} rows")
    for name, samples in (("local (metadata engine)", local), ("compute", remote)):
        print(f"{name:<24} median {statistics.median(samples) * 1000:7.2f} ms   "
              f"p95 {percentile(samples, 95) * 1000:7.2f} ms")
    print(f"compute / local median: {statistics.median(remote) / statistics.median(local):.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())

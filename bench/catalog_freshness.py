#!/usr/bin/env python3
"""What following the catalog costs a catalog answer: GetObjects of one schema
and the filtered information_schema query on a connection whose snapshot was
confirmed within its bound (no request), one that confirms before every
answer while nothing changes (one version request each), and one that
confirms just after another client changed the catalog (a request and a
reload each), over the dev server's catalog grown to a few thousand columns.
The first is what every answer cost when the snapshot was installed once.

    .venv/bin/python bench/catalog_freshness.py [--tables N] [--runs K]
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import adbc_driver_manager.dbapi as dbapi  # noqa: E402
from catalog_query_latency import DRIVER, LOCAL as FILTERED, grow_catalog  # noqa: E402
from frame_client import query  # noqa: E402
from server_fixture import start_devserver  # noqa: E402


def median_ms(call, runs: int, before=lambda: None) -> float:
    samples = []
    for _ in range(runs):
        before()
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1000


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tables", type=int, default=200)
    ap.add_argument("--runs", type=int, default=40)
    args = ap.parse_args()
    with start_devserver(nodes=1, demo_data=False, fault_injection=False) as srv:
        node, token = grow_catalog(srv, args.tables)
        changes = iter(range(10**9))

        def change():  # another client's DDL, outside this process
            assert query(node, token, f"CREATE TABLE bench.extra{next(changes)} (a INTEGER)").status == 200

        rows = {}
        for label, max_age, before in (("within the bound", "3600", lambda: None),
                                       ("confirm, no change", "0", lambda: None),
                                       ("confirm after a change", "0", change)):
            with dbapi.connect(driver=DRIVER, autocommit=True, db_kwargs={"uri": srv.url, "username": "demo",
                                                         "password": "demo"},
                               conn_kwargs={"adbc.zorvane.catalog_max_age_sec": max_age}) as conn:
                cur = conn.cursor()

                def get_objects():
                    conn.adbc_get_objects(depth="all", db_schema_filter="bench").read_all()

                def filtered(cur=cur):
                    cur.execute(FILTERED)
                    cur.fetchall()

                get_objects()
                filtered()
                rows[label] = (median_ms(get_objects, args.runs, before),
                               median_ms(filtered, args.runs, before))
    print(f"catalog: {args.tables} tables x 20 columns, {args.runs} runs each, median ms")
    base = rows["within the bound"]
    print(f"{'':<26}{'GetObjects(all)':>18}{'filtered query':>18}")
    for label, (objects_ms, filtered_ms) in rows.items():
        print(f"{label:<26}{objects_ms:>10.2f} ({objects_ms / base[0]:4.1f}x){filtered_ms:>10.2f} "
              f"({filtered_ms / base[1]:4.1f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""A one-row query's latency: a raw HTTP POST of the query request on a
kept-alive connection to the dev server (the server's own share), beside the
same query through the driver on one open connection (the difference is the
driver's own overhead), and the first query of a connection opened with a
cached token.

    .venv/bin/python bench/small_query_latency.py [--runs K]
"""
from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "python"))
sys.path.insert(0, str(REPO / "bench"))

import adbc_driver_manager as dm  # noqa: E402
import adbc_driver_manager.dbapi as dbapi  # noqa: E402
import pyarrow as pa  # noqa: E402
from frame_client import FrameParser, login  # noqa: E402
from raw_timing import STREAM_TYPE, KeptAlive  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

DRIVER = adbc_driver_zorvane._driver_path()
SQL = "SELECT 42 AS answer"


def raw_post(client: KeptAlive) -> float:
    """One raw POST of the query request on the kept-alive connection, in ms."""
    body = json.dumps({"sql": SQL}).encode()
    headers = {"Content-Type": "application/json", "Accept": STREAM_TYPE, "X-Zorvane-Client": "adbc"}
    seconds, status, data = client.post("/api/v1/query/stream/binary", body, headers)
    assert status == 200 and FrameParser().feed(data)
    return seconds * 1000


def timed_ms(work) -> float:
    start = time.perf_counter()
    work()
    return (time.perf_counter() - start) * 1000


def run_once(conn, stmt=None) -> None:
    """One query through the driver manager's statement API (a statement of its
    own unless one is given), read to its end."""
    own = stmt is None
    stmt = dm.AdbcStatement(conn) if own else stmt
    stmt.set_sql_query(SQL)
    handle, _ = stmt.execute_query()
    assert pa.RecordBatchReader._import_from_c(handle.address).read_all().num_rows == 1
    if own:
        stmt.close()


class Figures:
    """Samples of each kind, taken in turns so that every kind sees the same
    machine: on a shared machine the raw POST alone moves by a factor of two
    between runs, and a difference of separate runs would measure that."""

    def __init__(self) -> None:
        self.samples: dict[str, list[float]] = {}

    def add(self, name: str, ms: float) -> None:
        self.samples.setdefault(name, []).append(ms)

    def median(self, name: str) -> float:
        return statistics.median(self.samples[name])


def measure(node: str, uri: str, token: str, runs: int) -> Figures:
    """`runs` samples of each kind against the compute node at `node` (raw)
    and the control plane at `uri` (the driver, as the dev server's demo user)."""
    figures = Figures()
    with KeptAlive(node, token) as client, \
            dbapi.connect(driver=DRIVER, autocommit=True,
                          db_kwargs={"uri": uri, "username": "demo", "password": "demo"}) as dbapi_conn, \
            dm.AdbcDatabase(driver=DRIVER, uri=uri, username="demo", password="demo") as db, \
            dm.AdbcConnection(db) as conn, dm.AdbcStatement(conn) as stmt:
        cur = dbapi_conn.cursor()

        def dbapi_query():
            cur.execute(SQL)
            assert cur.fetchall() == [(42,)]

        for _ in range(20):  # warm every path
            raw_post(client), dbapi_query(), run_once(conn, stmt)
        for i in range(runs):
            figures.add("raw", raw_post(client))
            figures.add("api", timed_ms(lambda: run_once(conn, stmt)))
            figures.add("dbapi", timed_ms(dbapi_query))
            if i % 5 == 0:
                # A connection opened with the token the ones before it cached,
                # and its first query (statement API).
                start = time.perf_counter()
                with dm.AdbcConnection(db) as fresh:
                    opened = time.perf_counter()
                    run_once(fresh)
                    figures.add("first", (time.perf_counter() - opened) * 1000)
                    figures.add("open", (opened - start) * 1000)
    return figures


def figures_ms(f: Figures) -> dict:
    """The medians, and the driver's overhead beyond the raw POST."""
    raw = f.median("raw")
    return {"raw_post_ms": raw, "statement_api_ms": f.median("api"), "dbapi_ms": f.median("dbapi"),
            "open_cached_token_ms": f.median("open"), "first_query_ms": f.median("first"),
            "overhead_ms": f.median("api") - raw, "first_query_overhead_ms": f.median("first") - raw}


def goal(value: float, bound: float) -> str:
    return f"goal <= {bound:g} ms{'' if value <= bound else ', not met'}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=500)
    args = ap.parse_args()
    with start_devserver(nodes=1, fault_injection=False) as srv:
        f = figures_ms(measure(srv.node_urls["compute-1"], srv.url, login(srv.url), args.runs))
    raw = f["raw_post_ms"]
    print(f"one-row query, median of {args.runs} runs of each, taken in turns")
    print(f"raw HTTP POST (the dev server's share)     {raw:7.3f} ms   {goal(raw, 1.5)}")
    print(f"through the driver, open connection        {f['dbapi_ms']:7.3f} ms")
    print(f"through the driver manager's statement API {f['statement_api_ms']:7.3f} ms")
    print(f"driver's own overhead (statement API)      {f['overhead_ms']:7.3f} ms   {goal(f['overhead_ms'], 0.2)}")
    print(f"the DB-API layer on top                    {f['dbapi_ms'] - f['statement_api_ms']:7.3f} ms")
    print(f"open with a cached token                   {f['open_cached_token_ms']:7.3f} ms")
    print(f"first query on it (statement API)          {f['first_query_ms']:7.3f} ms")
    over = f["first_query_overhead_ms"]
    print(f"  its overhead beyond the raw POST         {over:7.3f} ms   {goal(over, 0.2)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

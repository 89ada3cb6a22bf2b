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

import adbc_driver_manager.dbapi as dbapi  # noqa: E402
import pyarrow as pa  # noqa: E402
from frame_client import FrameParser, login  # noqa: E402
from raw_timing import STREAM_TYPE, KeptAlive  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

DRIVER = adbc_driver_zorvane._driver_path()
SQL = "SELECT 42 AS answer"


def raw_post_ms(node_url: str, token: str, runs: int) -> list[float]:
    body = json.dumps({"sql": SQL}).encode()
    headers = {"Content-Type": "application/json", "Accept": STREAM_TYPE, "X-Zorvane-Client": "adbc"}
    samples = []
    with KeptAlive(node_url, token) as client:
        for _ in range(runs):
            seconds, status, data = client.post("/api/v1/query/stream/binary", body, headers)
            samples.append(seconds * 1000)
            assert status == 200 and FrameParser().feed(data)
    return samples


def driver_ms(uri: str, runs: int) -> list[float]:
    samples = []
    with dbapi.connect(driver=DRIVER, autocommit=True,
                       db_kwargs={"uri": uri, "username": "demo", "password": "demo"}) as conn:
        cur = conn.cursor()
        for _ in range(runs):
            start = time.perf_counter()
            cur.execute(SQL)
            assert cur.fetchall() == [(42,)]
            samples.append((time.perf_counter() - start) * 1000)
    return samples


def run_once(conn, stmt=None) -> None:
    """One query through the driver manager's statement API (a statement of its
    own unless one is given), read to its end."""
    import adbc_driver_manager as dm
    own = stmt is None
    stmt = dm.AdbcStatement(conn) if own else stmt
    stmt.set_sql_query(SQL)
    handle, _ = stmt.execute_query()
    assert pa.RecordBatchReader._import_from_c(handle.address).read_all().num_rows == 1
    if own:
        stmt.close()


def statement_api_ms(uri: str, runs: int) -> list[float]:
    """The same through the driver manager's own statement API, without the
    DB-API layer's conversion of the result to Python rows."""
    import adbc_driver_manager as dm
    samples = []
    with dm.AdbcDatabase(driver=DRIVER, uri=uri, username="demo", password="demo") as db, \
            dm.AdbcConnection(db) as conn, dm.AdbcStatement(conn) as stmt:
        for _ in range(runs):
            start = time.perf_counter()
            run_once(conn, stmt)
            samples.append((time.perf_counter() - start) * 1000)
    return samples


def first_query_ms(uri: str, runs: int) -> tuple[list[float], list[float]]:
    """Opening a connection with the token cached by the connections before it,
    and its first query (statement API, as the overhead figure above)."""
    import adbc_driver_manager as dm
    opens, firsts = [], []
    with dm.AdbcDatabase(driver=DRIVER, uri=uri, username="demo", password="demo") as db:
        for _ in range(runs):
            start = time.perf_counter()
            with dm.AdbcConnection(db) as conn:
                opened = time.perf_counter()
                run_once(conn)
                firsts.append((time.perf_counter() - opened) * 1000)
                opens.append((opened - start) * 1000)
    return opens, firsts


def goal(value: float, bound: float) -> str:
    return f"goal <= {bound:g} ms{'' if value <= bound else ', not met'}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=500)
    args = ap.parse_args()
    with start_devserver(nodes=1, fault_injection=False) as srv:
        node = srv.node_urls["compute-1"]
        token = login(srv.url)
        raw_post_ms(node, token, 20)  # warm both sides
        raw = statistics.median(raw_post_ms(node, token, args.runs))
        driver = statistics.median(driver_ms(srv.url, args.runs))
        api = statistics.median(statement_api_ms(srv.url, args.runs))
        opens, firsts = first_query_ms(srv.url, max(50, args.runs // 5))
    first = statistics.median(firsts)
    print(f"one-row query, median of {args.runs} runs")
    print(f"raw HTTP POST (the dev server's share)     {raw:7.3f} ms   {goal(raw, 1.5)}")
    print(f"through the driver, open connection        {driver:7.3f} ms")
    print(f"through the driver manager's statement API {api:7.3f} ms")
    print(f"driver's own overhead (statement API)      {api - raw:7.3f} ms   {goal(api - raw, 0.2)}")
    print(f"the DB-API layer on top                    {driver - api:7.3f} ms")
    print(f"open with a cached token                   {statistics.median(opens):7.3f} ms")
    # The first query also opens the TCP connection to the compute node, which
    # the raw client's figure does not include.
    print(f"first query on it (statement API)          {first:7.3f} ms")
    print(f"  its overhead beyond the raw POST         {first - raw:7.3f} ms   {goal(first - raw, 0.2)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

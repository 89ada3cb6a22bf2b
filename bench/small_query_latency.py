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
import http.client
import json
import statistics
import sys
import time
from pathlib import Path
from urllib.parse import urlsplit

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "python"))

import adbc_driver_manager.dbapi as dbapi  # noqa: E402
import pyarrow as pa  # noqa: E402
from frame_client import STREAM_TYPE, FrameParser, login  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

DRIVER = adbc_driver_zorvane._driver_path()
SQL = "SELECT 42 AS answer"


def raw_post_ms(node_url: str, token: str, runs: int) -> list[float]:
    parts = urlsplit(node_url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port)
    body = json.dumps({"sql": SQL}).encode()
    headers = {"Content-Type": "application/json", "Accept": STREAM_TYPE,
               "Authorization": f"Bearer {token}", "X-Zorvane-Client": "adbc"}
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        conn.request("POST", "/api/v1/query/stream/binary", body, headers)
        response = response_body = conn.getresponse()
        response_body = response.read()
        samples.append((time.perf_counter() - start) * 1000)
        assert response.status == 200 and FrameParser().feed(response_body)
    conn.close()
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


def statement_api_ms(uri: str, runs: int) -> list[float]:
    """The same through the driver manager's own statement API, without the
    DB-API layer's conversion of the result to Python rows."""
    import adbc_driver_manager as dm
    samples = []
    with dm.AdbcDatabase(driver=DRIVER, uri=uri, username="demo", password="demo") as db, \
            dm.AdbcConnection(db) as conn, dm.AdbcStatement(conn) as stmt:
        for _ in range(runs):
            start = time.perf_counter()
            stmt.set_sql_query(SQL)
            handle, _ = stmt.execute_query()
            assert pa.RecordBatchReader._import_from_c(handle.address).read_all().num_rows == 1
            samples.append((time.perf_counter() - start) * 1000)
    return samples


def first_query_ms(uri: str, runs: int) -> tuple[list[float], list[float]]:
    opens, firsts = [], []
    for _ in range(runs):
        start = time.perf_counter()
        with dbapi.connect(driver=DRIVER, autocommit=True,
                           db_kwargs={"uri": uri, "username": "demo", "password": "demo"}) as conn:
            opened = time.perf_counter()
            cur = conn.cursor()
            cur.execute(SQL)
            cur.fetchall()
            firsts.append((time.perf_counter() - opened) * 1000)
            opens.append((opened - start) * 1000)
    return opens, firsts


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
        opens, firsts = first_query_ms(srv.url, max(10, args.runs // 20))
    print(f"one-row query, median of {args.runs} runs")
    print(f"raw HTTP POST (the dev server's share)   {raw:7.3f} ms   goal <= 1.5 ms")
    print(f"through the driver, open connection      {driver:7.3f} ms")
    print(f"through the driver manager's statement API {api:5.3f} ms")
    print(f"driver's own overhead (statement API)    {api - raw:7.3f} ms   goal <= 0.2 ms")
    print(f"the DB-API layer on top                  {driver - api:7.3f} ms")
    print(f"open with a cached token                 {statistics.median(opens):7.3f} ms")
    print(f"first query on it                        {statistics.median(firsts):7.3f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())

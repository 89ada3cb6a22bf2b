#!/usr/bin/env python3
"""Connect latency through the driver on loopback, with a fresh login and with
a cached session token (a first connection per user also fetches the
catalog snapshot), beside the same three control-plane requests made
with a raw keep-alive HTTP client in the same run; and the TCP connections the
server saw per driver connection.

    .venv/bin/python bench/connect_latency.py [--connections N]
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

import adbc_driver_manager as dm  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

# ZV_ADBC_DRIVER, else the checkout's build.
DRIVER = adbc_driver_zorvane._driver_path()


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def driver_connect(db: dm.AdbcDatabase) -> float:
    start = time.perf_counter()
    conn = dm.AdbcConnection(db)
    elapsed = time.perf_counter() - start
    conn.close()
    return elapsed


def raw_connect(url: str, user: str, password: str) -> float:
    """Login, recommendation and confirmation over one keep-alive connection."""
    parts = urlsplit(url)
    start = time.perf_counter()
    http_conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    headers = {"Content-Type": "application/json"}
    http_conn.request("POST", "/api/v1/auth/token", json.dumps(
        {"grant_type": "password", "username": user, "password": password}), headers)
    token = json.loads(http_conn.getresponse().read())["session_token"]
    headers["Authorization"] = "Bearer " + token
    http_conn.request("POST", "/api/v1/nodes/recommend", json.dumps(
        {"purpose": "Query", "requiredCaps": ["sql_execution"]}), headers)
    reservation = json.loads(http_conn.getresponse().read())["reservationId"]
    http_conn.request("POST", f"/api/v1/nodes/recommend/{reservation}/confirm", "{}", headers)
    http_conn.getresponse().read()
    elapsed = time.perf_counter() - start
    http_conn.close()
    return elapsed


def report(name: str, samples: list[float]) -> None:
    print(f"{name:<34} median {statistics.median(samples) * 1000:7.2f} ms   "
          f"p95 {percentile(samples, 95) * 1000:7.2f} ms   ({len(samples)} connections)")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--connections", type=int, default=200)
    args = ap.parse_args()
    n = args.connections
    users = {f"bench{i}": f"pw-{i}" for i in range(n)}
    with start_devserver(nodes=2, users=users, demo_data=False) as srv:
        raw = [raw_connect(srv.url, user, pw) for user, pw in users.items()]

        srv.reset_counters()
        fresh = []
        for user, pw in users.items():
            # Another user each time: the token cache cannot help.
            with dm.AdbcDatabase(driver=DRIVER, uri=srv.url, username=user, password=pw) as db:
                fresh.append(driver_connect(db))
        counts = srv.counters()
        logins = counts["logins"]
        tcp_per_conn = counts["connections"].get("control", 0) / n

        with dm.AdbcDatabase(driver=DRIVER, uri=srv.url, username="bench0",
                             password="pw-0") as db:
            srv.reset_counters()
            cached = [driver_connect(db) for _ in range(n)]
            cached_logins = srv.counters()["logins"]

    report("raw HTTP (login+recommend+confirm)", raw)
    report("driver, fresh login + snapshot", fresh)
    report("driver, cached token", cached)
    print(f"driver fresh / raw median: {statistics.median(fresh) / statistics.median(raw):.2f}; "
          f"cached / fresh median: {statistics.median(cached) / statistics.median(fresh):.2f}")
    print(f"logins seen by the server: fresh {logins} for {n} connections, "
          f"cached {cached_logins} for {n} connections")
    print(f"TCP connections per driver connection (control plane): {tcp_per_conn:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

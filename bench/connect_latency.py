#!/usr/bin/env python3
"""Connect latency through the driver on loopback, with a fresh login and with
a cached session token (a first connection per user also fetches the
catalog snapshot), beside the same three control-plane requests made
with a raw keep-alive HTTP client in the same run; the requests and TCP
connections the server saw per driver connection; and a storm of connections
opened from several threads at once, beside the same storm against a
PostgreSQL server started here (adbc-driver-postgresql).

    .venv/bin/python bench/connect_latency.py [--connections N] [--storm N] [--threads T] [--no-postgres]
"""
from __future__ import annotations

import argparse
import contextlib
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
sys.path.insert(0, str(REPO / "bench"))
sys.path.insert(0, str(REPO / "bench" / "peers"))

import adbc_driver_manager as dm  # noqa: E402
from postgres_server import PostgresServer  # noqa: E402
from raw_timing import summary_ms  # noqa: E402
from server_fixture import start_devserver  # noqa: E402
from worker import job_storm  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

# ZV_ADBC_DRIVER, else the checkout's build.
DRIVER = adbc_driver_zorvane._driver_path()


FRESH_LOGIN_GOAL_MS = 10.0


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
    print(f"{name:<34} {summary_ms(samples)}   ({len(samples)} connections)")


def storm(system: str, uri: str, n: int, threads: int) -> dict:
    job = {"system": system, "uri": uri, "n": n, "threads": threads}
    if system == "zorvane":
        job.update(driver=DRIVER, username="bench0", password="pw-0")
    return job_storm(job)


def storm_rounds(uris: dict[str, str], n: int, threads: int, rounds: int) -> dict[str, dict]:
    """Storms against each system in turn, `rounds` times; per system the round
    of median p95, so that load from elsewhere on the machine falls on both alike."""
    runs: dict[str, list[dict]] = {system: [] for system in uris}
    for _ in range(rounds):
        for system, uri in uris.items():
            runs[system].append(storm(system, uri, n, threads))
    return {system: sorted(r, key=lambda f: f["p95_ms"] or float("inf"))[len(r) // 2] for system, r in runs.items()}


def report_storm(name: str, figures: dict) -> None:
    print(f"{name:<34} median {figures['median_ms']:7.2f} ms   p95 {figures['p95_ms']:7.2f} ms   "
          f"({figures['opened']} of {figures['connections']} opened from {figures['threads']} threads "
          f"in {figures['seconds']:.2f} s, {figures['errors']} errors)")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--connections", type=int, default=200)
    ap.add_argument("--storm", type=int, default=200, help="connections of the storm (0: none)")
    ap.add_argument("--threads", type=int, default=8, help="threads opening the storm's connections")
    ap.add_argument("--rounds", type=int, default=3, help="storms per system, taken in turn (the median counts)")
    ap.add_argument("--no-postgres", action="store_true", help="no PostgreSQL storm beside the driver's")
    args = ap.parse_args()
    n = args.connections
    users = {f"bench{i}": f"pw-{i}" for i in range(n)}
    with contextlib.ExitStack() as servers:
        srv = servers.enter_context(start_devserver(nodes=2, users=users, demo_data=False))
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
        fresh_requests = {k: v / n for k, v in sorted(counts["requests_by_server"].get("control", {}).items())}

        with dm.AdbcDatabase(driver=DRIVER, uri=srv.url, username="bench0",
                             password="pw-0") as db:
            srv.reset_counters()
            cached = [driver_connect(db) for _ in range(n)]
            cached_logins = srv.counters()["logins"]
        # A process of its own would start with empty caches; here the storm
        # finds the token and snapshot of the connections above, as a host
        # opening connections all day would.
        uris = {"zorvane": srv.url}
        if not args.no_postgres:
            uris["postgresql"] = servers.enter_context(PostgresServer()).uri
        storms = storm_rounds(uris, args.storm, args.threads, args.rounds) if args.storm else {}
    ours, theirs = storms.get("zorvane"), storms.get("postgresql")

    report("raw HTTP (login+recommend+confirm)", raw)
    report("driver, fresh login + snapshot", fresh)
    fresh_ms = statistics.median(fresh) * 1000
    met = '' if fresh_ms <= FRESH_LOGIN_GOAL_MS else ', not met'
    print(f"{'':<34} goal: median <= {FRESH_LOGIN_GOAL_MS:g} ms{met}")
    report("driver, cached token", cached)
    print(f"driver fresh / raw median: {statistics.median(fresh) / statistics.median(raw):.2f}; "
          f"cached / fresh median: {statistics.median(cached) / statistics.median(fresh):.2f}")
    print(f"logins seen by the server: fresh {logins} for {n} connections, "
          f"cached {cached_logins} for {n} connections")
    print(f"TCP connections per driver connection (control plane): {tcp_per_conn:.2f}")
    print("control-plane requests per fresh connection: "
          + ", ".join(f"{k} {v:.2f}" for k, v in fresh_requests.items()))
    if ours is not None:
        print(f"storms of {args.storm} connections from {args.threads} threads, {args.rounds} per system "
              "in turn; the round of median p95:")
        report_storm("storm, driver", ours)
    if theirs is not None:
        report_storm("storm, PostgreSQL", theirs)
        met = ours["p95_ms"] is not None and ours["p95_ms"] <= theirs["p95_ms"]
        print(f"{'':<34} goal: p95 <= PostgreSQL's ({ours['p95_ms'] or 0:.2f} vs {theirs['p95_ms']:.2f} ms"
              f"{'' if met else ', not met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

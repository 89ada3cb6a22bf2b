#!/usr/bin/env python3
"""Soak run: many threads use the driver against the dev server while faults
are armed at random, and the run reports what went wrong.

    make soak                                  # about three minutes
    .venv/bin/python scripts/soak.py --seconds 1800      # longer
    .venv/bin/python scripts/soak.py --seconds 20 --threads 3   # a quick look

Each worker repeats one of: a query whose result is checked against DuckDB
running the same SQL in this process, catalog questions on the demo catalog
(information_schema, GetObjects, GetTableSchema; an empty answer is a fault,
the demo schema always holds tables), an ingest that is read back, and a
query whose stream is released after its first batch. A fault thread arms the
dev server's faults (delays, HTTP errors, dropped connections, truncated and
failing streams, stalls, token expiry, snapshot faults) for part of the time.

Errors are expected while faults are armed; they are counted by SQLSTATE. A
wrong result, an empty catalog answer, an operation that outlives its
deadline (a hang), or threads, descriptors and memory not back at the
baseline afterwards make the run fail (exit status 1).
"""

from __future__ import annotations

import argparse
import collections
import gc
import os
import pathlib
import random
import sys
import threading
import time

import adbc_driver_manager.dbapi as dbapi
import duckdb
import pyarrow as pa

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
from server_fixture import start_devserver  # noqa: E402

DEMO_SCHEMA = "sales"
OPERATION_DEADLINE = 90.0  # seconds; the driver's own bounds are shorter

QUERIES = [
    "SELECT i, i * 3 AS triple, 'row ' || i AS label FROM range({n}) t(i)",
    "SELECT i % 7 AS k, count(*) AS c, sum(i) AS s FROM range({n}) t(i) GROUP BY 1",
    "SELECT CAST(i AS DOUBLE) / 4 AS q, DATE '2024-01-01' + CAST(i % 300 AS INTEGER) AS d "
    "FROM range({n}) t(i) WHERE i % 3 = 0",
]

# (kind, fields); an endpoint is drawn at random where none is given.
FAULTS = [
    ("delay", dict(seconds=0.5)),
    ("http_status", dict(status=503, body="")),
    ("http_status", dict(status=500, body="overloaded")),
    ("close", dict()),
    ("truncate", dict(endpoint="query", after_batches=1)),
    ("error_frame", dict(endpoint="query", after_batches=1, message="soak fault",
                         sqlstate="HY000")),
    ("stall", dict(endpoint="query", seconds=2, after_batches=1)),
    ("http_status", dict(endpoint="snapshot", status=503, body="")),
    ("truncate", dict(endpoint="snapshot", after_batches=1)),
    ("close", dict(endpoint="ingest")),
]
ENDPOINTS = ["login", "recommend", "confirm", "snapshot", "query", "ingest", None]


def resources() -> dict:
    status = pathlib.Path("/proc/self/status").read_text()
    rss_kib = int(next(line for line in status.splitlines()
                       if line.startswith("VmRSS")).split()[1])
    return {"threads": len(os.listdir("/proc/self/task")),
            "fds": len(os.listdir("/proc/self/fd")),
            "rss_mib": round(rss_kib / 1024, 1)}


def canonical(table: pa.Table) -> list:
    return sorted(table.to_pylist(), key=repr)


class Tally:
    """What the workers saw, shared between threads under one lock."""

    def __init__(self):
        self.lock = threading.Lock()
        self.ops = collections.Counter()
        self.errors = collections.Counter()
        self.samples: dict[str, list[str]] = collections.defaultdict(list)
        self.wrong: list[str] = []
        self.empty_catalog = 0
        self.running: dict[int, tuple[str, float]] = {}
        self.hangs: list[str] = []

    def error(self, exc: BaseException) -> None:
        state = getattr(exc, "sqlstate", None) or type(exc).__name__
        with self.lock:
            self.errors[state] += 1
            if len(self.samples[state]) < 3:
                self.samples[state].append(str(exc).splitlines()[0][:200])

    def finding(self, what: str) -> None:
        with self.lock:
            self.wrong.append(what)


class Worker:
    def __init__(self, driver: str, url: str, tally: Tally, rng: random.Random,
                 stop: threading.Event):
        self.driver, self.url, self.tally, self.rng, self.stop = driver, url, tally, rng, stop
        self.reference = duckdb.connect()
        self.serial = 0

    def connect(self):
        return dbapi.connect(driver=self.driver, autocommit=True,
                             db_kwargs={"uri": self.url, "username": "demo", "password": "demo"})

    def run(self) -> None:
        kinds = [self.query, self.query, self.catalog, self.ingest, self.early_release]
        while not self.stop.is_set():
            op = self.rng.choice(kinds)
            ident = threading.get_ident()
            with self.tally.lock:
                self.tally.running[ident] = (op.__name__, time.monotonic())
            try:
                with self.connect() as conn:
                    op(conn)
                with self.tally.lock:
                    self.tally.ops[op.__name__] += 1
            except Exception as exc:  # noqa: BLE001 - every failure is counted
                self.tally.error(exc)
            finally:
                with self.tally.lock:
                    self.tally.running.pop(ident, None)

    def query(self, conn) -> None:
        sql = self.rng.choice(QUERIES).format(n=self.rng.choice([10, 1000, 50_000]))
        with conn.cursor() as cur:
            cur.execute(sql)
            got = cur.fetch_arrow_table()
        expected = self.reference.sql(sql).to_arrow_table()
        if expected.schema != got.schema:
            expected = expected.cast(got.schema)
        if canonical(got) != canonical(expected):
            self.tally.finding(f"query result differs from DuckDB: {sql}")

    def catalog(self, conn) -> None:
        objects = conn.adbc_get_objects(depth="tables", db_schema_filter=DEMO_SCHEMA).read_all()
        tables = [t for c in objects.to_pylist() for s in c["catalog_db_schemas"] or []
                  for t in s["db_schema_tables"] or []]
        with conn.cursor() as cur:
            cur.execute("SELECT count(*) FROM information_schema.tables "
                        f"WHERE table_schema = '{DEMO_SCHEMA}'")
            counted = cur.fetchone()[0]
        schema = conn.adbc_get_table_schema("orders", db_schema_filter=DEMO_SCHEMA)
        if not tables or counted == 0 or len(schema) == 0:
            with self.tally.lock:
                self.tally.empty_catalog += 1
        elif len(tables) != counted:
            self.tally.finding(f"GetObjects saw {len(tables)} tables, "
                               f"information_schema {counted}")

    def ingest(self, conn) -> None:
        self.serial += 1
        name = f"soak_{threading.get_ident()}_{self.serial}"
        rows = self.rng.choice([1, 100, 20_000])
        data = pa.table({"id": pa.array(range(rows), pa.int64()),
                         "v": pa.array([f"v{i}" for i in range(rows)])})
        with conn.cursor() as cur:
            try:
                cur.adbc_ingest(name, data, mode="create")
            except Exception:
                self.check_whole_or_absent(cur, name, rows)
                raise
            cur.execute(f'SELECT count(*), sum(id) FROM "{name}"')
            count, total = cur.fetchone()
            if (count, total or 0) != (rows, rows * (rows - 1) // 2):
                self.tally.finding(f"ingest into {name} read back {count} of {rows} rows")
            cur.execute(f'DROP TABLE "{name}"')

    def check_whole_or_absent(self, cur, name: str, rows: int) -> None:
        """A failed load leaves either nothing or (when only its answer was
        lost) the whole load, never part of it."""
        try:
            cur.execute(f"SELECT count(*) FROM information_schema.tables "
                        f"WHERE table_name = '{name}'")
            if cur.fetchone()[0]:
                cur.execute(f'SELECT count(*) FROM "{name}"')
                count = cur.fetchone()[0]
                if count not in (0, rows):
                    self.tally.finding(f"partial load into {name}: {count} of {rows} rows")
                cur.execute(f'DROP TABLE "{name}"')
        except Exception:  # noqa: BLE001 - the check itself may meet a fault
            pass

    def early_release(self, conn) -> None:
        with conn.cursor() as cur:
            cur.execute("SELECT i, repeat('x', 100) AS pad FROM range(2000000) t(i)")
            cur.fetch_record_batch().read_next_batch()


def arm_faults(server, rng: random.Random, stop: threading.Event, armed_share: float) -> None:
    while not stop.wait(rng.uniform(1.0, 3.0)):
        try:
            server.clear_faults()
            if rng.random() > armed_share:
                continue
            if rng.random() < 0.15:
                server.expire_tokens()
                continue
            kind, fields = rng.choice(FAULTS)
            fields = dict(fields)
            endpoint = fields.pop("endpoint", rng.choice(ENDPOINTS))
            if endpoint is not None:
                fields["endpoint"] = endpoint
            server.set_fault(kind, times=rng.randint(1, 3), **fields)
        except Exception:  # noqa: BLE001 - a fault refused for an endpoint is skipped
            pass


def watch_deadlines(tally: Tally, stop: threading.Event) -> None:
    flagged = set()
    while not stop.wait(1.0):
        now = time.monotonic()
        with tally.lock:
            for ident, (name, started) in tally.running.items():
                if now - started > OPERATION_DEADLINE and (ident, started) not in flagged:
                    flagged.add((ident, started))
                    tally.hangs.append(f"{name} ran over {OPERATION_DEADLINE:.0f} s")


def report(tally: Tally, stuck: list[str], baseline: dict, after: dict, memory_slack_mib: float) -> list[str]:
    print(f"operations: {sum(tally.ops.values())} {dict(tally.ops)}")
    print(f"errors by SQLSTATE: {dict(tally.errors.most_common())}")
    for state, messages in sorted(tally.samples.items()):
        for message in messages:
            print(f"  {state}: {message}")
    print(f"wrong results: {len(tally.wrong)}")
    for what in tally.wrong[:10]:
        print(f"  {what}")
    print(f"empty catalog answers: {tally.empty_catalog}")
    print(f"hangs: {len(tally.hangs) + len(stuck)}")
    for what in tally.hangs[:10] + stuck:
        print(f"  {what}")
    print(f"resources: baseline {baseline}, after {after}")
    failures = []
    if tally.wrong:
        failures.append("wrong results")
    if tally.empty_catalog:
        failures.append("empty catalog answers")
    if tally.hangs or stuck:
        failures.append("hangs")
    if after["threads"] > baseline["threads"] or after["fds"] > baseline["fds"]:
        failures.append("threads or descriptors above the baseline")
    if after["rss_mib"] > baseline["rss_mib"] + memory_slack_mib:
        failures.append("memory above the baseline")
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=180)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--memory-slack-mib", type=float, default=256,
                        help="growth of the resident set allowed over the run")
    parser.add_argument("--armed-share", type=float, default=0.5,
                        help="share of fault periods in which a fault is armed (0 to 1)")
    parser.add_argument("--driver", default=os.environ.get(
        "ZV_ADBC_DRIVER", str(REPO / "build" / "src" / "libzorvane_adbc.so")))
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    print(f"soak: {args.threads} threads for {args.seconds:.0f} s, seed {seed}", flush=True)

    tally = Tally()
    with start_devserver(nodes=2) as server:
        # One operation first, so the library and its process-wide state are
        # loaded before the baseline is taken.
        warm = Worker(args.driver, server.url, tally, random.Random(seed), threading.Event())
        with warm.connect() as conn:
            warm.catalog(conn)
        del warm
        gc.collect()
        baseline = resources()
        stop = threading.Event()
        workers = [threading.Thread(target=Worker(args.driver, server.url, tally,
                                                  random.Random(seed + i), stop).run,
                                    name=f"soak-{i}") for i in range(args.threads)]
        helpers = [threading.Thread(target=arm_faults,
                                    args=(server, random.Random(seed - 1), stop, args.armed_share)),
                   threading.Thread(target=watch_deadlines, args=(tally, stop))]
        for t in workers + helpers:
            t.start()
        time.sleep(args.seconds)
        stop.set()
        for t in workers + helpers:
            t.join(OPERATION_DEADLINE)
        stuck = [f"{t.name} still running at the end" for t in workers if t.is_alive()]
        server.clear_faults()
        workers.clear()
        gc.collect()
        time.sleep(3)  # the driver's own threads (pollers, workers) wind down
        after = resources()

    failures = report(tally, stuck, baseline, after, args.memory_slack_mib)
    print("soak: " + ("FAILED: " + ", ".join(failures) if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

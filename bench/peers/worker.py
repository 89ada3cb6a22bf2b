#!/usr/bin/env python3
"""One measured job in a process of its own, so that its peak resident memory
is the job's alone: `worker.py '<job as JSON>'` prints one JSON line.

A job names the system ("zorvane": this driver through the ADBC driver
manager; "postgresql": adbc-driver-postgresql) with its connection
parameters, and what to do: fetch, ingest, connect, catalog, concurrency or
storm.
"""
from __future__ import annotations

import json
import os
import resource
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import adbc_driver_manager as dm  # noqa: E402
import adbc_driver_manager.dbapi  # noqa: E402
import pyarrow as pa  # noqa: E402
from dataset import read_dataset  # noqa: E402


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class RssSampler:
    """Samples the process's current resident memory every few milliseconds while it runs.

    ru_maxrss cannot show how much a transfer adds when imports and set-up
    already peaked higher; the sampled maximum over the transfer can."""

    def __init__(self, interval: float = 0.002):
        self._interval = interval
        self._stop = threading.Event()
        self._page = os.sysconf("SC_PAGE_SIZE")
        self.before = self.peak = self.current()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def current(self) -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * self._page

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            self.peak = max(self.peak, self.current())

    def __enter__(self) -> RssSampler:
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, self.current())


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def latency(samples: list[float]) -> dict:
    return {"median_ms": statistics.median(samples) * 1000, "p95_ms": percentile(samples, 95) * 1000,
            "samples": len(samples)}


def connect(job: dict, db_kwargs: dict | None = None):
    """A DB-API connection in autocommit mode."""
    if job["system"] == "postgresql":
        import adbc_driver_postgresql.dbapi as pg
        return pg.connect(job["uri"], autocommit=True)
    kwargs = {"uri": job["uri"], "username": job["username"], "password": job["password"]}
    kwargs.update(db_kwargs or {})
    return adbc_driver_manager.dbapi.connect(driver=job["driver"], db_kwargs=kwargs, autocommit=True)


def read_all(cur, sql: str) -> tuple[int, int, int, float | None]:
    """Rows, Arrow bytes and batches of the result, read batch by batch; seconds to the first batch."""
    start = time.perf_counter()
    cur.execute(sql)
    rows = nbytes = batches = 0
    first = None
    for batch in cur.fetch_record_batch():
        if first is None:
            first = time.perf_counter() - start
        rows += batch.num_rows
        nbytes += batch.nbytes
        batches += 1
    return rows, nbytes, batches, first


class KernelPeakRss:
    """The process's peak resident memory over a transfer, as the kernel tracks it.

    Resetting the high-water mark (clear_refs 5) before the transfer and
    reading VmHWM after it costs nothing while the transfer runs: no sampler
    shares the CPU with what is measured."""

    @staticmethod
    def _status_kib(field: str) -> int:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError(f"/proc/self/status has no {field}")

    def __enter__(self) -> KernelPeakRss:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        self.before = self.peak = self._status_kib("VmRSS")
        return self

    def __exit__(self, *exc) -> None:
        self.peak = max(self.before, self._status_kib("VmHWM"))


def job_fetch(job: dict) -> dict:
    """The result read into pyarrow: wall time, the process's CPU time (every
    thread: the host's and the driver's worker) and peak memory."""
    with connect(job) as conn, conn.cursor() as cur:
        read_all(cur, "SELECT 1")  # warm the connection; the figure is the result transfer
        with KernelPeakRss() as rss:
            start, cpu_start = time.perf_counter(), time.process_time()
            rows, nbytes, batches, first = read_all(cur, job["sql"])
            seconds, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    return {"rows": rows, "arrow_bytes": nbytes, "batches": batches, "seconds": seconds, "cpu_s": cpu,
            "first_batch_s": first, "peak_rss": rss.peak, "base_rss": rss.before}


def job_ingest(job: dict) -> dict:
    table = read_dataset(Path(job["data"]))
    with connect(job) as conn:
        stmt = dm.AdbcStatement(conn.adbc_connection)
        try:
            options = {"adbc.ingest.target_table": job["table"], "adbc.ingest.mode": "adbc.ingest.mode.append"}
            if job.get("payload_format"):
                options["zv.ingest.payload_format"] = job["payload_format"]
            stmt.set_options(**options)
            with RssSampler() as rss:
                start = time.perf_counter()
                stmt.bind_stream(pa.RecordBatchReader.from_batches(table.schema, table.to_batches()))
                stmt.execute_update()
                seconds = time.perf_counter() - start
        finally:
            stmt.close()
        with conn.cursor() as cur:
            cur.execute(f"SELECT count(*) FROM {job['table']}")
            rows = int(cur.fetchone()[0])
    return {"rows": rows, "arrow_bytes": table.nbytes, "seconds": seconds, "peak_rss": rss.peak,
            "base_rss": rss.before}


def job_connect(job: dict) -> dict:
    """Opening a connection and running its first query, job["n"] times.

    For this driver with cached=False every connection logs in as another user
    (job["users"]), so the process-wide token cache cannot help."""
    opens, firsts = [], []
    if job["system"] == "zorvane" and not job["cached"]:
        logins = job["users"][: job["n"]]
    else:
        logins = [None] * job["n"]
    db = None
    if job["system"] == "postgresql":
        import adbc_driver_postgresql as pgdrv
        db = pgdrv.connect(job["uri"])
    elif job["cached"]:
        db = dm.AdbcDatabase(driver=job["driver"], uri=job["uri"], username=job["username"],
                             password=job["password"])
    for login in logins:
        own_db = db or dm.AdbcDatabase(driver=job["driver"], uri=job["uri"], username=login[0],
                                       password=login[1])
        start = time.perf_counter()
        conn = dm.AdbcConnection(own_db)
        opened = time.perf_counter()
        stmt = dm.AdbcStatement(conn)
        stmt.set_sql_query("SELECT 1")
        stream, _ = stmt.execute_query()
        pa.RecordBatchReader._import_from_c(stream.address).read_all()
        done = time.perf_counter()
        stmt.close()
        conn.close()
        if own_db is not db:
            own_db.close()
        opens.append(opened - start)
        firsts.append(done - opened)
    if db is not None:
        db.close()
    return {"open": latency(opens), "first_query": latency(firsts)}


def timed_queries(cur, sql: str, runs: int, budget_s: float) -> tuple[dict, int]:
    """Latency of a query read whole into pyarrow, and its row count; at least one run, then only within the budget."""
    samples: list[float] = []
    rows = 0
    while len(samples) < runs and (not samples or sum(samples) < budget_s):
        start = time.perf_counter()
        cur.execute(sql)
        rows = len(cur.fetch_arrow_table())
        samples.append(time.perf_counter() - start)
    return latency(samples), rows


def duckdb_anchor(cur, queries: dict[str, str], runs: int) -> dict:
    """The same queries in an in-process DuckDB (one thread) over the Arrow relation the driver answers from."""
    import duckdb
    cur.execute("SELECT * FROM information_schema.columns")
    columns = cur.fetch_arrow_table()
    db = duckdb.connect()
    db.execute("SET threads TO 1")
    db.register("zv_columns", columns)
    figures = {}
    for name, sql in queries.items():
        local = sql.replace("information_schema.columns", "zv_columns")
        samples = []
        for _ in range(runs + 2):  # the first two warm up
            start = time.perf_counter()
            db.sql(local).to_arrow_table()
            samples.append(time.perf_counter() - start)
        figures[name] = latency(samples[2:])
    return figures


def job_catalog(job: dict) -> dict:
    opened = time.perf_counter()
    with connect(job) as conn:
        # The first connection of the process fetches and installs the snapshot.
        open_ms = (time.perf_counter() - opened) * 1000
        getobjects = []
        tables = 0
        # A slow peer gets fewer repetitions: at least one, then only while within the budget.
        while len(getobjects) < job["runs"] and (not getobjects or sum(getobjects) < job["budget_s"]):
            start = time.perf_counter()
            objects = conn.adbc_get_objects(depth="all", db_schema_filter=job["schema"]).read_all()
            getobjects.append(time.perf_counter() - start)
            tables = sum(len(s["db_schema_tables"] or []) for c in objects.to_pylist()
                         for s in c["catalog_db_schemas"] or []) if not tables else tables
        result = {"get_objects": latency(getobjects), "tables_seen": tables, "first_open_ms": open_ms}
        with conn.cursor() as cur:
            for name, sql in job["queries"].items():
                result[name], result[f"{name}_rows"] = timed_queries(cur, sql, job["query_runs"], job["budget_s"])
            if job["system"] == "zorvane":
                result["duckdb"] = duckdb_anchor(cur, job["queries"], job["query_runs"])
    return result


def job_concurrency(job: dict) -> dict:
    return {str(n): concurrent_queries(job, n) for n in job["levels"]}


def concurrent_queries(job: dict, n: int) -> dict:
    """n queries at once, each on a connection of its own, opened before the clock starts."""
    conns = [connect(job) for _ in range(n)]
    results: list[tuple[int, int] | BaseException] = [None] * n
    barrier = threading.Barrier(n + 1)

    def run(i: int) -> None:
        try:
            with conns[i].cursor() as cur:
                barrier.wait()
                rows, nbytes, _, _ = read_all(cur, job["sql"])
                results[i] = (rows, nbytes)
        except BaseException as exc:  # reported, not raised, so the other threads finish
            results[i] = exc

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - start
    for c in conns:
        c.close()
    errors = [repr(r) for r in results if isinstance(r, BaseException)]
    done = [r for r in results if not isinstance(r, BaseException)]
    return {"queries": n, "errors": errors, "seconds": seconds, "rows": sum(r[0] for r in done),
            "arrow_bytes": sum(r[1] for r in done), "peak_rss": peak_rss()}


def job_storm(job: dict) -> dict:
    """job["n"] connections opened from job["threads"] threads and held until all are open."""
    fds_before = open_fds()
    db = None
    if job["system"] == "zorvane":
        db = dm.AdbcDatabase(driver=job["driver"], uri=job["uri"], username=job["username"],
                             password=job["password"])
    else:
        import adbc_driver_postgresql as pgdrv
        db = pgdrv.connect(job["uri"])
    lock = threading.Lock()
    opened, samples, errors = [], [], []
    per_thread = [job["n"] // job["threads"] + (1 if i < job["n"] % job["threads"] else 0)
                  for i in range(job["threads"])]

    def run(count: int) -> None:
        for _ in range(count):
            start = time.perf_counter()
            try:
                conn = dm.AdbcConnection(db)
            except Exception as exc:
                with lock:
                    errors.append(str(exc)[:200])
                continue
            with lock:
                samples.append(time.perf_counter() - start)
                opened.append(conn)

    threads = [threading.Thread(target=run, args=(c,)) for c in per_thread]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - start
    fds_open = open_fds()
    for conn in opened:
        conn.close()
    db.close()
    return {"connections": job["n"], "threads": job["threads"], "opened": len(opened), "errors": len(errors),
            "first_errors": errors[:3], "seconds": seconds, **({"p95_ms": percentile(samples, 95) * 1000,
                                                                "median_ms": statistics.median(samples) * 1000}
                                                               if samples else {"p95_ms": None, "median_ms": None}),
            "fds_before": fds_before, "fds_while_open": fds_open, "fds_after": open_fds()}


def job_small_query(job: dict) -> dict:
    """A one-row query: a raw POST beside the driver, in turns (bench/small_query_latency.py)."""
    sys.path[:0] = [str(Path(__file__).resolve().parents[1]), str(Path(__file__).resolve().parents[2] / "python")]
    import small_query_latency
    figures = small_query_latency.measure(job["node"], job["uri"], job["token"], job["runs"])
    return small_query_latency.figures_ms(figures)


JOBS = {"fetch": job_fetch, "ingest": job_ingest, "connect": job_connect, "catalog": job_catalog,
        "concurrency": job_concurrency, "storm": job_storm, "small_query": job_small_query}


def main() -> int:
    job = json.loads(sys.argv[1])
    print(json.dumps(JOBS[job["kind"]](job)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

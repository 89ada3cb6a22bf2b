#!/usr/bin/env python3
"""This driver beside the peers a user would pick instead, all on loopback in
one run: adbc-driver-postgresql against a PostgreSQL server started here, and
raw transfers of the same bytes with curl against the dev server.

    .venv/bin/python bench/peers/run.py [--size smoke|small|full] [--rows N] [--tables N] [--out DIR]

Figures: fetch, ingest, connect, catalog, concurrency and memory. Prints a
table, writes peers-<time>.json and peers-latest.json and one PNG chart per
figure under --out (default bench/results). Nothing is asserted here: the
ratios are printed beside the goals.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "tests" / "devserver"))

import dataset  # noqa: E402
import raw_http  # noqa: E402
from frame_client import login, query  # noqa: E402
from postgres_server import PostgresServer  # noqa: E402
from report import print_report, write_charts  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

DRIVER = os.environ.get("ZV_ADBC_DRIVER", str(REPO / "build" / "src" / "libzorvane_adbc.so"))
SIZES = {
    # rows of the data set, catalog tables (20 columns each), connections per
    # connect figure, catalog call repetitions, rows per concurrent query,
    # storm connections and threads, one-row queries of the small-query figure
    "smoke": dict(rows=3000, tables=5, connects=3, catalog_runs=2, concurrent_rows=1000, storm=16, storm_threads=4,
              small_queries=20),
    "small": dict(rows=1_000_000, tables=1000, connects=50, catalog_runs=5, concurrent_rows=200_000, storm=200,
                  storm_threads=8, small_queries=200),
    "full": dict(rows=10_000_000, tables=10_000, connects=100, catalog_runs=5, concurrent_rows=1_000_000, storm=200,
                 storm_threads=8, small_queries=500),
}
CONCURRENCY = (1, 4, 16)
CATALOG_COLUMNS = 20
CATALOG_BUDGET_S = 60  # per call kind and system; at least one call is always measured
FETCH_RUNS = 5  # the best of these per system (short transfers on a shared machine vary by a fifth)
# The two statements a catalog browser sends most: a filtered listing and the
# columns of one table.
CATALOG_QUERIES = {
    "info_schema_query": ("SELECT table_name, column_name, data_type FROM information_schema.columns "
                          "WHERE table_schema = 'bench' AND column_name LIKE 'c1%' "
                          "ORDER BY table_name, column_name LIMIT 100"),
    "point_lookup": ("SELECT column_name, data_type, is_nullable FROM information_schema.columns "
                     "WHERE table_schema = 'bench' AND table_name = 't4711' ORDER BY ordinal_position"),
}
# The driver's default bound of one query's queue: 4 batches of at most the
# server's default 16 MiB batch.
INFLIGHT_BOUND = 4 * 16 * 2**20


def run_job(job: dict, timeout: float = 3600) -> dict:
    out = subprocess.run([sys.executable, str(HERE / "worker.py"), json.dumps(job)], capture_output=True,
                         text=True, timeout=timeout)
    if out.returncode != 0:
        raise RuntimeError(f"{job['kind']} job for {job['system']} failed:\n{out.stderr[-3000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


class Systems:
    """Connection parameters of each system for the worker jobs, and SQL run directly on each server."""

    def __init__(self, devserver, postgres: PostgresServer, users: dict[str, str]):
        self.dev = devserver
        self.pg = postgres
        self.node = devserver.node_urls["compute-1"]
        self.token = login(devserver.url)
        self.users = [[u, p] for u, p in users.items() if u != "demo"]

    def job(self, system: str, kind: str, **fields) -> dict:
        if system == "zorvane":
            return dict(fields, kind=kind, system=system, driver=DRIVER, uri=self.dev.url, username="demo",
                        password="demo")
        return dict(fields, kind=kind, system=system, uri=self.pg.uri)

    def dev_sql(self, sql: str) -> None:
        result = query(self.node, self.token, sql)
        if result.status != 200 or result.error:
            raise RuntimeError(f"dev server refused {sql[:80]!r}: {result.error_body or result.error}")

    def pg_sql(self, sql: str) -> None:
        import adbc_driver_postgresql.dbapi as pg
        with pg.connect(self.pg.uri, autocommit=True) as conn, conn.cursor() as cur:
            cur.execute(sql)


def rate(nbytes: float, rows: float, seconds: float) -> dict:
    return {"seconds": seconds, "rows_per_s": rows / seconds, "mb_per_s": nbytes / seconds / 1e6}


def measure_ingest(s: Systems, data: Path, body: Path, rows: int) -> dict:
    for table in ("peers_data", "peers_ingest_parquet", "peers_ingest_raw"):
        s.dev_sql(f"CREATE TABLE {table} ({dataset.DUCKDB_COLUMNS})")
    s.pg_sql(f"CREATE TABLE peers_data ({dataset.POSTGRES_COLUMNS})")
    results = {}
    raw = raw_http.upload(s.node, s.token, body)
    results["raw_upload"] = dict(rate(raw["wire_bytes"], raw["rows"], raw["seconds"]), rows=raw["rows"],
                                 wire_bytes=raw["wire_bytes"])
    for name, system, table, fmt in (("zorvane_arrow_ipc", "zorvane", "peers_data", "arrow_ipc"),
                                     ("zorvane_parquet", "zorvane", "peers_ingest_parquet", "parquet"),
                                     ("postgresql_copy", "postgresql", "peers_data", None)):
        r = run_job(s.job(system, "ingest", table=table, data=str(data), payload_format=fmt))
        results[name] = dict(rate(r["arrow_bytes"], r["rows"], r["seconds"]), rows=r["rows"],
                             arrow_bytes=r["arrow_bytes"], peak_rss=r["peak_rss"], base_rss=r["base_rss"])
        if r["rows"] != rows:
            raise RuntimeError(f"{name} loaded {r['rows']} rows, not {rows}")
    ipc, raw_r = results["zorvane_arrow_ipc"], results["raw_upload"]
    results["ratios"] = {
        "arrow_ipc_vs_copy": ipc["rows_per_s"] / results["postgresql_copy"]["rows_per_s"],
        "parquet_vs_copy": results["zorvane_parquet"]["rows_per_s"] / results["postgresql_copy"]["rows_per_s"],
        "arrow_ipc_vs_raw_upload": ipc["rows_per_s"] / raw_r["rows_per_s"],
        "parquet_vs_arrow_ipc": results["zorvane_parquet"]["rows_per_s"] / ipc["rows_per_s"],
    }
    return results


def cpu_per_gb(cpu_s: float, wire_bytes: int) -> float:
    """CPU seconds per GB of the response body."""
    return cpu_s / (wire_bytes / 1e9)


def fetch_rounds(s: Systems, sql: str, rows: int, drivers: list[str], runs: int) -> dict[str, list[dict]]:
    """Every run of curl's download of sql's response and of each driver's read
    of it, taken in turns (curl, then each driver, runs times) so that all of
    them see the same machine."""
    results: dict[str, list[dict]] = {name: [] for name in ["curl", *drivers]}
    for _ in range(runs):
        results["curl"].append(raw_http.download(s.node, s.token, sql))
        for driver in drivers:
            r = run_job(dict(s.job("zorvane", "fetch", sql=sql), driver=driver))
            if r["rows"] != rows:
                raise RuntimeError(f"{driver} fetched {r['rows']} rows of {sql!r}, not {rows}")
            results[driver].append(r)
    return results


def fetch_beside_raw(s: Systems, sql: str, rows: int) -> dict:
    """This driver's read of sql into pyarrow beside curl's download of the
    same response, each the best of FETCH_RUNS rounds (wall time and CPU time
    separately), with the CPU time per GB of the response body."""
    rounds = fetch_rounds(s, sql, rows, [DRIVER], FETCH_RUNS)
    runs, raws = rounds[DRIVER], rounds["curl"]
    driver = min(runs, key=lambda r: r["seconds"])
    raw = min(raws, key=lambda r: r["seconds"])
    wire = raw["wire_bytes"]
    driver_cpu, raw_cpu = min(r["cpu_s"] for r in runs), min(r["cpu_s"] for r in raws)
    return {
        "zorvane": dict(rate(driver["arrow_bytes"], rows, driver["seconds"]), rows=rows,
                        arrow_bytes=driver["arrow_bytes"], batches=driver["batches"], cpu_s=driver_cpu,
                        cpu_s_per_gb=cpu_per_gb(driver_cpu, wire), first_batch_ms=driver["first_batch_s"] * 1000,
                        peak_rss=driver["peak_rss"], base_rss=driver["base_rss"]),
        "raw_download": dict(rate(wire, rows, raw["seconds"]), wire_bytes=wire, cpu_s=raw_cpu,
                             cpu_s_per_gb=cpu_per_gb(raw_cpu, wire)),
        # The time to move the same response, and the CPU it took.
        "vs_raw_download": raw["seconds"] / driver["seconds"],
        "cpu_per_gb_vs_curl": driver_cpu / raw_cpu,
    }


def measure_fetch(s: Systems, rows: int) -> dict:
    results = fetch_beside_raw(s, "SELECT * FROM peers_data", rows)
    pg = min((run_job(s.job("postgresql", "fetch", sql="SELECT * FROM peers_data")) for _ in range(FETCH_RUNS)),
             key=lambda r: r["seconds"])
    if pg["rows"] != rows:
        raise RuntimeError(f"postgresql fetched {pg['rows']} rows, not {rows}")
    results["postgresql"] = dict(rate(pg["arrow_bytes"], pg["rows"], pg["seconds"]), rows=pg["rows"],
                                 arrow_bytes=pg["arrow_bytes"], batches=pg["batches"], cpu_s=pg["cpu_s"],
                                 first_batch_ms=pg["first_batch_s"] * 1000, peak_rss=pg["peak_rss"],
                                 base_rss=pg["base_rss"])
    families = results["families"] = {}
    for family in dataset.FAMILIES:
        s.dev_sql(dataset.family_table_sql(family, rows))
        families[family] = fetch_beside_raw(s, f"SELECT * FROM fam_{family}", rows)
    z = results["zorvane"]
    results["ratios"] = {
        "vs_postgresql": z["rows_per_s"] / results["postgresql"]["rows_per_s"],
        "vs_raw_download": results.pop("vs_raw_download"),
        "cpu_per_gb_vs_curl": results.pop("cpu_per_gb_vs_curl"),
        "families_min_vs_raw_download": min(f["vs_raw_download"] for f in families.values()),
        "families_max_cpu_per_gb_vs_curl": max(f["cpu_per_gb_vs_curl"] for f in families.values()),
        "first_batch_ms": z["first_batch_ms"],
    }
    return results


def measure_connect(s: Systems, n: int) -> dict:
    return {
        "zorvane_fresh_login": run_job(s.job("zorvane", "connect", n=n, cached=False, users=s.users)),
        "zorvane_cached_token": run_job(s.job("zorvane", "connect", n=n, cached=True)),
        "postgresql": run_job(s.job("postgresql", "connect", n=n, cached=False)),
    }


def measure_small_query(s: Systems, runs: int) -> dict:
    r = run_job(s.job("zorvane", "small_query", node=s.node, token=s.token, runs=runs))
    r["ratios"] = {k: r[k] for k in ("raw_post_ms", "overhead_ms", "first_query_overhead_ms")}
    return r


def measure_concurrency(s: Systems, concurrent_rows: int, storm: int, storm_threads: int) -> dict:
    # A table of its own rather than a LIMIT, which DuckDB would not stream.
    copy = f"CREATE TABLE peers_part AS SELECT * FROM peers_data WHERE id < {concurrent_rows}"
    s.dev_sql(copy)
    s.pg_sql(copy)
    sql = "SELECT * FROM peers_part"
    results: dict = {"rows_per_query": concurrent_rows}
    for system in ("zorvane", "postgresql"):
        levels = {}
        for n, r in run_job(s.job(system, "concurrency", sql=sql, levels=CONCURRENCY)).items():
            if r["errors"] or r["rows"] != int(n) * concurrent_rows:
                raise RuntimeError(f"{system} with {n} concurrent queries: {r['errors'][:2]}, {r['rows']} rows")
            levels[n] = dict(rate(r["arrow_bytes"], r["rows"], r["seconds"]), queries=int(n))
        results[system] = levels
        results[f"{system}_storm"] = run_job(s.job(system, "storm", n=storm, threads=storm_threads))
    return results


def create_catalog(s: Systems, tables: int) -> None:
    columns = ", ".join(f"c{i} INTEGER" for i in range(CATALOG_COLUMNS))
    for start in range(0, tables, 1000):
        s.dev_sql(("CREATE SCHEMA bench; " if start == 0 else "") + " ".join(
            f"CREATE TABLE bench.t{t} ({columns});" for t in range(start, min(tables, start + 1000))))
    s.pg_sql("CREATE SCHEMA bench")
    s.pg_sql(f"DO $$ BEGIN FOR i IN 0..{tables - 1} LOOP "
             f"EXECUTE format('CREATE TABLE bench.t%s ({columns})', i); END LOOP; END $$")


def measure_catalog(s: Systems, tables: int, runs: int) -> dict:
    create_catalog(s, tables)
    results = {"tables": tables, "columns": tables * CATALOG_COLUMNS}
    queries = {name: sql.replace("t4711", f"t{min(4711, tables - 1)}") for name, sql in CATALOG_QUERIES.items()}
    for system in ("zorvane", "postgresql"):
        r = run_job(s.job(system, "catalog", runs=runs, query_runs=runs * 4, budget_s=CATALOG_BUDGET_S,
                          schema="bench", queries=queries))
        if r["tables_seen"] != tables:
            raise RuntimeError(f"{system} GetObjects saw {r['tables_seen']} tables, not {tables}")
        results[system] = r
    z, p = results["zorvane"], results["postgresql"]
    results["ratios"] = {
        "get_objects_speedup": p["get_objects"]["median_ms"] / z["get_objects"]["median_ms"],
        **{f"{name}_speedup": p[name]["median_ms"] / z[name]["median_ms"] for name in queries},
        **{f"{name}_vs_duckdb": z["duckdb"][name]["median_ms"] / z[name]["median_ms"] for name in queries},
        "point_lookup_ms": z["point_lookup"]["median_ms"],
    }
    return results


def memory_figure(results: dict) -> dict:
    """Peak resident memory of the host process and its growth over the level before the transfer.

    An ingest's growth includes the pages of the memory-mapped source table the
    driver reads, for every system alike."""
    fetch, ingest = results["fetch"], results["ingest"]
    figure = {"inflight_bound": INFLIGHT_BOUND, "fetch_result_arrow_bytes": fetch["zorvane"]["arrow_bytes"],
              "ingest_source_arrow_bytes": ingest["zorvane_arrow_ipc"]["arrow_bytes"]}
    for name, entry in (("zorvane_fetch", fetch["zorvane"]), ("postgresql_fetch", fetch["postgresql"]),
                        ("zorvane_ingest", ingest["zorvane_arrow_ipc"]),
                        ("zorvane_parquet_ingest", ingest["zorvane_parquet"]),
                        ("postgresql_ingest", ingest["postgresql_copy"])):
        figure[f"{name}_peak_rss"] = entry["peak_rss"]
        figure[f"{name}_growth"] = entry["peak_rss"] - entry["base_rss"]
    return figure


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", choices=sorted(SIZES), default="full")
    ap.add_argument("--rows", type=int, help="rows of the fetch and ingest table (overrides --size)")
    ap.add_argument("--tables", type=int, help="tables of the catalog figure (overrides --size)")
    ap.add_argument("--out", type=Path, default=REPO / "bench" / "results")
    ap.add_argument("--no-charts", action="store_true")
    return ap.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    size = dict(SIZES[args.size])
    size.update({k: v for k, v in (("rows", args.rows), ("tables", args.tables)) if v})
    args.out.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="zv-bench-peers-"))
    users = {"demo": "demo", **{f"bench{i}": f"pw-{i}" for i in range(size["connects"])}}
    results: dict = {"started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "size": args.size,
                     "parameters": size, "cores": os.cpu_count(), "load_average": os.getloadavg()}
    try:
        data, body = work / "data.arrow", work / "upload.frames"
        dataset.write_dataset(data, size["rows"])
        raw_http.write_upload_body(data, body, "peers_ingest_raw")
        with PostgresServer() as pg, start_devserver(nodes=2, demo_data=False, fault_injection=False,
                                                     users=users) as dev:
            results["postgresql_version"] = pg.version
            s = Systems(dev, pg, users)
            phases = results["phase_seconds"] = {}

            def phase(name: str, measure, *a) -> None:
                started = time.perf_counter()
                results[name] = measure(*a)
                phases[name] = round(time.perf_counter() - started, 1)

            phase("ingest", measure_ingest, s, data, body, size["rows"])
            phase("fetch", measure_fetch, s, size["rows"])
            results["memory"] = memory_figure(results)
            phase("concurrency", measure_concurrency, s, size["concurrent_rows"], size["storm"],
                  size["storm_threads"])
            phase("connect", measure_connect, s, size["connects"])
            phase("small_query", measure_small_query, s, size["small_queries"])
            phase("catalog", measure_catalog, s, size["tables"], size["catalog_runs"])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    results["finished"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    text = json.dumps(results, indent=2)
    stamp = results["started"].replace(":", "").replace("-", "")
    (args.out / f"peers-{stamp}.json").write_text(text)
    (args.out / "peers-latest.json").write_text(text)
    print_report(results)
    if not args.no_charts:
        for path in write_charts(results, args.out / "charts"):
            print(f"chart: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

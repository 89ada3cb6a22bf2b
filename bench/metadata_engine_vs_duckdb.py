#!/usr/bin/env python3
"""Times the metadata engine and DuckDB on the same query over the same
100,000-row information_schema.columns Arrow table, in the same run, and
prints both figures side by side.

    .venv/bin/python bench/metadata_engine_vs_duckdb.py [--binary PATH] [--runs N]

The table is generated here, written as an Arrow IPC stream and handed to the
C++ benchmark (bench_metadata_engine) through ZV_BENCH_COLUMNS_IPC; DuckDB
queries the in-memory pyarrow table directly.

A second part goes through the driver (loaded by the ADBC driver manager)
against the dev server: typical catalog queries, among them ORDER BY a column
outside the select list and DISTINCT, answered locally, beside the same query
on compute (a function the engine does not evaluate sends it there without
changing the answer).
"""

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time

import duckdb
import pyarrow as pa
import pyarrow.ipc as ipc

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
DEFAULT_BINARY = REPO / "build" / "bench" / "metadata_engine" / "bench_metadata_engine"
ROWS = 100_000

# Kept identical to kExecuteQuery in bench/metadata_engine/metadata_engine_bench.cc.
QUERY = (
    "SELECT table_name, column_name, ordinal_position, data_type FROM information_schema.columns "
    "WHERE table_schema = 'schema_7' AND data_type LIKE 'VARCHAR%' "
    "ORDER BY table_name, ordinal_position LIMIT 100"
)

TYPES = ["VARCHAR", "INTEGER", "BIGINT", "BOOLEAN", "TIMESTAMP", "VARCHAR(64)"]

# A catalog shaped like the peers benchmark's (tables of 20 columns in schema
# bench), and the two statements a catalog browser sends most.
CATALOG_TABLES = 10_000
CATALOG_QUERIES = {
    "filtered (LIKE, ORDER BY, LIMIT)": (
        "SELECT table_name, column_name, data_type FROM information_schema.columns "
        "WHERE table_schema = 'bench' AND column_name LIKE 'c1%' "
        "ORDER BY table_name, column_name LIMIT 100"),
    "point lookup (one table's columns)": (
        "SELECT column_name, data_type, is_nullable FROM information_schema.columns "
        "WHERE table_schema = 'bench' AND table_name = 't4711' ORDER BY ordinal_position"),
}


def make_columns():
    rng = random.Random(42)
    table_ids = [row // 10 for row in range(ROWS)]
    return pa.table({
        "table_catalog": pa.array(["db"] * ROWS),
        "table_schema": pa.array([f"schema_{t % 50}" for t in table_ids]),
        "table_name": pa.array([f"table_{t}" for t in table_ids]),
        "column_name": pa.array([f"column_{rng.randrange(1000)}" for _ in range(ROWS)]),
        "ordinal_position": pa.array([row % 10 + 1 for row in range(ROWS)], pa.int32()),
        "data_type": pa.array([rng.choice(TYPES) for _ in range(ROWS)]),
        "is_nullable": pa.array([rng.choice(["YES", "NO"]) for _ in range(ROWS)]),
    })


def make_catalog(tables=CATALOG_TABLES):
    rows = tables * 20
    return pa.table({
        "table_catalog": pa.array(["db"] * rows),
        # A few tables elsewhere, as a real catalog has.
        "table_schema": pa.array(["bench" if row < rows * 0.99 else "main" for row in range(rows)]),
        "table_name": pa.array([f"t{row // 20}" for row in range(rows)]),
        "column_name": pa.array([f"c{row % 20}" for row in range(rows)]),
        "ordinal_position": pa.array([row % 20 + 1 for row in range(rows)], pa.int32()),
        "data_type": pa.array([TYPES[row % 5] for row in range(rows)]),
        "is_nullable": pa.array(["YES"] * rows),
    })


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * fraction))]


def time_duckdb(table, runs, query=QUERY):
    con = duckdb.connect()
    con.execute("SET threads TO 1")  # the engine answers on the calling thread
    con.register("zv_columns", table)
    sql = query.replace("information_schema.columns", "zv_columns")
    expected_rows = None
    for _ in range(5):  # warm-up
        expected_rows = con.sql(sql).to_arrow_table().num_rows
    micros = []
    for _ in range(runs):
        start = time.perf_counter()
        con.sql(sql).to_arrow_table()
        micros.append((time.perf_counter() - start) * 1e6)
    micros.sort()
    return statistics.median(micros), percentile(micros, 0.95), expected_rows


def run_engine_benchmark(binary, ipc_path, queries=(), only_queries=False):
    env = dict(os.environ, ZV_BENCH_COLUMNS_IPC=str(ipc_path))
    if queries:
        sql_path = ipc_path.with_suffix(".sql")
        sql_path.write_text("\n".join(queries) + "\n")
        env["ZV_BENCH_SQL"] = str(sql_path)
    command = [str(binary), "--benchmark_format=json", "--benchmark_min_time=1"]
    if only_queries:
        command.append("--benchmark_filter=BM_ExecuteSql/")
    proc = subprocess.run(command, capture_output=True, text=True, env=env, check=True)
    # Names carry suffixes such as "/real_time"; key by the part before them.
    return {b["name"].replace("/real_time", ""): b for b in json.loads(proc.stdout)["benchmarks"]}


# Catalog queries through the driver; "{force}" is empty for the local run and
# a condition the engine leaves to compute for the other.
DRIVER_QUERIES = {
    "ORDER BY projected columns": (
        "SELECT table_name, column_name, data_type FROM information_schema.columns "
        "WHERE table_schema = 'bench' AND column_name LIKE 'c1%'{force} ORDER BY table_name, column_name LIMIT 100"),
    "ORDER BY a non-projected column": (
        "SELECT column_name, data_type, is_nullable FROM information_schema.columns "
        "WHERE table_schema = 'bench' AND table_name = 't7'{force} ORDER BY ordinal_position"),
    "DISTINCT": (
        "SELECT DISTINCT table_schema, data_type, is_nullable FROM information_schema.columns "
        "WHERE table_schema = 'bench'{force}"),
}
# A function the engine does not evaluate, true on every row: the statement goes to compute.
FORCE_COMPUTE = " AND md5(table_name) <> ''"


def time_driver(runs, tables=200):
    import adbc_driver_manager.dbapi as dbapi
    from frame_client import login, query
    from server_fixture import start_devserver

    driver = os.environ.get("ZV_ADBC_DRIVER", str(REPO / "build" / "src" / "libzorvane_adbc.so"))
    figures = {}
    with start_devserver(nodes=1, demo_data=False, fault_injection=False) as srv:
        token = login(srv.url)
        columns = ", ".join(f"c{i} {TYPES[i % 5]}" for i in range(20))
        ddl = "CREATE SCHEMA bench; " + " ".join(f"CREATE TABLE bench.t{t} ({columns});" for t in range(tables))
        assert query(srv.node_urls["compute-1"], token, ddl).status == 200
        with dbapi.connect(driver=driver, db_kwargs={"uri": srv.url, "username": "demo",
                                                     "password": "demo"}) as conn:
            cur = conn.cursor()

            def timed(sql):
                start = time.perf_counter()
                cur.execute(sql)
                rows = cur.fetchall()
                return (time.perf_counter() - start) * 1e6, rows

            for name, template in DRIVER_QUERIES.items():
                local_sql, compute_sql = template.format(force=""), template.format(force=FORCE_COMPUTE)
                local_rows, compute_rows = timed(local_sql)[1], timed(compute_sql)[1]
                local = sorted(timed(local_sql)[0] for _ in range(runs))
                remote = sorted(timed(compute_sql)[0] for _ in range(runs))
                figures[name] = (statistics.median(local), statistics.median(remote), len(local_rows),
                                 len(compute_rows))
    return tables, figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=os.environ.get("ZV_BENCH_METADATA_ENGINE", DEFAULT_BINARY))
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    binary = pathlib.Path(args.binary)
    if not binary.exists():
        sys.exit(f"{binary} not built (ninja -C build bench_metadata_engine)")

    table = make_columns()
    catalog = make_catalog()
    with tempfile.TemporaryDirectory() as folder:
        ipc_path = pathlib.Path(folder) / "columns.arrows"
        catalog_path = pathlib.Path(folder) / "catalog.arrows"
        for path, data in ((ipc_path, table), (catalog_path, catalog)):
            with ipc.new_stream(path, data.schema) as writer:
                writer.write_table(data)
        duck_median, duck_p95, duck_rows = time_duckdb(table, args.runs)
        results = run_engine_benchmark(binary, ipc_path)
        catalog_results = run_engine_benchmark(binary, catalog_path, list(CATALOG_QUERIES.values()),
                                               only_queries=True)
        catalog_duck = [time_duckdb(catalog, args.runs, sql) for sql in CATALOG_QUERIES.values()]

    print(f"query over {ROWS:,} rows: {QUERY}")
    print(f"{'':34}{'median':>12}{'p95':>12}")
    execute = results["BM_ExecuteSqlColumns100k"]
    print(f"{'metadata engine execute_sql':34}{execute['median_us']:>10.0f}us{execute['p95_us']:>10.0f}us")
    print(f"{'DuckDB (1 thread, same table)':34}{duck_median:>10.0f}us{duck_p95:>10.0f}us"
          f"   ({duck_rows} rows)")
    print()
    print(f"catalog of {CATALOG_TABLES:,} tables x 20 columns ({catalog.num_rows:,} rows), medians:")
    print(f"{'':38}{'engine':>10}{'DuckDB':>10}{'DuckDB/engine':>15}")
    for index, name in enumerate(CATALOG_QUERIES):
        ours = catalog_results[f"BM_ExecuteSql/{index}"]["median_us"]
        theirs, _, rows = catalog_duck[index]
        print(f"  {name:36}{ours:>8.0f}us{theirs:>8.0f}us{theirs / ours:>14.2f}x   ({rows} rows)")
    print()
    print("parse_select, typical catalog queries:")
    for name, bench in sorted(results.items()):
        if name.startswith("BM_ParseSelect"):
            print(f"  {name:32}{bench['median_us']:>10.1f}us{bench['p95_us']:>10.1f}us")

    tables, figures = time_driver(max(20, args.runs // 4))
    print()
    print(f"through the driver, dev server catalog of {tables} tables x 20 columns (medians):")
    print(f"{'':34}{'local':>10}{'compute':>12}{'compute/local':>15}")
    for name, (local, remote, local_rows, _compute_rows) in figures.items():
        print(f"  {name:32}{local:>8.0f}us{remote:>10.0f}us{remote / local:>14.1f}x   ({local_rows} rows)")


if __name__ == "__main__":
    main()

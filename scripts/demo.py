"""A session through the Zorvane ADBC driver, loaded by the ADBC driver manager.

Run with `make demo`. It starts the local Zorvane service (the dev server, with
its demo data) on loopback, loads the driver by name through a driver manifest,
connects with a zorvane:// URI through the driver's Python package, runs a catalog query
that the driver answers locally from its information_schema snapshot and two
queries that run on a compute node, prints the results as tables, and shows
the interesting lines of the driver's engine log and SQL trace.
"""

import os
import pathlib
import sys
import tempfile
import time

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))
sys.path.insert(0, str(REPO / "tests" / "devserver"))
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane.dbapi  # noqa: E402

# The build tree's driver manifest; an installed wheel puts its own where the
# driver manager looks in the virtual environment, so no variable is needed.
MANIFESTS = REPO / "build" / "adbc_drivers"


def banner(text: str) -> None:
    print(f"\n=== {text} ===")


def print_table(table, limit: int = 12) -> None:
    rows = table.slice(0, limit).to_pylist()
    names = table.schema.names
    cells = [[("NULL" if r[n] is None else str(r[n])) for n in names] for r in rows]
    widths = [max([len(n)] + [len(c[i]) for c in cells]) for i, n in enumerate(names)]
    line = "+".join("-" * (w + 2) for w in widths)
    print(" | ".join(n.ljust(w) for n, w in zip(names, widths)))
    print(line)
    for c in cells:
        print(" | ".join(v.ljust(w) for v, w in zip(c, widths)))
    extra = f", showing {limit}" if table.num_rows > limit else ""
    print(f"({table.num_rows} rows{extra})")


def answered_where(trace: pathlib.Path, offset: int) -> tuple[str, int]:
    """Where the driver says the last statement ran: its SQL trace labels
    every statement it answers from the snapshot."""
    text = trace.read_text(encoding="utf-8", errors="replace") if trace.exists() else ""
    local = "MetadataEngine(cache hit) -> " in text[offset:]
    return ("answered locally from the snapshot" if local else "ran on a compute node"), len(text)


def run(conn, title: str, sql: str, trace: pathlib.Path) -> None:
    banner(title)
    print(sql)
    _, offset = answered_where(trace, 0)
    start = time.perf_counter()
    with conn.cursor() as cur:
        cur.execute(sql)
        table = cur.fetch_arrow_table()
    elapsed = 1000 * (time.perf_counter() - start)
    where, _ = answered_where(trace, offset)
    print(f"-- {elapsed:.1f} ms, {where} (from the SQL trace)")
    print_table(table)


def main() -> int:
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="zorvane-demo-"))
    engine_log, sql_trace = workdir / "engine.log", workdir / "sql.trace"

    with start_devserver(nodes=2, fault_injection=False) as server:
        banner(f"dev server: control plane at {server.url}")
        for name, url in sorted(server.node_urls.items()):
            print(f"compute node {name}: {url}")
        host_port = server.url.split("://", 1)[1]
        uri = f"zorvane://demo:demo@{host_port}/?tls=off&application_name=zorvane-demo"

        banner("load by name: driver=\"zorvane\", found through its manifest")
        os.environ["ADBC_DRIVER_PATH"] = str(MANIFESTS)
        print(f"ADBC_DRIVER_PATH={MANIFESTS}")
        print((MANIFESTS / "zorvane.toml").read_text().strip())
        with adbc_driver_manager.dbapi.connect(
                driver="zorvane", autocommit=True,
                db_kwargs={"uri": server.url, "username": "demo", "password": "demo"}) as conn:
            info = conn.adbc_get_info()
            print(f"loaded {info['driver_name']} {info['driver_version']}")

        banner("connect with a URI (plain http: tls=off)")
        print(f"driver: {adbc_driver_zorvane._driver_path()}")
        print(f"uri: {uri.replace('demo:demo@', 'demo:***@')}")
        options = {
            "adbc.zorvane.api_trace_path": str(engine_log),   # engine log file
            "adbc.zorvane.log_path": str(sql_trace),          # SQL trace file
            "adbc.zorvane.log_level": "debug",
        }
        with adbc_driver_zorvane.dbapi.connect(uri, db_kwargs=options) as conn:
            run(conn, "a catalog question",
                "SELECT table_schema, table_name, table_type FROM information_schema.tables "
                "WHERE table_schema = 'sales' ORDER BY table_name", sql_trace)
            run(conn, "the columns of one table, in their order",
                "SELECT column_name, data_type, is_nullable FROM information_schema.columns "
                "WHERE table_schema = 'sales' AND table_name = 'orders' ORDER BY ordinal_position", sql_trace)
            run(conn, "a query on a compute node",
                "SELECT c.country, count(*) AS orders, round(sum(t.total), 2) AS revenue "
                "FROM sales.orders o JOIN sales.customers c USING (customer_id) "
                "JOIN sales.order_totals t USING (order_id) "
                "GROUP BY c.country ORDER BY revenue DESC", sql_trace)
            run(conn, "a larger result streamed in Arrow batches",
                "SELECT range AS n, range * range AS square FROM range(200000)", sql_trace)

            banner("ADBC catalog calls, answered from the snapshot")
            info = conn.adbc_get_info()
            print(f"driver: {info['driver_name']} {info['driver_version']} "
                  f"(ADBC {info['driver_adbc_version']}, Arrow {info['driver_arrow_version']})")
            print(f"table types: {conn.adbc_get_table_types()}")
            print("schema of sales.orders:")
            print(conn.adbc_get_table_schema("orders", db_schema_filter="sales"))

        banner("bad input gets a clear error")
        for bad in (f"zorvane+http://demo:wrong-password@{host_port}/",
                    f"zorvane://demo:wrong-password@{host_port}/?tls=off&tsl=strict"):
            try:
                adbc_driver_zorvane.dbapi.connect(bad).close()
            except dm.Error as exc:
                print(f"{type(exc).__name__}: {exc}")

    banner(f"SQL trace ({sql_trace})")
    print(sql_trace.read_text(), end="")
    banner(f"engine log, selected lines ({engine_log})")
    keep = ("[auth]", "[route]", "Connection established", "[info_schema]", "[meta_engine]",
            "run_query_worker", "Engine log ->")
    for line in engine_log.read_text().splitlines():
        if any(k in line for k in keep):
            print(line)
    assert "wrong-password" not in engine_log.read_text(), "secrets must never be logged"
    print("\n(passwords appear only as [REDACTED]; full log in", engine_log, ")")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The peers benchmark's printed table and its PNG charts (one per figure,
grouped bars, this driver beside the peers)."""
from __future__ import annotations

from pathlib import Path

# name: (figure, ratio key, goal, whether the goal is an upper bound)
GOALS = {
    "fetch vs adbc-driver-postgresql": ("fetch", "vs_postgresql", 20.0, False),
    "fetch vs raw download": ("fetch", "vs_raw_download", 0.9, False),
    "fetch host CPU per GB vs curl": ("fetch", "cpu_per_gb_vs_curl", 1.3, True),
    "fetch vs raw download, slowest type family": ("fetch", "families_min_vs_raw_download", 0.9, False),
    "fetch CPU per GB vs curl, costliest type family": ("fetch", "families_max_cpu_per_gb_vs_curl", 1.3, True),
    "fetch first batch, ms": ("fetch", "first_batch_ms", 10.0, True),
    "ingest (Arrow IPC) vs COPY": ("ingest", "arrow_ipc_vs_copy", 3.0, False),
    "ingest (Arrow IPC) vs raw upload": ("ingest", "arrow_ipc_vs_raw_upload", 0.8, False),
    "ingest (Parquet) vs Arrow IPC": ("ingest", "parquet_vs_arrow_ipc", 0.7, False),
    "GetObjects vs adbc-driver-postgresql": ("catalog", "get_objects_speedup", 10.0, False),
    "information_schema query vs adbc-driver-postgresql": ("catalog", "info_schema_query_speedup", 10.0, False),
    "information_schema query vs in-process DuckDB": ("catalog", "info_schema_query_vs_duckdb", 1.0, False),
    "point lookup vs adbc-driver-postgresql": ("catalog", "point_lookup_speedup", 10.0, False),
    "point lookup vs in-process DuckDB": ("catalog", "point_lookup_vs_duckdb", 1.0, False),
    "point lookup, median ms": ("catalog", "point_lookup_ms", 0.5, True),
    "one-row query, dev server's raw answer, ms": ("small_query", "raw_post_ms", 1.5, True),
    "one-row query, driver's overhead, ms": ("small_query", "overhead_ms", 0.2, True),
    "first query on a new connection, overhead, ms": ("small_query", "first_query_overhead_ms", 0.2, True),
}
DRIVER = "zorvane_adbc"
PEER = "adbc-driver-postgresql"
MIB = 2**20
FRESH_LOGIN_GOAL_MS = 10.0


def _row(name: str, fig: dict) -> str:
    return f"  {name:<34} {fig['rows_per_s'] / 1e6:9.2f} Mrows/s {fig['mb_per_s']:9.1f} MB/s {fig['seconds']:8.3f} s"


def _lat(d: dict) -> str:
    return f"median {d['median_ms']:8.2f} ms  p95 {d['p95_ms']:8.2f} ms"


def print_report(r: dict) -> None:
    p = r["parameters"]
    print(f"peers benchmark, size {r['size']}: {p['rows']:,} rows; {r['postgresql_version']}; "
          f"{r['cores']} cores, load average at start {r['load_average'][0]:.2f}")
    print_fetch(r["fetch"])
    print("ingest (append of the same table):")
    for key, name in (("zorvane_arrow_ipc", f"{DRIVER} Arrow IPC"), ("zorvane_parquet", f"{DRIVER} Parquet"),
                      ("postgresql_copy", f"{PEER} COPY"), ("raw_upload", "raw upload (curl)")):
        print(_row(name, r["ingest"][key]))
    print("connect (open / first query):")
    for key, name in (("zorvane_fresh_login", f"{DRIVER} fresh login"), ("zorvane_cached_token",
                      f"{DRIVER} cached token"), ("postgresql", PEER)):
        c = r["connect"][key]
        print(f"  {name:<28} open {_lat(c['open'])} | first query {_lat(c['first_query'])}")
    fresh = r["connect"]["zorvane_fresh_login"]["open"]["median_ms"]
    print(f"  goal: {DRIVER} fresh login open median <= {FRESH_LOGIN_GOAL_MS:g} ms: {fresh:.2f} ms"
          f"{'' if fresh <= FRESH_LOGIN_GOAL_MS else ', not met'}")
    q = r["small_query"]
    print(f"one-row query (medians; a raw POST on a kept-alive connection and {DRIVER}, in turns): raw "
          f"{q['raw_post_ms']:.3f} ms, statement API {q['statement_api_ms']:.3f} ms, DB-API {q['dbapi_ms']:.3f} ms, "
          f"first query of a new connection {q['first_query_ms']:.3f} ms")
    cat = r["catalog"]
    print(f"catalog ({cat['tables']:,} tables, {cat['columns']:,} columns):")
    for key, name in (("zorvane", DRIVER), ("postgresql", PEER)):
        c = cat[key]
        print(f"  {name:<24} first open {c['first_open_ms']:8.1f} ms | GetObjects {_lat(c['get_objects'])}")
        print(f"  {'':<24} information_schema {_lat(c['info_schema_query'])} | "
              f"point lookup {_lat(c['point_lookup'])}")
    duck = cat["zorvane"]["duckdb"]
    print(f"  {'in-process DuckDB':<24} information_schema {_lat(duck['info_schema_query'])} | "
          f"point lookup {_lat(duck['point_lookup'])}")
    conc = r["concurrency"]
    print(f"concurrency ({conc['rows_per_query']:,} rows per query, aggregate):")
    for key, name in (("zorvane", DRIVER), ("postgresql", PEER)):
        levels = "  ".join(f"{n}: {v['mb_per_s']:8.1f} MB/s" for n, v in conc[key].items())
        storm = conc[f"{key}_storm"]
        print(f"  {name:<24} {levels}")
        print(f"  {'':<24} storm {storm['connections']} connections / {storm['threads']} threads: "
              f"{storm['errors']} errors, median {storm['median_ms'] or 0:.1f} ms, p95 {storm['p95_ms'] or 0:.1f} ms, "
              f"fds before {storm['fds_before']}, "
              f"while open {storm['fds_while_open']}, after {storm['fds_after']}")
    ours, theirs = conc["zorvane_storm"]["p95_ms"], conc["postgresql_storm"]["p95_ms"]
    if ours is not None and theirs is not None:
        print(f"  goal: {DRIVER} storm p95 <= {PEER}'s: {ours:.1f} vs {theirs:.1f} ms"
              f"{'' if ours <= theirs else ', not met'}")
    m = r["memory"]
    print(f"memory (peak RSS of the host; in-flight bound {m['inflight_bound'] / MIB:.0f} MiB):")
    for kind, source in (("fetch", "fetch_result_arrow_bytes"), ("ingest", "ingest_source_arrow_bytes")):
        print(f"  {kind} of {m[source] / MIB:.0f} MiB: {DRIVER} peak {m[f'zorvane_{kind}_peak_rss'] / MIB:.0f} MiB "
              f"(+{m[f'zorvane_{kind}_growth'] / MIB:.0f} during the transfer), {PEER} peak "
              f"{m[f'postgresql_{kind}_peak_rss'] / MIB:.0f} MiB (+{m[f'postgresql_{kind}_growth'] / MIB:.0f})")
    print(f"  (an ingest's growth includes the mapped source pages it reads; Parquet ingest peak "
          f"{m['zorvane_parquet_ingest_peak_rss'] / MIB:.0f} MiB)")
    print("ratios beside the goals:")
    for name, (fig, key, goal, at_most) in GOALS.items():
        value = r[fig]["ratios"][key]
        met = value <= goal if at_most else value >= goal
        print(f"  {name:<52} {value:7.2f}  (goal {'<=' if at_most else '>='} {goal:g}{'' if met else ', not met'})")


def _cpu(fig: dict) -> str:
    return f"CPU {fig['cpu_s']:7.3f} s ({fig['cpu_s_per_gb']:6.2f} s/GB)"


def print_fetch(f: dict) -> None:
    """Wall time and rate beside CPU time per GB of the response, for this
    driver and curl on the peer table and on one table per type family."""
    print("fetch (SELECT * into pyarrow; CPU: the whole host process, every thread):")
    print(f"{_row(DRIVER, f['zorvane'])}  {_cpu(f['zorvane'])}")
    print(f"{_row(PEER, f['postgresql'])}  CPU {f['postgresql']['cpu_s']:7.3f} s")
    print(f"{_row('raw download (curl)', f['raw_download'])}  {_cpu(f['raw_download'])}")
    # No driver of this server fetches faster than its raw download: that
    # ratio bounds the driver's against the peer.
    bound = f["raw_download"]["rows_per_s"] / f["postgresql"]["rows_per_s"]
    print(f"  raw download vs {PEER}: {bound:.1f} x (the most a driver of this server can reach)")
    print(f"  first batch: {DRIVER} {f['zorvane']['first_batch_ms']:.1f} ms, "
          f"{PEER} {f['postgresql']['first_batch_ms']:.1f} ms")
    print("  per type family (MB/s of the response body; CPU seconds per GB of it):")
    print(f"    {'family':<16} {'vs raw':>7} {'CPU vs curl':>11} {'driver MB/s':>11} {'curl MB/s':>10} "
          f"{'driver s/GB':>11} {'curl s/GB':>10} {'wall s':>8}")
    for family, fig in f["families"].items():
        z, raw = fig["zorvane"], fig["raw_download"]
        print(f"    {family:<16} {fig['vs_raw_download']:7.2f} {fig['cpu_per_gb_vs_curl']:11.2f} "
              f"{raw['wire_bytes'] / z['seconds'] / 1e6:11.1f} {raw['mb_per_s']:10.1f} "
              f"{z['cpu_s_per_gb']:11.2f} {raw['cpu_s_per_gb']:10.2f} {z['seconds']:8.3f}")


def _bars(ax, groups: list[str], series: dict[str, list[float]], unit: str, log: bool = False) -> None:
    width = 0.8 / max(1, len(series))
    for i, (label, values) in enumerate(series.items()):
        xs = [g + (i - (len(series) - 1) / 2) * width for g in range(len(groups))]
        bars = ax.bar(xs, values, width, label=label)
        ax.bar_label(bars, fmt="%.3g", fontsize=7, padding=1)
    ax.set_xticks(range(len(groups)), groups)
    ax.set_ylabel(unit)
    if log:
        ax.set_yscale("log")
    ax.legend(fontsize=8)
    ax.grid(axis="y", alpha=0.3)


def write_charts(r: dict, out: Path) -> list[Path]:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out.mkdir(parents=True, exist_ok=True)
    rows = f"{r['parameters']['rows']:,} rows"
    charts = []

    def save(name: str, title: str, draw) -> None:
        fig, ax = plt.subplots(figsize=(7, 4), dpi=110)
        draw(ax)
        ax.set_title(title, fontsize=10)
        fig.tight_layout()
        path = out / f"{name}.png"
        fig.savefig(path)
        plt.close(fig)
        charts.append(path)

    f, i = r["fetch"], r["ingest"]
    save("fetch", f"Fetch {rows} into pyarrow (loopback)", lambda ax: _bars(
        ax, ["rows/s (millions)", "MB/s (hundreds)"],
        {DRIVER: [f["zorvane"]["rows_per_s"] / 1e6, f["zorvane"]["mb_per_s"] / 100],
         PEER: [f["postgresql"]["rows_per_s"] / 1e6, f["postgresql"]["mb_per_s"] / 100],
         "raw download": [f["raw_download"]["rows_per_s"] / 1e6, f["raw_download"]["mb_per_s"] / 100]}, ""))
    save("ingest", f"Ingest {rows} (loopback)", lambda ax: _bars(
        ax, ["rows/s (millions)"],
        {f"{DRIVER} Arrow IPC": [i["zorvane_arrow_ipc"]["rows_per_s"] / 1e6],
         f"{DRIVER} Parquet": [i["zorvane_parquet"]["rows_per_s"] / 1e6],
         f"{PEER} COPY": [i["postgresql_copy"]["rows_per_s"] / 1e6],
         "raw upload": [i["raw_upload"]["rows_per_s"] / 1e6]}, "million rows/s"))
    c = r["connect"]
    save("connect", "Open a connection and run its first query", lambda ax: _bars(
        ax, ["open median", "open p95", "first query median", "first query p95"],
        {name: [c[key]["open"]["median_ms"], c[key]["open"]["p95_ms"], c[key]["first_query"]["median_ms"],
                c[key]["first_query"]["p95_ms"]]
         for key, name in (("zorvane_fresh_login", f"{DRIVER} fresh login"),
                           ("zorvane_cached_token", f"{DRIVER} cached token"), ("postgresql", PEER))},
        "ms", log=True))
    cat = r["catalog"]
    save("catalog", f"Catalog calls, {cat['tables']:,} tables / {cat['columns']:,} columns", lambda ax: _bars(
        ax, ["GetObjects(all)", "information_schema query", "point lookup"],
        {**{name: [cat[key][figure]["median_ms"] for figure in ("get_objects", "info_schema_query", "point_lookup")]
            for key, name in (("zorvane", DRIVER), ("postgresql", PEER))},
         "in-process DuckDB": [float("nan"), cat["zorvane"]["duckdb"]["info_schema_query"]["median_ms"],
                               cat["zorvane"]["duckdb"]["point_lookup"]["median_ms"]]},
        "median ms (log)", log=True))
    conc = r["concurrency"]
    save("concurrency", f"Aggregate fetch throughput, {conc['rows_per_query']:,} rows per query", lambda ax: _bars(
        ax, [f"{n} concurrent" for n in conc["zorvane"]],
        {DRIVER: [v["mb_per_s"] for v in conc["zorvane"].values()],
         PEER: [v["mb_per_s"] for v in conc["postgresql"].values()]}, "MB/s (Arrow bytes)"))
    m = r["memory"]

    def memory(ax) -> None:
        _bars(ax, ["fetch: growth", "fetch: peak", "ingest: growth (incl. source)", "ingest: peak"],
              {name: [m[f"{key}_fetch_growth"] / MIB, m[f"{key}_fetch_peak_rss"] / MIB,
                      m[f"{key}_ingest_growth"] / MIB, m[f"{key}_ingest_peak_rss"] / MIB]
               for key, name in (("zorvane", DRIVER), ("postgresql", PEER))}, "MiB")
        ax.axhline(m["inflight_bound"] / MIB, color="gray", linestyle="--", linewidth=1)
        ax.text(-0.4, m["inflight_bound"] / MIB, "in-flight bound", fontsize=7, va="bottom")

    save("memory", f"Resident memory of the host, {rows}", memory)
    return charts

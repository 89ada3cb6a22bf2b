"""The peers benchmark at its smoke size: it starts PostgreSQL and a dev server,
every system answers every figure, and the JSON and charts are complete. No
figure is judged here; speed belongs to `make bench-peers`."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

FIGURES = {
    "fetch": ["zorvane", "postgresql", "raw_download"],
    "ingest": ["zorvane_arrow_ipc", "zorvane_parquet", "postgresql_copy", "raw_upload"],
    "connect": ["zorvane_fresh_login", "zorvane_cached_token", "postgresql"],
    "catalog": ["zorvane", "postgresql"],
    "concurrency": ["zorvane", "postgresql", "zorvane_storm", "postgresql_storm"],
    "memory": ["inflight_bound", "zorvane_fetch_peak_rss", "postgresql_fetch_peak_rss", "zorvane_ingest_peak_rss",
               "zorvane_fetch_growth", "postgresql_fetch_growth", "zorvane_ingest_growth", "postgresql_ingest_growth",
               "postgresql_ingest_peak_rss"],
}
RATIOS = {"fetch": ["vs_postgresql", "vs_raw_download", "cpu_per_gb_vs_curl", "families_min_vs_raw_download",
                   "families_max_cpu_per_gb_vs_curl", "first_batch_ms"],
          "ingest": ["arrow_ipc_vs_copy", "parquet_vs_copy", "arrow_ipc_vs_raw_upload", "parquet_vs_arrow_ipc"],
          "catalog": ["get_objects_speedup", "info_schema_query_speedup", "point_lookup_speedup",
                      "info_schema_query_vs_duckdb", "point_lookup_vs_duckdb"]}
CHARTS = ["fetch", "ingest", "connect", "catalog", "concurrency", "memory"]


def numbers(value):
    """Every number inside a nested figure."""
    if isinstance(value, dict):
        for v in value.values():
            yield from numbers(v)
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        yield value


@pytest.fixture(scope="module")
def smoke_run(driver_path, tmp_path_factory):
    out = tmp_path_factory.mktemp("peers")
    env = dict(os.environ, ZV_ADBC_DRIVER=driver_path)
    proc = subprocess.run([sys.executable, str(REPO / "bench" / "peers" / "run.py"), "--size", "smoke",
                           "--out", str(out)], capture_output=True, text=True, env=env, timeout=900)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return out, json.loads((out / "peers-latest.json").read_text()), proc.stdout


@pytest.mark.timeout(900)
def test_every_system_answers_every_figure(smoke_run):
    _, results, _ = smoke_run
    rows = results["parameters"]["rows"]
    for figure, systems in FIGURES.items():
        for system in systems:
            entry = results[figure][system]
            assert entry is not None and all(v >= 0 for v in numbers(entry)), (figure, system, entry)
    for system in ("zorvane", "postgresql"):
        assert results["fetch"][system]["rows"] == rows
        assert results["catalog"][system]["tables_seen"] == results["parameters"]["tables"]
        storm = results["concurrency"][f"{system}_storm"]
        assert storm["errors"] == 0 and storm["opened"] == storm["connections"]
        assert set(results["concurrency"][system]) == {"1", "4", "16"}
    families = results["fetch"]["families"]
    assert set(families) == {"integers", "floats", "decimals", "text", "dates_timestamps", "nested"}
    for family, entry in families.items():
        assert entry["zorvane"]["rows"] == rows and entry["raw_download"]["cpu_s"] > 0, family
        assert all(v >= 0 for v in numbers(entry)), (family, entry)
    for name in ("zorvane_arrow_ipc", "zorvane_parquet", "postgresql_copy", "raw_upload"):
        assert results["ingest"][name]["rows"] == rows, name


@pytest.mark.timeout(900)
def test_ratios_table_and_charts_are_complete(smoke_run):
    out, results, stdout = smoke_run
    for figure, names in RATIOS.items():
        for name in names:
            assert results[figure]["ratios"][name] > 0, (figure, name)
    assert "ratios beside the goals" in stdout
    for chart in CHARTS:
        png = out / "charts" / f"{chart}.png"
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", chart

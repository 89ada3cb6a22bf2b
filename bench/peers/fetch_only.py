#!/usr/bin/env python3
"""The fetch figure of run.py alone, without PostgreSQL or the other figures:
each driver's read of the peer table and of each type family's table beside
curl's download of the same response, CPU seconds per GB of the response body
and the rate against curl's.

    .venv/bin/python bench/peers/fetch_only.py [--rows N] [--families text,nested] [--runs K]
        [--driver PATH ...]

Several --driver paths (e.g. a build before and after a change) are measured
in the same run, their jobs interleaved, so that they see the same machine.
"""
from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import dataset  # noqa: E402
import raw_http  # noqa: E402
import run  # noqa: E402
from server_fixture import start_devserver  # noqa: E402


def fetch_table(s: run.Systems, sql: str, rows: int, drivers: list[str], runs: int) -> dict:
    """Best wall time and least CPU per driver and for curl, over runs interleaved rounds."""
    best = {}
    for name, results in run.fetch_rounds(s, sql, rows, drivers, runs).items():
        best[name] = {"seconds": min(r["seconds"] for r in results), "cpu_s": min(r["cpu_s"] for r in results),
                      "wire_bytes": results[0].get("wire_bytes")}
    return best


def print_table(label: str, best: dict, drivers: list[str]) -> None:
    raw = best["curl"]
    gb = raw["wire_bytes"] / 1e9
    cells = [f"curl {raw['cpu_s'] / gb:.3f} s/GB"]
    for i, d in enumerate(drivers):
        b = best[d]
        cells.append(f"[{i}] {b['cpu_s'] / gb:.3f} s/GB, rate {raw['seconds'] / b['seconds']:.2f} of raw, "
                     f"CPU {b['cpu_s'] / raw['cpu_s']:.2f}x curl")
    print(f"{label:17s} {gb:.2f} GB  " + " | ".join(cells), flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--families", default="peer," + ",".join(dataset.FAMILIES),
                    help="comma-separated: peer (the peer table) and family names")
    ap.add_argument("--runs", type=int, default=run.FETCH_RUNS)
    ap.add_argument("--driver", action="append", help="driver library (repeatable; default run.py's)")
    args = ap.parse_args()
    drivers = args.driver or [run.DRIVER]
    for i, d in enumerate(drivers):
        print(f"[{i}] {d}")
    wanted = args.families.split(",")
    with tempfile.TemporaryDirectory(prefix="zv-fetch-only-") as work, \
            start_devserver(nodes=1, demo_data=False, fault_injection=False) as dev:
        s = run.Systems(dev, None, {"demo": "demo"})
        if "peer" in wanted:
            data, body = Path(work) / "data.arrow", Path(work) / "upload.frames"
            dataset.write_dataset(data, args.rows)
            raw_http.write_upload_body(data, body, "peers_data")
            s.dev_sql(f"CREATE TABLE peers_data ({dataset.DUCKDB_COLUMNS})")
            raw_http.upload(s.node, s.token, body)
            print_table("peer", fetch_table(s, "SELECT * FROM peers_data", args.rows, drivers, args.runs), drivers)
        for family in (f for f in wanted if f != "peer"):
            s.dev_sql(dataset.family_table_sql(family, args.rows))
            best = fetch_table(s, f"SELECT * FROM fam_{family}", args.rows, drivers, args.runs)
            print_table(family, best, drivers)
    return 0


if __name__ == "__main__":
    sys.exit(main())

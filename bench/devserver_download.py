#!/usr/bin/env python3
"""Download benchmark of the dev server: streams a large, already materialised query result
with curl to /dev/null and prints the server's throughput in bytes per second.

    .venv/bin/python bench/devserver_download.py [--rows N] [--runs K] [--max-batch-bytes B]
"""
from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "devserver"))

from frame_client import login, query  # noqa: E402
from server_fixture import start_devserver  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=8_000_000, help="rows of the result (4 x 8 bytes each)")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--max-batch-bytes", type=int, default=0, help="stream_options.max_batch_bytes (0: server default)")
    args = ap.parse_args()

    with start_devserver(nodes=1, demo_data=False, fault_injection=False) as srv:
        token = login(srv.url)
        node = srv.node_urls["compute-1"]
        setup = query(node, token, "CREATE TABLE bench AS SELECT range AS a, range * 3 AS b, "
                                   f"range / 7.0 AS c, range % 1000 AS d FROM range({args.rows})")
        assert setup.status == 200, setup.error_body
        body = {"sql": "SELECT * FROM bench"}
        if args.max_batch_bytes:
            body["stream_options"] = {"max_batch_bytes": args.max_batch_bytes}
        best = 0.0
        for run in range(1, args.runs + 1):
            out = subprocess.run(
                ["curl", "-sS", "--fail", "-o", "/dev/null", "--max-time", "120",
                 "-w", "%{size_download} %{time_total}",
                 "-H", f"Authorization: Bearer {token}", "-H", "Content-Type: application/json",
                 "-H", "Accept: application/vnd.zorvane.stream.v1", "--data-binary", json.dumps(body),
                 node + "/api/v1/query/stream/binary"],
                check=True, capture_output=True, text=True).stdout.split()
            size, seconds = int(out[0]), float(out[1])
            rate = size / seconds
            best = max(best, rate)
            print(f"run {run}: {size} bytes in {seconds:.3f} s = {rate:,.0f} bytes/s ({rate / 1e9:.2f} GB/s)")
        print(f"best: {best:,.0f} bytes/s ({best / 1e9:.2f} GB/s) for {args.rows} rows")
    return 0


if __name__ == "__main__":
    sys.exit(main())

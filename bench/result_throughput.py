#!/usr/bin/env python3
"""Result throughput and memory of the driver, beside a raw download of the
same response with curl, all against one dev server in the same run.

    .venv/bin/python bench/result_throughput.py [--rows N] [--runs K]

Prints, for a result of at least 1 GB of Arrow data (several column types):
- the driver reading it into pyarrow batch by batch, and curl downloading the
  same framed response body to /dev/null: bytes/s of both and their ratio;
- the peak resident memory of the host process during the driver read, beside
  the in-flight bound (batches x batch bytes) and the result size;
- time to first batch for a small query.
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "python"))

from frame_client import login, query  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

# ZV_ADBC_DRIVER, else the checkout's build.
DRIVER = adbc_driver_zorvane._driver_path()

# Reads the result in a child process so that its peak RSS is the driver's
# read alone, not the benchmark's bookkeeping.
READER = r"""
import json, resource, sys, time
import adbc_driver_manager.dbapi as dbapi
url, driver, sql = sys.argv[1:4]
conn = dbapi.connect(driver=driver, db_kwargs={"uri": url, "username": "demo", "password": "demo"})
cur = conn.cursor()
base_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
cur.execute(sql)
reader = cur.fetch_record_batch()
rows = nbytes = batches = 0
first = None
for batch in reader:
    if first is None:
        first = time.perf_counter() - start
    rows += batch.num_rows
    nbytes += batch.nbytes
    batches += 1
    del batch
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"rows": rows, "arrow_bytes": nbytes, "batches": batches, "seconds": elapsed,
                  "first_batch_s": first, "peak_rss": peak, "base_rss": base_rss}))
"""


def curl_download(node: str, token: str, sql: str) -> tuple[int, float]:
    out = subprocess.run(
        ["curl", "-sS", "--fail", "-o", "/dev/null", "--max-time", "600",
         "-w", "%{size_download} %{time_total}",
         "-H", f"Authorization: Bearer {token}", "-H", "Content-Type: application/json",
         "-H", "Accept: application/vnd.zorvane.stream.v1", "-H", "x-zorvane-node;",
         "--data-binary", json.dumps({"sql": sql}), node + "/api/v1/query/stream/binary"],
        check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), float(out[1])


def driver_read(url: str, sql: str) -> dict:
    out = subprocess.run([sys.executable, "-c", READER, url, DRIVER, sql], check=True,
                         capture_output=True, text=True, timeout=900).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=24_000_000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()

    with start_devserver(nodes=1, demo_data=False, fault_injection=False) as srv:
        token = login(srv.url)
        node = srv.node_urls["compute-1"]
        setup = query(node, token,
                      "CREATE TABLE big AS SELECT range AS id, range * 1.5 AS ratio, "
                      "(range % 100000)::INTEGER AS bucket, 'label-' || (range % 1000)::VARCHAR "
                      "AS label, DATE '2024-01-01' + (range % 365)::INTEGER AS day "
                      f"FROM range({args.rows})")
        assert setup.status == 200, setup.error_body
        sql = "SELECT * FROM big"
        best_curl = best_driver = 0.0
        ratios = []
        for run in range(1, args.runs + 1):
            size, seconds = curl_download(node, token, sql)
            curl_rate = size / seconds
            result = driver_read(srv.url, sql)
            driver_rate = size / result["seconds"]
            best_curl, best_driver = max(best_curl, curl_rate), max(best_driver, driver_rate)
            ratios.append(driver_rate / curl_rate)
            print(f"run {run}: wire {size / 1e9:.2f} GB, Arrow {result['arrow_bytes'] / 1e9:.2f} GB "
                  f"in {result['batches']} batches; curl {curl_rate / 1e9:.2f} GB/s, "
                  f"driver {driver_rate / 1e9:.2f} GB/s (ratio {driver_rate / curl_rate:.2f})")
        batch_bytes = 16 * 1024 * 1024  # the server's batch size when the driver asks for none
        in_flight = 4 * batch_bytes
        print(f"best: curl {best_curl / 1e9:.2f} GB/s, driver {best_driver / 1e9:.2f} GB/s, "
              f"driver/curl = {best_driver / best_curl:.2f}; median of the runs' ratios "
              f"{statistics.median(ratios):.2f} (aim: >= 0.9)")
        print(f"peak RSS of the host during the read: {result['peak_rss'] / 2**20:.0f} MiB "
              f"(before the query {result['base_rss'] / 2**20:.0f} MiB); in-flight bound "
              f"4 batches x {batch_bytes / 2**20:.0f} MiB = {in_flight / 2**20:.0f} MiB; "
              f"result {result['arrow_bytes'] / 2**20:.0f} MiB")

        small = driver_read(srv.url, "SELECT 42 AS answer")
        print(f"time to first batch (small query, including connect): "
              f"{small['first_batch_s'] * 1000:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())

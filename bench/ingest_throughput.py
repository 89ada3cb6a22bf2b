#!/usr/bin/env python3
"""Bulk-ingest throughput and host memory of the driver, beside a raw upload
of the same payload bytes to the same dev server and beside a server that
discards the upload, all in the same run.

    .venv/bin/python bench/ingest_throughput.py [--rows N] [--batch-rows B] [--repeat R]

--rows defaults to 2,000,000 so that `make bench` stays short on a small
machine; the figures asked of the driver are for --rows 10000000.

Per payload format (arrow_ipc, parquet) it prints:
- driver: adbc_ingest of an in-memory table (mode create) into the dev server:
  rows/s and MB/s (Arrow bytes of the table, and payload bytes on the wire);
- raw: curl uploading the same frames (encoded beforehand with pyarrow, as the
  driver encodes them) to the same endpoint, so server and network cost alone;
- discard: the driver's ingest against a compute node that reads and drops the
  upload, so the driver's own encode-and-send rate;
- the peak resident memory of the host process during the driver's load
  (sampled every 5 ms), over its resident memory with the table built;
- the host process's CPU time during the load beside its wall time, and the
  dev server's CPU time over the whole load (the host's connect included).
Then the Parquet path's rate as a share of the Arrow IPC path's, both into the
dev server in this run. With --repeat R every driver load runs R times, the
formats taking turns, and the fastest counts: steadier on a shared machine.
"""
from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "python"))

import psutil  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from frame_client import EOS, INIT, arrow_header, batch_frame, frame, login, query  # noqa: E402
from server_fixture import start_devserver  # noqa: E402

import adbc_driver_zorvane  # noqa: E402

DRIVER = adbc_driver_zorvane._driver_path()
STREAM_TYPE = "application/vnd.zorvane.stream.v1"

# Builds the table and loads it in a child process, so that its peak RSS is
# the load's alone.
LOADER = r"""
import json, sys, threading, time
import psutil
import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
sys.path.insert(0, sys.argv[6])
from bench_table import make_table
url, driver, compute, fmt, spec = sys.argv[1:6]
rows, batch_rows, table_name = json.loads(spec)
kwargs = {"uri": url, "username": "demo", "password": "demo"}
if compute:
    kwargs["adbc.zorvane.compute_url"] = compute
conn = dbapi.connect(driver=driver, db_kwargs=kwargs, autocommit=True)
data = make_table(rows, batch_rows)
proc = psutil.Process()
base = proc.memory_info().rss
peak = [base]
done = threading.Event()

def sample():
    # Resident memory sampled through the load: the process's high-water mark
    # would still hold the building of the table.
    while not done.wait(0.005):
        peak[0] = max(peak[0], proc.memory_info().rss)

sampler = threading.Thread(target=sample)
sampler.start()
stmt = dm.AdbcStatement(conn.adbc_connection)
stmt.set_options(**{"adbc.ingest.target_table": table_name, "adbc.ingest.mode": "create",
                    "zv.ingest.payload_format": fmt})
stmt.bind_stream(data.to_reader(max_chunksize=batch_rows))
start = time.perf_counter()
cpu_start = time.process_time()
loaded = stmt.execute_update()
seconds = time.perf_counter() - start
cpu = time.process_time() - cpu_start
done.set()
sampler.join()
stmt.close()
print(json.dumps({"rows": loaded, "seconds": seconds, "cpu": cpu, "arrow_bytes": data.nbytes,
                  "base_rss": base, "peak_rss": peak[0]}))
"""

# A compute node that reads every upload to its end and answers success.
DISCARD = r"""
import sys
from aiohttp import web
sys.path.insert(0, sys.argv[2])
from zorvane_devserver.frames import stats_frame

async def ingest(request):
    total = 0
    while True:
        chunk = await request.content.readany()
        if not chunk:
            break
        total += len(chunk)
    body = stats_frame({"rows_inserted": 0, "rows_updated": 0, "rows_deleted": 0, "commit_version": 1,
                        "bytes_received": total})
    return web.Response(body=body, content_type="application/vnd.zorvane.stream.v1")

app = web.Application(client_max_size=0)
app.router.add_post("/api/v1/ingest/stream", ingest)
web.run_app(app, host="127.0.0.1", port=int(sys.argv[1]), print=None)
"""


def write_table_module(directory: Path) -> None:
    (directory / "bench_table.py").write_text('''
import pyarrow as pa
import pyarrow.compute as pc

def make_table(rows, batch_rows):
    ids = pa.array(range(rows), pa.int64())
    return pa.table({
        "id": ids,
        "amount": pc.multiply(ids.cast(pa.float64()), 1.25),
        "bucket": pc.cast(pc.bit_wise_and(ids, 1023), pa.int32()),
        "label": pc.binary_join_element_wise("label-", pc.cast(pc.bit_wise_and(ids, 4095), pa.string()), ""),
        "at": pc.cast(ids, pa.timestamp("us")),
    }).combine_chunks()
''')


def encode_frames(path: Path, fmt: str, table: pa.Table, batch_rows: int, target: str) -> int:
    """The upload the driver would send, written to a file; returns the payload bytes."""
    header = arrow_header(target, table.schema) if fmt == "arrow_ipc" else {
        "target_table": target, "mode": "append", "payload_format": "parquet", "key_columns": []}
    payload = 0
    with open(path, "wb") as out:
        out.write(frame(INIT, json.dumps(header).encode()))
        for batch in table.to_batches(max_chunksize=batch_rows):
            sink = pa.BufferOutputStream()
            if fmt == "arrow_ipc":
                with pa.ipc.new_stream(sink, batch.schema) as writer:
                    writer.write_batch(batch)
            else:
                # The driver's properties for a payload decoded once: plain, no statistics, one row group.
                pq.write_table(pa.Table.from_batches([batch]), sink, store_schema=True, compression="none",
                               use_dictionary=False, write_statistics=False, row_group_size=batch.num_rows)
            data = sink.getvalue().to_pybytes()
            payload += len(data)
            out.write(batch_frame(data))
        out.write(frame(EOS, bytes(4)))
    return payload


def curl_upload(node: str, token: str, path: Path) -> float:
    start = time.perf_counter()
    out = subprocess.run(
        ["curl", "-sS", "--fail", "-o", "-", "--max-time", "1800", "-H", f"Authorization: Bearer {token}",
         "-H", f"Content-Type: {STREAM_TYPE}", "-H", f"Accept: {STREAM_TYPE}", "-H", "Transfer-Encoding: chunked",
         "-H", "Expect:", "--data-binary", f"@{path}", node + "/api/v1/ingest/stream"],
        check=True, capture_output=True).stdout
    seconds = time.perf_counter() - start
    if b"rows_inserted" not in out:
        raise RuntimeError(f"raw upload failed: {out[:300]!r}")
    return seconds


def driver_load(url: str, compute: str, fmt: str, rows: int, batch_rows: int, table: str,
                helper_dir: Path) -> dict:
    spec = json.dumps([rows, batch_rows, table])
    out = subprocess.run([sys.executable, "-c", LOADER, url, DRIVER, compute, fmt, spec, str(helper_dir)],
                         check=True, capture_output=True, text=True, timeout=3600).stdout
    return json.loads(out.strip().splitlines()[-1])


def server_cpu(pid: int) -> float:
    times = psutil.Process(pid).cpu_times()
    return times.user + times.system


def fastest(loads: list[dict]) -> dict:
    return min(loads, key=lambda load: load["seconds"])


def free_port() -> int:
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rate(rows: int, nbytes: int, seconds: float) -> str:
    return f"{rows / seconds / 1e6:6.2f} M rows/s {nbytes / seconds / 1e6:8.1f} MB/s"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--batch-rows", type=int, default=131_072)
    ap.add_argument("--repeat", type=int, default=1)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp, start_devserver(nodes=1, demo_data=False,
                                                                  fault_injection=False) as srv:
        tmp_dir = Path(tmp)
        write_table_module(tmp_dir)
        sys.path.insert(0, str(tmp_dir))
        from bench_table import make_table

        port = free_port()
        discard = subprocess.Popen([sys.executable, "-c", DISCARD, str(port), str(REPO / "devserver")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(1.5)
            token = login(srv.url)
            node = srv.node_urls["compute-1"]
            table = make_table(args.rows, args.batch_rows)
            rates = {}
            print(f"{args.rows:,} rows, {table.nbytes / 1e6:.0f} MB of Arrow data, "
                  f"batches of {args.batch_rows:,} rows")
            formats = ("arrow_ipc", "parquet")
            payload, raw_s = {}, {}
            for fmt in formats:
                frames = tmp_dir / f"upload_{fmt}.bin"
                raw_target = f"raw_{fmt}"
                payload[fmt] = encode_frames(frames, fmt, table, args.batch_rows, raw_target)
                result = query(node, token, f"CREATE TABLE {raw_target} AS SELECT * FROM "
                                            f"(SELECT 1::BIGINT AS id, 1.0::DOUBLE AS amount, 1 AS bucket, "
                                            f"'' AS label, TIMESTAMP '2000-01-01' AS at) LIMIT 0")
                assert result.status == 200, result.error_body
                raw_s[fmt] = curl_upload(node, token, frames)
                frames.unlink()
            # The formats take turns, so a burst of load from elsewhere on the
            # machine does not fall on one format's loads only.
            loads = {fmt: {"drv": [], "dis": []} for fmt in formats}
            for attempt in range(args.repeat):
                for fmt in formats:
                    before = server_cpu(srv.pid)
                    drv = driver_load(srv.url, "", fmt, args.rows, args.batch_rows, f"drv_{fmt}_{attempt}",
                                      tmp_dir)
                    drv["server_cpu"] = server_cpu(srv.pid) - before
                    assert drv["rows"] == args.rows, drv
                    loads[fmt]["drv"].append(drv)
                    loads[fmt]["dis"].append(driver_load(srv.url, f"http://127.0.0.1:{port}", fmt, args.rows,
                                                         args.batch_rows, f"dis_{fmt}_{attempt}", tmp_dir))
            for fmt in formats:
                drv, dis, size = fastest(loads[fmt]["drv"]), fastest(loads[fmt]["dis"]), payload[fmt]
                rates[fmt] = args.rows / drv["seconds"]
                print(f"[{fmt}] payload {size / 1e6:.0f} MB on the wire")
                print(f"  driver  -> dev server: {rate(args.rows, table.nbytes, drv['seconds'])} (Arrow)  "
                      f"{size / drv['seconds'] / 1e6:8.1f} MB/s (payload)  {drv['seconds']:.2f} s, "
                      f"host CPU {drv['cpu']:.2f} s, dev server CPU {drv['server_cpu']:.2f} s")
                print(f"  raw curl -> dev server: {rate(args.rows, table.nbytes, raw_s[fmt])} (Arrow)  "
                      f"{size / raw_s[fmt] / 1e6:8.1f} MB/s (payload)  {raw_s[fmt]:.2f} s")
                print(f"  driver  -> discard   : {rate(args.rows, table.nbytes, dis['seconds'])} (Arrow)  "
                      f"{size / dis['seconds'] / 1e6:8.1f} MB/s (payload)  {dis['seconds']:.2f} s, "
                      f"host CPU {dis['cpu']:.2f} s")
                print(f"  driver/raw = {raw_s[fmt] / drv['seconds']:.2f}; peak host RSS during the load "
                      f"{drv['peak_rss'] / 2**20:.0f} MiB over {drv['base_rss'] / 2**20:.0f} MiB with the "
                      f"table built (+{(drv['peak_rss'] - drv['base_rss']) / 2**20:.0f} MiB); against the "
                      f"discarding server +{(dis['peak_rss'] - dis['base_rss']) / 2**20:.0f} MiB")
            print(f"parquet/arrow_ipc (driver -> dev server) = {rates['parquet'] / rates['arrow_ipc']:.2f}")
        finally:
            discard.terminate()
            discard.wait(timeout=10)
    return 0


if __name__ == "__main__":
    sys.exit(main())

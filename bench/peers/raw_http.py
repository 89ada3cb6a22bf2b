"""Raw transfers with curl, the baselines of the fetch and ingest figures: the
dev server's framed query response downloaded to /dev/null, and a framed
upload body built from the same batches the driver binds, posted from a file."""
from __future__ import annotations

import base64
import json
import os
import struct
import subprocess
from pathlib import Path

import pyarrow as pa
from dataset import read_dataset

STREAM_TYPE = "application/vnd.zorvane.stream.v1"
INIT, BATCH, EOS, ERROR, STATS = 1, 2, 3, 4, 6


def _frame_header(frame_type: int, length: int) -> bytes:
    return struct.pack(">B3xI", frame_type, length)


def _ipc_stream(schema: pa.Schema, batch: pa.RecordBatch | None = None) -> pa.Buffer:
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, schema) as writer:
        if batch is not None:
            writer.write_batch(batch)
    return sink.getvalue()


def write_upload_body(data: Path, target: Path, table: str) -> int:
    """The framed ingest body of an append of the data set to table; returns its size."""
    source = read_dataset(data)
    header = {"target_table": table, "mode": "append", "payload_format": "arrow_ipc",
              "schema_ipc": base64.b64encode(_ipc_stream(source.schema)).decode()}
    with open(target, "wb") as out:
        init = json.dumps(header).encode()
        out.write(_frame_header(INIT, len(init)) + init)
        for batch in source.to_batches():
            payload = _ipc_stream(source.schema, batch)
            out.write(_frame_header(BATCH, payload.size + 8) + bytes(8))
            out.write(payload)
        out.write(_frame_header(EOS, 4) + bytes(4))
        return out.tell()


def _curl(url: str, token: str, extra: list[str]) -> tuple[int, int, float, bytes, float]:
    """Bytes down and up, seconds and the reply as curl reports them, and curl's CPU time (user + system)."""
    proc = subprocess.Popen(
        ["curl", "-sS", "--fail", "--max-time", "1800", "-w", "\n%{size_download} %{size_upload} %{time_total}",
         "-H", f"Authorization: Bearer {token}", "-H", "Accept: " + STREAM_TYPE, "-H", "Expect:", *extra, url],
        stdout=subprocess.PIPE)
    out = proc.stdout.read()
    proc.stdout.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise subprocess.CalledProcessError(proc.returncode, proc.args, out)
    body, _, figures = out.rpartition(b"\n")
    down, up, seconds = figures.split()
    return int(down), int(up), float(seconds), body, usage.ru_utime + usage.ru_stime


def download(node_url: str, token: str, sql: str) -> dict:
    size, _, seconds, _, cpu = _curl(node_url + "/api/v1/query/stream/binary", token,
                                     ["-o", "/dev/null", "-H", "Content-Type: application/json", "-H",
                                      "x-zorvane-node;", "--data-binary", json.dumps({"sql": sql})])
    return {"wire_bytes": size, "seconds": seconds, "cpu_s": cpu}


def upload(node_url: str, token: str, body: Path) -> dict:
    _, size, seconds, reply, _ = _curl(node_url + "/api/v1/ingest/stream", token,
                                    ["-H", "Content-Type: " + STREAM_TYPE, "--data-binary", f"@{body}"])
    if len(reply) < 8 or reply[0] != STATS:
        raise RuntimeError(f"raw upload was refused: {reply[8:400]!r}")
    stats = json.loads(reply[16:])
    return {"wire_bytes": size, "seconds": seconds, "rows": stats["rows_inserted"]}

"""A small client of the dev server's HTTP API and frame format, written for its tests.

Deliberately independent of the server package: it parses frames with its own
code, so a framing bug on the server cannot hide behind shared helpers.
"""
from __future__ import annotations

import base64
import http.client
import json
import ssl
import struct
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from urllib.parse import urlsplit

import pyarrow as pa
import pyarrow.parquet as pq

INIT, BATCH, EOS, ERROR, TRACE, STATS = 1, 2, 3, 4, 5, 6
STREAM_TYPE = "application/vnd.zorvane.stream.v1"
MAX_PAYLOAD = 0x10000000


class FrameParser:
    """Incremental parser: feed any chunking of a body, get whole frames back in order."""

    def __init__(self):
        self._buf = bytearray()

    def feed(self, data: bytes) -> list[tuple[int, bytes]]:
        self._buf += data
        frames = []
        while len(self._buf) >= 8:
            frame_type, length = struct.unpack(">B3xI", self._buf[:8])
            if length > MAX_PAYLOAD:
                raise ValueError(f"frame announces {length} bytes")
            if len(self._buf) < 8 + length:
                break
            frames.append((frame_type, bytes(self._buf[8:8 + length])))
            del self._buf[:8 + length]
        return frames

    @property
    def pending(self) -> bool:
        return bool(self._buf)


def frame(frame_type: int, payload: bytes = b"") -> bytes:
    return struct.pack(">B3xI", frame_type, len(payload)) + payload


def batch_frame(data: bytes, index: int = 0) -> bytes:
    return frame(BATCH, struct.pack(">I4x", index) + data)


def ipc_bytes(table_or_batch, schema_only: bool = False) -> bytes:
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table_or_batch.schema) as w:
        if not schema_only:
            w.write(table_or_batch)
    return sink.getvalue().to_pybytes()


def parquet_bytes(table) -> bytes:
    sink = pa.BufferOutputStream()
    pq.write_table(pa.Table.from_batches([table]) if isinstance(table, pa.RecordBatch) else table, sink)
    return sink.getvalue().to_pybytes()


class Http:
    """One keep-alive HTTP/1.1 connection to one server."""

    def __init__(self, base_url: str, token: str | None = None, ssl_context: ssl.SSLContext | None = None,
                 timeout: float = 30):
        parts = urlsplit(base_url)
        cls = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
        kwargs = {"context": ssl_context} if parts.scheme == "https" else {}
        self.conn = cls(parts.hostname, parts.port, timeout=timeout, **kwargs)
        self.token = token

    def request(self, method: str, path: str, body=None, headers: dict | None = None,
                chunked: bool = False) -> http.client.HTTPResponse:
        h = {"Content-Type": "application/json"}
        if self.token:
            h["Authorization"] = f"Bearer {self.token}"
        h.update(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        self.conn.request(method, path, body=body, headers=h, encode_chunked=chunked)
        return self.conn.getresponse()

    def json(self, method: str, path: str, body=None, headers=None) -> tuple[int, dict]:
        resp = self.request(method, path, body, headers)
        raw = resp.read()
        return resp.status, (json.loads(raw) if raw else {})

    def close(self) -> None:
        self.conn.close()


def login(control_url: str, user: str = "demo", password: str = "demo", ssl_context=None) -> str:
    http_ = Http(control_url, ssl_context=ssl_context)
    try:
        status, body = http_.json("POST", "/api/v1/auth/token",
                                  {"grant_type": "password", "password": password, "username": user})
    finally:
        http_.close()
    assert status == 200, body
    return body["session_token"]


@dataclass
class StreamResult:
    status: int
    frames: list[tuple[int, bytes]] = field(default_factory=list)
    truncated: bool = False
    error_body: dict | None = None

    @property
    def init(self) -> dict:
        return json.loads(self.frames[0][1]) if self.frames and self.frames[0][0] == INIT else {}

    def batches(self, index: int = 0) -> list[bytes]:
        return [p[8:] for t, p in self.frames if t == BATCH and struct.unpack(">I", p[:4])[0] == index]

    def table(self, index: int = 0) -> pa.Table:
        schema = self.schema(index)
        parts = [pa.ipc.open_stream(pa.py_buffer(b)).read_all() for b in self.batches(index)]
        return pa.concat_tables(parts) if parts else schema.empty_table()

    def schema(self, index: int = 0) -> pa.Schema:
        raw = base64.b64decode(self.init["resultSets"][index]["schemaIpc"], validate=True)
        return pa.ipc.open_stream(pa.py_buffer(raw)).schema

    @property
    def eos(self) -> list[int]:
        return [struct.unpack(">I", p[:4])[0] for t, p in self.frames if t == EOS]

    @property
    def error(self) -> dict | None:
        errors = [json.loads(p) for t, p in self.frames if t == ERROR]
        return errors[0] if errors else None

    @property
    def stats(self) -> dict | None:
        stats = [json.loads(p[8:]) for t, p in self.frames if t == STATS]
        return stats[0] if stats else None


def read_stream(resp: http.client.HTTPResponse, chunk: int = 65536) -> StreamResult:
    result = StreamResult(status=resp.status)
    if resp.status >= 400:
        raw = resp.read()
        result.error_body = json.loads(raw) if raw else {}
        return result
    parser = FrameParser()
    while True:
        data = resp.read1(chunk) if hasattr(resp, "read1") else resp.read(chunk)
        if not data:
            break
        result.frames.extend(parser.feed(data))
    # read1 leaves an answer with a length open after its last byte; read()
    # closes it, so a kept-alive connection takes the next request.
    resp.read()
    result.truncated = parser.pending
    return result


def query(node_url: str, token: str, sql: str, stream_options: dict | None = None, headers: dict | None = None,
          ssl_context=None) -> StreamResult:
    body = {"sql": sql}
    if stream_options is not None:
        body["stream_options"] = stream_options
    http_ = Http(node_url, token, ssl_context)
    try:
        h = {"Accept": STREAM_TYPE, "X-Zorvane-Client": "adbc", "x-zorvane-node": ""}
        h.update(headers or {})
        return read_stream(http_.request("POST", "/api/v1/query/stream/binary", body, h))
    finally:
        http_.close()


def snapshot(control_url: str, token: str, ssl_context=None) -> StreamResult:
    http_ = Http(control_url, token, ssl_context)
    try:
        return read_stream(http_.request("GET", "/api/v1/odbc/info_schema/snapshot", headers={"Accept": STREAM_TYPE}))
    finally:
        http_.close()


def upload_frames(header: dict, payloads: Iterable[bytes], eos: bool = True) -> Iterator[bytes]:
    yield frame(INIT, json.dumps(header).encode())
    for data in payloads:
        yield batch_frame(data)
    if eos:
        yield frame(EOS, bytes(4))


def ingest(node_url: str, token: str, frames: Iterable[bytes], ssl_context=None) -> StreamResult:
    """Sends the frames as one chunked upload, one chunk per frame."""
    http_ = Http(node_url, token, ssl_context)
    try:
        resp = http_.request("POST", "/api/v1/ingest/stream", iter(frames),
                             {"Content-Type": STREAM_TYPE, "Accept": STREAM_TYPE}, chunked=True)
        return read_stream(resp)
    finally:
        http_.close()


def arrow_header(target: str, schema: pa.Schema, mode: str = "append", **extra) -> dict:
    header = {"target_table": target, "mode": mode, "payload_format": "arrow_ipc", "key_columns": [],
              "schema_ipc": base64.b64encode(ipc_bytes(schema.empty_table(), schema_only=True)).decode()}
    header.update(extra)
    return header

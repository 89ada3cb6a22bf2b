"""A loopback HTTP(S) server whose every answer a test scripts, and which keeps
every byte it received, so a test can prove that no secret reached it.

    with HostileServer() as evil:                      # http://127.0.0.1:<port>
        evil.route("POST", "/api/v1/auth/token", redirect("http://elsewhere/x"))
        evil.route("POST", "/api/v1/query/stream/binary", frames(init(), eos()))
        ...
        assert b"hunter2" not in evil.received()

A route's responder gets the recorded Request and returns a Reply. Requests
without a route get 404. Only loopback addresses are accepted.
"""
from __future__ import annotations

import ipaddress
import json
import ssl
import struct
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

INIT, BATCH, EOS, ERROR = 1, 2, 3, 4


@dataclass
class Request:
    method: str
    path: str
    headers: dict[str, str]
    body: bytes
    raw: bytes  # request line, headers and body as received (chunking removed)


@dataclass
class Reply:
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b""
    endless: bool = False  # the body is sent again and again until the client leaves


Responder = Callable[[Request], Reply]


def redirect(location: str, status: int = 307) -> Responder:
    return lambda _req: Reply(status, {"Location": location})


def json_reply(obj, status: int = 200) -> Responder:
    body = json.dumps(obj).encode()
    return lambda _req: Reply(status, {"Content-Type": "application/json"}, body)


def frame(frame_type: int, payload: bytes = b"") -> bytes:
    return struct.pack(">B3xI", frame_type, len(payload)) + payload


def init_frame(obj: dict | None = None) -> bytes:
    return frame(INIT, json.dumps(obj or {"streamId": "s"}).encode())


def batch_frame(ipc: bytes, index: int = 0) -> bytes:
    return frame(BATCH, struct.pack(">I4x", index) + ipc)


def eos_frame(index: int = 0) -> bytes:
    return frame(EOS, struct.pack(">I", index))


def framed(*frames: bytes) -> Responder:
    body = b"".join(frames)
    return lambda _req: Reply(200, {"Content-Type": "application/vnd.zorvane.stream.v1"}, body)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: _Server

    def log_message(self, *args):  # quiet
        pass

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    self.rfile.readline()
                    return body
                body += self.rfile.read(size)
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def _handle(self):
        body = self._read_body()
        raw = self.requestline.encode() + b"\r\n" + bytes(self.headers) + body
        req = Request(self.command, self.path, {k.lower(): v for k, v in self.headers.items()},
                      body, raw)
        owner = self.server.owner
        with owner.lock:
            owner.requests.append(req)
            responder = owner.routes.get((self.command, self.path.split("?")[0]))
        reply = responder(req) if responder else Reply(404, {}, b'{"error":"no route"}')
        self.send_response(reply.status)
        for name, value in reply.headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(1 << 50 if reply.endless else len(reply.body)))
        self.end_headers()
        self.wfile.write(reply.body)
        try:
            while reply.endless:
                self.wfile.write(reply.body)
        except OSError:
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = _handle


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    owner: HostileServer


class HostileServer:
    def __init__(self, host: str = "127.0.0.1", port: int = 0, certfile: str | None = None,
                 keyfile: str | None = None):
        if not ipaddress.ip_address(host).is_loopback:
            raise ValueError(f"the hostile server listens on loopback only, not {host}")
        self.lock = threading.Lock()
        self.requests: list[Request] = []
        self.routes: dict[tuple[str, str], Responder] = {}
        self._server = _Server((host, port), _Handler)
        self._server.owner = self
        scheme = "http"
        if certfile:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(certfile, keyfile)
            self._server.socket = ctx.wrap_socket(self._server.socket, server_side=True)
            scheme = "https"
        self.host, self.port = host, self._server.server_address[1]
        self.url = f"{scheme}://{host}:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def route(self, method: str, path: str, responder: Responder) -> None:
        with self.lock:
            self.routes[(method, path)] = responder

    def received(self) -> bytes:
        """Every byte of every request so far."""
        with self.lock:
            return b"".join(r.raw for r in self.requests)

    def paths(self) -> list[str]:
        with self.lock:
            return [r.path for r in self.requests]

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self) -> HostileServer:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

"""Start a dev server in a subprocess for tests, and read its counters and arm its faults.

Usage from any pytest module (the driver's Python tests use it too)::

    import sys, pathlib
    sys.path.insert(0, str(pathlib.Path(<repo>) / "tests" / "devserver"))
    from server_fixture import start_devserver

    with start_devserver(nodes=2) as srv:          # fault injection is on by default
        srv.url                                    # control-plane URL, e.g. http://127.0.0.1:40123
        srv.node_urls                              # {"compute-1": "http://127.0.0.1:41234", ...}
        before = srv.counters()                    # see below
        srv.set_fault("delay", endpoint="query", seconds=2, times=1)
        srv.set_fault("error_frame", endpoint="query", after_batches=3, message="boom", sqlstate="HY000")
        srv.clear_faults()
        srv.set_node_status("compute-2", "draining")
        srv.expire_tokens()                        # every issued session token becomes invalid (401)

Or as a fixture: ``from server_fixture import devserver`` in a conftest gives a
session-scoped ``devserver`` fixture with default options.

Options of start_devserver (keyword arguments, all optional):
    nodes (int, default 2), port (0), host ("127.0.0.1"), node_address (the one node
    listens there at the control plane's port), data_dir, storage_root,
    tls_cert, tls_key, client_ca (paths; with TLS also pass ca_file so the handle
    can reach the debug endpoints, and client_cert=(cert, key) under mutual TLS),
    users ({"name": "password"}; default demo/demo), demo_data (True),
    fault_injection (True), token_ttl, reservation_ttl, extra_args (list of str),
    startup_timeout (seconds, 30), command (the server's command line without its
    options, e.g. an installed zorvane-devserver; default: this Python running the
    checkout's zorvane_devserver).

counters() returns the JSON of GET /debug/counters:
    requests            {"login": n, "recommend": n, "confirm": n, "abandon": n, "lookup": n,
                         "version": n, "snapshot": n, "query": n, "ingest": n}
    requests_by_server  the same, per server ("control", "compute-1", ...)
    connections         TCP connections accepted per server (the handle's own debug calls excluded)
    logins, login_failures, snapshot_fetches, unauthorized, client_disconnects,
    queries, ingests_committed, ingests_rolled_back, ingest_replays

Fault kinds for set_fault(kind, **fields) (endpoint is one of login, recommend,
confirm, abandon, lookup, version, snapshot, query, ingest; omitted means any;
times=N limits a fault to N requests):
    delay(seconds)                      sleep before the first byte
    http_status(status, body, content_type)   answer with this status and body
    close(after_batches=0)              drop the connection (at once, or after N BATCH frames)
    drip(chunk_bytes, interval)         send the response slowly
    stall(seconds, after_batches)       query/snapshot: pause mid-stream
    truncate(after_batches)             query/snapshot: end the body inside a frame
    error_frame(after_batches, message, sqlstate)   query/snapshot: ERROR frame instead of the rest
    refuse_logins(status=401, body)     login fails
    fail_confirmations(status=503)      reservation confirmations fail
"""
from __future__ import annotations

import json
import os
import selectors
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


class DevServerHandle:
    def __init__(self, proc: subprocess.Popen, url: str, node_urls: dict[str, str], log_path: Path,
                 ssl_context: ssl.SSLContext | None):
        self.proc = proc
        self.url = url
        self.node_urls = node_urls
        self.log_path = log_path
        self._ssl = ssl_context

    @property
    def pid(self) -> int:
        return self.proc.pid

    def _debug(self, method: str, path: str, body=None) -> dict:
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.url + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=10, context=self._ssl) as resp:
            return json.loads(resp.read())

    def counters(self) -> dict:
        return self._debug("GET", "/debug/counters")

    def reset_counters(self) -> None:
        self._debug("POST", "/debug/counters/reset", {})

    def state(self) -> dict:
        return self._debug("GET", "/debug/state")

    def set_fault(self, kind: str, **fields) -> dict:
        return self._debug("POST", "/debug/faults", dict(fields, kind=kind))

    def clear_faults(self) -> None:
        self._debug("DELETE", "/debug/faults")

    def set_node_status(self, ref: str, status: str) -> None:
        self._debug("POST", f"/debug/nodes/{ref}", {"status": status})

    def expire_tokens(self) -> None:
        self._debug("POST", "/debug/tokens/expire", {})

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")

    def stop(self, timeout: float = 10) -> int:
        """SIGTERM and wait; returns the exit code (kills after timeout)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        if self.proc.returncode == 0:
            self.log_path.unlink(missing_ok=True)  # keep the log only when something went wrong
        return self.proc.returncode

    def __enter__(self) -> DevServerHandle:
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


def _args(options: dict) -> list[str]:
    args = ["--host", options.pop("host", "127.0.0.1"), "--port", str(options.pop("port", 0)),
            "--nodes", str(options.pop("nodes", 2))]
    if options.pop("fault_injection", True):
        args.append("--fault-injection")
    if not options.pop("demo_data", True):
        args.append("--no-demo-data")
    for name in ("node_address", "data_dir", "storage_root", "tls_cert", "tls_key", "client_ca", "token_ttl",
                 "reservation_ttl"):
        value = options.pop(name, None)
        if value is not None:
            args += ["--" + name.replace("_", "-"), str(value)]
    for user, password in options.pop("users", {}).items():
        args += ["--user", f"{user}:{password}"]
    args += list(options.pop("extra_args", []))
    return args


def start_devserver(**options) -> DevServerHandle:
    timeout = options.pop("startup_timeout", 30)
    ctx = None
    ca_file = options.pop("ca_file", None)
    client_cert = options.pop("client_cert", None)
    if ca_file or client_cert:
        ctx = ssl.create_default_context(cafile=str(ca_file) if ca_file else None)
        if client_cert:
            ctx.load_cert_chain(str(client_cert[0]), str(client_cert[1]))
    command = options.pop("command", None)
    args = _args(options)
    if options:
        raise TypeError(f"unknown devserver options: {sorted(options)}")
    env = dict(os.environ)
    # The dev server never loads the driver: a sanitizer runtime preloaded for
    # the driver under test (make test-asan, test-tsan) stays out of it.
    env.pop("LD_PRELOAD", None)
    if command is None:
        command = [sys.executable, "-m", "zorvane_devserver"]
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPO / "devserver"), env.get("PYTHONPATH")]))
    log = Path(tempfile.mkstemp(prefix="zorvane-devserver-", suffix=".log")[1])
    with open(log, "wb") as err:
        proc = subprocess.Popen([*command, *args], stdout=subprocess.PIPE,
                                stderr=err, env=env)
    lines = _read_lines(proc, 1 + int(args[args.index("--nodes") + 1]), timeout, log)
    nodes = {}
    for line in lines[1:]:
        ref, url = line.removeprefix("compute node ").split(": ", 1)
        nodes[ref] = url
    return DevServerHandle(proc, lines[0], nodes, log, ctx)


def _read_lines(proc: subprocess.Popen, count: int, timeout: float, log: Path) -> list[str]:
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + timeout
    buf = b""
    try:
        while buf.count(b"\n") < count:
            left = deadline - time.monotonic()
            if left <= 0 or proc.poll() is not None and not sel.select(0):
                proc.kill()
                proc.wait()
                raise RuntimeError(f"dev server did not start: {log.read_text(errors='replace')[-2000:]}")
            if sel.select(min(left, 0.5)):
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk and proc.poll() is not None:
                    continue
                buf += chunk
    finally:
        sel.close()
    return buf.decode().splitlines()[:count]


try:
    import pytest

    @pytest.fixture(scope="session")
    def devserver():
        with start_devserver() as handle:
            yield handle
except ImportError:  # usable without pytest, e.g. from a benchmark script
    pass

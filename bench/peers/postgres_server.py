"""A throw-away PostgreSQL server from the Debian package: a cluster in a
temporary directory, listening on a free loopback port, removed on stop.

The server is configured for benchmarking rather than durability (no fsync,
no synchronous commit), like the dev server, whose DuckDB database lives in
memory; max_connections leaves room for the connection storm.
"""
from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

SERVER_SETTINGS = {
    "listen_addresses": "'127.0.0.1'",
    "unix_socket_directories": "''",
    "max_connections": "300",
    "fsync": "off",
    "synchronous_commit": "off",
    "full_page_writes": "off",
    "shared_buffers": "'512MB'",
    "max_wal_size": "'4GB'",
    "logging_collector": "off",
}


def _bin_dir() -> Path:
    for candidate in sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True):
        if (Path(candidate) / "initdb").exists():
            return Path(candidate)
    found = shutil.which("initdb")
    if found:
        return Path(found).resolve().parent
    raise FileNotFoundError("PostgreSQL server binaries not found (Debian package postgresql)")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PostgresServer:
    """Start with start(); uri is a libpq URI for the benchmark user; stop() removes everything."""

    user = "bench"

    def __init__(self):
        self._bin = _bin_dir()
        self._root = Path(tempfile.mkdtemp(prefix="zv-bench-pg-"))
        self._data = self._root / "data"
        self._log = self._root / "server.log"
        self.port = _free_port()
        self.uri = f"postgresql://{self.user}@127.0.0.1:{self.port}/postgres"
        self.version = ""
        # The server refuses to run as root; the package's system user owns the cluster then.
        self._run_as = pwd.getpwnam("postgres") if os.geteuid() == 0 else None

    def _command(self, *args: str) -> list[str]:
        cmd = [str(self._bin / args[0]), *args[1:]]
        return ["runuser", "-u", "postgres", "--", *cmd] if self._run_as else cmd

    def start(self) -> PostgresServer:
        if self._run_as:
            os.chown(self._root, self._run_as.pw_uid, self._run_as.pw_gid)
        subprocess.run(self._command("initdb", "-D", str(self._data), "-U", self.user, "-A", "trust",
                                     "--no-sync", "-E", "UTF8", "--locale", "C"),
                       check=True, capture_output=True)
        with open(self._data / "postgresql.conf", "a") as conf:
            for key, value in SERVER_SETTINGS.items():
                conf.write(f"{key} = {value}\n")
            conf.write(f"port = {self.port}\n")
        subprocess.run(self._command("pg_ctl", "-D", str(self._data), "-l", str(self._log), "-w", "-t", "60",
                                     "start"), check=True, capture_output=True)
        self._wait_ready()
        out = subprocess.run([str(self._bin / "postgres"), "--version"], capture_output=True, text=True)
        self.version = out.stdout.strip()
        return self

    def _wait_ready(self, timeout: float = 30) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError(f"PostgreSQL did not start: {self._log.read_text(errors='replace')[-2000:]}")

    def stop(self) -> None:
        if self._data.exists():
            subprocess.run(self._command("pg_ctl", "-D", str(self._data), "-m", "fast", "-w", "stop"),
                           capture_output=True)
        shutil.rmtree(self._root, ignore_errors=True)

    def __enter__(self) -> PostgresServer:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

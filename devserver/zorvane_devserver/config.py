"""Command-line options and the settings record built from them."""
from __future__ import annotations

import argparse
import ipaddress
import sys
from dataclasses import dataclass, field
from pathlib import Path

DEFAULT_USERS = {"demo": "demo"}


@dataclass
class ServerConfig:
    host: str = "127.0.0.1"
    port: int = 0
    node_address: str | None = None
    nodes: int = 2
    data_dir: Path | None = None
    storage_root: Path | None = None
    tls_cert: Path | None = None
    tls_key: Path | None = None
    client_ca: Path | None = None
    users: dict[str, str] = field(default_factory=lambda: dict(DEFAULT_USERS))
    fault_injection: bool = False
    demo_data: bool = True
    token_ttl: int = 3600
    reservation_ttl: float = 60.0
    verbose: bool = False

    @property
    def tls(self) -> bool:
        return self.tls_cert is not None


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _user(text: str) -> tuple[str, str]:
    name, sep, password = text.partition(":")
    if not sep or not name:
        raise argparse.ArgumentTypeError("expected NAME:PASSWORD")
    return name, password


def build_parser() -> argparse.ArgumentParser:
    # The same options serve `python -m zorvane_devserver` and the installed
    # `zorvane-devserver` command; usage lines name the one that was run.
    prog = "zorvane-devserver" if Path(sys.argv[0]).name == "zorvane-devserver" \
        else "python -m zorvane_devserver"
    p = argparse.ArgumentParser(prog=prog,
                                description="Local Zorvane control plane and compute nodes backed by DuckDB.")
    p.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=0, help="control-plane port; 0 picks a free one (default)")
    p.add_argument("--node-address", metavar="HOST",
                   help="the compute node listens on this loopback address at the control plane's "
                        "port (one node only), so that both share a port on different addresses")
    p.add_argument("--nodes", type=int, default=2,
                   help="number of compute nodes, each on its own free port (default 2)")
    p.add_argument("--data-dir", type=Path,
                   help="keep the database here so data survives a restart (default: in memory)")
    p.add_argument("--storage-root", type=Path,
                   help="where land-mode ingests write files (default: DATA_DIR/storage or a temporary directory)")
    p.add_argument("--tls-cert", type=Path,
                   help="PEM certificate chain; enables HTTPS on the control plane and all nodes")
    p.add_argument("--tls-key", type=Path, help="PEM private key for --tls-cert")
    p.add_argument("--client-ca", type=Path,
                   help="PEM CA bundle; clients must present a certificate it signed (mutual TLS)")
    p.add_argument("--user", action="append", type=_user, metavar="NAME:PASSWORD",
                   help="accepted login (repeatable; default demo:demo)")
    p.add_argument("--fault-injection", action="store_true",
                   help="enable the /debug endpoints (fault injection and counters) for tests")
    demo = p.add_mutually_exclusive_group()
    demo.add_argument("--demo-data", dest="demo_data", action="store_true", default=True,
                      help="seed the demo data set when it is missing (default)")
    demo.add_argument("--no-demo-data", dest="demo_data", action="store_false", help="start with an empty catalog")
    p.add_argument("--token-ttl", type=int, default=3600, help="session token lifetime in seconds (default 3600)")
    p.add_argument("--reservation-ttl", type=float, default=60.0,
                   help="node reservation time-to-live in seconds (default 60)")
    p.add_argument("--verbose", action="store_true", help="log every request to stderr")
    return p


def parse_config(argv: list[str] | None = None) -> ServerConfig:
    parser = build_parser()
    a = parser.parse_args(argv)
    if not _is_loopback(a.host):
        parser.error(f"--host must be a loopback address, got {a.host!r}")
    if a.node_address is not None:
        if not _is_loopback(a.node_address):
            parser.error(f"--node-address must be a loopback address, got {a.node_address!r}")
        if a.nodes != 1:
            parser.error("--node-address serves exactly one node (--nodes 1)")
    if a.nodes < 1:
        parser.error("--nodes must be at least 1")
    if (a.tls_cert is None) != (a.tls_key is None):
        parser.error("--tls-cert and --tls-key go together")
    if a.client_ca is not None and a.tls_cert is None:
        parser.error("--client-ca needs --tls-cert and --tls-key")
    return ServerConfig(
        host=a.host, port=a.port, node_address=a.node_address, nodes=a.nodes, data_dir=a.data_dir,
        storage_root=a.storage_root,
        tls_cert=a.tls_cert, tls_key=a.tls_key, client_ca=a.client_ca,
        users=dict(a.user) if a.user else dict(DEFAULT_USERS),
        fault_injection=a.fault_injection, demo_data=a.demo_data,
        token_ttl=a.token_ttl, reservation_ttl=a.reservation_ttl, verbose=a.verbose)

"""Builds the control-plane and compute-node applications, listens, and runs until told to stop."""
from __future__ import annotations

import asyncio
import gc
import logging
import signal
import ssl
import sys
import tempfile
from pathlib import Path

from aiohttp import web

from . import control_plane, debug_api
from .config import ServerConfig
from .database import Database
from .debug_api import DebugTransports
from .demo_data import seed_demo_data
from .ingest_stream import ingest_stream
from .middleware import service_middleware
from .nodes import NodeRegistry
from .passwords import PasswordStore
from .query_stream import query_stream
from .state import ServerState
from .tokens import TokenStore

log = logging.getLogger("zorvane_devserver")


class CountingSite(web.BaseSite):
    """A TCP site that counts every connection it accepts, for tests that prove connection reuse."""

    def __init__(self, runner: web.AppRunner, host: str, port: int, ssl_context, on_accept):
        super().__init__(runner, ssl_context=ssl_context)
        self._host, self._port, self._on_accept = host, port, on_accept
        self.bound_port = 0

    @property
    def name(self) -> str:
        scheme = "https" if self._ssl_context else "http"
        return f"{scheme}://{self._host}:{self.bound_port}"

    async def start(self) -> None:
        await super().start()
        factory = self._runner.server

        def counted():
            self._on_accept()
            return factory()

        self._server = await asyncio.get_running_loop().create_server(
            counted, self._host, self._port, ssl=self._ssl_context, backlog=self._backlog, reuse_address=True)
        self.bound_port = self._server.sockets[0].getsockname()[1]


def _ssl_context(config: ServerConfig) -> ssl.SSLContext | None:
    if not config.tls:
        return None
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(str(config.tls_cert), str(config.tls_key))
    if config.client_ca is not None:
        ctx.load_verify_locations(str(config.client_ca))
        ctx.verify_mode = ssl.CERT_REQUIRED
    return ctx


def _app(state: ServerState, server_name: str) -> web.Application:
    # The ingest body is read frame by frame from the stream, so no whole-body limit applies.
    # JSON bodies may reach a few MiB: tests arm faults whose canned answers exceed the
    # driver's 1 MiB response cap.
    app = web.Application(middlewares=[service_middleware], client_max_size=4 * 1024 * 1024)
    app["state"] = state
    app["server_name"] = server_name
    app["debug_transports"] = DebugTransports()
    return app


class DevServer:
    def __init__(self, config: ServerConfig):
        self.config = config
        self._tmp: tempfile.TemporaryDirectory | None = None
        self._runners: list[web.AppRunner] = []

    def _storage_root(self) -> Path:
        if self.config.storage_root is not None:
            root = self.config.storage_root
        elif self.config.data_dir is not None:
            root = self.config.data_dir / "storage"
        else:
            self._tmp = tempfile.TemporaryDirectory(prefix="zorvane-storage-")
            root = Path(self._tmp.name)
        root.mkdir(parents=True, exist_ok=True)
        return root

    async def start(self) -> str:
        cfg = self.config
        db = Database(cfg.data_dir)
        if cfg.demo_data:
            await asyncio.to_thread(seed_demo_data, db)
        passwords = await asyncio.to_thread(PasswordStore, cfg.users)
        self.state = ServerState(config=cfg, db=db, storage_root=self._storage_root(),
                                 tokens=TokenStore(cfg.token_ttl), passwords=passwords,
                                 nodes=NodeRegistry(cfg.nodes, cfg.node_address or cfg.host,
                                                    cfg.reservation_ttl))
        ctx = _ssl_context(cfg)
        control = _app(self.state, "control")
        control_plane.add_routes(control)
        if cfg.fault_injection:
            debug_api.add_routes(control)
        if cfg.node_address is None:
            await self._start_nodes(0, ctx)
            port = await self._listen(control, "control", cfg.host, cfg.port, ctx)
        else:  # the node takes the control plane's port on its own address
            port = await self._listen(control, "control", cfg.host, cfg.port, ctx)
            await self._start_nodes(port, ctx)
        host = f"[{cfg.host}]" if ":" in cfg.host else cfg.host
        self.state.control_url = f"{'https' if ctx else 'http'}://{host}:{port}"
        return self.state.control_url

    async def _start_nodes(self, port: int, ctx) -> None:
        for node in self.state.nodes.nodes:
            app = _app(self.state, node.entity_ref)
            app.router.add_post("/api/v1/query/stream/binary", query_stream, name="query")
            app.router.add_post("/api/v1/ingest/stream", ingest_stream, name="ingest")
            node.port = await self._listen(app, node.entity_ref, node.host, port, ctx)

    async def _listen(self, app: web.Application, name: str, host: str, port: int, ctx) -> int:
        runner = web.AppRunner(app, access_log=log if self.config.verbose else None, shutdown_timeout=1.0,
                               handle_signals=False)
        await runner.setup()
        site = CountingSite(runner, host, port, ctx, lambda: self.state.counters.connection(name))
        await site.start()
        self._runners.append(runner)
        return site.bound_port

    def node_urls(self) -> list[tuple[str, str]]:
        scheme = "https" if self.config.tls else "http"
        return [(n.entity_ref, f"{scheme}://{n.url_host}:{n.port}") for n in self.state.nodes.nodes]

    async def stop(self) -> None:
        for runner in reversed(self._runners):
            await runner.cleanup()
        await asyncio.to_thread(self.state.db.close)
        if self._tmp is not None:
            self._tmp.cleanup()


def _settle_garbage_collector() -> None:
    """What start-up made (modules, the demo catalog) stays for the server's life:
    frozen, a full collection no longer walks it, and full collections become
    rare, so they do not stall every request in flight for tens of milliseconds
    under a burst of connections. Young objects are still collected as before."""
    gc.collect()
    gc.freeze()
    young, middle, _ = gc.get_threshold()
    gc.set_threshold(young, middle, 1000)


async def _warm_snapshot(state: ServerState) -> None:
    try:
        await state.snapshots.get(state.db)
    except Exception:  # the first fetch will build it again and report what fails
        log.warning("building the first catalog snapshot failed", exc_info=True)


async def serve(config: ServerConfig) -> None:
    server = DevServer(config)
    url = await server.start()
    _settle_garbage_collector()
    # The first snapshot of a database costs most (DuckDB sets its catalog views
    # up then): built now, while nobody waits, the first connection finds it.
    warm = asyncio.create_task(_warm_snapshot(server.state))
    print(url, flush=True)
    for ref, node_url in server.node_urls():
        print(f"compute node {ref}: {node_url}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    print("stopping", file=sys.stderr, flush=True)
    await warm  # its thread reads the database, which stop() closes
    await server.stop()

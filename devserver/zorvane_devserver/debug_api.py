"""Test-only endpoints under /debug on the control plane: counters, faults, node status, token expiry.

They need no bearer token and are not counted, so reading a counter never changes it.
"""
from __future__ import annotations

import json
import weakref

from aiohttp import web

from .faults import Fault, FaultSpecError
from .json_api import error_response


class DebugTransports:
    """Connections opened by debug clients are taken back out of the accepted-connection count."""

    def __init__(self):
        self._seen: weakref.WeakSet = weakref.WeakSet()

    def mark(self, request: web.Request, counters, server: str) -> None:
        transport = request.transport
        if transport is None or transport in self._seen:
            return
        self._seen.add(transport)
        counters.connection(server, -1)


async def get_counters(request: web.Request) -> web.Response:
    return web.json_response(request.app["state"].counters.as_dict())


async def reset_counters(request: web.Request) -> web.Response:
    request.app["state"].counters.reset()
    return web.json_response({"status": "ok"})


async def get_state(request: web.Request) -> web.Response:
    state = request.app["state"]
    return web.json_response({
        "control_url": state.control_url,
        "nodes": [{"id": n.node_id, "entityRef": n.entity_ref, "status": n.status,
                   "url": f"{'https' if state.config.tls else 'http'}://{n.url_host}:{n.port}"}
                  for n in state.nodes.nodes],
        "reservations": state.nodes.open_reservations(),
        "catalog_version": state.db.version.snapshot(),
        "storage_root": str(state.storage_root),
        "faults": state.faults.list(),
    })


async def _json_body(request: web.Request):
    try:
        return json.loads(await request.text() or "{}")
    except (json.JSONDecodeError, UnicodeDecodeError) as exc:
        raise web.HTTPBadRequest(text=str(exc)) from None


async def add_faults(request: web.Request) -> web.Response:
    """Body: one fault object, or {"faults": [fault, ...]}."""
    body = await _json_body(request)
    specs = body.get("faults") if isinstance(body, dict) and "faults" in body else [body]
    if not isinstance(specs, list):
        return error_response(400, "faults must be an array")
    try:
        faults = [Fault.from_json(spec) for spec in specs]
    except FaultSpecError as exc:
        return error_response(400, str(exc))
    for fault in faults:
        request.app["state"].faults.add(fault)
    return web.json_response({"faults": request.app["state"].faults.list()})


async def clear_faults(request: web.Request) -> web.Response:
    request.app["state"].faults.clear()
    return web.json_response({"faults": []})


async def set_node_status(request: web.Request) -> web.Response:
    """Body {"status": "draining"}: a node taken out is no longer recommended and looks up as such."""
    body = await _json_body(request)
    node = request.app["state"].nodes.find(request.match_info["ref"])
    if node is None:
        return error_response(404, "unknown node")
    status = body.get("status") if isinstance(body, dict) else None
    if not isinstance(status, str) or not status:
        return error_response(400, "status must be a non-empty string")
    node.status = status
    return web.json_response({"entityRef": node.entity_ref, "status": node.status})


async def expire_tokens(request: web.Request) -> web.Response:
    return web.json_response({"revoked": request.app["state"].tokens.revoke_all()})


def add_routes(app: web.Application) -> None:
    app.router.add_get("/debug/counters", get_counters, name="debug_counters")
    app.router.add_post("/debug/counters/reset", reset_counters, name="debug_counters_reset")
    app.router.add_get("/debug/state", get_state, name="debug_state")
    app.router.add_get("/debug/faults", get_state, name="debug_faults_list")
    app.router.add_post("/debug/faults", add_faults, name="debug_faults_add")
    app.router.add_delete("/debug/faults", clear_faults, name="debug_faults_clear")
    app.router.add_post("/debug/nodes/{ref}", set_node_status, name="debug_node_status")
    app.router.add_post("/debug/tokens/expire", expire_tokens, name="debug_tokens_expire")

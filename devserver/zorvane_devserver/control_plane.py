"""Control-plane endpoints: login, compute routing, catalog version and catalog snapshot."""
from __future__ import annotations

import asyncio
from datetime import datetime, timezone

from aiohttp import web

from .framed_writer import ClientGone, FaultEnded, FramedWriter
from .frames import INIT, batch_prefix, eos_frame, json_frame
from .json_api import BadRequest, error_response, read_json_object
from .snapshot import SLOT_NAMES

SUPPORTED_CAPS = {"sql_execution"}


async def login(request: web.Request) -> web.Response:
    state = request.app["state"]
    try:
        body = await read_json_object(request, {"grant_type": str, "username": str, "password": str},
                                      required=("grant_type", "username", "password"))
    except BadRequest as exc:
        state.counters.event("login_failures")
        return error_response(400, exc.message, "invalid_request")
    if body["grant_type"] != "password":
        state.counters.event("login_failures")
        return error_response(400, f"grant_type {body['grant_type']!r} is not supported", "unsupported_grant_type")
    if not await asyncio.to_thread(state.passwords.verify, body["username"], body["password"]):
        state.counters.event("login_failures")
        return error_response(401, "invalid credentials", "invalid_grant")
    token, session = state.tokens.issue(body["username"])
    state.counters.event("logins")
    return web.json_response({
        "session_token": token,
        "subject_id": f"user:{session.user}",
        "principal_type": "user",
        "name": session.user,
        "expires_in": state.tokens.ttl,
        "session_expires_at": datetime.fromtimestamp(session.expires_at, timezone.utc).isoformat(),
    })


async def recommend(request: web.Request) -> web.Response:
    state = request.app["state"]
    try:
        body = await read_json_object(request, {"purpose": str, "requiredCaps": list, "sessionId": str},
                                      empty_ok=True)
    except BadRequest as exc:
        return error_response(400, exc.message)
    caps = body.get("requiredCaps", [])
    if not all(isinstance(c, str) for c in caps):
        return error_response(400, "requiredCaps must be an array of strings")
    missing = sorted(set(caps) - SUPPORTED_CAPS)
    if missing:
        return error_response(503, f"no compute node offers {', '.join(missing)}")
    reservation = state.nodes.recommend()
    if reservation is None:
        return error_response(503, "no capacity")
    node = reservation.node
    return web.json_response({
        "hostname": node.url_host, "port": node.port, "reservationId": reservation.reservation_id,
        "nodeId": node.node_id, "nodeEntityRef": node.entity_ref, "ttlSeconds": state.nodes.reservation_ttl,
    })


async def _reservation_action(request: web.Request, action) -> web.Response:
    try:
        await read_json_object(request, {}, empty_ok=True)
    except BadRequest as exc:
        return error_response(400, exc.message)
    rid = request.match_info["reservation"]
    if not action(rid):
        return error_response(404, f"reservation {rid} is unknown or expired")
    return web.json_response({"reservationId": rid, "status": "ok"})


async def confirm(request: web.Request) -> web.Response:
    return await _reservation_action(request, request.app["state"].nodes.confirm)


async def abandon(request: web.Request) -> web.Response:
    return await _reservation_action(request, request.app["state"].nodes.abandon)


async def lookup_node(request: web.Request) -> web.Response:
    ref = request.match_info["ref"]
    node = request.app["state"].nodes.find(ref)
    if node is None:
        return error_response(404, f"ComputeNode '{ref}' is not registered")
    return web.json_response({
        "id": node.node_id, "entityRef": node.entity_ref, "status": node.status,
        "ipAddress": node.url_host, "hostname": node.url_host, "port": node.port,
        "capabilities": sorted(SUPPORTED_CAPS),
    })


async def catalog_version(request: web.Request) -> web.Response:
    return web.json_response(request.app["state"].db.version.snapshot())


async def info_schema_snapshot(request: web.Request) -> web.StreamResponse:
    state = request.app["state"]
    state.counters.event("snapshot_fetches")
    snapshot = await state.snapshots.get(state.db)
    writer = FramedWriter(request, state.counters, request["faults"])
    try:
        await writer.frame(json_frame(INIT, {"epoch": snapshot.epoch,
                                             "slots": [f"information_schema.{n}" for n in SLOT_NAMES]}))
        for index, data in enumerate(snapshot.slots):
            await writer.batch(batch_prefix(index, data.size), data)
        await writer.frame(eos_frame(0))
        await writer.finish()
    except (ClientGone, FaultEnded):
        pass
    return writer.response


def add_routes(app: web.Application) -> None:
    app.router.add_post("/api/v1/auth/token", login, name="login")
    app.router.add_post("/api/v1/nodes/recommend", recommend, name="recommend")
    app.router.add_post("/api/v1/nodes/recommend/{reservation}/confirm", confirm, name="confirm")
    app.router.add_post("/api/v1/nodes/recommend/{reservation}/abandon", abandon, name="abandon")
    app.router.add_get("/api/v1/admin/compute-nodes/by-ref/{ref:.+}", lookup_node, name="lookup")
    app.router.add_get("/api/v1/events/version", catalog_version, name="version")
    app.router.add_get("/api/v1/odbc/info_schema/snapshot", info_schema_snapshot, name="snapshot")

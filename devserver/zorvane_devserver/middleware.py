"""Per-request work common to all endpoints: counting, bearer-token check, errors as JSON, faults."""
from __future__ import annotations

import asyncio
import json
import logging

from aiohttp import web

from .faults import STREAM_ENDPOINTS, RequestFaults
from .framed_writer import abort_connection
from .json_api import error_response

log = logging.getLogger("zorvane_devserver")

PUBLIC_ENDPOINTS = {"login"}


def bearer_token(request: web.Request) -> str | None:
    header = request.headers.get("Authorization", "")
    scheme, _, token = header.partition(" ")
    if scheme.lower() != "bearer" or not token.strip():
        return None
    return token.strip()


@web.middleware
async def service_middleware(request: web.Request, handler):
    state = request.app["state"]
    server = request.app["server_name"]
    endpoint = request.match_info.route.name
    if endpoint is not None and endpoint.startswith("debug"):
        request.app["debug_transports"].mark(request, state.counters, server)
        return await handler(request)
    try:
        if endpoint is None:  # unknown path or method: let aiohttp raise, answered below
            return await handler(request)
        state.counters.request(server, endpoint)
        if endpoint not in PUBLIC_ENDPOINTS:
            token = bearer_token(request)
            session = state.tokens.lookup(token) if token else None
            if session is None:
                state.counters.event("unauthorized")
                return error_response(401, "Unauthorized: missing, unknown or expired bearer token",
                                      "unauthorized")
            request["session"] = session
        faults = state.faults.take(endpoint) if state.config.fault_injection else RequestFaults()
        request["faults"] = faults
        early = await _apply_request_faults(request, endpoint, faults)
        if early is not None:
            return early
        response = await handler(request)
        drip = faults.get("drip")
        if drip is not None and isinstance(response, web.Response) and endpoint not in STREAM_ENDPOINTS:
            return await _drip(request, response, drip)
        return response
    except web.HTTPException as exc:
        if exc.status < 400:
            raise
        return error_response(exc.status, exc.reason, exc.reason.lower().replace(" ", "_"))
    except asyncio.CancelledError:
        raise
    except Exception as exc:  # a bug must not kill the server or leak a stack trace as HTML
        log.exception("unhandled error in %s", request.path)
        return error_response(500, f"internal error: {exc}")


async def _apply_request_faults(request: web.Request, endpoint: str, faults: RequestFaults):
    delay = faults.get("delay")
    if delay is not None:
        await asyncio.sleep(delay.seconds)
    for kind in ("refuse_logins", "fail_confirmations", "http_status"):
        fault = faults.get(kind)
        if fault is not None:
            body = fault.body
            if body is None:
                body = json.dumps({"error": "injected_fault", "message": f"{kind} injected by test"})
            return web.Response(status=fault.status, body=body.encode(), content_type=fault.content_type)
    close = faults.get("close")
    if close is not None and (close.after_batches == 0 or endpoint not in STREAM_ENDPOINTS):
        abort_connection(request)
        return web.Response(status=500)  # never reaches the client
    return None


async def _drip(request: web.Request, response: web.Response, drip) -> web.StreamResponse:
    body = response.body or b""
    slow = web.StreamResponse(status=response.status, headers={"Content-Type": response.content_type})
    slow.content_length = len(body)
    await slow.prepare(request)
    for start in range(0, len(body), drip.chunk_bytes):
        await slow.write(body[start:start + drip.chunk_bytes])
        await asyncio.sleep(drip.interval)
    await slow.write_eof()
    return slow

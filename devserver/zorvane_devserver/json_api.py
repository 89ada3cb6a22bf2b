"""JSON request parsing and error bodies shared by every endpoint."""
from __future__ import annotations

import json

from aiohttp import web

MAX_JSON_BODY = 1024 * 1024


def error_response(status: int, message: str, code: str | None = None, **extra) -> web.Response:
    # "error" and "message" both carry the text: the driver reads "error" for
    # control-plane refusals and "message" for compute failures.
    body = {"error": code or message, "message": message}
    body.update(extra)
    return web.json_response(body, status=status)


class BadRequest(Exception):
    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


async def read_json_object(request: web.Request, allowed: dict[str, type | tuple], required=(),
                           empty_ok: bool = False) -> dict:
    """The request body as a JSON object whose members are exactly typed; raises BadRequest otherwise."""
    if request.content_length is not None and request.content_length > MAX_JSON_BODY:
        raise BadRequest(f"request body larger than {MAX_JSON_BODY} bytes")
    # read(n) returns what has arrived, not n bytes: collect up to the limit.
    raw = b""
    while len(raw) <= MAX_JSON_BODY:
        chunk = await request.content.read(MAX_JSON_BODY + 1 - len(raw))
        if not chunk:
            break
        raw += chunk
    if len(raw) > MAX_JSON_BODY:
        raise BadRequest(f"request body larger than {MAX_JSON_BODY} bytes")
    if not raw.strip() and empty_ok:
        return {}
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise BadRequest("request body is not valid UTF-8") from None
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as exc:
        raise BadRequest(f"malformed JSON: {exc}") from None
    if not isinstance(obj, dict):
        raise BadRequest("request body must be a JSON object")
    unknown = sorted(set(obj) - set(allowed))
    if unknown:
        raise BadRequest(f"unknown fields: {', '.join(unknown)}")
    for name in required:
        if name not in obj:
            raise BadRequest(f"missing field '{name}'")
    for name, value in obj.items():
        want = allowed[name]
        if isinstance(value, bool) and want is not bool and bool not in (want if isinstance(want, tuple) else ()):
            raise BadRequest(f"field '{name}' has the wrong type")
        if not isinstance(value, want):
            raise BadRequest(f"field '{name}' has the wrong type")
    return obj

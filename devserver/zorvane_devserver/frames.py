"""The binary frame format shared by the query stream, the snapshot and ingest.

A frame is an 8-byte header (type, three reserved bytes, big-endian u32 payload
length) followed by the payload.
"""
from __future__ import annotations

import asyncio
import json
import struct

INIT, BATCH, EOS, ERROR, TRACE, STATS = 1, 2, 3, 4, 5, 6
MAX_FRAME_PAYLOAD = 0x10000000  # 256 MiB; exactly this much is still allowed

_HEADER = struct.Struct(">B3xI")
_INDEX_HEADER = struct.Struct(">I4x")


class FrameError(Exception):
    """The peer sent bytes that are not a well-formed frame sequence."""


def frame_header(frame_type: int, length: int) -> bytes:
    return _HEADER.pack(frame_type, length)


def encode_frame(frame_type: int, payload: bytes = b"") -> bytes:
    return _HEADER.pack(frame_type, len(payload)) + payload


def json_frame(frame_type: int, obj: dict) -> bytes:
    return encode_frame(frame_type, json.dumps(obj, separators=(",", ":")).encode())


def batch_prefix(index: int, data_length: int) -> bytes:
    """Frame header plus the 8-byte batch header for a BATCH carrying data_length bytes."""
    return _HEADER.pack(BATCH, data_length + 8) + _INDEX_HEADER.pack(index)


def eos_frame(index: int = 0) -> bytes:
    return encode_frame(EOS, struct.pack(">I", index))


def stats_frame(stats: dict) -> bytes:
    return encode_frame(STATS, bytes(8) + json.dumps(stats, separators=(",", ":")).encode())


def error_frame(message: str, sqlstate: str | None = None, error_code: str | None = None) -> bytes:
    body = {"message": message}
    if sqlstate:
        body["sqlstate"] = sqlstate
    if error_code:
        body["errorCode"] = error_code
    return json_frame(ERROR, body)


async def read_frame(reader: asyncio.StreamReader) -> tuple[int, bytes] | None:
    """Next (type, payload) from an upload, or None when the body ends cleanly between frames.

    Raises FrameError for a truncated or oversized frame.
    """
    try:
        header = await reader.readexactly(8)
    except asyncio.IncompleteReadError as exc:
        if not exc.partial:
            return None
        raise FrameError(f"upload ended inside a frame header ({len(exc.partial)} of 8 bytes)") from None
    frame_type, length = _HEADER.unpack(header)
    if length > MAX_FRAME_PAYLOAD:
        raise FrameError(f"frame announces {length} payload bytes, more than the {MAX_FRAME_PAYLOAD}-byte limit")
    try:
        payload = await reader.readexactly(length) if length else b""
    except asyncio.IncompleteReadError as exc:
        raise FrameError(f"upload ended inside a frame ({len(exc.partial)} of {length} payload bytes)") from None
    return frame_type, payload

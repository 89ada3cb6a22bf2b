"""Writes a framed response body and applies the stream faults a test armed for it."""
from __future__ import annotations

import asyncio

from aiohttp import web

from . import STREAM_MEDIA_TYPE
from .counters import Counters
from .faults import RequestFaults
from .frames import EOS, error_frame

# Frames smaller than this together are held and sent as one chunk: a small
# answer (INIT, a batch, EOS) then costs one write instead of a write a frame.
# An answer held whole when it ends goes out with its headers in that one
# write, as a response with a length rather than a chunked stream.
COALESCE_BYTES = 64 * 1024


class ClientGone(Exception):
    """The client closed the connection while the response was being written."""


class FaultEnded(Exception):
    """An injected fault ended the response early; the handler just stops."""


def abort_connection(request: web.Request) -> None:
    transport = request.transport
    if transport is not None:
        transport.abort()


class FramedWriter:
    def __init__(self, request: web.Request, counters: Counters, faults: RequestFaults | None = None,
                 headers: dict[str, str] | None = None):
        """headers: the response's own, sent with the first bytes of the body."""
        self._request = request
        self._counters = counters
        self._faults = faults or RequestFaults()
        self._headers = headers or {}
        self._response: web.StreamResponse | None = None  # the stream, once something was sent
        self._whole: web.Response | None = None  # or the answer, when it was held whole
        self._body = None  # the stream's payload writer, for flow control
        self._batches = 0
        self._fired: set[str] = set()
        self.bytes_sent = 0
        # Held frames; never with faults armed, so a fault sees every frame
        # before it on the wire as it fires.
        self._held: list[memoryview] = []
        self._held_bytes = 0
        self._coalesce = not self._faults

    @property
    def request(self) -> web.Request:
        return self._request

    @property
    def response(self) -> web.StreamResponse:
        """What the handler returns; a plain 500 if the stream never started (the client sees nothing anyway)."""
        if self._whole is not None:
            return self._whole
        return self._response if self._response is not None and self._response.prepared else web.Response(status=500)

    async def _start_stream(self) -> None:
        resp = web.StreamResponse(status=200, headers=self._headers)
        resp.content_type = STREAM_MEDIA_TYPE
        resp.enable_chunked_encoding()
        self._response = resp
        try:
            self._body = await resp.prepare(self._request)
        except ConnectionError as exc:
            raise self._gone() from exc

    async def batch(self, *pieces) -> None:
        """One BATCH frame given as consecutive byte pieces (header first)."""
        await self._before_frame(pieces)
        await self._write(pieces)
        self._batches += 1

    async def frame(self, data: bytes) -> None:
        if data[0] == EOS:
            await self._before_frame((data,))
        await self._write((data,))

    async def flush(self) -> None:
        """Sends the frames held so far; called before the handler waits for more."""
        if self._held:
            await self._send((self._take_held(),))

    async def finish(self) -> None:
        if self._response is None:  # nothing sent yet: every frame is held
            body = self._take_held()
            self._whole = web.Response(status=200, headers=self._headers, body=body,
                                       content_type=STREAM_MEDIA_TYPE)
            self.bytes_sent += len(body)
            return
        await self.flush()
        try:
            await self._response.write_eof()
        except ConnectionError as exc:
            raise self._gone() from exc

    def _take_held(self) -> bytes:
        held, self._held, self._held_bytes = self._held, [], 0
        return b"".join(held)

    async def _before_frame(self, pieces) -> None:
        for kind in ("stall", "error_frame", "truncate", "close"):
            fault = self._faults.get(kind)
            if fault is None or kind in self._fired or self._batches < fault.after_batches:
                continue
            if kind == "close" and fault.after_batches == 0:
                continue  # handled before the response started
            self._fired.add(kind)
            if kind == "stall":
                await asyncio.sleep(fault.seconds)
            elif kind == "error_frame":
                await self._write((error_frame(fault.message, fault.sqlstate),))
                await self.finish()
                raise FaultEnded()
            elif kind == "truncate":
                frame = b"".join(bytes(p) for p in pieces)  # only on this test path
                await self._write((frame[: max(1, len(frame) // 2)],))
                await self.finish()  # a well-formed HTTP body that ends inside a frame
                raise FaultEnded()
            else:
                abort_connection(self._request)
                raise FaultEnded()

    async def _write(self, pieces) -> None:
        views = [memoryview(p) for p in pieces]
        size = sum(v.nbytes for v in views)
        if self._coalesce and self._held_bytes + size <= COALESCE_BYTES:
            self._held.extend(views)
            self._held_bytes += size
            return
        await self.flush()
        await self._send(views)

    async def _send(self, pieces) -> None:
        drip = self._faults.get("drip")
        try:
            if self._response is None:
                await self._start_stream()
            if drip is not None:
                await self._write_dripping(pieces, drip)
            else:
                await self._write_chunk(pieces)
            self.bytes_sent += sum(memoryview(p).nbytes for p in pieces)
        except ConnectionError as exc:
            raise self._gone() from exc

    async def _write_chunk(self, pieces) -> None:
        """All pieces as one HTTP chunk, handed to the transport as they are.

        aiohttp would join each chunk with its size line into a new bytes
        object; batch payloads are large, so the chunk framing is written here
        and the payload buffers go to the socket without being copied first.
        """
        transport = self._request.transport
        if transport is None or transport.is_closing():
            raise ConnectionResetError("the client closed the connection")
        size = sum(memoryview(p).nbytes for p in pieces)
        transport.write(b"%x\r\n" % size)
        for piece in pieces:
            transport.write(memoryview(piece))
        transport.write(b"\r\n")
        await self._body.drain()

    async def _write_dripping(self, pieces, drip) -> None:
        for piece in pieces:
            view = memoryview(piece)
            for start in range(0, view.nbytes, drip.chunk_bytes):
                await self._response.write(view[start:start + drip.chunk_bytes])
                await asyncio.sleep(drip.interval)

    def _gone(self) -> ClientGone:
        self._counters.event("client_disconnects")
        return ClientGone()

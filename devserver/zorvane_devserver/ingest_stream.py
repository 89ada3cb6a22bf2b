"""Compute endpoint POST /api/v1/ingest/stream: reads a framed upload frame by frame and loads it atomically."""
from __future__ import annotations

import asyncio
import logging
import time

import duckdb
from aiohttp import web

from . import STREAM_MEDIA_TYPE
from .frames import BATCH, EOS, INIT, FrameError, error_frame, read_frame, stats_frame
from .ingest_header import IngestError, IngestHeader, parse_header
from .land_load import LandLoad
from .payload import decode_payload
from .sqlstate import BAD_PARAMETER, sqlstate_for
from .table_load import TableLoad

log = logging.getLogger("zorvane_devserver")


class UploadAborted(Exception):
    """The client went away before the upload's EOS frame."""


async def _next_frame(request: web.Request):
    try:
        frame = await read_frame(request.content)
    except FrameError as exc:
        raise IngestError(str(exc), BAD_PARAMETER) from None
    except (ConnectionError, asyncio.IncompleteReadError) as exc:
        raise UploadAborted(str(exc)) from None
    except Exception as exc:  # aiohttp reports a broken chunked body with its own payload errors
        if type(exc).__module__.startswith("aiohttp"):
            raise UploadAborted(str(exc)) from None
        raise
    return frame


async def _drain(request: web.Request) -> None:
    """Reads and drops the rest of an upload whose result is already known (a replay)."""
    while True:
        frame = await _next_frame(request)
        if frame is None or frame[0] == EOS:
            return


async def _next_batch_data(request: web.Request) -> memoryview | None:
    """The data of the next non-empty BATCH frame (a view, not a copy), or None after EOS."""
    while True:
        frame = await _next_frame(request)
        if frame is None:
            raise IngestError("upload ended without an EOS frame; nothing was loaded", BAD_PARAMETER)
        frame_type, payload = frame
        if frame_type == EOS:
            return None
        if frame_type == INIT:
            raise IngestError("a second INIT frame in one upload", BAD_PARAMETER)
        if frame_type != BATCH:
            raise IngestError(f"unexpected frame type {frame_type} in an upload", BAD_PARAMETER)
        if len(payload) < 8:
            raise IngestError(f"BATCH frame of {len(payload)} bytes is shorter than its 8-byte header",
                              BAD_PARAMETER)
        if len(payload) > 8:
            return memoryview(payload)[8:]


def _add(loader: TableLoad | LandLoad, header: IngestHeader, table, data: memoryview) -> None:
    if isinstance(loader, LandLoad):
        loader.add(table, data if header.payload_format == "parquet" else None)
    else:
        loader.add(table)


async def _add_decoded(loader: TableLoad | LandLoad, header: IngestHeader, data: memoryview,
                       decoding: asyncio.Future) -> None:
    table = await decoding
    await asyncio.get_running_loop().run_in_executor(None, _add, loader, header, table, data)


async def _settled_error(pending: asyncio.Future | None) -> BaseException | None:
    """Waits for a decode or batch load in flight (the loader is used by one thread at a time) and returns its
    error."""
    if pending is None:
        return None
    if not pending.done():
        await asyncio.wait([pending])
    return None if pending.cancelled() else pending.exception()


async def _load_batches(request: web.Request, header: IngestHeader, loader: TableLoad | LandLoad) -> None:
    """Loads every batch of the upload in order. While DuckDB loads one batch, the next one is received and
    decoded (a Parquet payload costs a decode an Arrow IPC one does not), so at most one decoded batch waits."""
    loop = asyncio.get_running_loop()
    adding: asyncio.Future | None = None
    decoding: asyncio.Future | None = None
    try:
        while (data := await _next_batch_data(request)) is not None:
            decoding = loop.run_in_executor(None, decode_payload, data, header.payload_format)
            if adding is not None:
                await asyncio.shield(adding)  # a cancelled handler must not leave it running unseen
            adding = asyncio.ensure_future(_add_decoded(loader, header, data, decoding))
            decoding = None  # awaited by the batch load from here on
        if adding is not None:
            await asyncio.shield(adding)
    except asyncio.CancelledError:
        await _settled_error(decoding)
        await _settled_error(adding)
        raise
    except BaseException:
        await _settled_error(decoding)
        # A batch that failed came before whatever went wrong with the frames after it.
        earlier = await _settled_error(adding)
        if earlier is not None:
            raise earlier from None
        raise


async def _load(request: web.Request, header: IngestHeader) -> dict:
    state = request.app["state"]
    started = time.monotonic()
    if header.mode == "land":
        loader = LandLoad(state.storage_root, header)
    else:
        try:
            loader = await asyncio.to_thread(TableLoad, state.db, header)
        except duckdb.Error as exc:
            raise IngestError(str(exc), sqlstate_for(exc)) from None
    try:
        await _load_batches(request, header, loader)
        landed = await asyncio.to_thread(loader.commit)
    except BaseException:
        await asyncio.to_thread(loader.rollback)
        state.counters.event("ingests_rolled_back")
        raise
    state.counters.event("ingests_committed")
    version = state.db.version.bump("tables_version") if loader.changed else state.db.version.sequence
    stats = {"rows_inserted": loader.rows_inserted, "rows_updated": loader.rows_updated,
             "rows_deleted": loader.rows_deleted, "commit_version": version,
             "duration_ms": round((time.monotonic() - started) * 1000, 3), "idempotent_replay": False,
             "landed_paths": landed, "mode": header.mode}
    return stats


async def _run(request: web.Request) -> bytes:
    state = request.app["state"]
    first = await _next_frame(request)
    if first is None or first[0] != INIT:
        raise IngestError("bad ingest header: the upload must start with an INIT frame", BAD_PARAMETER)
    header = parse_header(first[1])
    if not header.idempotency_key:
        return stats_frame(await _load(request, header))
    user = request["session"].user
    async with state.idempotency.lock(user, header.idempotency_key):
        prior = state.idempotency.get(user, header)
        if prior is not None:
            await _drain(request)
            state.counters.event("ingest_replays")
            return stats_frame(dict(prior, idempotent_replay=True))
        stats = await _load(request, header)
        state.idempotency.put(user, header, stats)
        return stats_frame(stats)


async def ingest_stream(request: web.Request) -> web.StreamResponse:
    state = request.app["state"]
    try:
        body = await _run(request)
    except IngestError as exc:
        body = error_frame(exc.message, exc.sqlstate)
    except UploadAborted:
        state.counters.event("client_disconnects")
        body = error_frame("upload aborted by the client before EOS; nothing was loaded", "08006")
    except Exception as exc:  # the client still gets a frame it can read, not an HTML page
        log.exception("ingest failed")
        body = error_frame(f"internal error: {exc}", "HY000")
    return web.Response(status=200, body=body, content_type=STREAM_MEDIA_TYPE)

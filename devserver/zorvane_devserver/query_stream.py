"""Compute endpoint POST /api/v1/query/stream/binary: runs SQL and streams the result as frames."""
from __future__ import annotations

import asyncio
import uuid

import duckdb
import pyarrow as pa
from aiohttp import web

from .arrow_ipc import DEFAULT_MAX_BATCH_BYTES, encoded_size, schema_base64
from .framed_writer import ClientGone, FaultEnded, FramedWriter
from .frames import INIT, MAX_FRAME_PAYLOAD, batch_prefix, eos_frame, error_frame, json_frame
from .json_api import BadRequest, error_response, read_json_object
from .query_runner import QueryRun
from .sqlstate import error_code_for, http_status_for, sqlstate_for


def _max_batch_bytes(body: dict) -> int:
    options = body.get("stream_options")
    if options is None:
        return DEFAULT_MAX_BATCH_BYTES
    unknown = set(options) - {"max_batch_bytes"}
    if unknown:
        raise BadRequest(f"unknown stream_options fields: {', '.join(sorted(unknown))}")
    value = options.get("max_batch_bytes", DEFAULT_MAX_BATCH_BYTES)
    if not isinstance(value, int) or isinstance(value, bool) or value <= 0:
        raise BadRequest("stream_options.max_batch_bytes must be a positive integer")
    return min(value, MAX_FRAME_PAYLOAD - 8)


async def query_stream(request: web.Request) -> web.StreamResponse:
    state = request.app["state"]
    node_ref = request.headers.get("x-zorvane-node", "").strip()
    if node_ref and state.nodes.find(node_ref) is None:
        return error_response(404, f"compute node not found: ComputeNode='{node_ref}' is not registered")
    try:
        body = await read_json_object(request, {"sql": str, "stream_options": dict}, required=("sql",))
        max_bytes = _max_batch_bytes(body)
    except BadRequest as exc:
        return error_response(400, exc.message)
    if not body["sql"].strip():
        return error_response(400, "sql must not be empty")

    state.counters.event("queries")
    run = QueryRun(state.db, body["sql"])

    def execute_with_head():
        # One trip to a worker thread for the whole of a small answer.
        result_sets = run.execute()
        try:
            head, ended = run.head(max_bytes)
        except Exception as exc:  # a failure while reading goes out after INIT, as an ERROR frame
            return result_sets, [], False, exc
        if ended:
            run.close()
        return result_sets, head, ended, None

    head_ended = False
    try:
        result_sets, head, head_ended, head_error = await _unless_client_leaves(
            request, run, asyncio.get_running_loop().run_in_executor(None, execute_with_head))
    except ClientGone:
        await asyncio.to_thread(run.close)
        return web.Response(status=499)
    except (duckdb.Error, pa.ArrowException, OSError) as exc:
        # A statement of a script that fails while its rows are read (to
        # free the connection for the next) fails through DuckDB's Arrow reader.
        run.close()
        return error_response(http_status_for(exc), str(exc), sqlstate=sqlstate_for(exc),
                              errorCode=error_code_for(exc))

    stream_id = uuid.uuid4().hex
    writer = FramedWriter(request, state.counters, request["faults"], {"x-zorvane-stream-id": stream_id})
    try:
        await writer.frame(json_frame(INIT, {"streamId": stream_id, "resultSets": [
            {"rowsAffected": rs.rows_affected, "schemaIpc": schema_base64(rs.schema),
             "statementType": rs.statement_type} for rs in result_sets]}))
        if head_error is not None:
            raise head_error
        for encoded in head:
            for pieces in encoded:
                await writer.batch(batch_prefix(0, encoded_size(pieces)), *pieces)
        for index in range(len(result_sets)):
            if not (index == 0 and head_ended):
                await _stream_result_set(run, index, max_bytes, writer)
            await writer.frame(eos_frame(index))
        await writer.finish()
    except (ClientGone, FaultEnded):
        run.interrupt()
    except Exception as exc:  # DuckDB errors surface through the Arrow reader as Arrow/OS errors
        try:
            await writer.frame(error_frame(str(exc), sqlstate_for(exc), error_code_for(exc)))
            await writer.finish()
        except ClientGone:
            pass
    finally:
        if not head_ended:
            await asyncio.to_thread(run.close)
    return writer.response


def _client_gone(request: web.Request) -> bool:
    transport = request.transport
    return transport is None or transport.is_closing()


async def _unless_client_leaves(request: web.Request, run: QueryRun, work: asyncio.Future):
    """Awaits DuckDB work running in a thread (an executor's future, so the work
    is under way before this waits); when the client goes away first (a
    cancelled query), DuckDB is interrupted so it stops using the CPU, and
    ClientGone is raised once the thread has given up."""
    while True:
        done, _ = await asyncio.wait({work}, timeout=0.05)
        if done:
            return work.result()
        if _client_gone(request):
            run.interrupt()
            counters = request.app["state"].counters
            counters.event("client_disconnects")
            counters.event("queries_interrupted")
            try:
                await work
            except Exception:
                pass
            raise ClientGone()


async def _stream_result_set(run: QueryRun, index: int, max_bytes: int, writer: FramedWriter) -> None:
    # Encode the next DuckDB batch in a worker thread while the current one is on the wire.
    loop = asyncio.get_running_loop()
    pending = loop.run_in_executor(None, run.next_encoded, index, max_bytes)
    try:
        while True:
            if not pending.done():
                await writer.flush()  # what is held goes out while the next batch is made
            encoded = await _unless_client_leaves(writer.request, run, pending)
            if encoded is None:
                return
            pending = loop.run_in_executor(None, run.next_encoded, index, max_bytes)
            for pieces in encoded:
                await writer.batch(batch_prefix(index, encoded_size(pieces)), *pieces)
    finally:
        if not pending.done():
            run.interrupt()
            # asyncio.wait cancelled nothing: the executor future is still ours.
            try:
                await pending
            except Exception:
                pass

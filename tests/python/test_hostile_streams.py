"""Result streams from a hostile compute node: malformed Arrow payloads are
refused before the host reads them, every batch of a frame arrives, and a
body without its end-of-stream frame, or with frames after it, is an error."""

import base64
import struct

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi
import numpy as np
import pyarrow as pa
import pytest
from hostile_server import BATCH, HostileServer, Reply, batch_frame, eos_frame, frame, framed, init_frame

QUERY = "/api/v1/query/stream/binary"


def ipc(*batches):
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, batches[0].schema) as writer:
        for batch in batches:
            writer.write_batch(batch)
    return sink.getvalue().to_pybytes()


def names(count=3):
    """"row0".."row2": utf8 offsets 0, 4, 8, 12."""
    return pa.record_batch([pa.array([f"row{i}" for i in range(count)])], names=["name"])


def patched(data, old, new):
    assert old in data
    return data.replace(old, new)


OFFSETS = struct.pack("<4i", 0, 4, 8, 12)
LENGTH = struct.pack("<2q", 3, 0)  # a field node: length 3, no nulls

EOS_MARKER = struct.pack("<iI", -1, 0)


def mismatched(schema_batch, body_batch):
    """A stream whose schema message comes from one batch and whose record
    batch message from another, so the batch carries the wrong children."""
    return (schema_batch.schema.serialize().to_pybytes()
            + body_batch.serialize().to_pybytes() + EOS_MARKER)


def pairs(*fields):
    return pa.record_batch([pa.StructArray.from_arrays(
        [pa.array([1, 2, 3], pa.int32()) for _ in fields], names=list(fields))], names=["s"])


MALFORMED = [
    pytest.param(patched(ipc(names()), OFFSETS, struct.pack("<4i", 0, 4, 8, 1 << 30)),
                 id="offset-past-data"),
    pytest.param(patched(ipc(names()), OFFSETS, struct.pack("<4i", 0, 8, 4, 12)),
                 id="offsets-backwards"),
    pytest.param(patched(ipc(names()), LENGTH, struct.pack("<2q", -3, 0)), id="negative-length"),
    pytest.param(patched(ipc(names()), LENGTH, struct.pack("<2q", 1 << 40, 0)),
                 id="length-beyond-buffers"),
    pytest.param(ipc(names())[:-20], id="truncated-buffers"),
    pytest.param(mismatched(pairs("a", "b"), pairs("a")), id="too-few-children"),
    pytest.param(mismatched(names(), pa.record_batch([pa.array([1, 2, 3]), pa.array([4, 5, 6])],
                                                     names=["a", "b"])), id="extra-column"),
]


def run(driver_path, compute, sql="SELECT name FROM t"):
    """The query's table, or the error raised while executing or reading it."""
    conn = adbc_driver_manager.dbapi.connect(
        driver=driver_path,
        db_kwargs={"uri": compute.url, "adbc.zorvane.session_token": "tok",
                   "adbc.zorvane.compute_url": compute.url})
    try:
        with conn.cursor() as cur:
            try:
                cur.execute(sql)
                return cur.fetch_arrow_table()
            except (dm.Error, OSError) as err:
                return err
    finally:
        conn.close()


@pytest.fixture
def compute():
    with HostileServer() as srv:
        yield srv


@pytest.mark.parametrize("payload", MALFORMED)
def test_malformed_batches_are_refused(driver_path, compute, payload):
    compute.route("POST", QUERY, framed(init_frame(), batch_frame(payload), eos_frame()))
    result = run(driver_path, compute)
    assert isinstance(result, Exception), result
    assert "IPC decode (batch): " in str(result)


def test_surplus_children_are_never_read_as_the_declared_ones(driver_path, compute):
    # The schema declares one child; the batch message carries two. The reader
    # takes exactly the declared child from its own buffers.
    compute.route("POST", QUERY, framed(init_frame(),
                                        batch_frame(mismatched(pairs("a"), pairs("a", "b"))),
                                        eos_frame()))
    table = run(driver_path, compute)
    assert not isinstance(table, Exception), table
    assert table.schema == pairs("a").schema
    assert table.column("s").to_pylist() == [{"a": 1}, {"a": 2}, {"a": 3}]


def numbers(arrow_type):
    return pa.record_batch([pa.array([1, 2, 3], arrow_type)], names=["name"])


def schema_text(batch):
    return base64.b64encode(batch.schema.serialize().to_pybytes() + EOS_MARKER).decode()


@pytest.mark.parametrize("frames", [
    [init_frame(), batch_frame(ipc(numbers(pa.int64()))), batch_frame(ipc(numbers(pa.int32())))],
    [init_frame({"resultSets": [{"schemaIpc": schema_text(numbers(pa.int64()))}]}),
     batch_frame(ipc(numbers(pa.int32())))],
], ids=["later-frame", "init-schema"])
def test_batches_of_another_schema_than_the_results_are_refused(driver_path, compute, frames):
    # The host reads every batch under the stream's one schema: an int32 batch
    # read as int64 would run past its buffer.
    compute.route("POST", QUERY, framed(*frames, eos_frame()))
    result = run(driver_path, compute)
    assert isinstance(result, Exception), result
    assert "a result batch's schema (name: int32) differs from the result's (name: int64)" in str(result)


def test_compressed_buffers_may_not_decode_past_the_frame_ceiling(driver_path, compute):
    # 10 KiB of ZSTD that decompress to 288 MiB, more than any frame may hold.
    zeros = pa.record_batch([pa.array(np.zeros(36 << 20, np.int64))], names=["z"])
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, zeros.schema, options=pa.ipc.IpcWriteOptions(compression="zstd")) as writer:
        writer.write_batch(zeros)
    compute.route("POST", QUERY, framed(init_frame(), batch_frame(sink.getvalue().to_pybytes()), eos_frame()))
    result = run(driver_path, compute, "SELECT z FROM t")
    assert isinstance(result, Exception), result
    assert "decompressed buffers exceed what one frame may hold" in str(result)


@pytest.mark.timeout(60, method="thread")
def test_an_endless_error_body_ends_the_query_with_the_servers_failure(driver_path, compute):
    compute.route("POST", QUERY, lambda _req: Reply(503, {"Content-Type": "text/plain"},
                                                    b"node overloaded; " * 4096, endless=True))
    result = run(driver_path, compute)
    assert isinstance(result, Exception), result
    assert "node overloaded" in str(result)


def test_every_batch_of_a_frame_arrives(driver_path, compute):
    batches = [names(3), names(5), names(2)]
    compute.route("POST", QUERY, framed(init_frame(), batch_frame(ipc(*batches)),
                                        batch_frame(ipc(names(4))), eos_frame()))
    table = run(driver_path, compute)
    assert not isinstance(table, Exception), table
    assert table.num_rows == 3 + 5 + 2 + 4


@pytest.mark.parametrize("frames, message", [
    ([init_frame(), batch_frame(ipc(names()))],
     "the result stream ended without its end-of-stream frame"),
    ([init_frame()], "the result stream ended without its end-of-stream frame"),
    ([init_frame({"resultSets": [{}, {}]}), batch_frame(ipc(names())), eos_frame(1)],
     "the result stream ended without its end-of-stream frame"),
    ([init_frame(), batch_frame(ipc(names())), eos_frame(), batch_frame(ipc(names()))],
     "the result stream continued after its end-of-stream frame (frame type BATCH followed it)"),
    ([init_frame(), eos_frame(), frame(99, b"x")],
     "the result stream continued after its end-of-stream frame (frame type unknown followed it)"),
    ([init_frame(), eos_frame(), struct.pack(">B3xI", BATCH, 100)],
     "stream ended mid-frame (truncated binary response)"),
], ids=["no-eos", "init-only", "eos-of-second-only", "batch-after-eos", "unknown-after-eos",
        "partial-frame-after-eos"])
def test_a_body_must_end_with_its_eos_and_nothing_after(driver_path, compute, frames, message):
    compute.route("POST", QUERY, framed(*frames))
    result = run(driver_path, compute)
    assert isinstance(result, Exception), result
    assert message in str(result)


def decimals(*unscaled):
    """DECIMAL(5,2) values from their unscaled integers, whatever their size."""
    data = b"".join(v.to_bytes(16, "little", signed=True) for v in unscaled)
    array = pa.Array.from_buffers(pa.decimal128(5, 2), len(unscaled), [None, pa.py_buffer(data)])
    return pa.record_batch([array], names=["d"])


def test_decimals_are_checked_for_their_layout_not_their_precision(driver_path, compute):
    # A value beyond its declared precision protects no reader's memory: it
    # reaches the host as sent. A data buffer too short for the length does not.
    over = decimals(12345678, 1)
    compute.route("POST", QUERY, framed(init_frame(), batch_frame(ipc(over)), eos_frame()))
    table = run(driver_path, compute)
    assert not isinstance(table, Exception), table
    assert table.column("d").chunk(0).buffers()[1].to_pybytes() == over.column(0).buffers()[1].to_pybytes()

    short = patched(ipc(decimals(1, 2, 3)), struct.pack("<2q", 3, 0), struct.pack("<2q", 4, 0))
    compute.route("POST", QUERY, framed(init_frame(), batch_frame(short), eos_frame()))
    result = run(driver_path, compute)
    assert isinstance(result, Exception) and "IPC decode (batch): " in str(result), result


def nested_text():
    """A list<string> column whose strings are not UTF-8 ("ab\\xff", "\\xfe"): utf8 offsets 0, 3, 4."""
    values = pa.Array.from_buffers(pa.utf8(), 2, [None, pa.py_buffer(struct.pack("<3i", 0, 3, 4)),
                                                  pa.py_buffer(b"ab\xff\xfe")])
    return pa.record_batch([pa.ListArray.from_arrays(pa.array([0, 1, 2], pa.int32()), values)], names=["l"])


def test_nested_values_are_passed_as_sent_and_nested_offsets_checked(driver_path, compute):
    # Inside lists as at the top: text that is not UTF-8 reaches the host as
    # sent; an offset of the nested text past its data does not.
    batch = nested_text()
    compute.route("POST", QUERY, framed(init_frame(), batch_frame(ipc(batch)), eos_frame()))
    table = run(driver_path, compute)
    assert not isinstance(table, Exception), table
    assert table.column("l").chunk(0).values.buffers()[2].to_pybytes() == b"ab\xff\xfe"

    broken = patched(ipc(batch), struct.pack("<3i", 0, 3, 4), struct.pack("<3i", 0, 3, 1 << 20))
    compute.route("POST", QUERY, framed(init_frame(), batch_frame(broken), eos_frame()))
    result = run(driver_path, compute)
    assert isinstance(result, Exception) and "IPC decode (batch): " in str(result), result

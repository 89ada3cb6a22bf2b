"""Writes the seed corpus of the stream fuzz targets into corpus/<target>/.

Run from anywhere with the project's Python: .venv/bin/python
tests/fuzz/stream/make_seed_corpus.py. The files it writes are committed, so
rerun it only when the seeds should change.
"""

import base64
import json
import pathlib
import struct

import pyarrow as pa
import pyarrow.ipc as ipc

HERE = pathlib.Path(__file__).resolve().parent


def frame(frame_type: int, payload: bytes, reserved: bytes = b"\0\0\0") -> bytes:
    return bytes([frame_type]) + reserved + struct.pack(">I", len(payload)) + payload


def ipc_stream(batches, schema, compression=None) -> bytes:
    sink = pa.BufferOutputStream()
    with ipc.new_stream(sink, schema, options=ipc.IpcWriteOptions(compression=compression)) as w:
        for batch in batches:
            w.write_batch(batch)
    return sink.getvalue().to_pybytes()


def main() -> None:
    batch = pa.record_batch(
        {"id": pa.array([1, 2, None], pa.int64()), "name": pa.array(["a", None, "ccc"])}
    )
    tagged = batch.replace_schema_metadata({"ARROW:experimental_compression": "zstd"})
    schema_only = ipc_stream([], batch.schema)
    one_batch = ipc_stream([batch], batch.schema)
    seeds = {
        "ipc": {
            "schema_only": schema_only,
            "one_batch": one_batch,
            "two_batches": ipc_stream([batch, batch], batch.schema),
            "zstd_tagged": ipc_stream([tagged], tagged.schema, compression="zstd"),
            "nested": ipc_stream(
                [pa.record_batch({"l": pa.array([[1, 2], None, []]),
                                  "d": pa.array(["x", "y", "x"]).dictionary_encode()})],
                pa.schema([("l", pa.list_(pa.int64())), ("d", pa.dictionary(pa.int32(), pa.utf8()))]),
            ),
        },
        "base64": {
            "schema": base64.b64encode(schema_only),
            "one_pad": b"QQ==",
            "two_pad": b"QUI=",
            "no_pad": b"QUJD",
            "misplaced_pad": b"QQ==QUJD",
            "newline": b"QUJD\nQUJD",
        },
        "frames": {
            # The first byte chooses the chunking; the rest is the stream.
            "query_stream": b"\x05"
            + frame(1, json.dumps({"streamId": "s1", "resultSets": [
                {"rowsAffected": -1, "schemaIpc": base64.b64encode(schema_only).decode()}]}).encode())
            + frame(2, struct.pack(">II", 0, 0) + one_batch)
            + frame(5, b"trace text", reserved=b"\x01\x02\x03")
            + frame(3, b"\0\0\0\0"),
            "zero_length_and_partial": b"\x00" + frame(2, b"") + frame(4, b'{"message":"boom"}') + frame(6, b"abc")[:5],
            "stop_frame": b"\x02" + frame(1, b"{}") + frame(0xEE, b"stop") + frame(2, b"after"),
            "oversized": b"\x01" + frame(2, b"x") + bytes([2, 0, 0, 0, 0x10, 0, 0, 1]),
            "ceiling": b"\x03" + bytes([2, 0, 0, 0, 0x10, 0, 0, 0]) + b"partial",
        },
        "http1": {
            # The first byte seeds the chunking; the rest is the response.
            "chunked": b"\x07HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            + b"5;x=y\r\n" + frame(3, b"\0") + b"\r\n3\r\nabc\r\n0\r\nT: v\r\n\r\n",
            "length_after_continue": b"\x02HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 401 No\r\n"
            + b"Content-Length: 4\r\nConnection: close\r\n\r\nnope",
            "to_close": b"\x09HTTP/1.0 200 OK\r\nLocation: /x\r\n\r\nbody until the end",
        },
    }
    for target, files in seeds.items():
        directory = HERE / "corpus" / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()

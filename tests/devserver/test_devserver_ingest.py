"""Ingest uploads: modes, payload formats, idempotency, SQLSTATEs and atomicity."""
import base64
import json
import socket
import struct
from pathlib import Path
from urllib.parse import urlsplit

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from frame_client import (
    BATCH,
    EOS,
    INIT,
    arrow_header,
    frame,
    ingest,
    ipc_bytes,
    login,
    parquet_bytes,
    query,
    upload_frames,
)

SCHEMA = pa.schema([("id", pa.int32()), ("name", pa.string())])


def rows(ids, prefix="n"):
    return pa.record_batch([pa.array(ids, pa.int32()), pa.array([f"{prefix}{i}" for i in ids])], schema=SCHEMA)


@pytest.fixture(scope="module")
def node(devserver):
    return devserver.node_urls["compute-2"], login(devserver.url)


@pytest.fixture
def table(node):
    url, token = node
    query(url, token, "CREATE OR REPLACE TABLE ing (id INTEGER PRIMARY KEY, name VARCHAR NOT NULL)")
    query(url, token, "INSERT INTO ing VALUES (1, 'one'), (2, 'two')")
    return "ing"


def content(node, sql="SELECT id, name FROM ing ORDER BY id"):
    return query(*node, sql).table().to_pylist()


def send(node, header, payloads, eos=True):
    return ingest(node[0], node[1], upload_frames(header, payloads, eos))


def test_append_streams_batches_into_the_table(node, table, devserver):
    seq = devserver.state()["catalog_version"]["sequence"]
    r = send(node, arrow_header(table, SCHEMA), [ipc_bytes(rows([3, 4])), ipc_bytes(rows([5]))])
    assert r.status == 200 and len(r.frames) == 1
    stats = r.stats
    assert (stats["rows_inserted"], stats["rows_updated"], stats["rows_deleted"]) == (3, 0, 0)
    assert stats["idempotent_replay"] is False and stats["commit_version"] > seq
    assert [row["id"] for row in content(node)] == [1, 2, 3, 4, 5]


def test_upsert_overwrite_and_parquet(node, table):
    r = send(node, arrow_header(table, SCHEMA, "upsert", key_columns=["id"]), [ipc_bytes(rows([2, 3], "u"))])
    assert (r.stats["rows_inserted"], r.stats["rows_updated"]) == (1, 1)
    assert content(node) == [{"id": 1, "name": "one"}, {"id": 2, "name": "u2"}, {"id": 3, "name": "u3"}]
    header = {"target_table": "main.ing", "mode": "overwrite", "payload_format": "parquet", "key_columns": []}
    r = send(node, header, [parquet_bytes(rows([7, 8]))])
    assert (r.stats["rows_inserted"], r.stats["rows_deleted"]) == (2, 3)
    assert [row["id"] for row in content(node)] == [7, 8]


def test_overwrite_creates_a_missing_table_and_empty_upload_keeps_schema(node):
    url, token = node
    query(url, token, "DROP TABLE IF EXISTS fresh")
    r = send(node, arrow_header("fresh", SCHEMA, "overwrite"), [])
    assert r.stats["rows_inserted"] == 0
    assert query(url, token, "SELECT * FROM fresh").schema().names == ["id", "name"]


def test_land_writes_files_under_the_storage_root(node, devserver):
    header = {"target_location": "landing/run1", "mode": "land", "payload_format": "arrow_ipc", "key_columns": []}
    r = send(node, header, [ipc_bytes(rows([1, 2])), ipc_bytes(rows([3]))])
    paths = r.stats["landed_paths"]
    root = Path(devserver.state()["storage_root"])
    assert len(paths) == 2 and all(Path(p).parent == root / "landing" / "run1" for p in paths)
    assert sum(pq.read_table(p).num_rows for p in paths) == 3 == r.stats["rows_inserted"]
    bad = dict(header, target_location="../escape")
    assert send(node, bad, [ipc_bytes(rows([1]))]).error["sqlstate"] == "22023"


def test_idempotency_key_replays_first_statistics(node, table, devserver):
    header = arrow_header(table, SCHEMA, idempotency_key="load-42")
    first = send(node, header, [ipc_bytes(rows([10, 11]))]).stats
    second = send(node, header, [ipc_bytes(rows([10, 11]))]).stats
    assert second == dict(first, idempotent_replay=True)
    assert [row["id"] for row in content(node)] == [1, 2, 10, 11]


@pytest.mark.parametrize("case,sqlstate", [
    ("unknown table", "42S02"), ("unknown column", "42S22"), ("bad cast", "22018"),
    ("key violation", "23000"), ("coerce off", "22018"), ("unknown header field", "22023"),
    ("bad mode", "22023"), ("header not json", "22023"), ("no init", "22023"), ("bad payload", "22023"),
    ("offsets past the data", "22023"), ("upsert without keys", "22023")])
def test_failures_carry_a_sqlstate_and_change_nothing(node, table, case, sqlstate):
    good = arrow_header(table, SCHEMA)
    payloads = [ipc_bytes(rows([50, 51]))]
    frames = None
    if case == "unknown table":
        good["target_table"] = "no_such_table"
    elif case == "unknown column":
        payloads.append(ipc_bytes(pa.table({"id": pa.array([60], pa.int32()), "extra": ["x"]})))
    elif case == "bad cast":
        payloads.append(ipc_bytes(pa.table({"id": ["not a number"], "name": ["x"]})))
    elif case == "key violation":
        payloads.append(ipc_bytes(rows([1])))
    elif case == "coerce off":
        good["coerce"] = False
        payloads = [ipc_bytes(pa.table({"id": pa.array([70], pa.int64()), "name": ["x"]}))]
    elif case == "unknown header field":
        good["surprise"] = 1
    elif case == "bad mode":
        good["mode"] = "merge"
    elif case == "upsert without keys":
        good["mode"] = "upsert"
    elif case == "header not json":
        frames = [frame(INIT, b"\xff{"), frame(EOS, bytes(4))]
    elif case == "no init":
        frames = [frame(BATCH, bytes(8) + payloads[0]), frame(EOS, bytes(4))]
    elif case == "bad payload":
        payloads.append(b"definitely not arrow")
    elif case == "offsets past the data":
        # A well-formed stream whose text offsets point 1 GiB into 301 bytes.
        sound = ipc_bytes(pa.table({"id": pa.array([61], pa.int32()), "name": ["q" * 301]}))
        offsets = struct.pack("<2i", 0, 301) + b"q"  # the offsets buffer, then the text
        assert sound.count(offsets) == 1
        payloads.append(sound.replace(offsets, struct.pack("<2i", 0, 1 << 30) + b"q"))
    r = ingest(*node, frames or upload_frames(good, payloads))
    assert r.status == 200 and r.error is not None, r.frames
    assert r.error["sqlstate"] == sqlstate and r.error["message"], r.error
    assert [row["id"] for row in content(node)] == [1, 2]


def test_upload_without_eos_or_cut_inside_a_frame_loads_nothing(node, table):
    assert send(node, arrow_header(table, SCHEMA), [ipc_bytes(rows([80]))], eos=False).error["sqlstate"] == "22023"
    frames = list(upload_frames(arrow_header(table, SCHEMA), [ipc_bytes(rows([81]))]))
    cut = frames[:1] + [frames[1][:20]]
    assert ingest(*node, cut).error["sqlstate"] == "22023"
    oversized = frames[:1] + [b"\x02\x00\x00\x00\x10\x00\x00\x01" + bytes(16)]
    assert "limit" in ingest(*node, oversized).error["message"]
    assert [row["id"] for row in content(node)] == [1, 2]


@pytest.mark.parametrize("ending", ["eos", "no eos", "broken frame"])
def test_a_failed_batch_is_reported_over_what_follows_it(node, table, ending):
    # DuckDB loads a batch while the next frames arrive; the failure of the earlier
    # batch is still the one the client hears about, whatever comes after it.
    bad = ipc_bytes(pa.table({"id": ["not a number"], "name": ["x"]}))
    frames = list(upload_frames(arrow_header(table, SCHEMA), [ipc_bytes(rows([i])) for i in range(60, 64)] + [bad],
                                eos=ending == "eos"))
    if ending == "broken frame":
        frames.append(frames[-1][:12])
    r = ingest(*node, frames)
    assert r.error is not None and r.error["sqlstate"] == "22018", r.error
    assert [row["id"] for row in content(node)] == [1, 2]


def test_client_vanishing_mid_upload_rolls_back(node, table, devserver):
    url, token = node
    before = devserver.counters()["ingests_rolled_back"]
    frames = list(upload_frames(arrow_header(table, SCHEMA), [ipc_bytes(rows([90, 91]))], eos=False))
    parts = urlsplit(url)
    with socket.create_connection((parts.hostname, parts.port)) as sock:
        sock.sendall(b"POST /api/v1/ingest/stream HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                     + f"Authorization: Bearer {token}\r\n\r\n".encode())
        for f in frames:
            sock.sendall(f"{len(f):x}\r\n".encode() + f + b"\r\n")
    for _ in range(100):
        if devserver.counters()["ingests_rolled_back"] > before:
            break
        __import__("time").sleep(0.05)
    assert devserver.counters()["ingests_rolled_back"] == before + 1
    assert [row["id"] for row in content(node)] == [1, 2]


def test_header_schema_ipc_must_decode(node, table):
    header = arrow_header(table, SCHEMA)
    header["schema_ipc"] = base64.b64encode(b"garbage!").decode()
    assert send(node, header, []).error["sqlstate"] == "22023"
    assert json.loads(json.dumps(send(node, arrow_header(table, SCHEMA), []).stats))["rows_inserted"] == 0

"""The compute query stream: frames, result sets, batch sizing, errors and bad requests."""
import json
import socket
import time
from urllib.parse import urlsplit

import pyarrow as pa
import pytest
from frame_client import BATCH, EOS, INIT, STREAM_TYPE, Http, login, query, read_stream


@pytest.fixture(scope="module")
def node(devserver):
    return devserver.node_urls["compute-1"], login(devserver.url)


def test_select_streams_init_batches_and_eos(node):
    url, token = node
    r = query(url, token, "SELECT customer_id, name, signed_up FROM sales.customers ORDER BY customer_id")
    assert r.status == 200 and not r.truncated
    assert r.frames[0][0] == INIT and r.frames[-1] == (EOS, bytes(4))
    init = r.init
    assert init["streamId"] and init["resultSets"][0]["rowsAffected"] == -1
    assert r.schema().names == ["customer_id", "name", "signed_up"]
    table = r.table()
    assert table.num_rows == 100 and table.column("customer_id").to_pylist()[:3] == [1, 2, 3]
    assert table.schema.field("signed_up").type == pa.date32()


def test_empty_result_has_schema_and_no_batches(node):
    r = query(*node, "SELECT * FROM sales.orders WHERE false")
    assert r.batches() == [] and r.eos == [0]
    assert "order_id" in r.schema().names


def test_max_batch_bytes_bounds_every_batch_frame(node):
    r = query(*node, "SELECT range AS a, range * 2 AS b FROM range(600000)", {"max_batch_bytes": 1 << 20})
    sizes = [len(b) for b in r.batches()]
    assert len(sizes) > 5 and max(sizes) <= 1 << 20
    for data in r.batches():  # each BATCH is a complete IPC stream on its own
        assert pa.ipc.open_stream(pa.py_buffer(data)).read_all().num_rows > 0
    assert r.table().num_rows == 600000 and r.table().column("b")[-1].as_py() == 1199998


def test_a_large_result_streams_in_bounded_batches_from_the_first(node):
    # The first batch is one DuckDB vector, not the whole result nor a whole
    # batch, so the client has rows after one vector's transfer; the rest come
    # in batches of a few vectors.
    r = query(*node, "SELECT range AS a FROM range(1500000)")
    counts = [pa.ipc.open_stream(pa.py_buffer(b)).read_all().num_rows for b in r.batches()]
    assert len(counts) >= 5 and counts[0] == 2048 and 2048 < max(counts) <= 262144 and sum(counts) == 1500000
    assert r.table().column("a").to_pylist()[-3:] == [1499997, 1499998, 1499999]


def test_later_batches_are_sized_by_what_the_first_read_measured(node):
    # From its type alone a list is taken for 64 bytes a row; these take 12,
    # so batches of the type's estimate would be a fifth of the target size.
    r = query(*node, "SELECT [range] AS l FROM range(1500000)")
    counts = [pa.ipc.open_stream(pa.py_buffer(b)).read_all().num_rows for b in r.batches()]
    assert counts[0] == 2048 and max(counts) >= 4 * 32768 and sum(counts) == 1500000


def test_dictionary_and_nested_columns_survive_batch_encoding(node):
    url, token = node
    assert query(url, token, "CREATE TYPE IF NOT EXISTS zv_mood AS ENUM ('sad', 'ok', 'happy')").status == 200
    r = query(url, token, "SELECT range AS i, (['sad', 'ok', 'happy'])[range % 3 + 1]::zv_mood AS mood, "
                          "[range, range + 1] AS pair, {'k': range::VARCHAR} AS rec FROM range(5000)")
    table = r.table()
    assert pa.types.is_dictionary(table.schema.field("mood").type)
    assert table.num_rows == 5000 and table.slice(4, 1).to_pylist() == [
        {"i": 4, "mood": "ok", "pair": [4, 5], "rec": {"k": "4"}}]


def test_dml_and_ddl_report_rows_affected(node):
    url, token = node
    assert query(url, token, "CREATE TABLE dml_probe (a INTEGER)").init["resultSets"][0]["rowsAffected"] == 0
    r = query(url, token, "INSERT INTO dml_probe SELECT * FROM range(7)")
    assert r.init["resultSets"][0]["rowsAffected"] == 7 and r.eos == [0]
    assert query(url, token, "DELETE FROM dml_probe WHERE a < 3").init["resultSets"][0]["rowsAffected"] == 3
    query(url, token, "DROP TABLE dml_probe")


def test_script_reports_one_result_set_per_statement(node):
    r = query(*node, "CREATE TEMP TABLE s1 AS SELECT 1 AS x; INSERT INTO s1 VALUES (2), (3); "
                     "SELECT x FROM s1 ORDER BY x; SELECT 'tail' AS t")
    sets = r.init["resultSets"]
    assert [s["rowsAffected"] for s in sets] == [0, 2, -1, -1]
    assert r.eos == [0, 1, 2, 3]
    assert r.table(2).column("x").to_pylist() == [1, 2, 3]
    assert r.table(3).column("t").to_pylist() == ["tail"]


def test_sql_errors_before_and_during_streaming(node):
    url, token = node
    r = query(url, token, "SELEC 1")
    assert r.status == 400 and "syntax error" in r.error_body["message"] and r.error_body["sqlstate"] == "42000"
    # Also names the server's own Python code binds: never read as its variables.
    for name in ("no_such_table", "pa", "duckdb", "stmt"):
        r = query(url, token, f"SELECT * FROM {name}")
        assert r.status == 400 and r.error_body["sqlstate"] == "42S02", name
    for sql in ("SET python_enable_replacements = true; SELECT * FROM pa",
                "SET GLOBAL Python_Enable_Replacements = 1", "PRAGMA python_scan_all_frames = true"):
        r = query(url, token, sql)
        assert r.status == 400 and r.error_body["sqlstate"] == "42501", sql
    assert query(url, token, "SELECT * FROM pa").error_body["sqlstate"] == "42S02"
    # Settings of the whole server, and its catalog, are no client's to change.
    for sql in ("SET GLOBAL TimeZone = 'Asia/Tokyo'", "PRAGMA threads = 1", "USE memory; DETACH zorvane"):
        r = query(url, token, sql)
        assert r.status == 400 and r.error_body["sqlstate"] == "42501", sql
    assert query(url, token, "SET memory_limit = '64MB'").status == 400
    r = query(url, token, "SELECT current_setting('TimeZone') AS tz, current_setting('memory_limit') AS m, "
                          "current_database() AS db")
    assert r.table().to_pylist()[0]["tz"] == "UTC" and "MiB" not in r.table().to_pylist()[0]["m"]
    # A statement of a script that fails while its rows are read.
    r = query(url, token, "SELECT 1; SELECT (CASE WHEN range > 100000 THEN 'x' ELSE '1' END)::INT FROM range(200000)")
    assert r.status == 400 and r.error_body["sqlstate"] == "22018", r.error_body
    r = query(url, token, "SELECT CASE WHEN range > 3000000 THEN error('boom') ELSE range END FROM range(5000000)")
    assert r.status == 200 and r.frames[0][0] == INIT and "boom" in r.error["message"] and r.eos == []


@pytest.mark.parametrize("body", [
    b"", b"{", b"[]", b'{"sql": 5}', b'{"sql": ""}', b'{"sql": "SELECT 1", "extra": true}',
    b'{"sql": "SELECT 1", "stream_options": {"max_batch_bytes": 0}}',
    b'{"sql": "SELECT 1", "stream_options": {"max_batch_bytes": "big"}}',
    b'{"sql": "SELECT 1", "stream_options": {"other": 1}}', b'{"sql": "SELECT \xff"}'])
def test_bad_query_requests_get_a_clear_400(node, body):
    url, token = node
    http = Http(url, token)
    status, reply = http.json("POST", "/api/v1/query/stream/binary", body)
    http.close()
    assert status == 400 and reply["message"]


def test_client_disconnect_mid_stream_is_noticed(devserver, node):
    url, token = node
    before = devserver.counters()["client_disconnects"]
    parts = urlsplit(url)
    body = json.dumps({"sql": "SELECT range AS a, range AS b FROM range(50000000)"}).encode()
    with socket.create_connection((parts.hostname, parts.port)) as sock:
        sock.sendall(b"POST /api/v1/query/stream/binary HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                     + f"Authorization: Bearer {token}\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
        assert sock.recv(65536).startswith(b"HTTP/1.1 200")
    deadline = time.monotonic() + 20
    while devserver.counters()["client_disconnects"] == before and time.monotonic() < deadline:
        time.sleep(0.1)
    assert devserver.counters()["client_disconnects"] == before + 1
    assert query(url, token, "SELECT 42 AS x").table().column("x").to_pylist() == [42]  # still serving


def test_batch_frames_are_well_formed(node):
    r = query(*node, "SELECT * FROM sales.order_items")
    for frame_type, payload in r.frames:
        if frame_type == BATCH:
            assert payload[4:8] == bytes(4)


def test_whole_and_streamed_answers_share_one_connection_and_their_headers(node):
    # An answer held whole goes out with a length, a large one chunked; either
    # way the connection serves the next query and the headers name the stream.
    url, token = node
    http_ = Http(url, token)
    try:
        for sql, rows, chunked in (("SELECT 42 AS x", 1, False), ("SELECT range AS x FROM range(300000)", 300000, True),
                                   ("SELECT 7 AS x", 1, False)):
            resp = http_.request("POST", "/api/v1/query/stream/binary", {"sql": sql})
            r = read_stream(resp)
            assert resp.getheader("Content-Type") == STREAM_TYPE
            assert resp.getheader("x-zorvane-stream-id") == r.init["streamId"]
            assert (resp.getheader("Transfer-Encoding") == "chunked") == chunked
            assert (resp.getheader("Content-Length") is None) == chunked
            assert r.table().num_rows == rows and r.eos == [0]
    finally:
        http_.close()


def test_every_query_is_a_session_of_its_own_though_connections_are_reused(node):
    # Connections serve later queries only when nothing could have changed
    # their session; whatever does change one never reaches the next query.
    session = ("SELECT current_setting('TimeZone') AS tz, current_database() AS db, "
               "(SELECT count(*) FROM duckdb_tables() WHERE table_name = 'only_here') AS temp")
    fresh = query(*node, session).table().to_pylist()
    assert fresh[0]["db"] == "zorvane" and fresh[0]["temp"] == 0
    for setup in ("SET TimeZone = 'America/New_York'", "USE memory",
                  "CREATE TEMP TABLE only_here AS SELECT 1 AS a", "SET search_path = 'sales'"):
        for _ in range(10):
            assert query(*node, "SELECT 1 AS one").error is None
        assert query(*node, setup).error is None
        for _ in range(10):
            assert query(*node, session).table().to_pylist() == fresh, setup
        assert query(*node, "SELECT count(*) AS n FROM orders").status == 400  # no search path left


@pytest.mark.parametrize("host_tz", ["Etc/UTC", "Europe/Berlin", "America/New_York"])
def test_sessions_run_in_utc_whatever_the_host_time_zone(monkeypatch, host_tz):
    from server_fixture import start_devserver

    monkeypatch.setenv("TZ", host_tz)
    with start_devserver(nodes=1, demo_data=False) as srv:
        url, token = srv.node_urls["compute-1"], login(srv.url)
        r = query(url, token, "SELECT current_setting('TimeZone') AS tz, "
                              "TIMESTAMPTZ '2024-06-01 12:00:00+00' AS ts, "
                              "(TIMESTAMPTZ '2024-06-01 12:00:00+00')::VARCHAR AS shown")
        row = r.table().to_pylist()[0]
    assert row["tz"] == "UTC"
    assert r.table().schema.field("ts").type == pa.timestamp("us", "UTC")
    assert row["shown"] == "2024-06-01 12:00:00+00"

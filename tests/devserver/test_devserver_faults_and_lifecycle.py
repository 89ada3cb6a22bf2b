"""Fault injection, counters, TLS, persistence across restarts and clean shutdown."""
import http.client as httpclient
import socket
import ssl
import time

import pytest
from frame_client import Http, login, query, snapshot
from server_fixture import start_devserver


@pytest.fixture
def srv(devserver):
    devserver.clear_faults()
    yield devserver
    devserver.clear_faults()


BIG = "SELECT range AS a FROM range(400000)"
SMALL_BATCHES = {"max_batch_bytes": 1 << 18}


def test_error_frame_truncate_and_stall_mid_stream(srv):
    url, token = srv.node_urls["compute-1"], login(srv.url)
    srv.set_fault("error_frame", endpoint="query", after_batches=2, message="injected", sqlstate="58000", times=1)
    r = query(url, token, BIG, SMALL_BATCHES)
    assert len(r.batches()) == 2 and r.error == {"message": "injected", "sqlstate": "58000"} and r.eos == []
    srv.set_fault("truncate", endpoint="query", after_batches=1, times=1)
    r = query(url, token, BIG, SMALL_BATCHES)
    assert r.status == 200 and len(r.batches()) == 1 and r.truncated
    srv.set_fault("stall", endpoint="query", after_batches=1, seconds=0.5, times=1)
    started = time.monotonic()
    r = query(url, token, BIG, SMALL_BATCHES)
    assert time.monotonic() - started >= 0.5 and r.table().num_rows == 400000
    assert query(url, token, BIG, SMALL_BATCHES).eos == [0]  # every fault was used up


def test_status_close_delay_and_drip(srv):
    token = login(srv.url)
    http = Http(srv.url, token)
    srv.set_fault("http_status", endpoint="version", status=503, body='{"error":"no capacity"}', times=1)
    assert http.json("GET", "/api/v1/events/version") == (503, {"error": "no capacity"})
    srv.set_fault("delay", endpoint="version", seconds=0.4, times=1)
    started = time.monotonic()
    assert http.json("GET", "/api/v1/events/version")[0] == 200
    assert time.monotonic() - started >= 0.4
    srv.set_fault("drip", endpoint="version", chunk_bytes=16, interval=0.02, times=1)
    assert http.json("GET", "/api/v1/events/version")[1]["sequence"] > 0
    http.close()
    srv.set_fault("close", endpoint="version", times=1)
    with pytest.raises((httpclient.RemoteDisconnected, ConnectionError)):
        Http(srv.url, token).json("GET", "/api/v1/events/version")
    srv.set_fault("close", endpoint="snapshot", after_batches=3, times=1)
    with pytest.raises((httpclient.IncompleteRead, ConnectionError)):
        snapshot(srv.url, token)


def test_refused_logins_and_failed_confirmations(srv):
    srv.set_fault("refuse_logins", times=1)
    status, body = Http(srv.url).json("POST", "/api/v1/auth/token",
                                      {"grant_type": "password", "password": "demo", "username": "demo"})
    assert status == 401
    http = Http(srv.url, login(srv.url))
    srv.set_fault("fail_confirmations")
    _, rec = http.json("POST", "/api/v1/nodes/recommend", {"purpose": "Query"})
    assert http.json("POST", f"/api/v1/nodes/recommend/{rec['reservationId']}/confirm", b"{}")[0] == 503
    http.close()


def test_bad_fault_specs_are_refused(srv):
    for spec in [{"kind": "explode"}, {"kind": "stall", "endpoint": "login"}, {"kind": "delay", "seconds": "x"},
                 {"kind": "delay", "colour": 1}, {"kind": "http_status", "status": 42}]:
        with pytest.raises(Exception, match="400"):
            srv._debug("POST", "/debug/faults", spec)


def test_counters_show_requests_logins_snapshots_and_connection_reuse(srv):
    srv.reset_counters()
    token = login(srv.url)
    http = Http(srv.url, token)
    for _ in range(3):
        assert http.json("GET", "/api/v1/events/version")[0] == 200
    snapshot(srv.url, token)
    http.close()
    c = srv.counters()
    assert c["requests"] == {"login": 1, "version": 3, "snapshot": 1}
    assert c["logins"] == 1 and c["snapshot_fetches"] == 1
    assert c["connections"]["control"] == 3  # login, one kept-alive connection for 3 requests, snapshot
    srv.expire_tokens()
    assert Http(srv.url, token).json("GET", "/api/v1/events/version")[0] == 401


def test_mutual_tls_on_control_plane_and_nodes(tmp_path):
    trustme = pytest.importorskip("trustme")
    ca = trustme.CA()
    cert = ca.issue_cert("127.0.0.1", "localhost")
    cert.private_key_and_cert_chain_pem.write_to_path(str(tmp_path / "server.pem"))
    ca.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    client = ca.issue_cert("client@example.com")
    client.private_key_and_cert_chain_pem.write_to_path(str(tmp_path / "client.pem"))
    with start_devserver(nodes=1, tls_cert=tmp_path / "server.pem", tls_key=tmp_path / "server.pem",
                         client_ca=tmp_path / "ca.pem", ca_file=tmp_path / "ca.pem",
                         client_cert=(tmp_path / "client.pem", tmp_path / "client.pem")) as srv:
        assert srv.url.startswith("https://") and srv.node_urls["compute-1"].startswith("https://")
        ctx = ssl.create_default_context(cafile=str(tmp_path / "ca.pem"))
        ctx.load_cert_chain(str(tmp_path / "client.pem"))
        token = login(srv.url, ssl_context=ctx)
        assert query(srv.node_urls["compute-1"], token, "SELECT 1 AS x", ssl_context=ctx).table().num_rows == 1
        no_cert = ssl.create_default_context(cafile=str(tmp_path / "ca.pem"))
        with pytest.raises((ssl.SSLError, ConnectionError)):
            login(srv.url, ssl_context=no_cert)


def test_data_dir_survives_restart_and_sigterm_exits_cleanly(tmp_path):
    srv = start_devserver(nodes=1, data_dir=tmp_path, users={"ann": "secret"})
    token = login(srv.url, "ann", "secret")
    node = srv.node_urls["compute-1"]
    query(node, token, "CREATE TABLE kept AS SELECT 5 AS v")
    seq = Http(srv.url, token).json("GET", "/api/v1/events/version")[1]["sequence"]
    assert srv.stop() == 0
    srv = start_devserver(nodes=1, data_dir=tmp_path, users={"ann": "secret"})
    try:
        token = login(srv.url, "ann", "secret")
        assert query(srv.node_urls["compute-1"], token, "SELECT v FROM kept").table().column("v").to_pylist() == [5]
        assert Http(srv.url, token).json("GET", "/api/v1/events/version")[1]["sequence"] > seq
        orders = query(srv.node_urls["compute-1"], token, "SELECT count(*) AS n FROM sales.orders").table()
        assert orders[0][0].as_py() == 500
    finally:
        assert srv.stop() == 0


def test_garbage_on_the_wire_does_not_hurt_the_server(srv):
    host, port = srv.url.removeprefix("http://").split(":")
    for junk in [b"\x00\xff" * 100 + b"\r\n\r\n",
                 b"POST /api/v1/auth/token HTTP/1.1\r\nContent-Length: 5\r\n\r\n{\"a\":1}extra"]:
        with socket.create_connection((host, int(port))) as sock:
            sock.sendall(junk)
            sock.settimeout(5)
            try:
                sock.recv(4096)
            except (TimeoutError, ConnectionError):
                pass
    assert login(srv.url)

"""Redirects from a hostile server: followed only within the origin of the
request, refused with the Location named otherwise, and never carrying the
password, the bearer token or the SQL text anywhere else."""

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi
import pytest
from driver_helpers import connected
from hostile_server import HostileServer, json_reply, redirect

PASSWORD = "Sup3r-Secret-Pw"
TOKEN = "tok-Secret-42"
SQL = "SELECT 'secret-sql-text' AS x"
LOGIN = "/api/v1/auth/token"
RECOMMEND = "/api/v1/nodes/recommend"
SNAPSHOT = "/api/v1/odbc/info_schema/snapshot"
QUERY = "/api/v1/query/stream/binary"


def refusal(location):
    return (f"refused to follow the redirect to '{location}': a redirect must keep the scheme, "
            "host and port of the request")


@pytest.fixture
def elsewhere():
    """The host a redirect would lead to: another loopback address."""
    with HostileServer("127.0.0.2") as srv:
        yield srv


def assert_nothing_reached(srv):
    assert srv.requests == [], srv.paths()


def test_login_redirect_from_https_to_http_is_refused_under_strict(driver_path, tls_material):
    with HostileServer(certfile=tls_material["server_cert"],
                       keyfile=tls_material["server_key"]) as cp, HostileServer() as plain:
        target = plain.url + LOGIN
        cp.route("POST", LOGIN, redirect(target))
        with pytest.raises(dm.Error) as raised:
            with connected(driver_path, cp.url, username="demo", password=PASSWORD,
                           **{"adbc.zorvane.tls.encrypt": "Strict",
                              "adbc.zorvane.tls.ca_bundle": tls_material["ca"]}):
                pass
        assert refusal(target) in str(raised.value)
        assert_nothing_reached(plain)


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_login_redirect_to_another_host_is_refused(driver_path, elsewhere, status):
    with HostileServer() as cp:
        target = f"http://127.0.0.2:{elsewhere.port}{LOGIN}"
        cp.route("POST", LOGIN, redirect(target, status))
        with pytest.raises(dm.Error) as raised:
            with connected(driver_path, cp.url, username="demo", password=PASSWORD):
                pass
        assert refusal(target) in str(raised.value)
        assert PASSWORD.encode() in cp.received()  # the request itself did go out
        assert_nothing_reached(elsewhere)


def test_recommendation_redirect_to_another_port_keeps_the_token_home(driver_path, elsewhere):
    with HostileServer() as cp, HostileServer() as other_port:
        cp.route("POST", LOGIN, json_reply({"session_token": TOKEN}))
        target = other_port.url + RECOMMEND
        cp.route("POST", RECOMMEND, redirect(target))
        with pytest.raises(dm.Error) as raised:
            with connected(driver_path, cp.url, username="demo", password=PASSWORD):
                pass
        assert refusal(target) in str(raised.value)
        assert_nothing_reached(other_port)


def test_same_origin_redirect_is_followed(driver_path):
    with HostileServer() as cp:
        cp.route("POST", LOGIN, redirect("/api/v1/auth/token-2", 307))
        cp.route("POST", "/api/v1/auth/token-2", json_reply({"session_token": TOKEN}))
        cp.route("POST", RECOMMEND, json_reply({"error": "no capacity"}, 503))
        with pytest.raises(dm.Error) as raised:
            with connected(driver_path, cp.url, username="demo", password=PASSWORD):
                pass
        assert "compute node recommend failed (HTTP 503): no capacity" in str(raised.value)
        assert cp.paths() == [LOGIN, "/api/v1/auth/token-2", RECOMMEND]
        assert PASSWORD.encode() in cp.requests[1].body  # a 307 re-sends the body, at home


def test_snapshot_and_query_redirects_carry_neither_token_nor_sql(driver_path, elsewhere,
                                                                  tmp_path):
    log = tmp_path / "engine.log"
    with HostileServer() as cp:
        snapshot_target = f"http://127.0.0.2:{elsewhere.port}{SNAPSHOT}"
        query_target = f"http://127.0.0.2:{elsewhere.port}{QUERY}"
        cp.route("GET", SNAPSHOT, redirect(snapshot_target))
        cp.route("POST", QUERY, redirect(query_target, 308))
        conn = adbc_driver_manager.dbapi.connect(
            driver=driver_path,
            db_kwargs={"uri": cp.url, "adbc.zorvane.session_token": TOKEN,
                       "adbc.zorvane.compute_url": cp.url,
                       "adbc.zorvane.api_trace_path": str(log),
                       "adbc.zorvane.log_level": "info"})
        try:
            with conn.cursor() as cur:
                # The failure surfaces when the result's schema is read.
                with pytest.raises((dm.Error, OSError)) as raised:
                    cur.execute(SQL)
                    cur.fetch_arrow_table()
        finally:
            conn.close()
        assert refusal(query_target) in str(raised.value)
        assert refusal(snapshot_target) in log.read_text()
        assert cp.paths() == [SNAPSHOT, QUERY]
    assert_nothing_reached(elsewhere)

"""Faults of the service that must not outlive their cause, through the
driver manager against the dev server."""

import itertools
import json
import time
import urllib.request

import adbc_driver_manager.dbapi as dbapi
import pyarrow as pa
import pytest
from server_fixture import start_devserver

# Each test logs in as a user of its own, so a session token cached by an
# earlier test in this process never stands in for the login a test needs.
USERS = {f"user{i}": f"pw{i}" for i in range(24)}
_next_user = itertools.count()
# How long a connection without a snapshot waits before asking for it again.
SNAPSHOT_RETRY_SECONDS = 5


@pytest.fixture(scope="module")
def server():
    with start_devserver(users=USERS) as srv:
        yield srv


@pytest.fixture
def user():
    name = f"user{next(_next_user)}"
    return name, USERS[name]


def connect(driver_path, url, user, **extra):
    name, password = user
    return dbapi.connect(driver=driver_path, autocommit=True,
                         db_kwargs={"uri": url, "username": name, "password": password, **extra})


@pytest.mark.parametrize("endpoint, operation", [
    ("recommend", "compute node recommend"),
    ("login", "control plane auth"),
])
def test_an_empty_error_body_is_named_as_such(driver_path, server, user, endpoint, operation):
    server.set_fault("http_status", endpoint=endpoint, status=503, body="", times=1)
    try:
        with pytest.raises(dbapi.Error) as raised:
            connect(driver_path, server.url, user)
    finally:
        server.clear_faults()
    assert f"{operation} failed (HTTP 503 with an empty body)" in str(raised.value)


@pytest.mark.parametrize("endpoint, status", [("login", 403), ("recommend", 503)])
def test_a_refusal_keeps_the_state_its_http_status_says(driver_path, server, user, endpoint,
                                                        status):
    # The server's text says "timeout"; the status, not the word, decides.
    server.set_fault("http_status", endpoint=endpoint, status=status,
                     body='{"error": "upstream timeout"}', content_type="application/json",
                     times=1)
    try:
        with pytest.raises(dbapi.Error) as raised:
            connect(driver_path, server.url, user)
    finally:
        server.clear_faults()
    assert "upstream timeout" in str(raised.value)
    assert raised.value.sqlstate == {403: "42501", 503: "53000"}[status]


def logins(server):
    return server.counters()["logins"]


def test_expired_tokens_cost_one_fresh_login_not_a_lockout(driver_path, server, user):
    with connect(driver_path, server.url, user):
        pass  # the session token is now cached for this user
    server.expire_tokens()
    before = logins(server)
    with connect(driver_path, server.url, user) as conn:
        with conn.cursor() as cur:
            cur.execute("SELECT 42")
            assert cur.fetchone() == (42,)
    assert logins(server) == before + 1
    # The fresh token went back into the cache: the next connection reuses it.
    with connect(driver_path, server.url, user):
        pass
    assert logins(server) == before + 1


def test_a_refused_given_token_is_reported_as_such(driver_path, server):
    with pytest.raises(dbapi.Error) as raised:
        dbapi.connect(driver=driver_path, autocommit=True,
                      db_kwargs={"uri": server.url,
                                 "adbc.zorvane.session_token": "not-a-token-of-this-service"})
    assert raised.value.sqlstate == "28000"
    assert "refused the given session token" in str(raised.value)


def test_a_second_refusal_right_after_a_fresh_login_is_final(driver_path, server, user):
    with connect(driver_path, server.url, user):
        pass
    server.expire_tokens()
    # Every recommendation is refused, so the fresh token is refused too.
    server.set_fault("http_status", endpoint="recommend", status=401, body="", times=5)
    before = server.counters()["requests"]["recommend"]
    try:
        with pytest.raises(dbapi.Error) as raised:
            connect(driver_path, server.url, user)
    finally:
        server.clear_faults()
    assert raised.value.sqlstate == "28000"
    assert server.counters()["requests"]["recommend"] == before + 2


def demo_tables(conn):
    rows = conn.adbc_get_objects(depth="all", db_schema_filter="sales").read_all().to_pylist()
    return {t["table_name"]: t for c in rows for s in c["catalog_db_schemas"]
            for t in s["db_schema_tables"]}


def test_without_a_snapshot_catalog_calls_ask_compute_then_the_snapshot_returns(
        driver_path, server, user):
    server.set_fault("http_status", endpoint="snapshot", status=503, body="", times=1)
    with connect(driver_path, server.url, user) as conn:
        before = server.counters()
        tables = demo_tables(conn)
        assert {"customers", "orders", "order_items", "products"} <= set(tables)
        assert [c["column_name"] for c in tables["customers"]["table_columns"]][0] == "customer_id"
        schema = conn.adbc_get_table_schema("orders", db_schema_filter="sales")
        assert "order_id" in schema.names
        middle = server.counters()
        assert middle["requests"]["query"] > before["requests"]["query"]
        assert middle["snapshot_fetches"] == before["snapshot_fetches"]  # backing off
        time.sleep(SNAPSHOT_RETRY_SECONDS + 0.5)
        assert set(demo_tables(conn)) == set(tables)
        after = server.counters()
        assert after["snapshot_fetches"] == middle["snapshot_fetches"] + 1
        assert after["requests"]["query"] == middle["requests"]["query"]  # answered locally


_tables = itertools.count()


def scalar(conn, sql):
    with conn.cursor() as cur:
        cur.execute(sql)
        return cur.fetchall()[0][0]


def fresh_table(conn):
    name = f"recovery_t{next(_tables)}"
    with conn.cursor() as cur:
        cur.execute(f"CREATE TABLE {name} (id BIGINT, label VARCHAR)")
    return name


def ingest(conn, table, ids):
    data = pa.table({"id": pa.array(ids, pa.int64()), "label": [f"r{i}" for i in ids]})
    with conn.cursor() as cur:
        return cur.adbc_ingest(table, data, mode="append")


def refused_query(conn):
    with pytest.raises(dbapi.Error) as raised:
        scalar(conn, "SELECT 1")
    return raised.value


@pytest.mark.parametrize("token_from", ["login", "cache"])
@pytest.mark.parametrize("first", ["query", "ingest"])
def test_an_open_connection_logs_in_once_when_its_token_expires(
        driver_path, server, user, token_from, first):
    if token_from == "cache":
        with connect(driver_path, server.url, user):
            pass
    with connect(driver_path, server.url, user) as conn:
        table = fresh_table(conn)
        server.expire_tokens()
        before = logins(server)
        steps = {"query": lambda: scalar(conn, "SELECT 42") == 42,
                 "ingest": lambda: ingest(conn, table, [1, 2, 3]) == 3}
        second = "ingest" if first == "query" else "query"
        assert steps[first]() and steps[second]()
        assert logins(server) == before + 1
        assert scalar(conn, f"SELECT sum(id) FROM {table}") == 6
    # The renewed token is the cached one now.
    with connect(driver_path, server.url, user):
        pass
    assert logins(server) == before + 1


def test_a_query_refused_again_after_a_fresh_login_fails_without_looping(
        driver_path, server, user):
    with connect(driver_path, server.url, user) as conn:
        server.expire_tokens()
        before = server.counters()
        server.set_fault("http_status", endpoint="query", status=401, body="", times=5)
        try:
            error = refused_query(conn)
        finally:
            server.clear_faults()
        after = server.counters()
        assert error.sqlstate == "28000"
        assert after["logins"] == before["logins"] + 1
        assert after["requests"]["query"] == before["requests"]["query"] + 2
        assert scalar(conn, "SELECT 7") == 7


def test_an_open_connection_with_a_refused_given_token_says_so(driver_path, server, user):
    name, password = user
    login = urllib.request.Request(
        server.url + "/api/v1/auth/token", method="POST",
        headers={"Content-Type": "application/json"},
        data=json.dumps({"grant_type": "password", "username": name, "password": password}).encode())
    with urllib.request.urlopen(login, timeout=10) as resp:
        token = json.loads(resp.read())["session_token"]
    with dbapi.connect(driver=driver_path, autocommit=True,
                       db_kwargs={"uri": server.url, "adbc.zorvane.session_token": token}) as conn:
        assert scalar(conn, "SELECT 1") == 1
        server.expire_tokens()
        before = logins(server)
        error = refused_query(conn)
        assert error.sqlstate == "28000"
        assert "refused the given session token" in str(error)
        assert logins(server) == before


def test_an_upload_over_a_pooled_connection_the_server_dropped_goes_on_a_fresh_one(
        driver_path, server, user):
    with connect(driver_path, server.url, user) as conn:
        table = fresh_table(conn)
        assert ingest(conn, table, [4]) == 1  # pools its connection to the compute node
        server.set_fault("close", endpoint="ingest", times=1)
        try:
            assert ingest(conn, table, [1, 2, 3]) == 3
        finally:
            server.clear_faults()
        assert scalar(conn, f"SELECT sum(id) FROM {table}") == 10


def test_an_upload_dropped_on_the_fresh_connection_too_fails_with_the_table_unchanged(
        driver_path, server, user):
    with connect(driver_path, server.url, user) as conn:
        table = fresh_table(conn)
        assert ingest(conn, table, [5]) == 1  # pools its connection
        server.set_fault("close", endpoint="ingest", times=2)
        try:
            with pytest.raises(dbapi.Error) as raised:
                ingest(conn, table, [1, 2, 3])
        finally:
            server.clear_faults()
        assert raised.value.sqlstate == "08001"
        assert scalar(conn, f"SELECT count(*) FROM {table}") == 1
        assert ingest(conn, table, [6]) == 1

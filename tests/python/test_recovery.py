"""Faults of the service that must not outlive their cause, through the
driver manager against the dev server."""

import itertools
import time

import adbc_driver_manager.dbapi as dbapi
import pytest
from server_fixture import start_devserver

# Each test logs in as a user of its own, so a session token cached by an
# earlier test in this process never stands in for the login a test needs.
USERS = {f"user{i}": f"pw{i}" for i in range(12)}
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

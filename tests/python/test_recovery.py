"""Faults of the service that must not outlive their cause, through the
driver manager against the dev server."""

import itertools

import adbc_driver_manager.dbapi as dbapi
import pytest
from server_fixture import start_devserver

# Each test logs in as a user of its own, so a session token cached by an
# earlier test in this process never stands in for the login a test needs.
USERS = {f"user{i}": f"pw{i}" for i in range(8)}
_next_user = itertools.count()


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

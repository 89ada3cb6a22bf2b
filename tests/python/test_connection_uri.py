"""zorvane:// connection URIs through the driver's Python package and the real
driver manager: what they connect with, what they refuse, what the log shows,
and how a manifest that names a missing library is reported."""

import adbc_driver_manager as dm
import pytest

import adbc_driver_zorvane
import adbc_driver_zorvane.dbapi
from adbc_driver_zorvane import ConnectionOptions, DatabaseOptions


def host_port(url):
    return url.split("://", 1)[1].rstrip("/")


def select_one(conn):
    with conn.cursor() as cur:
        cur.execute("SELECT 1 AS one")
        return cur.fetchone()[0]


@pytest.mark.parametrize("uri_form, db_kwargs", [
    ("zorvane+http://demo:demo@{hp}/", {}),
    ("zorvane://demo:demo@{hp}/?tls=off&connect_timeout_sec=10", {}),
    # The option set on its own wins over the URI's wrong password.
    ("zorvane+http://demo:wrong@{hp}", {"password": "demo"}),
    # Credentials only as options; the URI carries the address.
    ("zorvane+http://{hp}", {"username": "demo", "password": "demo",
                              DatabaseOptions.APPLICATION_NAME: "uri test"}),
], ids=["http-scheme", "tls-off", "explicit-password-wins", "credentials-as-options"])
def test_connects_with_a_connection_uri(devserver, uri_form, db_kwargs):
    uri = uri_form.format(hp=host_port(devserver.url))
    with adbc_driver_zorvane.dbapi.connect(uri, db_kwargs=db_kwargs) as conn:
        assert select_one(conn) == 1


def test_connection_options_given_as_enums_serve_clones_too(devserver):
    uri = f"zorvane+http://demo:demo@{host_port(devserver.url)}/"
    with adbc_driver_zorvane.dbapi.connect(uri, conn_kwargs={ConnectionOptions.QUERY_TIMEOUT_SEC: 30}) as conn:
        with conn.adbc_clone() as clone:
            assert select_one(clone) == 1


def test_ipv6_host(driver_path):
    from server_fixture import start_devserver

    with start_devserver(nodes=1, host="::1", fault_injection=False) as server:
        port = server.url.rsplit(":", 1)[1].rstrip("/")
        with adbc_driver_zorvane.dbapi.connect(f"zorvane+http://demo:demo@[::1]:{port}/") as conn:
            assert select_one(conn) == 1


@pytest.mark.parametrize("uri, message", [
    ("zorvane://demo:hunter2-pw@h/?tsl=strict", "uri: unknown parameter 'tsl'"),
    ("zorvane://demo:hunter2-pw@h/?tls=required",
     "uri: adbc.zorvane.tls.encrypt must be one of Off, Optional, Mandatory, Strict"),
    ("zorvane://demo:hunter2-pw@/", "uri: has no host"),
    ("zorvane://demo:hunter2-pw@h:99999/", "uri: port must be a number from 1 to 65535"),
    ("zorvane://demo:hunter2-pw%zz@h/", "uri: the password has a '%'"),
])
def test_refuses_a_bad_uri_naming_the_fault(uri, message):
    with pytest.raises(dm.ProgrammingError) as info:
        adbc_driver_zorvane.connect(uri)
    assert message in str(info.value)
    assert "hunter2-pw" not in str(info.value)
    assert info.value.status_code == dm.AdbcStatusCode.INVALID_ARGUMENT


def test_credentials_in_the_uri_are_never_logged(devserver, tmp_path):
    log = tmp_path / "engine.log"
    uri = f"zorvane+http://demo:uri-secret-pw@{host_port(devserver.url)}/?log_level=trace" \
          f"&api_trace_path={log}"
    with adbc_driver_zorvane.dbapi.connect(uri, db_kwargs={"password": "demo"}) as conn:
        assert select_one(conn) == 1
    text = log.read_text()
    assert f'uri="http://{host_port(devserver.url)}"' in text
    assert "uri-secret-pw" not in text


def test_manifest_naming_a_missing_library_is_reported_clearly(tmp_path):
    missing = tmp_path / "gone" / "libadbc_driver_zorvane.so"
    (tmp_path / "zvmissing.toml").write_text(
        f'manifest_version = 1\nname = "missing"\n[Driver]\nshared = "{missing}"\n')
    with pytest.raises(dm.Error) as info:
        dm.AdbcDatabase(driver="zvmissing", additional_manifest_search_path_list=str(tmp_path))
    text = str(info.value)
    assert str(tmp_path / "zvmissing.toml") in text and str(missing) in text


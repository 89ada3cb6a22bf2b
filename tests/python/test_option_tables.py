"""Every option the README documents (tests/cpp/driver/option_table_test.cc
holds the README's tables to the driver's own) set and read back through the
driver manager, and the values of the secret ones kept out of the log."""

import json
import pathlib
import shutil
import urllib.request

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
import pytest
from driver_helpers import connected, run
from server_fixture import start_devserver

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def documented_options(heading):
    """(key, access) of each row of the README table headed `heading`."""
    rows, inside = [], False
    for line in README.read_text().splitlines():
        if not inside:
            inside = line.startswith(f"| {heading} |")
            continue
        if line.startswith("|---"):
            continue
        if not line.startswith("|"):
            break
        cells = [c.strip() for c in line.strip("|").split("|")]
        rows.append((cells[0].strip("`"), cells[2]))
    return rows


# A value to set and the text it reads back as; None as the value: the option
# only reads back (or setting it is refused, as for the session names).
DATABASE_SAMPLES = {
    "uri": (None, None),  # the dev server's URL, set for every case
    "username": ("alice", "alice"),
    "password": ("Pw-Sample", None),
    "adbc.zorvane.session_token": ("Token-Sample", None),
    "adbc.zorvane.compute_url": ("http://127.0.0.1:1", "http://127.0.0.1:1"),
    "adbc.zorvane.compute_node": ("compute-1", "compute-1"),
    "adbc.zorvane.application_name": ("reader", "reader"),
    "adbc.zorvane.proxy_url": ("http://127.0.0.1:3", "http://127.0.0.1:3"),
    "adbc.zorvane.proxy_user": ("dave", "dave"),
    "adbc.zorvane.proxy_pass": ("Proxy-Sample", None),
    "adbc.zorvane.connect_timeout_sec": ("7", "7"),
    "adbc.zorvane.max_stream_buffer_mb": ("64", "64"),
    "adbc.zorvane.tls.encrypt": ("STRICT", "STRICT"),
    "adbc.zorvane.tls.trust_server_cert": ("YES", "true"),
    "adbc.zorvane.tls.ca_bundle": ("/etc/ca.pem", "/etc/ca.pem"),
    "adbc.zorvane.tls.min_version": ("1.2", "1.2"),
    "adbc.zorvane.tls.host_in_cert": ("zorvane.test", "zorvane.test"),
    "adbc.zorvane.tls.client_cert": ("/etc/client.pem", "/etc/client.pem"),
    "adbc.zorvane.tls.client_key": ("/etc/client.key", None),
    "adbc.zorvane.api_trace_path": ("{tmp}/engine.log", "{tmp}/engine.log"),
    "adbc.zorvane.log_path": ("{tmp}/trace.log", "{tmp}/trace.log"),
    "adbc.zorvane.log_level": ("warning", "warning"),
}
CONNECTION_SAMPLES = {
    "adbc.connection.autocommit": ("on", "true"),
    "adbc.connection.readonly": ("yes", "true"),
    "adbc.connection.read_only": ("1", "true"),
    "adbc.zorvane.query_timeout_sec": ("45", "45"),
    "adbc.zorvane.batch_size_hint": ("1000", "1000"),
    "adbc.zorvane.catalog_max_age_sec": ("17", "17"),
    "adbc.connection.catalog": (None, "zorvane"),
    "adbc.connection.db_schema": (None, "main"),
}
STATEMENT_SAMPLES = {
    "adbc.zorvane.query_timeout_sec": ("9", "9"),
    "adbc.statement.bind_by_name": ("false", "false"),
    "adbc.statement.exec.progress": (None, "0"),
    "adbc.statement.exec.max_progress": (None, "0"),
    "adbc.ingest.target_table": ("sales.t", "sales.t"),
    "adbc.ingest.target_db_schema": ("sales", "sales"),
    "adbc.ingest.target_catalog": ("zorvane", "zorvane"),
    "adbc.ingest.mode": ("adbc.ingest.mode.replace", "adbc.ingest.mode.replace"),
    "adbc.ingest.temporary": ("false", "false"),
    "zv.ingest.mode": ("upsert", "upsert"),
    "zv.ingest.target_location": ("s3://bucket/x/", "s3://bucket/x/"),
    "zv.ingest.payload_format": ("parquet", "parquet"),
    "zv.ingest.key_columns": (" a, b ,", "a,b"),
    "zv.ingest.idempotency_key": ("run-1", "run-1"),
    "zv.ingest.coerce": ("no", "false"),
}

CASES = [(handle, key, access)
         for handle in ("database", "connection", "statement")
         for key, access in documented_options(f"{handle} option")]


def read_back(handle, key, value, devserver, driver_path, tmp_path):
    """Sets `key` to `value` (unless None) on a fresh handle and reads it back."""
    if handle == "database":
        options = {"username": "demo", key: value} if value is not None else {"username": "demo"}
        with dm.AdbcDatabase(driver=driver_path, uri=devserver.url, **options) as db:
            try:
                return db.get_option(key)
            finally:
                if key == "adbc.zorvane.log_level":
                    # The log's configuration is process-wide: quiet again.
                    dm.AdbcDatabase(driver=driver_path, uri=devserver.url, username="demo",
                                    **{"adbc.zorvane.log_level": "off"}).close()
    with dbapi.connect(driver=driver_path,
                       db_kwargs={"uri": devserver.url, "username": "demo",
                                  "password": "demo"}) as conn:
        if handle == "connection":
            target = conn.adbc_connection
            if value is not None:
                target.set_options(**{key: value})
            return target.get_option(key)
        with conn.cursor() as cur:
            if value is not None:
                cur.adbc_statement.set_options(**{key: value})
            return cur.adbc_statement.get_option(key)


@pytest.mark.parametrize("handle, key, access", CASES)
def test_every_documented_option_sets_and_reads_back(handle, key, access, devserver,
                                                     driver_path, tmp_path):
    samples = {"database": DATABASE_SAMPLES, "connection": CONNECTION_SAMPLES,
               "statement": STATEMENT_SAMPLES}[handle]
    assert key in samples, f"give the {handle} option {key} a sample value in this test"
    value, expected = (None if v is None else v.format(tmp=tmp_path) for v in samples[key])
    if key == "uri":
        expected = devserver.url
    if access == "set, secret":
        with pytest.raises(dm.ProgrammingError) as raised:
            read_back(handle, key, value, devserver, driver_path, tmp_path)
        assert raised.value.status_code == dm.AdbcStatusCode.NOT_FOUND
        assert "secret" in str(raised.value) and value not in str(raised.value)
        return
    assert read_back(handle, key, value, devserver, driver_path, tmp_path) == expected


def login_token(url):
    body = json.dumps({"grant_type": "password", "username": "keeper",
                       "password": "Pw-Distinct-41"}).encode()
    req = urllib.request.Request(url + "/api/v1/auth/token", data=body,
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as resp:
        return json.load(resp)["session_token"]


def test_no_secret_option_value_reaches_the_log(driver_path, tls_material, tmp_path):
    secret_keys = {key for key, access in documented_options("database option")
                   if access == "set, secret"}
    key_file = tmp_path / "Key-Distinct-43.pem"
    shutil.copy(tls_material["client_key"], key_file)
    log = tmp_path / "engine.log"
    verbose = {"adbc.zorvane.api_trace_path": str(log), "adbc.zorvane.log_level": "trace"}
    with start_devserver(nodes=1, users={"keeper": "Pw-Distinct-41"}) as srv:
        token = login_token(srv.url)
        secrets = {
            "password": "Pw-Distinct-41",
            "adbc.zorvane.proxy_pass": "Proxy-Distinct-42",
            "adbc.zorvane.tls.client_key": str(key_file),
            "adbc.zorvane.session_token": token,
        }
        assert secret_keys == set(secrets), "give every secret option a value here"
        with_password = {k: v for k, v in secrets.items() if k != "adbc.zorvane.session_token"}
        # The log is configured at Init: once first, so that the SetOption
        # lines of the databases below reach it too.
        dm.AdbcDatabase(driver=driver_path, uri=srv.url, username="keeper", **verbose).close()
        with dbapi.connect(driver=driver_path, db_kwargs={
                "uri": srv.url, "username": "keeper",
                "adbc.zorvane.tls.client_cert": tls_material["client_cert"],
                **with_password, **verbose}) as conn:
            assert run(conn, "SELECT 1 AS one").num_rows == 1
        with connected(driver_path, srv.url,
                       **{"adbc.zorvane.session_token": token, **verbose}):
            pass
        dm.AdbcDatabase(driver=driver_path, uri=srv.url, username="keeper",
                        **{"adbc.zorvane.log_level": "off"}).close()
    text = log.read_text()
    assert "value=[REDACTED]" in text
    for key, value in secrets.items():
        leaked = value if key != "adbc.zorvane.tls.client_key" else "Key-Distinct-43"
        assert leaked not in text, f"the value of {key} reached the log"

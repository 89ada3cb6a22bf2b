"""The driver as a host sees it: the shared object itself, and the ADBC entry
points reached through the real driver manager."""

import os
import re
import subprocess

import adbc_driver_manager as dm
import pytest


def test_exports_only_the_driver_entry_point(driver_path):
    out = subprocess.run(["nm", "-D", "--defined-only", driver_path], check=True,
                         capture_output=True, text=True).stdout
    symbols = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert symbols == ["AdbcDriverInit"]


def test_finds_its_arrow_libraries_without_ld_library_path(driver_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    out = subprocess.run(["ldd", driver_path], check=True, capture_output=True, text=True,
                         env=env).stdout
    assert "not found" not in out
    assert re.search(r"libarrow\.so\.\d+ => \S+pyarrow", out), out


def test_loads_through_the_driver_manager_with_logging(driver_path, tmp_path):
    log = tmp_path / "engine.log"
    trace = tmp_path / "sql.trace"
    with dm.AdbcDatabase(driver=driver_path, uri="http://127.0.0.1:9", username="demo",
                         password="hunter2-secret",
                         **{"adbc.zorvane.api_trace_path": str(log),
                            "adbc.zorvane.log_path": str(trace),
                            "adbc.zorvane.log_level": "debug"}):
        pass
    text = log.read_text()
    assert "[INFO ] [adbc] Engine log -> " + str(log) + " (level=4 [from option]); SQL trace -> " \
        + str(trace) + " [from option]" in text
    assert "[api] AdbcDatabaseRelease(db=0x" in text
    assert "hunter2-secret" not in text
    assert trace.exists()


@pytest.mark.parametrize("options, status, message", [
    ({"uri": ""}, dm.AdbcStatusCode.INVALID_ARGUMENT, "uri must be a non-empty string"),
    ({"uri": "http://h", "adbc.zorvane.tls.min_version": "TLS1.2"},
     dm.AdbcStatusCode.INVALID_ARGUMENT,
     "adbc.zorvane.tls.min_version must be 1.0, 1.1, 1.2, 1.3, or 'any'"),
    ({"uri": "http://h", "adbc.zorvane.connect_timeout_sec": "9" * 40},
     dm.AdbcStatusCode.INVALID_ARGUMENT, "adbc.zorvane.connect_timeout_sec must be a"),
    ({"uri": "http://h", "no.such.key": "1"}, dm.AdbcStatusCode.NOT_IMPLEMENTED,
     "unknown database option key: no.such.key"),
    ({"uri": "http://h"}, dm.AdbcStatusCode.INVALID_ARGUMENT,
     "must set either 'adbc.zorvane.session_token' OR 'username'"),
    ({"uri": "http://h", "username": "u", "adbc.zorvane.compute_url": "http://c",
      "adbc.zorvane.compute_node": "n1"}, dm.AdbcStatusCode.INVALID_ARGUMENT,
     "are mutually exclusive"),
])
def test_bad_database_options_are_reported_through_the_manager(driver_path, options, status,
                                                               message):
    with pytest.raises(dm.Error) as raised:
        dm.AdbcDatabase(driver=driver_path, **options)
    assert raised.value.status_code == status
    assert message in str(raised.value)


def test_non_ascii_option_values_are_accepted(driver_path):
    with dm.AdbcDatabase(driver=driver_path, uri="http://h", username="Ünïcødé-用户",
                         **{"adbc.zorvane.application_name": "名前"}):
        pass


def test_explicit_transactions_are_refused(driver_path):
    with dm.AdbcDatabase(driver=driver_path, uri="http://127.0.0.1:9", username="u") as db:
        with pytest.raises(dm.Error) as raised:
            dm.AdbcConnection(db, **{"adbc.connection.autocommit": "false"})
        assert raised.value.status_code == dm.AdbcStatusCode.NOT_IMPLEMENTED
        assert "autocommit is always true" in str(raised.value)


def test_system_openssl_precedes_parquets_copy_in_the_dependency_order(driver_path):
    # libparquet from the wheel exports its own OpenSSL symbols; if it came
    # first, libcurl's TLS calls would bind to it and corrupt memory.
    out = subprocess.run(["readelf", "-d", driver_path], check=True, capture_output=True,
                         text=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out)
    ssl = next(i for i, name in enumerate(needed) if name.startswith("libssl."))
    crypto = next(i for i, name in enumerate(needed) if name.startswith("libcrypto."))
    parquet = [i for i, name in enumerate(needed) if name.startswith("libparquet.")]
    if parquet:
        assert ssl < parquet[0] and crypto < parquet[0], needed

"""A session through the Zorvane ADBC driver, loaded by the ADBC driver manager.

Run with `make demo`. It loads the driver, creates and initialises a database
with the engine log and the SQL trace switched on, tries a connection, and
prints what the driver logged along the way.
"""

import pathlib
import sys
import tempfile

import adbc_driver_manager as dm

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))
import zorvane_adbc  # noqa: E402


def banner(text: str) -> None:
    print(f"\n=== {text} ===")


def main() -> int:
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="zorvane-demo-"))
    engine_log = workdir / "engine.log"
    sql_trace = workdir / "sql.trace"

    banner(f"driver: {zorvane_adbc.driver_path()}")
    options = {
        "adbc.zorvane.api_trace_path": str(engine_log),   # engine log file
        "adbc.zorvane.log_path": str(sql_trace),          # SQL trace file
        "adbc.zorvane.log_level": "debug",
        "adbc.zorvane.application_name": "zorvane-demo",
    }
    with zorvane_adbc.connect_database("http://127.0.0.1:9", username="demo",
                                       password="demo-password", **options) as db:
        print("database initialised")
        try:
            with dm.AdbcConnection(db):
                print("connected")
        except dm.Error as exc:
            print(f"connection refused as expected without a service: {exc}")

    banner("bad option values are refused with a clear message")
    for key, value in [("adbc.zorvane.tls.min_version", "TLS1.2"),
                       ("adbc.zorvane.connect_timeout_sec", "-1")]:
        try:
            zorvane_adbc.connect_database("http://127.0.0.1:9", username="demo", **{key: value})
        except dm.Error as exc:
            print(f"{key}={value!r}: {exc}")

    banner(f"engine log ({engine_log})")
    print(engine_log.read_text(), end="")
    assert "demo-password" not in engine_log.read_text(), "secrets must never be logged"
    print("\n(the password set as an option appears only as [REDACTED])")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A session through the installed adbc-driver-zorvane wheel, as a user runs it.

Run by the Python of a fresh virtual environment that holds only the wheel and
its dependencies (test_wheel_install.py builds it), from outside the checkout:

    python wheel_session.py CONTROL_PLANE_URL CHECKOUT SHARED_VENV VERSION

It loads the driver by name and by URI (through the driver manager, the
package's dbapi and polars), reads and writes through pandas, lists objects,
ingests, checks that the installed library resolves nothing from the
checkout or its environment, and that the package, its metadata, the installed
manifest and GetInfo all carry VERSION (the CMake project's). Any failed check
raises.
"""

import importlib.metadata
import pathlib
import re
import subprocess
import sys

import adbc_driver_manager
import adbc_driver_manager.dbapi
import pandas as pd
import polars as pl
import pyarrow as pa
import tomllib

import adbc_driver_zorvane
import adbc_driver_zorvane.dbapi

CONTROL, CHECKOUT, SHARED_VENV = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
VERSION = sys.argv[4]
HOST_PORT = CONTROL.split("://", 1)[1].rstrip("/")
# Plain http: the dev server has no TLS. The password is percent-encoded on purpose.
URI = f"zorvane://demo:%64emo@{HOST_PORT}/?tls=off&application_name=wheel%20session"


def scalar(conn, sql):
    with conn.cursor() as cur:
        cur.execute(sql)
        return cur.fetchone()[0]


def check_installed_where_expected():
    prefix = pathlib.Path(sys.prefix).resolve()
    library = pathlib.Path(adbc_driver_zorvane._driver_path()).resolve()
    assert prefix in library.parents, f"driver library outside the venv: {library}"
    sections = subprocess.run(["readelf", "-S", str(library)], capture_output=True, text=True,
                              check=True).stdout
    assert ".debug_info" not in sections, "the shipped library carries debug information"
    assert not list(library.parent.glob("*.debug")), "a debug file was shipped"
    return library


# glibc, the C++ runtime and GLib's core (what the manylinux policy lets a
# wheel take from the system), with what GLib loads itself: all the installed
# library may take from the system.
SYSTEM = ("libc.so", "libm.so", "libdl.so", "librt.so", "libpthread.so", "libresolv.so",
          "libstdc++.so", "libgcc_s.so", "libglib-2.0.so", "libgobject-2.0.so",
          "libgthread-2.0.so", "libz.so", "libffi.so", "libpcre2-8.so")


def check_dependencies(library):
    out = subprocess.run(["ldd", str(library)], capture_output=True, text=True, check=True).stdout
    assert "not found" not in out, out
    prefix = pathlib.Path(sys.prefix).resolve()
    forbidden = [CHECKOUT.resolve(), SHARED_VENV.resolve()]
    for soname, path in re.findall(r"(\S+) => (\S+) \(", out):
        resolved = pathlib.Path(path).resolve()
        assert not any(f == resolved or f in resolved.parents for f in forbidden), \
            f"{resolved} is in the checkout or its environment"
        in_venv = prefix in resolved.parents
        assert in_venv or soname.startswith(SYSTEM), f"{soname} taken from the system: {resolved}"
        if re.match(r"lib(arrow|parquet)", soname):
            assert resolved.parent.name == "pyarrow" and in_venv, f"Arrow from {resolved}"


def check_versions():
    manifest = pathlib.Path(sys.prefix) / "etc" / "adbc" / "drivers" / "zorvane.toml"
    versions = {
        "package": adbc_driver_zorvane.__version__,
        "metadata": importlib.metadata.version("adbc-driver-zorvane"),
        "manifest": tomllib.loads(manifest.read_text())["version"],
    }
    assert set(versions.values()) == {VERSION}, versions


def load_by_name():
    kwargs = {"uri": CONTROL, "username": "demo", "password": "demo"}
    with adbc_driver_manager.dbapi.connect(driver="zorvane", db_kwargs=kwargs,
                                           autocommit=True) as conn:
        info = conn.adbc_get_info()
        assert info["vendor_name"] == "Zorvane"
        assert info["driver_version"] == VERSION, info
        assert scalar(conn, "SELECT count(*) FROM sales.orders") > 0


def load_by_uri():
    # The scheme names the driver: the manifest is found from the URI alone.
    with adbc_driver_manager.dbapi.connect(uri=URI, autocommit=True) as conn:
        assert scalar(conn, "SELECT 40 + 2") == 42
    with adbc_driver_zorvane.dbapi.connect(URI) as conn:
        assert scalar(conn, "SELECT 'ok'") == "ok"
    frame = pl.read_database_uri("SELECT range AS n FROM range(5)", URI, engine="adbc")
    assert frame["n"].to_list() == [0, 1, 2, 3, 4]


def pandas_and_ingest():
    with adbc_driver_zorvane.dbapi.connect(URI) as conn:
        with conn.cursor() as cur:
            cur.execute("CREATE TABLE wheel_people (id BIGINT, name VARCHAR)")
            cur.fetchall()
            cur.adbc_ingest("wheel_people", pa.table({"id": [1, 2], "name": ["a", "b"]}),
                            mode="append")
        written = pd.DataFrame({"id": [3], "name": ["ü"]})
        written.to_sql("wheel_people", conn, if_exists="append", index=False)
        read = pd.read_sql("SELECT id, name FROM wheel_people ORDER BY id", conn)
        assert read.to_dict("list") == {"id": [1, 2, 3], "name": ["a", "b", "ü"]}, read
        objects = conn.adbc_get_objects(depth="tables", db_schema_filter="sales").read_all()
        tables = {t["table_name"] for c in objects.to_pylist()
                  for s in c["catalog_db_schemas"] for t in s["db_schema_tables"]}
        assert "orders" in tables, tables


def main():
    library = check_installed_where_expected()
    check_dependencies(library)
    check_versions()
    load_by_name()
    load_by_uri()
    pandas_and_ingest()
    print("wheel session: all checks passed")


if __name__ == "__main__":
    main()

"""Helpers shared by the driver's Python tests."""

from contextlib import contextmanager

import adbc_driver_manager as dm


def open_connection(driver_path, uri, conn_options=None, **db_options):
    """An initialised (database, connection) pair of the low-level API; the
    caller closes both (connection first)."""
    db = dm.AdbcDatabase(driver=driver_path, uri=uri, **db_options)
    try:
        conn = dm.AdbcConnection(db, **(conn_options or {}))
    except Exception:
        db.close()
        raise
    return db, conn


@contextmanager
def connected(driver_path, uri, conn_options=None, **db_options):
    """A connection for the duration of a with block."""
    db, conn = open_connection(driver_path, uri, conn_options, **db_options)
    try:
        yield conn
    finally:
        conn.close()
        db.close()

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


def demo_dbapi(driver_path, url):
    """A DB-API connection as the dev server's demo user (autocommit)."""
    import adbc_driver_manager.dbapi as dbapi
    return dbapi.connect(driver=driver_path, autocommit=True,
                         db_kwargs={"uri": url, "username": "demo", "password": "demo"})


def run(conn, sql):
    """The whole result of one statement as an Arrow table."""
    with conn.cursor() as cur:
        cur.execute(sql)
        return cur.fetch_arrow_table()

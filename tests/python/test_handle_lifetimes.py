"""Handles released out of order, through the driver manager's C interface.

The Python layer of the driver manager refuses to close a connection with an
open statement, but C hosts may do it (in error, or while tearing down), and
may then reuse the connection's handle for a new connection. A statement that
outlives its connection must keep failing cleanly, never crash and never run
on whichever connection now occupies the handle.
"""

import ctypes

import pytest
from adbc_c import ADBC_STATUS_INVALID_STATE, ArrowArrayStream, Handle, Manager as CManager

TIMEOUT_KEY = b"adbc.zorvane.query_timeout_sec"


class Manager(CManager):
    def open_connection(self, conn, db, timeout):
        self.call("AdbcConnectionNew", ctypes.byref(conn))
        self.call("AdbcConnectionSetOption", ctypes.byref(conn), TIMEOUT_KEY, timeout)
        self.call("AdbcConnectionInit", ctypes.byref(conn), ctypes.byref(db))

    def statement_timeout(self, stmt):
        value = ctypes.create_string_buffer(64)
        length = ctypes.c_size_t(len(value))
        self.call("AdbcStatementGetOption", ctypes.byref(stmt), TIMEOUT_KEY, value,
                  ctypes.byref(length))
        return value.value


@pytest.mark.parametrize("handle_reused", [False, True], ids=["handle-left", "handle-reused"])
def test_statement_outliving_its_connection_stays_on_it(driver_path, devserver, handle_reused):
    dm = Manager()
    db, conn, stmt = Handle(), Handle(), Handle()
    dm.call("AdbcDatabaseNew", ctypes.byref(db))
    for key, value in [(b"driver", driver_path.encode()), (b"uri", devserver.url.encode()),
                       (b"username", b"demo"), (b"password", b"demo")]:
        dm.call("AdbcDatabaseSetOption", ctypes.byref(db), key, value)
    dm.call("AdbcDatabaseInit", ctypes.byref(db))
    dm.open_connection(conn, db, b"5")
    dm.call("AdbcStatementNew", ctypes.byref(conn), ctypes.byref(stmt))
    dm.call("AdbcStatementSetSqlQuery", ctypes.byref(stmt), b"SELECT 1")

    dm.call("AdbcConnectionRelease", ctypes.byref(conn))
    if handle_reused:
        dm.open_connection(conn, db, b"9")

    assert dm.statement_timeout(stmt) == b"5"
    stream = ArrowArrayStream()
    message = dm.call("AdbcStatementExecuteQuery", ctypes.byref(stmt), ctypes.byref(stream), None,
                      expect=ADBC_STATUS_INVALID_STATE)
    assert "parent connection is not initialised" in message
    assert not stream.release
    dm.call("AdbcStatementRelease", ctypes.byref(stmt))
    if handle_reused:
        dm.call("AdbcConnectionRelease", ctypes.byref(conn))
    dm.call("AdbcDatabaseRelease", ctypes.byref(db))

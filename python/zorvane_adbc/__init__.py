"""Load the Zorvane ADBC driver through the ADBC driver manager.

    import zorvane_adbc
    with zorvane_adbc.connect("http://127.0.0.1:8080", username="demo",
                              password="demo") as conn:
        ...

``driver_path()`` tells where the shared library is: the ``ZV_ADBC_DRIVER``
environment variable when set, otherwise the library built in this checkout.
"""

from __future__ import annotations

import os
import pathlib
from typing import Any, Optional

import adbc_driver_manager
import adbc_driver_manager.dbapi

__all__ = ["driver_path", "connect", "connect_database"]

_LIBRARY_NAME = "libzorvane_adbc.so"


def driver_path() -> str:
    override = os.environ.get("ZV_ADBC_DRIVER")
    if override:
        return override
    repo = pathlib.Path(__file__).resolve().parents[2]
    built = repo / "build" / "src" / _LIBRARY_NAME
    if built.exists():
        return str(built)
    raise FileNotFoundError(
        f"{_LIBRARY_NAME} not found: build the project (make build) or set ZV_ADBC_DRIVER"
    )


def _database_options(uri: str, username: Optional[str], password: Optional[str],
                      options: dict[str, Any]) -> dict[str, str]:
    db_kwargs = {"uri": uri}
    if username is not None:
        db_kwargs["username"] = username
    if password is not None:
        db_kwargs["password"] = password
    db_kwargs.update({key: str(value) for key, value in options.items()})
    return db_kwargs


def connect_database(uri: str, username: Optional[str] = None, password: Optional[str] = None,
                     **options: Any) -> adbc_driver_manager.AdbcDatabase:
    """An initialised low-level AdbcDatabase; options use the driver's keys."""
    return adbc_driver_manager.AdbcDatabase(
        driver=driver_path(), **_database_options(uri, username, password, options))


def connect(uri: str, username: Optional[str] = None, password: Optional[str] = None,
            db_kwargs: Optional[dict[str, Any]] = None,
            conn_kwargs: Optional[dict[str, str]] = None) -> adbc_driver_manager.dbapi.Connection:
    """A DB-API connection to the Zorvane service at ``uri`` (the control plane).

    The service has no explicit transactions, so the connection runs in
    autocommit mode (DB-API's default of manual commit cannot be offered).
    """
    return adbc_driver_manager.dbapi.connect(
        driver=driver_path(),
        db_kwargs=_database_options(uri, username, password, db_kwargs or {}),
        conn_kwargs=conn_kwargs,
        autocommit=True,
    )

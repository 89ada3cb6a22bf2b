"""SQLSTATEs for DuckDB errors, so clients can classify failures without parsing texts."""
from __future__ import annotations

import duckdb

UNKNOWN_TABLE = "42S02"
TABLE_EXISTS = "42S01"
UNKNOWN_COLUMN = "42S22"
BAD_CAST = "22018"
KEY_VIOLATION = "23000"
BAD_PARAMETER = "22023"
SYNTAX = "42000"
NOT_PERMITTED = "42501"
GENERAL = "HY000"


def sqlstate_for(exc: BaseException) -> str:
    text = str(exc)
    if isinstance(exc, duckdb.ParserException):
        return SYNTAX
    if isinstance(exc, duckdb.CatalogException):
        return _catalog_state(text)
    if isinstance(exc, duckdb.BinderException):
        return UNKNOWN_COLUMN if "column" in text.lower() and "not found" in text.lower() else SYNTAX
    if isinstance(exc, duckdb.ConversionException):
        return BAD_CAST
    if isinstance(exc, (duckdb.ConstraintException, duckdb.IntegrityError)):
        return KEY_VIOLATION
    if isinstance(exc, duckdb.InterruptException):
        return "57014"
    if isinstance(exc, duckdb.PermissionException):
        return NOT_PERMITTED
    return _from_text(text)


# Errors raised while DuckDB streams through an Arrow reader lose their class
# and keep only the "<Kind> Error: ..." text.
_TEXT_PREFIXES = (("Parser Error", SYNTAX), ("Conversion Error", BAD_CAST), ("Constraint Error", KEY_VIOLATION),
                  ("Binder Error", SYNTAX))


def _from_text(text: str) -> str:
    for prefix, state in _TEXT_PREFIXES:
        if text.startswith(prefix):
            return state
    if text.startswith("Catalog Error"):
        return _catalog_state(text)
    return GENERAL


def _catalog_state(text: str) -> str:
    if "does not exist" in text:
        return UNKNOWN_TABLE
    if "already exists" in text:
        return TABLE_EXISTS
    return GENERAL


def error_code_for(exc: BaseException) -> str:
    """The server's own name for the kind of failure, reported beside the SQLSTATE."""
    return type(exc).__name__


def http_status_for(exc: BaseException) -> int:
    if isinstance(exc, (duckdb.InternalException, duckdb.OutOfMemoryException)):
        return 500
    return 400

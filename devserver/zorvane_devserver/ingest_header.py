"""The JSON header of an ingest upload (its INIT frame), checked strictly."""
from __future__ import annotations

import base64
import binascii
import json
from dataclasses import dataclass, field

import pyarrow as pa

from .sqlstate import BAD_PARAMETER

MODES = ("append", "upsert", "overwrite", "land")
FORMATS = ("arrow_ipc", "parquet")
_FIELDS = {"target_table": str, "target_location": str, "mode": str, "payload_format": str, "key_columns": list,
           "schema_ipc": str, "idempotency_key": str, "coerce": bool, "table_action": str, "table_ddl": str}
TABLE_ACTIONS = ("create", "create_append", "replace")


class IngestError(Exception):
    def __init__(self, message: str, sqlstate: str):
        super().__init__(message)
        self.message = message
        self.sqlstate = sqlstate


@dataclass
class IngestHeader:
    mode: str
    payload_format: str
    target_table: str = ""
    target_location: str = ""
    key_columns: list[str] = field(default_factory=list)
    schema: pa.Schema | None = None
    idempotency_key: str = ""
    coerce: bool = True
    table_action: str = ""  # create / create_append / replace: run table_ddl in the load's transaction
    table_ddl: str = ""


def _bad(message: str) -> IngestError:
    return IngestError(f"bad ingest header: {message}", BAD_PARAMETER)


def parse_header(payload: bytes) -> IngestHeader:
    try:
        obj = json.loads(payload.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise _bad(f"not UTF-8 JSON ({exc})") from None
    if not isinstance(obj, dict):
        raise _bad("not a JSON object")
    unknown = sorted(set(obj) - set(_FIELDS))
    if unknown:
        raise _bad(f"unknown fields: {', '.join(unknown)}")
    for name, value in obj.items():
        if not isinstance(value, _FIELDS[name]) or (isinstance(value, bool) and _FIELDS[name] is not bool):
            raise _bad(f"field '{name}' has the wrong type")
    if obj.get("mode") not in MODES:
        raise _bad(f"mode must be one of {', '.join(MODES)}")
    if obj.get("payload_format") not in FORMATS:
        raise _bad(f"payload_format must be one of {', '.join(FORMATS)}")
    keys = obj.get("key_columns", [])
    if not all(isinstance(k, str) and k for k in keys):
        raise _bad("key_columns must be an array of non-empty strings")
    header = IngestHeader(mode=obj["mode"], payload_format=obj["payload_format"],
                          target_table=obj.get("target_table", ""), target_location=obj.get("target_location", ""),
                          key_columns=list(keys), idempotency_key=obj.get("idempotency_key", ""),
                          coerce=obj.get("coerce", True), table_action=obj.get("table_action", ""),
                          table_ddl=obj.get("table_ddl", ""))
    if ("table_action" in obj) != ("table_ddl" in obj):
        raise _bad("table_action and table_ddl come together")
    if header.table_action and header.table_action not in TABLE_ACTIONS:
        raise _bad(f"table_action must be one of {', '.join(TABLE_ACTIONS)}")
    if header.table_action and header.mode != "append":
        raise _bad(f"table_action {header.table_action} needs mode append, not {header.mode}")
    if header.mode == "land" and not header.target_location:
        raise _bad("target_location is required for mode land")
    if header.mode != "land" and not header.target_table:
        raise _bad(f"target_table is required for mode {header.mode}")
    if header.mode == "upsert" and not header.key_columns:
        raise _bad("key_columns are required for mode upsert")
    if "schema_ipc" in obj:
        try:
            raw = base64.b64decode(obj["schema_ipc"], validate=True)
            header.schema = pa.ipc.open_stream(pa.py_buffer(raw)).schema
        except (binascii.Error, ValueError, pa.ArrowException) as exc:
            raise _bad(f"schema_ipc is not a base64 Arrow IPC stream ({exc})") from None
    return header

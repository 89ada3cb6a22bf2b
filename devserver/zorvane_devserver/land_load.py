"""Land-mode ingest: writes each batch as a Parquet file under the storage root.

Files go to a private staging directory first and move into place only on
commit, so an upload that fails or is cancelled leaves no files behind.
"""
from __future__ import annotations

import shutil
import uuid
from pathlib import Path, PurePosixPath

import pyarrow as pa
import pyarrow.parquet as pq

from .ingest_header import IngestError, IngestHeader
from .sqlstate import BAD_PARAMETER


def resolve_location(root: Path, location: str) -> Path:
    """Directory for a target location such as "landing/sales" or "s3://bucket/landing/sales"."""
    _, sep, rest = location.partition("://")
    path = PurePosixPath(rest if sep else location)
    parts = [p for p in path.parts if p not in ("/", "")]
    if not parts or any(p in (".", "..") for p in parts) or any("\\" in p or "\x00" in p for p in parts):
        raise IngestError(f"bad ingest header: target_location {location!r} is not a relative storage path",
                          BAD_PARAMETER)
    return root.joinpath(*parts)


class LandLoad:
    def __init__(self, storage_root: Path, header: IngestHeader):
        self.header = header
        self.rows_inserted = self.rows_updated = self.rows_deleted = 0
        self._target = resolve_location(storage_root, header.target_location)
        self._run = uuid.uuid4().hex[:12]
        self._staging = storage_root / ".staging" / self._run
        self._staging.mkdir(parents=True)
        self._files: list[str] = []

    def add(self, data: pa.Table, raw_parquet: bytes | None = None) -> None:
        name = f"part-{self._run}-{len(self._files):05d}.parquet"
        path = self._staging / name
        if raw_parquet is not None:
            path.write_bytes(raw_parquet)
        else:
            pq.write_table(data, path)
        self._files.append(name)
        self.rows_inserted += data.num_rows

    def commit(self) -> list[str]:
        try:
            self._target.mkdir(parents=True, exist_ok=True)
            landed = []
            for name in self._files:
                dest = self._target / name
                (self._staging / name).replace(dest)
                landed.append(str(dest))
            return landed
        finally:
            shutil.rmtree(self._staging, ignore_errors=True)

    @property
    def changed(self) -> bool:
        return False

    def rollback(self) -> None:
        shutil.rmtree(self._staging, ignore_errors=True)

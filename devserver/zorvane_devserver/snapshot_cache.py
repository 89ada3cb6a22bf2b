"""The encoded catalog snapshot, kept while the catalog's sequence stands still.

Building the snapshot reads nine information_schema views, about 30 ms even
for an empty catalog; every first connection of a user asks for it, so without
this a fresh login cost mostly that. The sequence moves with every catalog
change (the driver relies on the same counter to invalidate its own cache),
so an entry whose sequence is still current is the catalog as it stands.
"""
from __future__ import annotations

import asyncio
import time
from dataclasses import dataclass

import pyarrow as pa

from .arrow_ipc import ipc_stream
from .database import Database
from .snapshot import build_snapshot

# A change whose bump lands before its transaction commits (a multi-statement
# text with BEGIN ... COMMIT) could leave an old catalog under the new
# sequence; entries are rebuilt after this long whatever the sequence says.
MAX_AGE_SECONDS = 10.0


@dataclass(frozen=True)
class EncodedSnapshot:
    epoch: int
    slots: tuple[pa.Buffer, ...]  # one IPC stream per slot, in slot order
    built_at: float


def _build_encoded(db: Database) -> EncodedSnapshot:
    epoch, batches = build_snapshot(db)
    return EncodedSnapshot(epoch, tuple(ipc_stream(b.schema, b) for b in batches), time.monotonic())


class SnapshotCache:
    def __init__(self, max_age: float = MAX_AGE_SECONDS):
        self._max_age = max_age
        self._entry: EncodedSnapshot | None = None
        self._building: asyncio.Lock | None = None

    def _current(self, db: Database) -> EncodedSnapshot | None:
        entry = self._entry
        if entry is None or entry.epoch != db.version.sequence or time.monotonic() - entry.built_at > self._max_age:
            return None
        return entry

    async def get(self, db: Database) -> EncodedSnapshot:
        """The snapshot of the catalog as it stands; concurrent requests share one build."""
        entry = self._current(db)
        if entry is not None:
            return entry
        if self._building is None:
            self._building = asyncio.Lock()
        async with self._building:
            entry = self._current(db)
            if entry is not None:
                return entry
            entry = await asyncio.to_thread(_build_encoded, db)
            # Kept only when no change was counted while it was built: the build
            # read the sequence inside its transaction, before the tables.
            if entry.epoch == db.version.sequence:
                self._entry = entry
            return entry

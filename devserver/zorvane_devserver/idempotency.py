"""Remembers the statistics of finished ingests by idempotency key, so a retried upload is not applied twice.

A key belongs to one user and names one load: the same key with another target or mode is a different
request, which is refused rather than answered with the first load's statistics.
"""
from __future__ import annotations

import asyncio

from .ingest_header import IngestError, IngestHeader
from .sqlstate import BAD_PARAMETER


def _scope(header: IngestHeader) -> tuple[str, str, str]:
    return (header.target_table or header.target_location, header.mode, header.table_action)


class IdempotencyStore:
    def __init__(self):
        self._results: dict[tuple[str, str], tuple[tuple[str, str, str], dict]] = {}
        self._locks: dict[tuple[str, str], asyncio.Lock] = {}

    def lock(self, user: str, key: str) -> asyncio.Lock:
        # Two uploads with the same key at once must not both apply: the second waits and replays.
        return self._locks.setdefault((user, key), asyncio.Lock())

    def get(self, user: str, header: IngestHeader) -> dict | None:
        found = self._results.get((user, header.idempotency_key))
        if found is None:
            return None
        scope, stats = found
        if scope != _scope(header):
            target, mode, action = scope
            raise IngestError(f"idempotency key {header.idempotency_key!r} was used for a load into {target!r} "
                              f"(mode {action or mode}); nothing was loaded", BAD_PARAMETER)
        return stats

    def put(self, user: str, header: IngestHeader, stats: dict) -> None:
        self._results[(user, header.idempotency_key)] = (_scope(header), dict(stats))

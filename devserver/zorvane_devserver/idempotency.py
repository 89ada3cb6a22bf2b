"""Remembers the statistics of finished ingests by idempotency key, so a retried upload is not applied twice."""
from __future__ import annotations

import asyncio


class IdempotencyStore:
    def __init__(self):
        self._results: dict[str, dict] = {}
        self._locks: dict[str, asyncio.Lock] = {}

    def lock(self, key: str) -> asyncio.Lock:
        # Two uploads with the same key at once must not both apply: the second waits and replays.
        return self._locks.setdefault(key, asyncio.Lock())

    def get(self, key: str) -> dict | None:
        return self._results.get(key)

    def put(self, key: str, stats: dict) -> None:
        self._results[key] = dict(stats)

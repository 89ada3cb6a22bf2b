"""Counters that let tests prove caching and connection reuse from the outside."""
from __future__ import annotations

import threading
from collections import Counter


class Counters:
    def __init__(self):
        self._lock = threading.Lock()
        self.reset()

    def reset(self) -> None:
        with self._lock:
            self._requests: Counter[str] = Counter()
            self._requests_by_server: dict[str, Counter[str]] = {}
            self._connections: Counter[str] = Counter()
            self._events: Counter[str] = Counter()

    def request(self, server: str, endpoint: str) -> None:
        with self._lock:
            self._requests[endpoint] += 1
            self._requests_by_server.setdefault(server, Counter())[endpoint] += 1

    def connection(self, server: str, delta: int = 1) -> None:
        with self._lock:
            self._connections[server] += delta

    def event(self, name: str) -> None:
        with self._lock:
            self._events[name] += 1

    def as_dict(self) -> dict:
        with self._lock:
            return {
                "requests": dict(self._requests),
                "requests_by_server": {k: dict(v) for k, v in self._requests_by_server.items()},
                "connections": dict(self._connections),
                "logins": self._events["logins"],
                "login_failures": self._events["login_failures"],
                "snapshot_fetches": self._events["snapshot_fetches"],
                "unauthorized": self._events["unauthorized"],
                "client_disconnects": self._events["client_disconnects"],
                "queries": self._events["queries"],
                "queries_interrupted": self._events["queries_interrupted"],
                "ingests_committed": self._events["ingests_committed"],
                "ingests_rolled_back": self._events["ingests_rolled_back"],
                "ingest_replays": self._events["ingest_replays"],
            }

"""The embedded DuckDB database and the catalog's version counters."""
from __future__ import annotations

import json
import threading
from pathlib import Path

import duckdb

from . import CATALOG_NAME

# Connections kept for reuse by later requests (see Database.recycle).
IDLE_CURSORS = 8
# What DuckDB's threads may hold of a streaming result before its reader takes
# it. The reader hands over the first rows only once that buffer is full (or
# the result ends): at DuckDB's default of 10 MiB a wide 10-million-row result
# gave its first batch after 7-9 ms (12-20 ms with the machine busy), at 4 MB
# after 5-6 ms. A smaller buffer would give it sooner still, but DuckDB then
# pauses more often while a large download is being written.
STREAMING_BUFFER = "4MB"

VERSION_COUNTERS = ("sequence", "tables_version", "views_version", "schemas_version", "permissions_version",
                    "graphs_version", "connections_version", "pipelines_version")


class CatalogVersion:
    """Counters the driver polls to decide whether its cached catalog snapshot is stale.

    With a data directory they are kept in a file so a restarted server never
    reports a sequence an old client already saw for a different catalog.
    """

    def __init__(self, path: Path | None):
        self._path = path
        self._lock = threading.Lock()
        self._values = dict.fromkeys(VERSION_COUNTERS, 0)
        self._values["sequence"] = 1
        if path is not None and path.exists():
            stored = json.loads(path.read_text())
            self._values.update({k: int(v) for k, v in stored.items() if k in self._values})
            self._values["sequence"] += 1

    def snapshot(self) -> dict[str, int]:
        with self._lock:
            return dict(self._values)

    @property
    def sequence(self) -> int:
        with self._lock:
            return self._values["sequence"]

    def bump(self, *kinds: str) -> int:
        with self._lock:
            self._values["sequence"] += 1
            for kind in kinds:
                self._values[kind] += 1
            if self._path is not None:
                self._path.write_text(json.dumps(self._values))
            return self._values["sequence"]


class Database:
    def __init__(self, data_dir: Path | None):
        self._root = duckdb.connect(":memory:")
        # Sessions run in UTC, named so, whatever the host's TZ (which DuckDB
        # would otherwise adopt under a host alias such as Etc/UTC): result
        # types and rendered timestamps must not depend on where the server runs.
        self._root.execute("SET GLOBAL TimeZone = 'UTC'")
        # A client's SQL names catalog objects only: DuckDB would otherwise
        # read a table name it cannot find as a Python variable of the server
        # code that runs the query (and a module one as an error citing the
        # server's source). A query may not turn this back on (QueryRun).
        self._root.execute("SET GLOBAL python_enable_replacements = false")
        if data_dir is not None:
            data_dir.mkdir(parents=True, exist_ok=True)
            target = str(data_dir / f"{CATALOG_NAME}.duckdb")
        else:
            target = ":memory:"
        self._root.execute(f"ATTACH '{target}' AS {CATALOG_NAME}")
        self._root.execute(f"USE {CATALOG_NAME}")
        self.version = CatalogVersion(data_dir / "catalog_version.json" if data_dir else None)
        self._idle: list[duckdb.DuckDBPyConnection] = []
        self._idle_lock = threading.Lock()

    def cursor(self) -> duckdb.DuckDBPyConnection:
        """A connection of its own for one request; DuckDB connections are not shared across threads."""
        with self._idle_lock:
            if self._idle:
                return self._idle.pop()
        cur = self._root.cursor()
        # Most of a small query's cost on a new connection: hence the idle pool.
        cur.execute(f"USE {CATALOG_NAME}")
        cur.execute(f"SET streaming_buffer_size = '{STREAMING_BUFFER}'")
        return cur

    def recycle(self, cur: duckdb.DuckDBPyConnection) -> None:
        """Takes back a cursor whose session state is as cursor() made it (the caller
        knows: only statements that cannot change settings, the current catalog or
        schema, temporary objects or the transaction ran on it); it serves a later
        request without paying for a new connection again."""
        with self._idle_lock:
            if len(self._idle) < IDLE_CURSORS:
                self._idle.append(cur)
                return
        cur.close()

    def close(self) -> None:
        with self._idle_lock:
            idle, self._idle = self._idle, []
        for cur in idle:
            cur.close()
        try:
            self._root.execute(f"CHECKPOINT {CATALOG_NAME}")
        except duckdb.Error:
            pass
        self._root.close()

"""Timing helpers the benchmarks share: a raw HTTP client on one kept-alive
connection, the baseline a driver figure is set beside, and latency summaries."""
from __future__ import annotations

import http.client
import statistics
import time
from collections.abc import Iterable
from urllib.parse import urlsplit

STREAM_TYPE = "application/vnd.zorvane.stream.v1"


class KeptAlive:
    """One HTTP connection to the server of `url`, reused by every request; each
    request is timed from sending it to the last byte of the answer."""

    def __init__(self, url: str, token: str | None = None, timeout: float = 600):
        parts = urlsplit(url)
        self._conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
        self._auth = {"Authorization": f"Bearer {token}"} if token else {}

    def post(self, path: str, body: bytes | str | Iterable[bytes], headers: dict[str, str],
             chunked: bool = False) -> tuple[float, int, bytes]:
        """(seconds, HTTP status, body) of one POST."""
        start = time.perf_counter()
        self._conn.request("POST", path, body, {**self._auth, **headers}, encode_chunked=chunked)
        response = self._conn.getresponse()
        data = response.read()
        return time.perf_counter() - start, response.status, data

    def close(self) -> None:
        self._conn.close()

    def __enter__(self) -> KeptAlive:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def summary_ms(samples: list[float]) -> str:
    """Median and p95 of samples in seconds, as milliseconds."""
    return f"median {statistics.median(samples) * 1000:7.2f} ms   p95 {percentile(samples, 95) * 1000:7.2f} ms"

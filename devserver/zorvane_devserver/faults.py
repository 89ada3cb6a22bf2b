"""Faults that tests arm through /debug/faults; only reachable with --fault-injection."""
from __future__ import annotations

import threading
from dataclasses import dataclass, field, fields

ENDPOINTS = ("login", "recommend", "confirm", "abandon", "lookup", "version", "snapshot", "query", "ingest")
STREAM_ENDPOINTS = ("query", "snapshot")

# kind -> (default endpoint or None for "any", whether it needs a framed stream)
KINDS = {
    "delay": (None, False),          # sleep `seconds` before the first byte of the response
    "http_status": (None, False),    # answer `status` with `body` instead of the real response
    "close": (None, False),          # drop the connection: at once, or after `after_batches` BATCH frames
    "drip": (None, False),           # send the response body `chunk_bytes` at a time every `interval` seconds
    "stall": (None, True),           # pause `seconds` after `after_batches` BATCH frames
    "truncate": (None, True),        # end the body inside a frame after `after_batches` BATCH frames
    "error_frame": (None, True),     # send an ERROR frame after `after_batches` BATCH frames
    "refuse_logins": ("login", False),
    "fail_confirmations": ("confirm", False),
}


class FaultSpecError(ValueError):
    pass


@dataclass
class Fault:
    kind: str
    endpoint: str | None = None
    seconds: float = 0.0
    after_batches: int = 0
    status: int = 0
    body: str | None = None
    content_type: str = "application/json"
    message: str = "injected failure"
    sqlstate: str = "HY000"
    chunk_bytes: int = 64
    interval: float = 0.01
    times: int | None = None

    @classmethod
    def from_json(cls, obj) -> Fault:
        if not isinstance(obj, dict):
            raise FaultSpecError("a fault is a JSON object")
        known = {f.name: f for f in fields(cls)}
        unknown = set(obj) - set(known)
        if unknown:
            raise FaultSpecError(f"unknown fault fields: {sorted(unknown)}")
        kind = obj.get("kind")
        if kind not in KINDS:
            raise FaultSpecError(f"unknown fault kind {kind!r}; known: {sorted(KINDS)}")
        fault = cls(kind=kind)
        for name, value in obj.items():
            want = {"kind": str, "endpoint": str, "seconds": (int, float), "after_batches": int, "status": int,
                    "body": str, "content_type": str, "message": str, "sqlstate": str, "chunk_bytes": int,
                    "interval": (int, float), "times": int}[name]
            if value is not None and (not isinstance(value, want) or isinstance(value, bool)):
                raise FaultSpecError(f"fault field {name!r} has the wrong type")
            setattr(fault, name, value)
        default_endpoint, needs_stream = KINDS[kind]
        fault.endpoint = fault.endpoint or default_endpoint
        if fault.endpoint is not None and fault.endpoint not in ENDPOINTS:
            raise FaultSpecError(f"unknown endpoint {fault.endpoint!r}; known: {list(ENDPOINTS)}")
        if needs_stream and fault.endpoint not in STREAM_ENDPOINTS:
            raise FaultSpecError(f"fault {kind!r} needs endpoint 'query' or 'snapshot'")
        if fault.kind == "refuse_logins" and not fault.status:
            fault.status = 401
        if fault.kind == "fail_confirmations" and not fault.status:
            fault.status = 503
        if fault.kind == "http_status" and not 100 <= fault.status <= 599:
            raise FaultSpecError("http_status needs a status between 100 and 599")
        if fault.chunk_bytes < 1 or fault.seconds < 0 or fault.interval < 0 or fault.after_batches < 0:
            raise FaultSpecError("sizes, counts and durations must not be negative")
        return fault

    def as_json(self) -> dict:
        return {f.name: getattr(self, f.name) for f in fields(self)}


@dataclass
class RequestFaults:
    """The faults one request picked up, one per kind at most."""
    by_kind: dict[str, Fault] = field(default_factory=dict)

    def get(self, kind: str) -> Fault | None:
        return self.by_kind.get(kind)

    def __bool__(self) -> bool:
        return bool(self.by_kind)


class FaultRegistry:
    def __init__(self):
        self._lock = threading.Lock()
        self._faults: list[Fault] = []

    def add(self, fault: Fault) -> None:
        with self._lock:
            self._faults.append(fault)

    def clear(self) -> None:
        with self._lock:
            self._faults.clear()

    def list(self) -> list[dict]:
        with self._lock:
            return [f.as_json() for f in self._faults]

    def take(self, endpoint: str) -> RequestFaults:
        """Faults for one request to endpoint; each use counts against a fault's `times`."""
        picked = RequestFaults()
        with self._lock:
            for fault in list(self._faults):
                if fault.endpoint not in (None, endpoint) or fault.kind in picked.by_kind:
                    continue
                picked.by_kind[fault.kind] = fault
                if fault.times is not None:
                    fault.times -= 1
                    if fault.times <= 0:
                        self._faults.remove(fault)
        return picked

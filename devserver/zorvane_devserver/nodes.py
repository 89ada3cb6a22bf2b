"""Compute nodes known to the control plane and reservations made on them."""
from __future__ import annotations

import itertools
import secrets
import threading
import time
from dataclasses import dataclass


@dataclass
class ComputeNode:
    index: int
    host: str
    port: int = 0
    status: str = "active"

    @property
    def node_id(self) -> str:
        return f"node-{self.index}"

    @property
    def entity_ref(self) -> str:
        return f"compute-{self.index}"

    @property
    def url_host(self) -> str:
        return f"[{self.host}]" if ":" in self.host else self.host


@dataclass
class Reservation:
    reservation_id: str
    node: ComputeNode
    expires_at: float
    confirmed: bool = False


class NodeRegistry:
    """Reservations waiting for confirmation expire in the order they were made
    (they all live the same time), so expiry looks at the oldest ones only and a
    request costs the same however many connections are open."""

    def __init__(self, count: int, host: str, reservation_ttl: float):
        self.nodes = [ComputeNode(index=i + 1, host=host) for i in range(count)]
        self.reservation_ttl = reservation_ttl
        self._lock = threading.Lock()
        self._pending: dict[str, Reservation] = {}  # oldest first
        self._confirmed: dict[str, Reservation] = {}
        self._round_robin = itertools.cycle(range(count))

    def find(self, ref: str) -> ComputeNode | None:
        return next((n for n in self.nodes if ref in (n.entity_ref, n.node_id)), None)

    def recommend(self) -> Reservation | None:
        with self._lock:
            self._expire()
            for _ in range(len(self.nodes)):
                node = self.nodes[next(self._round_robin)]
                if node.status == "active":
                    res = Reservation(secrets.token_hex(12), node, time.time() + self.reservation_ttl)
                    self._pending[res.reservation_id] = res
                    return res
            return None

    def confirm(self, reservation_id: str) -> bool:
        with self._lock:
            self._expire()
            if reservation_id in self._confirmed:
                return True
            res = self._pending.pop(reservation_id, None)
            if res is None:
                return False
            res.confirmed = True
            self._confirmed[reservation_id] = res
            return True

    def abandon(self, reservation_id: str) -> bool:
        with self._lock:
            self._expire()
            return (self._pending.pop(reservation_id, None) or self._confirmed.pop(reservation_id, None)) is not None

    def open_reservations(self) -> list[dict]:
        with self._lock:
            self._expire()
            return [{"reservationId": r.reservation_id, "nodeEntityRef": r.node.entity_ref, "confirmed": r.confirmed}
                    for r in (*self._pending.values(), *self._confirmed.values())]

    def _expire(self) -> None:
        now = time.time()
        while self._pending:
            rid, res = next(iter(self._pending.items()))
            if res.expires_at > now:
                return
            del self._pending[rid]

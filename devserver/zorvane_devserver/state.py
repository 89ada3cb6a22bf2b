"""Everything the handlers of the control plane and the compute nodes share."""
from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from .config import ServerConfig
from .counters import Counters
from .database import Database
from .faults import FaultRegistry
from .idempotency import IdempotencyStore
from .nodes import NodeRegistry
from .passwords import PasswordStore
from .snapshot_cache import SnapshotCache
from .tokens import TokenStore


@dataclass
class ServerState:
    config: ServerConfig
    db: Database
    storage_root: Path
    tokens: TokenStore
    nodes: NodeRegistry
    passwords: PasswordStore
    counters: Counters = field(default_factory=Counters)
    faults: FaultRegistry = field(default_factory=FaultRegistry)
    idempotency: IdempotencyStore = field(default_factory=IdempotencyStore)
    snapshots: SnapshotCache = field(default_factory=SnapshotCache)
    control_url: str = ""

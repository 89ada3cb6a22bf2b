"""Opaque session tokens with an expiry."""
from __future__ import annotations

import secrets
import threading
import time
from dataclasses import dataclass


@dataclass
class Session:
    user: str
    expires_at: float


class TokenStore:
    def __init__(self, ttl_seconds: int):
        self.ttl = ttl_seconds
        self._lock = threading.Lock()
        self._sessions: dict[str, Session] = {}

    def issue(self, user: str) -> tuple[str, Session]:
        token = secrets.token_urlsafe(32)
        session = Session(user=user, expires_at=time.time() + self.ttl)
        with self._lock:
            self._sessions[token] = session
        return token, session

    def lookup(self, token: str) -> Session | None:
        with self._lock:
            session = self._sessions.get(token)
            if session is not None and session.expires_at <= time.time():
                del self._sessions[token]
                return None
            return session

    def revoke_all(self) -> int:
        with self._lock:
            n = len(self._sessions)
            self._sessions.clear()
            return n

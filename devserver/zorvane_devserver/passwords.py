"""Accepted logins, held as salted PBKDF2 hashes rather than as the passwords themselves.

The cost is a dev server's: 2,000 rounds of PBKDF2-HMAC-SHA256 take about a
millisecond, so a login stays cheap beside the requests around it, while each
user's own random salt still keeps a leaked table from being matched against
precomputed hashes. The hashes never leave the process.
"""
from __future__ import annotations

import hashlib
import hmac
import os

ROUNDS = 2000
SALT_BYTES = 16


def _digest(password: str, salt: bytes, rounds: int) -> bytes:
    return hashlib.pbkdf2_hmac("sha256", password.encode("utf-8", "surrogatepass"), salt, rounds)


class PasswordStore:
    def __init__(self, users: dict[str, str], rounds: int = ROUNDS):
        self._rounds = rounds
        self._hashes: dict[str, tuple[bytes, bytes]] = {}
        for name, password in users.items():
            salt = os.urandom(SALT_BYTES)
            self._hashes[name] = (salt, _digest(password, salt, rounds))
        # An unknown user costs the same hash, so timing does not tell names apart.
        self._unknown = (os.urandom(SALT_BYTES), b"")

    def verify(self, user: str, password: str) -> bool:
        """Blocks for one hash (hashlib lets other threads run meanwhile): call from a worker thread."""
        salt, expected = self._hashes.get(user, self._unknown)
        return hmac.compare_digest(_digest(password, salt, self._rounds), expected)

"""The service's check of request signatures."""

from __future__ import annotations

import hmac
import threading
import time
from typing import Mapping

from .. import protocol, signing
from .errors import HttpError


class SignatureCheck:
    """Accepts a request only when it is signed with a known access key's secret, its
    timestamp is within the allowed clock skew and its nonce has not been seen before."""

    def __init__(self, credentials: Mapping[str, str], max_skew_s: float = signing.MAX_CLOCK_SKEW_S):
        if not credentials:
            raise ValueError("the service needs at least one access key")
        self._secrets = dict(credentials)
        self._max_skew_s = max_skew_s
        self._nonces: dict[str, float] = {}
        self._lock = threading.Lock()

    def check(self, method: str, path: str, headers: Mapping[str, str], body: bytes) -> str:
        """The access key that signed the request; a 401 answer when it is not accepted."""
        values = {name: headers.get(name) for name in (protocol.ACCESS_KEY, protocol.TIMESTAMP, protocol.NONCE,
                                                        protocol.CONTENT_SHA256, protocol.SIGNATURE)}
        missing = [name for name, value in values.items() if not value]
        if missing:
            raise HttpError(401, "unsigned", f"the request is not signed: missing {', '.join(missing)}")
        secret = self._secrets.get(values[protocol.ACCESS_KEY])
        if secret is None:
            raise HttpError(401, "unknown_key", "unknown access key")
        timestamp = values[protocol.TIMESTAMP]
        now = time.time()
        try:
            skew = abs(now - int(timestamp))
        except ValueError:
            raise HttpError(401, "bad_timestamp", "the request timestamp is not an integer") from None
        if skew > self._max_skew_s:
            raise HttpError(401, "stale_request",
                            f"the request timestamp is {skew:.0f} s away from the service's clock "
                            f"(at most {self._max_skew_s:.0f} s allowed)")
        digest = signing.body_digest(body)
        if not hmac.compare_digest(digest, values[protocol.CONTENT_SHA256]):
            raise HttpError(401, "bad_digest", "the body does not match its signed digest")
        expected = signing.signature(secret, method, path, timestamp, values[protocol.NONCE], digest,
                                     headers.get(protocol.SESSION_TOKEN) or "")
        if not hmac.compare_digest(expected, values[protocol.SIGNATURE]):
            raise HttpError(401, "bad_signature", "the signature does not match (wrong secret key?)")
        self._remember_nonce(values[protocol.NONCE], now)
        return values[protocol.ACCESS_KEY]

    def _remember_nonce(self, nonce: str, now: float) -> None:
        with self._lock:
            if nonce in self._nonces:
                raise HttpError(401, "replayed", "the request was already received (nonce reused)")
            # A nonce older than twice the skew can no longer come with a fresh timestamp.
            horizon = now - 2 * self._max_skew_s
            if len(self._nonces) > 1024 and next(iter(self._nonces.values())) < horizon:
                self._nonces = {n: t for n, t in self._nonces.items() if t >= horizon}
            self._nonces[nonce] = now

"""Request signing shared by the client and the service.

A request is signed with HMAC-SHA256 under the secret key over its method, path, timestamp,
nonce, body digest and session token, so the secret never travels and a signed request
cannot be altered or replayed.
"""

from __future__ import annotations

import hashlib
import hmac
import secrets
import time

from .protocol import ACCESS_KEY, CONTENT_SHA256, NONCE, SESSION_TOKEN, SIGNATURE, TIMESTAMP

# Largest accepted difference between a request's timestamp and the service's clock.
MAX_CLOCK_SKEW_S = 300


def body_digest(body: bytes) -> str:
    return hashlib.sha256(body).hexdigest()


def signature(secret_key: str, method: str, path: str, timestamp: str, nonce: str, digest: str,
              session_token: str) -> str:
    canonical = "\n".join([method.upper(), path, timestamp, nonce, digest, session_token])
    return hmac.new(secret_key.encode(), canonical.encode(), hashlib.sha256).hexdigest()


def signed_headers(access_key: str, secret_key: str, session_token: str | None, method: str, path: str,
                   body: bytes) -> dict[str, str]:
    """The authentication headers of one request, with a fresh timestamp and nonce."""
    timestamp = str(int(time.time()))
    nonce = secrets.token_hex(16)
    digest = body_digest(body)
    headers = {ACCESS_KEY: access_key, TIMESTAMP: timestamp, NONCE: nonce, CONTENT_SHA256: digest}
    if session_token is not None:
        headers[SESSION_TOKEN] = session_token
    headers[SIGNATURE] = signature(secret_key, method, path, timestamp, nonce, digest, session_token or "")
    return headers

"""QueueApi: the client of a device service's job queue."""

from __future__ import annotations

import json
import reprlib
import time
import weakref
from typing import Any
from urllib.parse import urlsplit

import httpx

from .. import protocol, signing
from .errors import (
    AuthenticationError,
    NotFoundError,
    ResponseError,
    ServiceError,
    ServiceUnavailableError,
    TavlaError,
    ValidationError,
)

__all__ = ["QueueApi", "ValidationError", "TavlaError", "ServiceError", "AuthenticationError",
           "NotFoundError", "ServiceUnavailableError", "ResponseError"]

# Statuses that mean "try again later": worth a retry of an idempotent call.
_RETRY_STATUSES = frozenset({502, 503, 504})

_ERRORS_BY_STATUS = {401: AuthenticationError, 403: AuthenticationError, 404: NotFoundError}

DEFAULT_MAX_RESPONSE_BYTES = 64 << 20

# Error texts quote at most this much of an answer, and at most _MESSAGE_CHARS of the
# service's own message (room for a full validation summary).
_EXCERPT_CHARS = 200
_MESSAGE_CHARS = 8000

# repr() of parts of an answer, bounded in depth and length: an answer may be deep or huge.
_short_repr = reprlib.Repr()
_short_repr.maxstring = _short_repr.maxother = _EXCERPT_CHARS


class QueueApi:
    """Client of one device's job queue on a device service.

    Requests are JSON over HTTP, signed with `access_key` and `secret_key` (the secret never
    leaves this process). Calls that change nothing (everything but `submit_task`) are
    retried up to `max_retries` times, with doubling pauses from `backoff_s` seconds, when
    the service cannot be reached or is temporarily unavailable; a submission is sent once.
    `connect_timeout` and `read_timeout` are in seconds.
    `proxy` routes every request through that proxy; environment proxy settings are ignored.
    An answer longer than `max_response_bytes` is refused (ResponseError) without being read
    whole. The connection pool is closed by `close()`, by leaving a `with` block, or when the
    client is garbage collected.
    `region`, `session_expires`, `role_arn`, `role_session_name` and `profile` are account
    settings of the hosted service that the local service has no use for; they are kept.
    """

    ValidationError = ValidationError

    def __init__(self, api_hostname: str, qpu_id: str, api_stage: str = "v0", virtual_queue: str | None = None,
                 proxy: str | None = None, region: str | None = None, access_key: str | None = None,
                 secret_key: str | None = None, session_token: str | None = None,
                 session_expires: int | None = None, role_arn: str | None = None,
                 role_session_name: str | None = None, profile: str | None = None, *,
                 connect_timeout: float = 5.0, read_timeout: float = 30.0, max_retries: int = 3,
                 backoff_s: float = 0.2, max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES):
        if "://" not in api_hostname:
            api_hostname = "https://" + api_hostname
        parts = urlsplit(api_hostname)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise ValueError(f"api_hostname must be an http(s) address, got {api_hostname!r}")
        if max_response_bytes < 1:
            raise ValueError(f"max_response_bytes must be a positive integer, got {max_response_bytes!r}")
        self.api_hostname = api_hostname
        self.qpu_id = qpu_id
        self.api_stage = api_stage
        self.virtual_queue = virtual_queue
        self.proxy = proxy
        self.region = region
        self.access_key = access_key
        self._secret_key = secret_key
        self._session_token = session_token
        self.session_expires = session_expires
        self.role_arn = role_arn
        self.role_session_name = role_session_name
        self.profile = profile
        self.max_retries = max_retries
        self.backoff_s = backoff_s
        self.max_response_bytes = max_response_bytes
        self._origin = f"{parts.scheme}://{parts.netloc}"
        self._prefix = parts.path.rstrip("/") + protocol.device_prefix(api_stage, qpu_id)
        timeout = httpx.Timeout(read_timeout, connect=connect_timeout)
        self._http = httpx.Client(timeout=timeout, proxy=proxy, trust_env=False)
        # Owners such as Oruna1Backend drop their client without closing it: the pool is
        # closed when this object is collected (or at interpreter exit).
        self._close_pool = weakref.finalize(self, self._http.close)

    def __repr__(self) -> str:
        return (f"QueueApi(api_hostname={self.api_hostname!r}, qpu_id={self.qpu_id!r}, "
                f"api_stage={self.api_stage!r}, access_key={self.access_key!r})")

    def close(self) -> None:
        self._close_pool()

    def __enter__(self) -> "QueueApi":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # Operations of the queue.

    def get_capabilities(self) -> dict:
        """The device's capabilities mapping."""
        return self._request(protocol.CAPABILITIES)

    def submit_task(self, job_json: str) -> str:
        """Queue a job (its specification as JSON text); returns the new task id."""
        answer = self._request(protocol.SUBMIT, body=_job_body(job_json), idempotent=False)
        return _field(answer, "task_id", str)

    def validate_task(self, job_json: str) -> None:
        """Have the service check a job; raises ValidationError listing every problem."""
        answer = self._request(protocol.VALIDATE, body=_job_body(job_json))
        if answer.get("valid") is not True:
            raise ResponseError(f"validation answer without a verdict: {_excerpt(answer)}")

    def get_job_status_in_queue(self, task_id: str) -> str:
        """The task's status: a job status name such as 'Queued' or 'Completed'."""
        return _status(self._request(protocol.STATUS, task_id=_task_id(task_id)))

    def poll_job_results(self, task_id: str) -> dict:
        """The task's results as they stand: {'task_status': ..., 'shot_outputs': [...]};
        the shot list is empty until the task has completed."""
        answer = self._request(protocol.RESULTS, task_id=_task_id(task_id))
        status = _field(answer, "task_status", str)
        if status not in protocol.JOB_STATUSES:
            raise ResponseError(f"unknown task status {_excerpt(status)} in results")
        shots = _field(answer, "shot_outputs", list)
        if not all(isinstance(shot, dict) for shot in shots):
            raise ResponseError("results hold a shot that is not a JSON object")
        return {"task_status": status, "shot_outputs": shots}

    def cancel_job_in_queue(self, task_id: str) -> str:
        """Ask for the task to be cancelled; returns its status afterwards ('Cancelled', or
        'Cancelling' while it runs, or its final status when it had already ended)."""
        return _status(self._request(protocol.CANCEL, task_id=_task_id(task_id)))

    # Transport.

    def _request(self, route: protocol.Route, body: bytes = b"", idempotent: bool = True, **values: str) -> dict:
        method, full_path = route.method, self._prefix + route.path(**values)
        retries_left = self.max_retries if idempotent else 0
        attempt = 0
        while True:
            try:
                with self._http.stream(method, self._origin + full_path, content=body,
                                       headers=self._headers(method, full_path, body)) as response:
                    if response.status_code not in _RETRY_STATUSES or attempt == retries_left:
                        return _answer(response, self._body(response))
            except httpx.TransportError as exc:
                if attempt == retries_left:
                    raise ServiceUnavailableError(_transport_message(self.api_hostname, exc, idempotent)) from None
            except httpx.DecodingError as exc:
                raise ResponseError(f"the service's answer could not be decoded: {exc}") from None
            time.sleep(self.backoff_s * 2**attempt)
            attempt += 1

    def _body(self, response: httpx.Response) -> bytes:
        """The response's body, read until it passes max_response_bytes at most."""
        limit = self.max_response_bytes
        declared = response.headers.get("Content-Length", "")
        if declared.isascii() and declared.isdigit() and int(declared) > limit:
            raise _too_large(response, limit)
        chunks, size = [], 0
        for chunk in response.iter_bytes():
            size += len(chunk)
            if size > limit:
                raise _too_large(response, limit)
            chunks.append(chunk)
        return b"".join(chunks)

    def _headers(self, method: str, full_path: str, body: bytes) -> dict[str, str]:
        """The headers of one attempt, signed afresh (new timestamp and nonce)."""
        headers = {"Accept": "application/json"}
        if body:
            headers["Content-Type"] = "application/json"
        if self.virtual_queue is not None:
            headers[protocol.VIRTUAL_QUEUE] = self.virtual_queue
        if self.access_key is not None and self._secret_key is not None:
            headers.update(signing.signed_headers(self.access_key, self._secret_key, self._session_token,
                                                  method, full_path, body))
        return headers


def _job_body(job_json: str) -> bytes:
    if not isinstance(job_json, str):
        raise TypeError(f"the job must be given as JSON text, got {type(job_json).__name__}")
    return job_json.encode()


def _task_id(task_id: str) -> str:
    if not isinstance(task_id, str) or not task_id:
        raise ValueError(f"task ids are non-empty texts, got {task_id!r}")
    return task_id


def _transport_message(host: str, exc: httpx.TransportError, idempotent: bool) -> str:
    kind = "timed out" if isinstance(exc, httpx.TimeoutException) else "failed"
    message = f"request to the device service at {host} {kind}: {type(exc).__name__}: {exc}"
    if not idempotent and not isinstance(exc, httpx.ConnectError):
        message += " (the job may or may not have been queued)"
    return message


def _too_large(response: httpx.Response, limit: int) -> ResponseError:
    return ResponseError(f"the service's answer (HTTP {response.status_code}) is longer than the "
                         f"{limit:,} bytes allowed (max_response_bytes)")


def _answer(response: httpx.Response, body: bytes) -> dict:
    """The JSON object of a response, or the client error for a refusal."""
    if response.is_success:
        payload = _parse(body)
        if not isinstance(payload, dict):
            raise ResponseError(f"expected a JSON object from the service, got: {_excerpt(payload)}")
        return payload
    try:
        payload = _parse(body)
    except ResponseError:  # a refusal in plain text, or none at all
        payload = None
    message = payload.get("message") if isinstance(payload, dict) else None
    if isinstance(message, str):
        message = _shortened(message, _MESSAGE_CHARS)
    else:
        message = body[:_EXCERPT_CHARS].decode("utf-8", "replace") or response.reason_phrase
    if response.status_code == 422:
        problems = payload.get("problems") if isinstance(payload, dict) else None
        raise ValidationError(422, message, problems if isinstance(problems, list) else None)
    raise _ERRORS_BY_STATUS.get(response.status_code, ServiceError)(response.status_code, message)


def _parse(body: bytes) -> Any:
    """The JSON value of an answer's body; ResponseError when the body is not JSON text."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ResponseError(f"the service's answer is not UTF-8 text (byte {exc.start} of {len(body)})") from None
    try:
        return json.loads(text)
    except RecursionError:
        raise ResponseError("the service's answer nests JSON too deeply to read") from None
    except ValueError as exc:  # not JSON, or an integer of more digits than Python converts
        raise ResponseError(f"the service's answer is not JSON ({_shortened(str(exc), _EXCERPT_CHARS)}): "
                            f"{_excerpt(text)}") from None


def _shortened(text: str, limit: int) -> str:
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text) - limit:,} more characters)"


def _excerpt(value: Any) -> str:
    """A short repr of (part of) an answer for an error text."""
    return _shortened(_short_repr.repr(value), _EXCERPT_CHARS)


def _field(answer: dict, name: str, kind: type) -> Any:
    value = answer.get(name)
    if not isinstance(value, kind):
        raise ResponseError(f"expected {name!r} ({kind.__name__}) in the service's answer, got {_excerpt(value)}")
    return value


def _status(answer: dict) -> str:
    status = _field(answer, "status", str)
    if status not in protocol.JOB_STATUSES:
        raise ResponseError(f"unknown task status {_excerpt(status)}")
    return status

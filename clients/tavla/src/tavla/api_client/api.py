"""QueueApi: the client of a device service's job queue."""

from __future__ import annotations

import json
import time
from typing import Any
from urllib.parse import quote, urlsplit

import httpx

from .. import signing
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

JOB_STATUSES = frozenset(
    {"Created", "Queued", "Running", "Completed", "Failed", "Cancelling", "Cancelled"})

# Statuses that mean "try again later": worth a retry of an idempotent call.
_RETRY_STATUSES = frozenset({502, 503, 504})

_ERRORS_BY_STATUS = {401: AuthenticationError, 403: AuthenticationError, 404: NotFoundError}


class QueueApi:
    """Client of one device's job queue on a device service.

    Requests are JSON over HTTP, signed with `access_key` and `secret_key` (the secret never
    leaves this process). Calls that change nothing (everything but `submit_task`) are
    retried up to `max_retries` times, with doubling pauses from `backoff_s`, when the
    service cannot be reached or is temporarily unavailable; a submission is sent once.
    `proxy` routes every request through that proxy; environment proxy settings are ignored.
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
                 backoff_s: float = 0.2):
        if "://" not in api_hostname:
            api_hostname = "https://" + api_hostname
        parts = urlsplit(api_hostname)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise ValueError(f"api_hostname must be an http(s) address, got {api_hostname!r}")
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
        self._origin = f"{parts.scheme}://{parts.netloc}"
        self._prefix = f"{parts.path.rstrip('/')}/{quote(api_stage, safe='')}/qpus/{quote(qpu_id, safe='')}"
        timeout = httpx.Timeout(read_timeout, connect=connect_timeout)
        self._http = httpx.Client(timeout=timeout, proxy=proxy, trust_env=False)

    def __repr__(self) -> str:
        return (f"QueueApi(api_hostname={self.api_hostname!r}, qpu_id={self.qpu_id!r}, "
                f"api_stage={self.api_stage!r}, access_key={self.access_key!r})")

    def close(self) -> None:
        self._http.close()

    def __enter__(self) -> "QueueApi":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # Operations of the queue.

    def get_capabilities(self) -> dict:
        """The device's capabilities mapping."""
        return self._request("GET", "/capabilities")

    def submit_task(self, job_json: str) -> str:
        """Queue a job (its specification as JSON text); returns the new task id."""
        answer = self._request("POST", "/tasks", _job_body(job_json), idempotent=False)
        return _field(answer, "task_id", str)

    def validate_task(self, job_json: str) -> None:
        """Have the service check a job; raises ValidationError listing every problem."""
        answer = self._request("POST", "/tasks/validate", _job_body(job_json))
        if answer.get("valid") is not True:
            raise ResponseError(f"validation answer without a verdict: {answer!r}")

    def get_job_status_in_queue(self, task_id: str) -> str:
        """The task's status: a job status name such as 'Queued' or 'Completed'."""
        return _status(self._request("GET", f"/tasks/{_task_path(task_id)}"))

    def poll_job_results(self, task_id: str) -> dict:
        """The task's results as they stand: {'task_status': ..., 'shot_outputs': [...]};
        the shot list is empty until the task has completed."""
        answer = self._request("GET", f"/tasks/{_task_path(task_id)}/results")
        status = _field(answer, "task_status", str)
        if status not in JOB_STATUSES:
            raise ResponseError(f"unknown task status {status!r} in results")
        shots = _field(answer, "shot_outputs", list)
        if not all(isinstance(shot, dict) for shot in shots):
            raise ResponseError("results hold a shot that is not a JSON object")
        return {"task_status": status, "shot_outputs": shots}

    def cancel_job_in_queue(self, task_id: str) -> str:
        """Ask for the task to be cancelled; returns its status afterwards ('Cancelled', or
        'Cancelling' while it runs, or its final status when it had already ended)."""
        return _status(self._request("DELETE", f"/tasks/{_task_path(task_id)}"))

    # Transport.

    def _request(self, method: str, path: str, body: bytes = b"", idempotent: bool = True) -> dict:
        full_path = self._prefix + path
        retries_left = self.max_retries if idempotent else 0
        attempt = 0
        while True:
            try:
                response = self._http.request(method, self._origin + full_path, content=body,
                                              headers=self._headers(method, full_path, body))
            except httpx.TransportError as exc:
                if attempt == retries_left:
                    raise ServiceUnavailableError(_transport_message(self.api_hostname, exc, idempotent)) from None
            else:
                if response.status_code not in _RETRY_STATUSES or attempt == retries_left:
                    return _answer(response)
            time.sleep(self.backoff_s * 2**attempt)
            attempt += 1

    def _headers(self, method: str, full_path: str, body: bytes) -> dict[str, str]:
        """The headers of one attempt, signed afresh (new timestamp and nonce)."""
        headers = {"Accept": "application/json"}
        if body:
            headers["Content-Type"] = "application/json"
        if self.virtual_queue is not None:
            headers[signing.VIRTUAL_QUEUE] = self.virtual_queue
        if self.access_key is not None and self._secret_key is not None:
            headers.update(signing.signed_headers(self.access_key, self._secret_key, self._session_token,
                                                  method, full_path, body))
        return headers


def _job_body(job_json: str) -> bytes:
    if not isinstance(job_json, str):
        raise TypeError(f"the job must be given as JSON text, got {type(job_json).__name__}")
    return job_json.encode()


def _task_path(task_id: str) -> str:
    if not isinstance(task_id, str) or not task_id:
        raise ValueError(f"task ids are non-empty texts, got {task_id!r}")
    return quote(task_id, safe="")


def _transport_message(host: str, exc: httpx.TransportError, idempotent: bool) -> str:
    kind = "timed out" if isinstance(exc, httpx.TimeoutException) else "failed"
    message = f"request to the device service at {host} {kind}: {type(exc).__name__}: {exc}"
    if not idempotent and not isinstance(exc, httpx.ConnectError):
        message += " (the job may or may not have been queued)"
    return message


def _answer(response: httpx.Response) -> dict:
    """The JSON object of a response, or the client error for a refusal."""
    try:
        payload = response.json()
    except (json.JSONDecodeError, UnicodeDecodeError):
        payload = None
    if response.is_success:
        if not isinstance(payload, dict):
            raise ResponseError(f"expected a JSON object from the service, got: {response.text[:200]!r}")
        return payload
    message = payload.get("message") if isinstance(payload, dict) else None
    if not isinstance(message, str):
        message = response.text[:200] or response.reason_phrase
    if response.status_code == 422:
        problems = payload.get("problems") if isinstance(payload, dict) else None
        raise ValidationError(422, message, problems if isinstance(problems, list) else None)
    raise _ERRORS_BY_STATUS.get(response.status_code, ServiceError)(response.status_code, message)


def _field(answer: dict, name: str, kind: type) -> Any:
    value = answer.get(name)
    if not isinstance(value, kind):
        raise ResponseError(f"expected {name!r} ({kind.__name__}) in the service's answer, got {value!r}")
    return value


def _status(answer: dict) -> str:
    status = _field(answer, "status", str)
    if status not in JOB_STATUSES:
        raise ResponseError(f"unknown task status {status!r}")
    return status

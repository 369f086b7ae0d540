"""The device behind the service: its capabilities, job checks and queue, by protocol route."""

from __future__ import annotations

import json
import re
from typing import Any

from .checks import capability_problems, summary
from .errors import HttpError
from .jobs import JobQueue, Runner, UnknownTask

_TASK_ID = re.compile(r"[A-Za-z0-9._-]{1,100}")


class Device:
    """One device (qpu) of the service: answers the protocol's requests below its prefix.

    `max_filled_sites` lowers the shipped register limit to what the emulator can hold.
    """

    def __init__(self, qpu_id: str, runner: Runner, use_experimental: bool = False, max_filled_sites: int = 12):
        try:
            from norvane.quantum.dispatch.base import DispatchExecutor
            from norvane.quantum.dispatch.program.capabilities import NrvCapabilities
            from norvane.quantum.dispatch.program.job_specification import NrvJobSpecification
        except ImportError as exc:
            raise RuntimeError("the local device service checks and runs jobs with norvane.quantum: "
                               "install norvane-quantum beside tavla-client") from exc

        shipped = DispatchExecutor().get_capabilities(use_experimental).dict()
        lattice = shipped["lattice"]
        lattice["max_filled_sites"] = min(lattice["max_filled_sites"], max_filled_sites)
        self.qpu_id = qpu_id
        self.capabilities = NrvCapabilities(**shipped)
        self._job_record = NrvJobSpecification
        self.queue = JobQueue(runner)

    def handle(self, method: str, route: str, body: bytes, virtual_queue: str | None) -> tuple[int, dict]:
        """The status and JSON answer of a request for `route` (the path below the device)."""
        if route == "/capabilities":
            _allow(method, "GET")
            return 200, json.loads(self.capabilities.json())
        if route == "/tasks":
            _allow(method, "POST")
            job = self._checked_job(body)
            return 201, {"task_id": self.queue.submit(job, virtual_queue)}
        if route == "/tasks/validate":
            _allow(method, "POST")
            self._checked_job(body)
            return 200, {"valid": True}
        parts = route.split("/")
        if len(parts) in (3, 4) and parts[1] == "tasks" and (len(parts) == 3 or parts[3] == "results"):
            task_id = parts[2]
            try:
                if len(parts) == 4:
                    _allow(method, "GET")
                    return 200, self.queue.results(task_id)
                _allow(method, "GET", "DELETE")
                status = self.queue.status(task_id) if method == "GET" else self.queue.cancel(task_id)
                return 200, {"task_id": task_id, "status": status}
            except UnknownTask:
                shown = task_id if _TASK_ID.fullmatch(task_id) else "(malformed id)"
                raise HttpError(404, "unknown_task", f"unknown task id {shown}") from None
        raise HttpError(404, "not_found", f"no such endpoint: {route}")

    def _checked_job(self, body: bytes) -> Any:
        """The job specification in `body`, or a 400/422 answer listing every problem."""
        try:
            data = json.loads(body)
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise HttpError(400, "malformed_json", f"the request body is not valid JSON: {exc}") from None
        if not isinstance(data, dict):
            raise HttpError(400, "malformed_json", "the job must be a JSON object")
        try:
            job = self._job_record.parse_obj(data)
        except (ValueError, TypeError) as exc:
            problems = _record_problems(exc)
        else:
            problems = capability_problems(job, self.capabilities)
        if problems:
            raise HttpError(422, "invalid_job", summary(problems), problems=problems)
        return job


def _allow(method: str, *allowed: str) -> None:
    if method not in allowed:
        raise HttpError(405, "method_not_allowed", f"{method} is not allowed here (use {' or '.join(allowed)})")


def _record_problems(exc: Exception) -> list[str]:
    """The problems of a job that the job record refuses, one per field."""
    errors = getattr(exc, "errors", None)
    if callable(errors):
        return [f"{'.'.join(str(part) for part in error['loc'])}: {error['msg']}" for error in errors()]
    return [str(exc)]

"""The device behind the service: its capabilities, job checks and queue, by protocol route."""

from __future__ import annotations

import json
import re
from typing import Any, Callable

from .. import protocol
from .errors import HttpError
from .jobs import InProcessRunner, JobQueue, Runner, UnknownTask
from .store import JobStore

_TASK_ID = re.compile(r"[A-Za-z0-9._-]{1,100}")


class Device:
    """One device (qpu) of the service: answers the protocol's requests below its prefix.

    `max_filled_sites` lowers the shipped register limit (None: the device's own). Jobs
    are kept in the SQLite database at `database` (None: a temporary file) and run by
    `workers` threads, each for at most `max_job_seconds`; ended jobs are forgotten after
    `keep_results_for` seconds (None: kept). `runner` is a queue runner, or a function of
    the job record run in the worker thread.
    """

    def __init__(self, qpu_id: str, runner: Runner | Callable[[Any], list], use_experimental: bool = False,
                 max_filled_sites: int | None = None, *, database: str | None = None, workers: int = 1,
                 max_job_seconds: float | None = None, keep_results_for: float | None = None):
        try:
            from norvane.quantum.dispatch.base import DispatchExecutor
            from norvane.quantum.dispatch.program.capabilities import NrvCapabilities
            from norvane.quantum.dispatch.program.job_specification import NrvJobSpecification
            from norvane.quantum.dispatch.program import capability_checks
        except ImportError as exc:
            raise RuntimeError("the local device service checks and runs jobs with norvane.quantum: "
                               "install tavla-client[service] (norvane-quantum beside it)") from exc

        shipped = DispatchExecutor().get_capabilities(use_experimental).dict()
        lattice = shipped["lattice"]
        if max_filled_sites is not None:
            lattice["max_filled_sites"] = min(lattice["max_filled_sites"], max_filled_sites)
        self.qpu_id = qpu_id
        self.capabilities = NrvCapabilities(**shipped)
        self._job_record = NrvJobSpecification
        self._checks = capability_checks
        if not isinstance(runner, Runner):
            runner = InProcessRunner(runner, NrvJobSpecification.parse_raw)
        self.queue = JobQueue(JobStore(database), runner, workers, max_job_seconds, keep_results_for)
        # Each route of the protocol is answered by the method named after it.
        self._operations = {route.name: getattr(self, f"_{route.name}") for route in protocol.ROUTES}

    def close(self) -> None:
        self.queue.close()
        self.queue.store.close()

    def handle(self, method: str, route: str, body: bytes, virtual_queue: str | None,
               owner: str) -> tuple[int, dict | bytes]:
        """The status and JSON answer (an object, or its encoded text) of a request for
        `route` (the path below the device) made with access key `owner`. A task is seen
        only by the key that submitted it."""
        try:
            operation, values = protocol.match(method, route)
        except protocol.NoRoute as missing:
            if missing.allowed:
                raise HttpError(405, "method_not_allowed",
                                f"{method} is not allowed here (use {' or '.join(missing.allowed)})") from None
            raise HttpError(404, "not_found", f"no such endpoint: {route}") from None
        answer = self._operations[operation.name]
        if "task_id" not in values:
            return answer(body, virtual_queue, owner)
        task_id = values["task_id"]
        try:
            return answer(task_id, owner)
        except UnknownTask:
            shown = task_id if _TASK_ID.fullmatch(task_id) else "(malformed id)"
            raise HttpError(404, "unknown_task", f"unknown task id {shown}") from None

    def _capabilities(self, body: bytes, virtual_queue: str | None, owner: str) -> tuple[int, dict]:
        return 200, json.loads(self.capabilities.json())

    def _submit(self, body: bytes, virtual_queue: str | None, owner: str) -> tuple[int, dict]:
        request = self._checked_job(body).json(by_alias=True, exclude_none=True)
        return 201, {"task_id": self.queue.submit(owner, request, virtual_queue)}

    def _validate(self, body: bytes, virtual_queue: str | None, owner: str) -> tuple[int, dict]:
        self._checked_job(body)
        return 200, {"valid": True}

    def _status(self, task_id: str, owner: str) -> tuple[int, dict]:
        return 200, {"task_id": task_id, "status": self.queue.status(task_id, owner)}

    def _cancel(self, task_id: str, owner: str) -> tuple[int, dict]:
        return 200, {"task_id": task_id, "status": self.queue.cancel(task_id, owner)}

    def _results(self, task_id: str, owner: str) -> tuple[int, bytes]:
        return 200, _results_answer(*self.queue.results(task_id, owner))

    def _checked_job(self, body: bytes) -> Any:
        """The job specification in `body`, or a 400/422 answer listing its problems."""
        data = parse_json_body(body)
        if not isinstance(data, dict):
            raise HttpError(400, "malformed_json", "the job must be a JSON object")
        try:
            job = self._job_record.parse_obj(data)
        except (ValueError, TypeError, ArithmeticError) as exc:
            problems = _record_problems(exc)
        else:
            problems = self._checks.capability_problems(job, self.capabilities)
        if problems:
            listed = self._checks.MAX_LISTED_PROBLEMS
            raise HttpError(422, "invalid_job", self._checks.summary(problems), problems=problems[:listed],
                            problem_count=len(problems))
        return job


def parse_json_body(body: bytes) -> Any:
    """The JSON value of a request body, or a 400 answer saying what is wrong with it."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise HttpError(400, "malformed_json", f"the request body is not UTF-8 text: {exc}") from None
    try:
        return json.loads(text, parse_constant=_refuse_constant)
    except json.JSONDecodeError as exc:
        raise HttpError(400, "malformed_json", f"the request body is not valid JSON: {exc}") from None
    except RecursionError:
        raise HttpError(400, "malformed_json", "the request body nests JSON arrays or objects too deeply") from None
    except _NotANumber as exc:
        raise HttpError(400, "malformed_json", f"the request body is not valid JSON: {exc}") from None
    except ValueError:  # Python refuses to read integers of thousands of digits
        raise HttpError(400, "malformed_json", "the request body holds a number with too many digits") from None


class _NotANumber(ValueError):
    pass


def _refuse_constant(name: str) -> Any:
    raise _NotANumber(f"{name} is not a JSON number")


def _results_answer(status: str, results: str | None) -> bytes:
    # Readouts are stored as JSON text and sent as they are, not decoded and encoded again.
    return b'{"task_status": %s, "shot_outputs": %s}' % (json.dumps(status).encode(),
                                                          (results or "[]").encode())


def _record_problems(exc: Exception) -> list[str]:
    """The problems of a job that the job record refuses, one per field."""
    errors = getattr(exc, "errors", None)
    if callable(errors):
        return [f"{'.'.join(str(part) for part in error['loc'])}: {error['msg']}" for error in errors()]
    return [str(exc)]

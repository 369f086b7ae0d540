"""The device's job queue: jobs wait in submission order and one worker runs them."""

from __future__ import annotations

import collections
import sys
import threading
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable

# A runner takes a job specification and returns its shot readouts (a list of mappings with
# shot_status, pre_sequence and post_sequence).
Runner = Callable[[Any], list]


@dataclass
class Job:
    task_id: str
    request: Any  # the job specification record
    virtual_queue: str | None
    status: str = "Created"
    shot_outputs: list = field(default_factory=list)
    error: str | None = None


class UnknownTask(KeyError):
    """No job has this task id."""


class JobQueue:
    """Jobs by task id, and a worker thread that runs queued jobs one at a time.

    Statuses move Created -> Queued -> Running -> Completed (or Failed). Cancelling a job
    that has not started makes it Cancelled at once; a running job becomes Cancelling and
    then Cancelled when its run ends, its readouts discarded. Every job stays answerable for
    the life of the queue.
    """

    def __init__(self, runner: Runner):
        self._runner = runner
        self._jobs: dict[str, Job] = {}
        self._waiting: collections.deque[str] = collections.deque()
        self._lock = threading.Lock()
        self._work_ready = threading.Condition(self._lock)
        self._closing = False
        self._worker = threading.Thread(target=self._work, name="tavla-device-worker", daemon=True)
        self._worker.start()

    def submit(self, request: Any, virtual_queue: str | None = None) -> str:
        job = Job(task_id=str(uuid.uuid4()), request=request, virtual_queue=virtual_queue)
        with self._lock:
            self._jobs[job.task_id] = job
            job.status = "Queued"
            self._waiting.append(job.task_id)
            self._work_ready.notify()
        return job.task_id

    def status(self, task_id: str) -> str:
        with self._lock:
            return self._job(task_id).status

    def results(self, task_id: str) -> dict:
        with self._lock:
            job = self._job(task_id)
            return {"task_status": job.status, "shot_outputs": list(job.shot_outputs)}

    def cancel(self, task_id: str) -> str:
        with self._lock:
            job = self._job(task_id)
            if job.status in ("Created", "Queued"):
                job.status = "Cancelled"
            elif job.status == "Running":
                job.status = "Cancelling"
            return job.status

    def error(self, task_id: str) -> str | None:
        with self._lock:
            return self._job(task_id).error

    def counts(self) -> dict[str, int]:
        """How many jobs are in each status."""
        with self._lock:
            return dict(collections.Counter(job.status for job in self._jobs.values()))

    def close(self) -> None:
        """Stop the worker once the job it is running (if any) has ended."""
        with self._lock:
            self._closing = True
            self._work_ready.notify_all()
        self._worker.join()

    def _job(self, task_id: str) -> Job:
        job = self._jobs.get(task_id)
        if job is None:
            raise UnknownTask(task_id)
        return job

    def _next_job(self) -> Job | None:
        with self._lock:
            while True:
                if self._closing:
                    return None
                while self._waiting:
                    job = self._jobs[self._waiting.popleft()]
                    if job.status == "Queued":
                        job.status = "Running"
                        return job
                self._work_ready.wait()

    def _work(self) -> None:
        while (job := self._next_job()) is not None:
            try:
                shots, error = self._runner(job.request), None
            except Exception as exc:  # a failing job must not stop the device
                shots, error = [], f"{type(exc).__name__}: {exc}"
                print(f"tavla device: task {job.task_id} failed: {error}", file=sys.stderr, flush=True)
            with self._lock:
                if job.status == "Cancelling":
                    job.status = "Cancelled"
                elif error is not None:
                    job.status, job.error = "Failed", error
                else:
                    job.status, job.shot_outputs = "Completed", shots

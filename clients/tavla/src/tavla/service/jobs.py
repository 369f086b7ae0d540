"""The device's job queue: jobs wait in the store in submission order and worker threads run
them, each job under a time bound and stopped when cancelled."""

from __future__ import annotations

import json
import logging
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Protocol, runtime_checkable

from .store import ClaimedJob, JobStore, UnknownTask

__all__ = ["JobQueue", "Runner", "RunResult", "InProcessRunner", "JobStopped", "UnknownTask"]

log = logging.getLogger("tavla.service")

# How often an idle worker looks for work that it was not told of, and old results are removed.
_IDLE_WAKE_S = 5.0
_PURGE_EVERY_S = 60.0


class JobStopped(Exception):
    """A run ended early: cancelled, or past its time bound (the message says which)."""


@dataclass(frozen=True)
class RunResult:
    """What a run gives: the shot readouts as JSON text (a list of mappings with shot_status,
    pre_sequence and post_sequence) and, where the runner tells, the engine that ran the job
    and the approximation it made (kept with the job and logged, never sent to clients)."""

    readouts: str
    engine: str | None = None


@runtime_checkable
class Runner(Protocol):
    """Runs one job. It ends early with JobStopped once `stop` is set or `time_limit`
    seconds (None: no bound) have passed."""

    def run(self, job: ClaimedJob, stop: threading.Event, time_limit: float | None) -> RunResult: ...

    def close(self) -> None: ...


class InProcessRunner:
    """A plain function of the parsed job record, run in the worker thread. A thread cannot be
    stopped from outside: a cancelled or overdue run goes on to its end, and its readouts are
    then discarded."""

    def __init__(self, function: Callable[[Any], list], parse: Callable[[str], Any]):
        self._function = function
        self._parse = parse

    def run(self, job: ClaimedJob, stop: threading.Event, time_limit: float | None) -> RunResult:
        started = time.monotonic()
        shots = self._function(self._parse(job.request))
        if stop.is_set():
            raise JobStopped("cancelled")
        if time_limit is not None and time.monotonic() - started > time_limit:
            raise JobStopped(overdue(time_limit))
        return RunResult(json.dumps(shots))

    def close(self) -> None:
        pass


def overdue(time_limit: float) -> str:
    """Why a run past its time bound was stopped."""
    return f"the job ran longer than the device's limit of {time_limit:g} s per job"


class JobQueue:
    """Jobs of `store` run by `workers` threads with `runner`.

    Statuses move Queued -> Running -> Completed (or Failed). Cancelling a job that has not
    started makes it Cancelled at once; a running job becomes Cancelling and its run is
    stopped, then Cancelled, its readouts discarded. A run longer than `max_job_seconds`
    is stopped and Failed. Ended jobs stay answerable until `keep_results_for` seconds
    have passed (None: for the life of the store).
    """

    def __init__(self, store: JobStore, runner: Runner, workers: int = 1, max_job_seconds: float | None = None,
                 keep_results_for: float | None = None):
        if workers < 1:
            raise ValueError(f"the queue needs at least one worker, got {workers}")
        self.store = store
        self._runner = runner
        self._max_job_seconds = max_job_seconds
        self._keep_results_for = keep_results_for
        self._purged_at = 0.0
        # A short retention is kept to closely; a long one is checked every minute.
        self._purge_every_s = min(_PURGE_EVERY_S, keep_results_for or _PURGE_EVERY_S)
        self._running: dict[str, threading.Event] = {}
        self._lock = threading.Lock()
        self._work_ready = threading.Condition(self._lock)
        self._closing = False
        recovered = store.recover()
        if any(recovered.values()):
            log.warning("jobs left active by the previous service: %d queued again, %d failed, %d cancelled",
                        recovered["requeued"], recovered["failed"], recovered["cancelled"])
        self._workers = [threading.Thread(target=self._work, name=f"tavla-device-worker-{i}", daemon=True)
                         for i in range(workers)]
        for worker in self._workers:
            worker.start()

    def submit(self, owner: str, request: str, virtual_queue: str | None = None) -> str:
        task_id = self.store.submit(owner, request, virtual_queue)
        with self._lock:
            self._work_ready.notify()
        return task_id

    def status(self, task_id: str, owner: str) -> str:
        return self.store.status(task_id, owner)

    def results(self, task_id: str, owner: str) -> tuple[str, str | None]:
        return self.store.results(task_id, owner)

    def cancel(self, task_id: str, owner: str) -> str:
        status = self.store.cancel(task_id, owner)
        if status == "Cancelling":
            with self._lock:
                stop = self._running.get(task_id)
            if stop is not None:
                stop.set()
        return status

    def counts(self) -> dict[str, int]:
        return self.store.counts()

    def close(self) -> None:
        """Stops the workers: a running job is stopped and queued again, to run when the
        service next starts on the same database."""
        with self._lock:
            self._closing = True
            for stop in self._running.values():
                stop.set()
            self._work_ready.notify_all()
        for worker in self._workers:
            worker.join()
        self._runner.close()

    def _next_job(self) -> ClaimedJob | None:
        with self._lock:
            while not self._closing:
                self._purge_old_results()
                job = self.store.claim()
                if job is not None:
                    self._running[job.task_id] = threading.Event()
                    return job
                self._work_ready.wait(min(_IDLE_WAKE_S, self._purge_every_s))
            return None

    def _purge_old_results(self) -> None:
        now = time.time()
        if self._keep_results_for is None or now - self._purged_at < self._purge_every_s:
            return
        self._purged_at = now
        removed = self.store.forget_finished_before(now - self._keep_results_for)
        if removed:
            log.info("removed %d jobs that ended more than %g s ago", removed, self._keep_results_for)

    def _work(self) -> None:
        while (job := self._next_job()) is not None:
            with self._lock:
                stop = self._running[job.task_id]
            try:
                result = self._runner.run(job, stop, self._max_job_seconds)
                status = self.store.complete(job.task_id, result.readouts, result.engine)
                if result.engine is not None:
                    log.info("task %s ran on %s", job.task_id, result.engine)
            except JobStopped as stopped:
                status = self._stopped(job, str(stopped))
            except Exception as exc:  # a failing job must not stop the device
                status = self.store.fail(job.task_id, f"{type(exc).__name__}: {exc}")
                log.warning("task %s failed: %s: %s", job.task_id, type(exc).__name__, exc)
            finally:
                with self._lock:
                    del self._running[job.task_id]
            log.debug("task %s ended %s", job.task_id, status)

    def _stopped(self, job: ClaimedJob, reason: str) -> str:
        if self._closing:
            # Stopped by the service's shutdown, not by its owner: it runs again on restart.
            return self.store.release(job.task_id)
        status = self.store.fail(job.task_id, reason)
        if status == "Failed":
            log.warning("task %s failed: %s", job.task_id, reason)
        return status

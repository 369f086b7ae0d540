"""The device's jobs on disk: one SQLite table holds every job, its owner, state and results.

Nothing about a job lives only in memory, so memory stays flat however many jobs pass and
results survive a restart. Every change of a job is one statement (one transaction): a job
is never seen half-written, such as Completed without its readouts.
"""

from __future__ import annotations

import os
import shutil
import sqlite3
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass

# Statuses in which a job still waits for, or holds, a worker.
ACTIVE = ("Queued", "Running", "Cancelling")

# A job that was running when the service stopped abruptly runs again on restart, unless it
# had been started this many times already (it may be what brings the service down).
MAX_ATTEMPTS = 2

_SCHEMA = """
CREATE TABLE IF NOT EXISTS jobs (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    task_id TEXT NOT NULL UNIQUE,
    owner TEXT NOT NULL,
    virtual_queue TEXT,
    request TEXT NOT NULL,
    status TEXT NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0,
    error TEXT,
    results TEXT,
    engine TEXT,
    submitted REAL NOT NULL,
    started REAL,
    finished REAL
);
CREATE INDEX IF NOT EXISTS jobs_waiting ON jobs (status, seq);
CREATE INDEX IF NOT EXISTS jobs_finished ON jobs (finished);
"""


class UnknownTask(KeyError):
    """No job has this task id, or it belongs to another access key."""


@dataclass(frozen=True)
class ClaimedJob:
    """A job taken by a worker: its request (JSON text) and its place in submission order."""
    task_id: str
    seq: int
    request: str
    attempt: int


class JobStore:
    """Jobs in the SQLite database at `path` (WAL mode); None keeps them in a temporary file
    that `close()` removes. Every call is safe from any thread."""

    def __init__(self, path: str | os.PathLike | None = None):
        self._temporary_dir = tempfile.mkdtemp(prefix="tavla-jobs-") if path is None else None
        self.path = os.fspath(path) if path is not None else os.path.join(self._temporary_dir, "jobs.sqlite3")
        self._db = sqlite3.connect(self.path, timeout=30, isolation_level=None, check_same_thread=False)
        self._lock = threading.Lock()
        with self._lock:
            if self._db.execute("PRAGMA journal_mode=WAL").fetchone()[0].lower() != "wal":
                raise RuntimeError(f"{self.path}: the job database cannot use write-ahead logging")
            self._db.execute("PRAGMA synchronous=NORMAL")
            self._db.executescript(_SCHEMA)
            # Databases written before jobs recorded their engine gain the column.
            columns = {row[1] for row in self._db.execute("PRAGMA table_info(jobs)")}
            if "engine" not in columns:
                self._db.execute("ALTER TABLE jobs ADD COLUMN engine TEXT")

    def close(self) -> None:
        with self._lock:
            self._db.close()
        if self._temporary_dir is not None:
            shutil.rmtree(self._temporary_dir, ignore_errors=True)

    def recover(self) -> dict[str, int]:
        """Settles the jobs that a previous service left active (after a crash or kill):
        cancellations end, running jobs are queued again or, past MAX_ATTEMPTS, fail with
        the reason. Returns how many jobs went each way."""
        now = time.time()
        with self._lock, self._db:
            self._db.execute("BEGIN IMMEDIATE")
            cancelled = self._db.execute(
                "UPDATE jobs SET status = 'Cancelled', finished = ? WHERE status = 'Cancelling'", (now,)).rowcount
            failed = self._db.execute(
                "UPDATE jobs SET status = 'Failed', finished = ?, error = ? WHERE status = 'Running' AND attempts >= ?",
                (now, f"the service stopped while this job ran, {MAX_ATTEMPTS} times; it is not run again",
                 MAX_ATTEMPTS)).rowcount
            requeued = self._db.execute("UPDATE jobs SET status = 'Queued', started = NULL WHERE status = 'Running'"
                                        ).rowcount
        return {"requeued": requeued, "failed": failed, "cancelled": cancelled}

    def submit(self, owner: str, request: str, virtual_queue: str | None = None) -> str:
        task_id = str(uuid.uuid4())
        with self._lock:
            self._db.execute("INSERT INTO jobs (task_id, owner, virtual_queue, request, status, submitted) "
                             "VALUES (?, ?, ?, ?, 'Queued', ?)", (task_id, owner, virtual_queue, request, time.time()))
        return task_id

    def claim(self) -> ClaimedJob | None:
        """The oldest queued job, now Running, or None when none waits."""
        with self._lock, self._db:
            self._db.execute("BEGIN IMMEDIATE")
            row = self._db.execute("SELECT task_id, seq, request, attempts FROM jobs WHERE status = 'Queued' "
                                   "ORDER BY seq LIMIT 1").fetchone()
            if row is None:
                return None
            task_id, seq, request, attempts = row
            self._db.execute("UPDATE jobs SET status = 'Running', started = ?, attempts = attempts + 1 "
                             "WHERE task_id = ?", (time.time(), task_id))
        return ClaimedJob(task_id, seq, request, attempts + 1)

    def complete(self, task_id: str, results: str, engine: str | None = None) -> str:
        """Stores a run's readouts (a JSON list) and the engine that ran it with the Completed
        status; a job cancelled meanwhile ends Cancelled and its readouts are dropped. Returns
        the final status."""
        return self._end(task_id, "Completed", results=results, engine=engine)

    def fail(self, task_id: str, error: str) -> str:
        return self._end(task_id, "Failed", error=error)

    def _end(self, task_id: str, status: str, results: str | None = None, error: str | None = None,
             engine: str | None = None) -> str:
        with self._lock:
            self._db.execute(
                "UPDATE jobs SET finished = ?, engine = ?, "
                "status = CASE status WHEN 'Cancelling' THEN 'Cancelled' ELSE ? END, "
                "results = CASE status WHEN 'Cancelling' THEN NULL ELSE ? END, "
                "error = CASE status WHEN 'Cancelling' THEN NULL ELSE ? END "
                "WHERE task_id = ? AND status IN ('Running', 'Cancelling')",
                (time.time(), engine, status, results, error, task_id))
            return self._db.execute("SELECT status FROM jobs WHERE task_id = ?", (task_id,)).fetchone()[0]

    def release(self, task_id: str) -> str:
        """Gives a running job back to the queue, as if never started (the service is
        stopping); a job being cancelled ends Cancelled. Returns its status afterwards."""
        with self._lock:
            self._db.execute(
                "UPDATE jobs SET started = NULL, attempts = attempts - 1, "
                "status = CASE status WHEN 'Cancelling' THEN 'Cancelled' ELSE 'Queued' END, "
                "finished = CASE status WHEN 'Cancelling' THEN ? ELSE NULL END "
                "WHERE task_id = ? AND status IN ('Running', 'Cancelling')", (time.time(), task_id))
            return self._db.execute("SELECT status FROM jobs WHERE task_id = ?", (task_id,)).fetchone()[0]

    def cancel(self, task_id: str, owner: str) -> str:
        """Cancels a queued job at once; a running one becomes Cancelling until its worker
        stops. Ended jobs keep their status. Returns the status afterwards."""
        now = time.time()
        with self._lock, self._db:
            self._db.execute("BEGIN IMMEDIATE")
            status = self._owned(task_id, owner, "status")[0]
            if status == "Queued":
                status = "Cancelled"
                self._db.execute("UPDATE jobs SET status = ?, finished = ? WHERE task_id = ?", (status, now, task_id))
            elif status == "Running":
                status = "Cancelling"
                self._db.execute("UPDATE jobs SET status = ? WHERE task_id = ?", (status, task_id))
        return status

    def status(self, task_id: str, owner: str) -> str:
        with self._lock:
            return self._owned(task_id, owner, "status")[0]

    def results(self, task_id: str, owner: str) -> tuple[str, str | None]:
        """The job's status and, once Completed, its readouts as JSON text."""
        with self._lock:
            return self._owned(task_id, owner, "status, results")

    def error(self, task_id: str, owner: str) -> str | None:
        with self._lock:
            return self._owned(task_id, owner, "error")[0]

    def engine(self, task_id: str, owner: str) -> str | None:
        """The engine that ran the job and the approximation it made, as its runner told."""
        with self._lock:
            return self._owned(task_id, owner, "engine")[0]

    def _owned(self, task_id: str, owner: str, columns: str) -> tuple:
        # Another key's task answers exactly as a task that does not exist.
        row = self._db.execute(f"SELECT {columns} FROM jobs WHERE task_id = ? AND owner = ?",
                               (task_id, owner)).fetchone()
        if row is None:
            raise UnknownTask(task_id)
        return row

    def counts(self) -> dict[str, int]:
        """How many jobs are in each status."""
        with self._lock:
            return dict(self._db.execute("SELECT status, COUNT(*) FROM jobs GROUP BY status").fetchall())

    def forget_finished_before(self, moment: float) -> int:
        """Removes the jobs that ended before `moment` (Unix time); returns how many."""
        with self._lock:
            return self._db.execute("DELETE FROM jobs WHERE finished < ?", (moment,)).rowcount

"""The device service's jobs: kept on disk, owned by their access key, run by several workers
under a time bound, settled after a hard kill; hostile bodies answered, never crashing it."""

import json
import logging
import math
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from norvane.quantum.dispatch.program import NrvJobSpecification
from norvane.quantum.simulator.ir.noise import AnalogNoise
from tavla import signing
from tavla.api_client import api
from tavla.service import Device, start_service
from tavla.service.__main__ import _duration
from tavla.service.emulator import readouts
from tavla.service.errors import HttpError
from tavla.service.store import JobStore

ACCESS, SECRET = "key-a", "secret-a-value"
OTHER, OTHER_SECRET = "key-b", "secret-b-value"
KEYS = {ACCESS: SECRET, OTHER: OTHER_SECRET}
# Generous: each wait ends as soon as its condition holds; the bound only stops a hung test.
PATIENCE_S = 180


def job_json(n_atoms=2, duration=2e-7, nshots=10, amplitude=0.0, columns=4):
    """Atoms 5 um apart in rows of `columns` under a constant drive of `amplitude` rad/s."""
    sites = [[(i % columns) * 5e-6, (i // columns) * 5e-6] for i in range(n_atoms)]
    times = [0.0, duration / 4, 3 * duration / 4, duration]
    zero = {"times": [0.0, duration], "values": [0.0, 0.0]}
    drive = {"amplitude": {"times": times, "values": [0.0, amplitude, amplitude, 0.0]}, "phase": zero,
             "detuning": zero}
    return json.dumps({"nshots": nshots, "lattice": {"sites": sites, "filling": [1] * n_atoms},
                       "effective_hamiltonian": {"drive": drive}})


# Twelve atoms driven for 4 us: a few seconds of emulation, long enough to be caught running.
LONG_JOB = job_json(12, 4e-6, amplitude=1.2e7)


def idle_readouts(job):
    return readouts(job.lattice.filling, [[0] * sum(job.lattice.filling)] * job.nshots)


def client(url, key=ACCESS, **options):
    return api.QueueApi(url, "local", access_key=key, secret_key=KEYS[key], **options)


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE_S
    while not (value := condition()):
        assert time.monotonic() < deadline, f"still waiting for {what}"
        time.sleep(0.05)
    return value


def final_status(queue_api, task_id):
    return wait_for(lambda: (s := queue_api.get_job_status_in_queue(task_id)) in ("Completed", "Failed", "Cancelled")
                    and s, f"task {task_id} to end")


class Held:
    """A runner whose jobs wait until released; counts the jobs running at once."""

    def __init__(self):
        self.release = threading.Event()
        self.running = 0
        self.most_at_once = 0
        self._lock = threading.Lock()

    def __call__(self, job):
        with self._lock:
            self.running += 1
            self.most_at_once = max(self.most_at_once, self.running)
        try:
            assert self.release.wait(PATIENCE_S)
            return idle_readouts(job)
        finally:
            with self._lock:
                self.running -= 1


def test_a_task_is_seen_only_by_the_key_that_submitted_it():
    with start_service(KEYS, runner=idle_readouts) as service, client(service.url) as mine, \
            client(service.url, OTHER) as theirs:
        task_id = mine.submit_task(job_json())
        assert final_status(mine, task_id) == "Completed"
        for call in (theirs.get_job_status_in_queue, theirs.poll_job_results, theirs.cancel_job_in_queue):
            with pytest.raises(api.NotFoundError, match="unknown task id"):
                call(task_id)
        assert len(mine.poll_job_results(task_id)["shot_outputs"]) == 10
        assert mine.cancel_job_in_queue(task_id) == "Completed"


def test_workers_run_jobs_side_by_side_and_none_is_lost_under_load():
    held = Held()
    with start_service(KEYS, runner=held, workers=3) as service:
        with client(service.url) as queue_api:
            first = [queue_api.submit_task(job_json()) for _ in range(3)]
            wait_for(lambda: held.running == 3, "three jobs running at once")
            held.release.set()
            assert [final_status(queue_api, t) for t in first] == ["Completed"] * 3
        assert held.most_at_once == 3

        submitted, failures = [], []

        def submit_many(key):
            with client(service.url, key) as own:
                for _ in range(100):
                    try:
                        submitted.append((key, own.submit_task(job_json(nshots=5))))
                    except api.TavlaError as exc:
                        failures.append(exc)

        threads = [threading.Thread(target=submit_many, args=(key,)) for key in [ACCESS, OTHER] * 4]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not failures and len({task for _, task in submitted}) == 800
        with client(service.url) as mine, client(service.url, OTHER) as theirs:
            for key, task_id in submitted:
                own = mine if key == ACCESS else theirs
                assert final_status(own, task_id) == "Completed"
                assert len(own.poll_job_results(task_id)["shot_outputs"]) == 5
        assert service.device.queue.counts() == {"Completed": 803}


def test_results_survive_a_restart_and_old_ones_are_forgotten(tmp_path):
    database = str(tmp_path / "jobs.sqlite3")
    with start_service(KEYS, runner=idle_readouts, database=database) as service, client(service.url) as queue_api:
        task_id = queue_api.submit_task(job_json(nshots=7))
        assert final_status(queue_api, task_id) == "Completed"
    with start_service(KEYS, runner=idle_readouts, database=database) as service, client(service.url) as queue_api:
        assert len(queue_api.poll_job_results(task_id)["shot_outputs"]) == 7
    with start_service(KEYS, runner=idle_readouts, database=database, keep_results_for=0.5) as service, \
            client(service.url) as queue_api:
        wait_for(lambda: not service.device.queue.counts(), "the old job to be removed")
        with pytest.raises(api.NotFoundError):
            queue_api.get_job_status_in_queue(task_id)


def test_a_running_emulator_job_is_stopped_by_cancellation_and_by_the_time_bound():
    with start_service(KEYS, max_filled_sites=16, max_job_seconds=1.0) as service, client(service.url) as queue_api:
        overdue = queue_api.submit_task(job_json(14, 4e-6, amplitude=1.2e7))
        assert final_status(queue_api, overdue) == "Failed"
        assert "longer than the device's limit of 1 s" in service.device.queue.store.error(overdue, ACCESS)
    with start_service(KEYS) as service, client(service.url) as queue_api:
        long_job = queue_api.submit_task(job_json(40, 4e-6, amplitude=1.2e7))
        wait_for(lambda: queue_api.get_job_status_in_queue(long_job) == "Running", "the long job to start")
        assert queue_api.cancel_job_in_queue(long_job) == "Cancelling"
        # Its emulator process is ended, not waited for: a 40-atom run over 4 us takes minutes.
        assert final_status(queue_api, long_job) == "Cancelled"
        assert queue_api.poll_job_results(long_job)["shot_outputs"] == []
        after = queue_api.submit_task(job_json(amplitude=1e7))
        assert final_status(queue_api, after) == "Completed"


def test_a_database_from_before_engine_records_opens_with_its_jobs(tmp_path):
    import sqlite3
    path = tmp_path / "old.sqlite3"
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE jobs (seq INTEGER PRIMARY KEY AUTOINCREMENT, task_id TEXT NOT NULL UNIQUE, "
                   "owner TEXT NOT NULL, virtual_queue TEXT, request TEXT NOT NULL, status TEXT NOT NULL, "
                   "attempts INTEGER NOT NULL DEFAULT 0, error TEXT, results TEXT, submitted REAL NOT NULL, "
                   "started REAL, finished REAL)")
        db.execute("INSERT INTO jobs (task_id, owner, request, status, results, submitted) "
                   "VALUES ('old', ?, '{}', 'Completed', '[]', 0)", (ACCESS,))
    store = JobStore(path)
    try:
        assert store.results("old", ACCESS) == ("Completed", "[]") and store.engine("old", ACCESS) is None
    finally:
        store.close()


def test_registers_of_the_device_size_run_and_the_job_records_its_engine(caplog):
    caplog.set_level(logging.INFO, logger="tavla.service")
    with start_service(KEYS, seed=5) as service, client(service.url) as queue_api:
        assert queue_api.get_capabilities()["lattice"]["max_filled_sites"] == 256
        # Two rows, 21 atoms: beyond the exact engine's share of "auto".
        small, large = (queue_api.submit_task(job_json(n, 2e-7, amplitude=1e7, columns=11)) for n in (2, 21))
        assert final_status(queue_api, small) == final_status(queue_api, large) == "Completed"
        shots = queue_api.poll_job_results(large)["shot_outputs"]
        assert len(shots) == 10 and all(shot["pre_sequence"] == [1] * 21 for shot in shots)
        store = service.device.queue.store
        assert store.engine(small, ACCESS) == "dop853 (exact)"
        assert re.fullmatch(r"tdvp \(largest bond dimension \d+(, capped: \D+)?, discarded weight \S+\)",
                            store.engine(large, ACCESS))
    assert f"task {large} ran on tdvp" in caplog.text


def test_a_device_noise_model_applies_to_every_job(tmp_path):
    # Undriven atoms stay in the ground state; a false positive of 1 reads every one as
    # Rydberg, which the device reports as an atom lost (0) after the sequence.
    with start_service(KEYS, seed=5, noise=AnalogNoise(false_positive=1.0)) as service, \
            client(service.url) as queue_api:
        task = queue_api.submit_task(job_json(3, 2e-7))
        assert final_status(queue_api, task) == "Completed"
        shots = queue_api.poll_job_results(task)["shot_outputs"]
        assert all(shot["post_sequence"] == [0, 0, 0] for shot in shots)
        assert service.device.queue.store.engine(task, ACCESS) == "dop853 (exact, device noise)"
    for model, message in [('{"dephasing": 1}', "unknown noise fields"), ("[1, 2]", "mapping"), ("{", "not JSON")]:
        path = tmp_path / "noise.json"
        path.write_text(model)
        out = subprocess.run([sys.executable, "-m", "tavla.service", "--noise", str(path)], capture_output=True,
                             text=True, timeout=60)
        assert out.returncode == 2 and f"--noise {path}" in out.stderr and message in out.stderr, out.stderr


def test_a_hard_kill_mid_load_loses_no_accepted_job(tmp_path):
    database, credentials = str(tmp_path / "jobs.sqlite3"), tmp_path / "keys.json"
    credentials.write_text(json.dumps(KEYS))

    def start():
        process = subprocess.Popen([sys.executable, "-m", "tavla.service", "--port", "0", "--credentials",
                                    str(credentials), "--database", database, "--seed", "3"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        return process, process.stdout.readline().strip()

    process, url = start()
    accepted, lock = [], threading.Lock()

    def submit_until_refused():
        # Each accepted submission is counted; the one the kill cuts off is not.
        with client(url, max_retries=0) as own:
            while True:
                try:
                    task_id = own.submit_task(job_json(amplitude=1e7))
                except api.TavlaError:
                    return
                with lock:
                    accepted.append(task_id)

    with client(url) as queue_api:
        running = queue_api.submit_task(LONG_JOB)
        wait_for(lambda: queue_api.get_job_status_in_queue(running) == "Running", "the first job to start")
    submitters = [threading.Thread(target=submit_until_refused) for _ in range(4)]
    for thread in submitters:
        thread.start()
    wait_for(lambda: len(accepted) >= 40, "submissions under way")
    process.send_signal(signal.SIGKILL)
    process.wait()
    for thread in submitters:
        thread.join()
    process.stdout.close()
    process.stderr.close()

    process, url = start()
    try:
        with client(url) as queue_api:
            for task_id in [running, *accepted]:
                assert final_status(queue_api, task_id) == "Completed"
                assert len(queue_api.poll_job_results(task_id)["shot_outputs"]) == 10
    finally:
        process.send_signal(signal.SIGTERM)
        _, errors = process.communicate(timeout=PATIENCE_S)
    assert "1 queued again" in errors and "Traceback" not in errors


def test_store_settles_jobs_that_a_killed_service_left_active(tmp_path):
    database = str(tmp_path / "jobs.sqlite3")
    # A process that had a job started twice (a crash in between), one started once and one
    # being cancelled, then dies without closing anything.
    script = f"""
import os
import re
from tavla.service.store import JobStore
store = JobStore({database!r})
ids = [store.submit("k", "{{}}") for _ in range(4)]
store.claim()
store.recover()
store.claim()
store.claim()
store.cancel(store.claim().task_id, "k")
print(" ".join(ids), flush=True)
os.kill(os.getpid(), 9)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=PATIENCE_S)
    assert done.returncode == -signal.SIGKILL, done.stderr
    ids = done.stdout.split()
    store = JobStore(database)
    try:
        assert store.recover() == {"requeued": 1, "failed": 1, "cancelled": 1}
        assert [store.status(t, "k") for t in ids] == ["Failed", "Queued", "Cancelled", "Queued"]
        assert "the service stopped while this job ran" in store.error(ids[0], "k")
        assert [store.claim().task_id, store.claim().task_id, store.claim()] == [ids[1], ids[3], None]
    finally:
        store.close()


@pytest.fixture(scope="module")
def device():
    device = Device("local", runner=idle_readouts)
    yield device
    device.close()


def refusal(device, body):
    with pytest.raises(HttpError) as refused:
        device.handle("POST", "/tasks/validate", body, None, ACCESS)
    return refused.value


@pytest.mark.parametrize("body, expected", [
    (b"[" * 100_000 + b"]" * 100_000, "too deeply"),
    (b'{"a":' * 50_000 + b"1" + b"}" * 50_000, "too deeply"),
    (job_json().replace('"nshots": 10', '"nshots": ' + "9" * 5000).encode(), "too many digits"),
    (job_json().replace('"nshots": 10', '"nshots": NaN').encode(), "NaN is not a JSON number"),
    (job_json().encode().replace(b"nshots", b"nsh\xffots"), "not UTF-8"),
])
def test_malformed_bodies_are_bad_requests(device, body, expected):
    error = refusal(device, body)
    assert (error.status, error.kind) == (400, "malformed_json") and expected in error.message


def test_checks_that_grow_with_the_register_wait_for_its_size_and_the_problem_list_is_bounded(device):
    caps = device.capabilities.lattice
    job = json.loads(job_json())
    job["lattice"] = {"sites": [[0.0, 0.0]] * 100_000, "filling": [0] * 100_000}
    error = refusal(device, json.dumps(job).encode())
    assert error.status == 422 and len(json.dumps(error.payload())) < 20_000
    assert error.extra["problem_count"] == 2 and "100000 sites" in error.message
    n = int(caps.max_sites)
    job["lattice"] = {"sites": [[0.0, 0.0]] * n, "filling": [1] + [0] * (n - 1)}
    error = refusal(device, json.dumps(job).encode())
    assert error.extra["problem_count"] == math.comb(n, 2) and len(error.extra["problems"]) == 100
    assert error.message.endswith(f"and {math.comb(n, 2) - 100} more")


def test_an_unexpected_fault_is_a_logged_500_and_serving_goes_on(caplog):
    with start_service(KEYS, runner=idle_readouts) as service, client(service.url, max_retries=0) as queue_api:
        handle = service.device.handle
        service.device.handle = lambda *args: 1 / 0
        with caplog.at_level(logging.ERROR, logger="tavla.service"):
            with pytest.raises(api.ServiceError, match="500"):
                queue_api.get_capabilities()
        assert "ZeroDivisionError" in caplog.text
        service.device.handle = handle
        assert queue_api.get_capabilities()["lattice"]


def test_service_options_read_durations():
    assert [_duration(text) for text in ("90", "1.5", "15m", "12h", "7d")] == [90, 1.5, 900, 43200, 604800]
    for text in ("0", "-3", "7 days", ""):
        with pytest.raises(Exception, match="positive duration"):
            _duration(text)

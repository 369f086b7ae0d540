"""The cloud path end to end: Oruna1Backend -> tavla client -> local device service."""

import json
import math
import socket
import threading
import time

import httpx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane.quantum.dispatch.base import ValidationError
from norvane.quantum.dispatch.oruna1 import Oruna1Backend
from norvane.quantum.dispatch.program import NrvJobSpecification, NrvJobStatusCode
from tavla import protocol, signing
from tavla.api_client import api
from tavla.service import Device, start_service
from tavla.service.emulator import readouts
from tavla.service.errors import HttpError
from tavla.service.process import service_process

ACCESS, SECRET = "test-access", "test-secret-value"
OMEGA = 1.5e7
RAMP = 1e-7


def pi_pulse_job(sites, filling, nshots=40):
    """A resonant pulse of area pi: each isolated atom ends in the Rydberg state."""
    flat = math.pi / OMEGA - RAMP
    times = [0.0, RAMP, RAMP + flat, 2 * RAMP + flat]
    zero = {"times": [0.0, times[-1]], "values": [0.0, 0.0]}
    drive = {"amplitude": {"times": times, "values": [0.0, OMEGA, OMEGA, 0.0]}, "phase": zero, "detuning": zero}
    return NrvJobSpecification(nshots=nshots, lattice={"sites": sites, "filling": filling},
                               effective_hamiltonian={"drive": drive})


FAR_APART = pi_pulse_job([[0.0, 0.0], [3.5e-5, 0.0], [7e-5, 0.0]], [1, 0, 1])
NO_DRIVE = NrvJobSpecification(nshots=10, lattice={"sites": [[0, 0], [5e-6, 0]], "filling": [1, 1]})


@pytest.fixture(scope="module")
def service_url():
    """`python -m tavla.service` on 127.0.0.1 with a free port, as a user starts it."""
    with service_process(ACCESS, SECRET, "--seed", "11") as url:
        assert url.startswith("http://127.0.0.1:")
        yield url


def backend(url, **fields):
    return Oruna1Backend(**{"api_hostname": url, "qpu_id": "local", "access_key": ACCESS, "secret_key": SECRET,
                            **fields})


def wait_until_done(b, task_id, timeout=120):
    deadline = time.time() + timeout
    while (status := b.task_status(task_id)) not in (NrvJobStatusCode.Completed, NrvJobStatusCode.Failed,
                                                     NrvJobStatusCode.Cancelled):
        assert time.time() < deadline, f"task still {status}"
        time.sleep(0.05)
    return status


def test_jobs_run_on_the_emulator_and_read_out_like_the_device(service_url):
    b = backend(service_url, virtual_queue="team-a")
    caps = b.get_capabilities()
    assert caps.lattice.max_filled_sites == 256 and caps.task.nshots_max == 1000
    pulsed, idle = b.submit_task(FAR_APART), b.submit_task(NO_DRIVE)
    assert wait_until_done(b, pulsed) is NrvJobStatusCode.Completed
    assert wait_until_done(b, idle) is NrvJobStatusCode.Completed
    shots = b.task_results(pulsed).shot_outputs
    assert len(shots) == 40 and all(shot.pre_sequence == [1, 0, 1] for shot in shots)
    # A pi pulse excites both isolated atoms: the device no longer sees them.
    assert sum(shot.post_sequence.count(1) for shot in shots) <= 4
    assert all(shot.post_sequence[1] == 0 for shot in shots)
    # Without a drive every atom stays in the ground state and is seen again.
    assert all(shot.post_sequence == [1, 1] for shot in b.task_results(idle).shot_outputs)
    # Cancelling a finished task changes nothing.
    b.cancel_task(idle)
    assert b.task_status(idle) is NrvJobStatusCode.Completed


def test_invalid_jobs_are_refused_with_every_problem(service_url):
    b = backend(service_url)
    b.validate_task(FAR_APART)
    bad = pi_pulse_job([[0.0, 0.0], [1e-6, 0.0], [2e-4, 0.0]], [1, 1, 1], nshots=5000)
    bad.effective_hamiltonian.drive.amplitude.values = [0.0, 3e7, 3e7, 0.0]
    with pytest.raises(ValidationError) as info:
        b.validate_task(bad)
    message = str(info.value)
    for expected in ("1) nshots 5000", "minimum spacing", "outside the area", "drive amplitude 30000000.0",
                     "faster than"):
        assert expected in message
    with pytest.raises(api.ValidationError) as refused:
        b.submit_task(bad)
    assert refused.value.status == 422 and len(refused.value.problems) >= 5


def test_credentials_are_checked(service_url):
    task_id = backend(service_url).submit_task(NO_DRIVE)
    for fields in ({"secret_key": "wrong"}, {"access_key": "nobody"}):
        with pytest.raises(api.AuthenticationError, match="401"):
            backend(service_url, **fields).task_status(task_id)
    with pytest.raises(api.AuthenticationError, match="not signed"):
        Oruna1Backend(api_hostname=service_url, qpu_id="local").task_status(task_id)
    with pytest.raises(api.NotFoundError, match="unknown API stage"):
        backend(service_url, api_stage="v9").task_status(task_id)
    with pytest.raises(api.NotFoundError, match="unknown task id"):
        backend(service_url).task_results("no-such-task")
    with pytest.raises(api.NotFoundError, match="unknown qpu"):
        Oruna1Backend(api_hostname=service_url, qpu_id="other", access_key=ACCESS,
                      secret_key=SECRET).task_status(task_id)


def raw(url, method, path, body=b"", stale=False, headers=None):
    """A request signed by hand, to reach what the client never sends."""
    full = "/v0/qpus/local" + path
    signed = signing.signed_headers(ACCESS, SECRET, None, method, full, body)
    if stale:
        signed[protocol.TIMESTAMP] = str(int(time.time()) - 3600)
        signed[protocol.SIGNATURE] = signing.signature(SECRET, method, full, signed[protocol.TIMESTAMP],
                                                      signed[protocol.NONCE], signed[protocol.CONTENT_SHA256], "")
    signed.update(headers or {})
    return httpx.request(method, url + full, content=body, headers=signed), signed


def test_service_refuses_bad_requests_and_keeps_serving(service_url):
    response, _ = raw(service_url, "GET", "/capabilities", stale=True)
    assert response.status_code == 401 and "away from the service's clock" in response.json()["message"]
    response, headers = raw(service_url, "GET", "/capabilities")
    assert response.status_code == 200
    replay = httpx.get(service_url + "/v0/qpus/local/capabilities", headers=headers)
    assert replay.status_code == 401 and replay.json()["error"] == "replayed"
    for body, kind in ((b"{not json", "malformed_json"), (b"[1, 2]", "malformed_json"),
                       (b'{"nshots": "many"}', "invalid_job")):
        response, _ = raw(service_url, "POST", "/tasks", body)
        assert response.json()["error"] == kind and response.status_code in (400, 422)
    response, _ = raw(service_url, "POST", "/tasks", b"x" * (2 << 20))
    assert response.status_code == 413
    response, _ = raw(service_url, "PUT", "/tasks")
    assert response.status_code == 501
    response, _ = raw(service_url, "GET", "/tasks")
    assert response.status_code == 405
    with socket.create_connection(urlsplit_address(service_url)) as connection:
        connection.sendall(b"NOT HTTP AT ALL\r\n\r\n")
        assert b"400" in connection.recv(1024).split(b"\r\n")[0]
    assert raw(service_url, "GET", "/capabilities")[0].status_code == 200


def urlsplit_address(url):
    host, port = url.removeprefix("http://").split(":")
    return host, int(port)


class Gate:
    """A runner that waits for permission before each job, to hold jobs in the queue."""

    def __init__(self):
        self.started = threading.Semaphore(0)
        self.release = threading.Semaphore(0)

    def __call__(self, job):
        self.started.release()
        assert self.release.acquire(timeout=300)
        if job.nshots == 13:
            raise RuntimeError("emulator exploded")
        return readouts(job.lattice.filling, [[0] * sum(job.lattice.filling)] * job.nshots)


def test_queue_statuses_cancellation_and_failures():
    gate = Gate()
    service = start_service({ACCESS: SECRET}, runner=gate)
    try:
        b = backend(service.url)
        running, waiting, failing = (b.submit_task(NO_DRIVE), b.submit_task(NO_DRIVE),
                                     b.submit_task(NO_DRIVE.copy(update={"nshots": 13})))
        assert gate.started.acquire(timeout=300)
        assert b.task_status(running) is NrvJobStatusCode.Running
        assert b.task_status(waiting) is NrvJobStatusCode.Queued
        b.cancel_task(waiting)
        assert b.task_status(waiting) is NrvJobStatusCode.Cancelled
        b.cancel_task(running)
        assert b.task_status(running) is NrvJobStatusCode.Cancelling
        gate.release.release()
        assert wait_until_done(b, running) is NrvJobStatusCode.Cancelled
        assert b.task_results(running).shot_outputs == []
        gate.release.release()
        assert wait_until_done(b, failing) is NrvJobStatusCode.Failed
        assert b.task_results(failing).task_status is NrvJobStatusCode.Failed
        last = b.submit_task(NO_DRIVE)
        gate.release.release()
        assert wait_until_done(b, last) is NrvJobStatusCode.Completed
        assert service.device.queue.counts() == {"Cancelled": 2, "Failed": 1, "Completed": 1}
    finally:
        service.close()


def silent_server():
    """A socket that accepts connections and never answers; counts the connections."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    accepted = []

    def accept():
        while True:
            try:
                accepted.append(listener.accept()[0])
            except OSError:
                return

    threading.Thread(target=accept, daemon=True).start()
    return listener, accepted


def connections_seen(accepted, expected):
    """How many connections the silent server took, once its accepting thread has caught up
    with the `expected` count (the client connects before the thread records it)."""
    deadline = time.time() + 60
    while len(accepted) < expected and time.time() < deadline:
        time.sleep(0.01)
    return len(accepted)


def test_service_down_or_silent_gives_a_clear_error_in_time():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    down = api.QueueApi(f"http://127.0.0.1:{port}", "local", access_key=ACCESS, secret_key=SECRET,
                        connect_timeout=0.5, read_timeout=0.5, max_retries=2, backoff_s=0.05)
    started = time.time()
    with pytest.raises(api.ServiceUnavailableError, match=f"127.0.0.1:{port}"):
        down.get_job_status_in_queue("t")
    # Three refused connections and two short pauses: a hang would last until the test's end.
    assert time.time() - started < 60

    listener, accepted = silent_server()
    try:
        url = "http://127.0.0.1:%d" % listener.getsockname()[1]
        silent = api.QueueApi(url, "local", access_key=ACCESS, secret_key=SECRET, read_timeout=0.3,
                              max_retries=2, backoff_s=0.01)
        with pytest.raises(api.ServiceUnavailableError, match="timed out"):
            silent.get_job_status_in_queue("t")
        assert connections_seen(accepted, 3) == 3  # one request and two retries
        with pytest.raises(api.ServiceUnavailableError, match="may or may not have been queued"):
            silent.submit_task(NO_DRIVE.json())
        assert connections_seen(accepted, 4) == 4  # a submission is never sent twice
    finally:
        listener.close()


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-10**20, 10**20) | st.floats() | st.text(max_size=5),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=8), children, max_size=4),
    max_leaves=12)


def mutated_job(draw_path, value, job):
    """`job` (nested dicts and lists) with the item at `draw_path` replaced by `value`."""
    node = job
    for key in draw_path[:-1]:
        node = node[key % len(node)] if isinstance(node, list) else node[sorted(node)[key % len(node)]]
        if not isinstance(node, (dict, list)) or not node:
            return job
    last = draw_path[-1]
    if isinstance(node, list):
        node[last % len(node)] = value
    else:
        node[sorted(node)[last % len(node)]] = value
    return job


@pytest.fixture(scope="module")
def fuzz_device():
    device = Device("local", runner=lambda job: [])
    yield device
    device.close()


@settings(max_examples=150, deadline=None)
@given(path=st.lists(st.integers(0, 7), min_size=1, max_size=6), value=JSON_VALUES,
       raw_body=st.one_of(st.none(), st.binary(max_size=40)))
def test_any_job_is_answered_with_a_verdict_never_a_crash(fuzz_device, path, value, raw_body):
    job = json.loads(FAR_APART.json(by_alias=True, exclude_none=True))
    body = raw_body if raw_body is not None else json.dumps(mutated_job(path, value, job)).encode()
    try:
        status, answer = fuzz_device.handle("POST", "/tasks/validate", body, None, ACCESS)
    except HttpError as error:
        assert error.status in (400, 422) and error.message
        if error.status == 422:
            assert error.payload()["problems"]
    else:
        assert (status, answer) == (200, {"valid": True})


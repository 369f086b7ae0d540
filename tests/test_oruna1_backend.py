import json
import sys
import types

import pytest

from native_modules import assert_initialises_once
from norvane.quantum.dispatch.base import DispatchExecutor, ValidationError
from norvane.quantum.dispatch.oruna1 import Oruna1Backend
from norvane.quantum.dispatch.program import (
    NrvCapabilities,
    NrvJobResults,
    NrvJobSpecification,
    NrvJobStatusCode,
)

FIELDS = ["api_hostname", "qpu_id", "api_stage", "virtual_queue", "proxy", "region", "access_key",
          "secret_key", "session_token", "session_expires", "role_arn", "role_session_name", "profile"]
JOB = NrvJobSpecification(nshots=5, lattice={"sites": [[0, 0], [5e-6, 0]], "filling": [1, 1]})
RESULTS = {"task_status": "Completed", "shot_outputs": [
    {"shot_status": "Completed", "pre_sequence": [1, 1], "post_sequence": [0, 1]}]}


class ClientRejection(Exception):
    pass


class RecordingClient:
    """Stands in for tavla's QueueApi: records every construction and call."""

    built = []
    ValidationError = ClientRejection
    answers = {}

    def __init__(self, **keywords):
        RecordingClient.built.append(keywords)
        self.calls = []

    def __getattr__(self, name):
        def call(*args):
            self.calls.append((name, args))
            answer = RecordingClient.answers.get(name)
            if isinstance(answer, BaseException):
                raise answer
            return answer
        return call


@pytest.fixture
def client(monkeypatch):
    module = types.ModuleType("tavla.api_client.api")
    module.QueueApi = RecordingClient
    monkeypatch.setitem(sys.modules, "tavla.api_client.api", module)
    monkeypatch.setattr(RecordingClient, "built", [])
    monkeypatch.setattr(RecordingClient, "answers", {
        "submit_task": "task-1", "poll_job_results": RESULTS, "get_job_status_in_queue": "Running",
        "get_capabilities": None, "validate_task": None, "cancel_job_in_queue": "ignored"})
    return RecordingClient


def backend(**fields):
    return Oruna1Backend(api_hostname="http://device.example", qpu_id="qpu-7", **fields)


def test_fields_private_cache_and_secrets_kept_out_of_repr():
    assert_initialises_once("norvane.quantum.dispatch.oruna1")
    assert issubclass(Oruna1Backend, DispatchExecutor)
    assert list(Oruna1Backend.__fields__) == FIELDS
    b = backend(access_key="AKID", secret_key="s3cr3t-value", session_token="t0ken-value", session_expires=5)
    assert b.api_stage == "v0" and b._queue_api is None
    assert "_queue_api" not in b.dict()
    for text in (repr(b), str(b)):
        assert "s3cr3t" not in text and "t0ken" not in text and "AKID" in text
    b.update_credential(secret_key="other-secret")
    assert "other-secret" not in repr(b) and b.secret_key == "other-secret"
    with pytest.raises(ValueError) as info:
        backend(secret_key=["s3cr3t-value"])
    assert "s3cr3t" not in str(info.value)


def test_client_built_once_from_the_fields_that_are_set(client):
    b = backend()
    assert b.queue_api is b.queue_api
    assert client.built == [{"api_hostname": "http://device.example", "qpu_id": "qpu-7", "api_stage": "v0"}]
    full = backend(virtual_queue="vq", proxy="http://proxy:3128", region="r", access_key="a", secret_key="s",
                   session_token="t", session_expires=0, role_arn="arn", role_session_name="n", profile="p")
    full.task_status("x")
    full.cancel_task("x")
    assert list(client.built[1]) == FIELDS and client.built[1]["session_expires"] == 0
    assert client.built[1]["secret_key"] == "s" and client.built[1]["session_token"] == "t"
    # A client already built keeps the credentials it was built with.
    held = full.queue_api
    full.update_credential(access_key="a2")
    assert full.queue_api is held and len(client.built) == 2


def test_each_operation_is_one_client_call(client):
    b = backend()
    assert b.submit_task(JOB) == "task-1"
    results = b.task_results("task-1")
    assert results == NrvJobResults(**RESULTS)
    assert b.cancel_task("task-1") is None
    assert b.task_status("task-1") is NrvJobStatusCode.Running
    assert b.validate_task(task_ir=JOB) is None
    job_json = JOB.json(by_alias=True, exclude_none=True, exclude_unset=True)
    assert b.queue_api.calls == [("submit_task", (job_json,)), ("poll_job_results", ("task-1",)),
                                 ("cancel_job_in_queue", ("task-1",)), ("get_job_status_in_queue", ("task-1",)),
                                 ("validate_task", (job_json,))]
    assert "effectiveHamiltonian" not in json.loads(job_json)


def test_type_errors_come_before_any_call(client):
    b = backend()
    for method in (b.task_results, b.cancel_task, b.task_status):
        with pytest.raises(TypeError, match=r"^Argument 'task_id' has incorrect type \(expected str, got int\)$"):
            method(7)
    for name in ("access_key", "secret_key", "session_token"):
        with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected str, got bytes\)$"):
            b.update_credential(**{name: b"k"})
    assert client.built == [] and b.access_key is None
    client.answers["submit_task"] = 12
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        b.submit_task(JOB)


def test_update_credential_order_and_none(client):
    order = []

    class Recording(Oruna1Backend):
        def __setattr__(self, name, value):
            order.append(name)
            super().__setattr__(name, value)

    b = Recording(api_hostname="h", qpu_id="q", access_key="a0", secret_key="s0", session_token="t0")
    b.update_credential()
    assert order == [] and (b.access_key, b.secret_key, b.session_token) == ("a0", "s0", "t0")
    b.update_credential("a1", "s1", "t1")
    assert order == ["secret_key", "access_key", "session_token"]
    b.update_credential(secret_key="s2")
    assert (b.access_key, b.secret_key, b.session_token) == ("a1", "s2", "t1")


def test_validation_errors_are_converted_and_others_pass(client):
    b = backend()
    client.answers["validate_task"] = ClientRejection("nshots 0 is outside the allowed range")
    with pytest.raises(ValidationError, match=r"^nshots 0 is outside the allowed range$"):
        b.validate_task(JOB)
    # The client's error class is read when the error is handled.
    b.queue_api.ValidationError = KeyError
    with pytest.raises(ClientRejection):
        b.validate_task(JOB)
    client.answers["validate_task"] = KeyError("k")
    with pytest.raises(ValidationError, match="'k'"):
        b.validate_task(JOB)
    client.answers["poll_job_results"] = ConnectionError("service down")
    with pytest.raises(ConnectionError, match="service down"):
        b.task_results("t")
    client.answers["poll_job_results"] = {"task_status": "Completed", "bogus": 1}
    with pytest.raises(ValueError):
        b.task_results("t")
    client.answers["get_job_status_in_queue"] = "NotAStatus"
    with pytest.raises(ValueError):
        b.task_status("t")


def test_capabilities_from_the_client_or_the_base(client, monkeypatch):
    b = backend()
    shipped = DispatchExecutor().get_capabilities(True)
    mapping = json.loads(shipped.json())
    mapping["version"] = "from-service"
    client.answers["get_capabilities"] = mapping
    assert b.get_capabilities() == NrvCapabilities(**mapping)
    for failure in (RuntimeError("down"), ["not", "a", "mapping"], {"version": "1"}):
        client.answers["get_capabilities"] = failure
        assert b.get_capabilities(use_experimental=True) == shipped
        assert b.get_capabilities() == DispatchExecutor().get_capabilities(False)
    monkeypatch.setitem(sys.modules, "tavla.api_client.api", None)
    fresh = backend()
    assert fresh.get_capabilities(True) == shipped
    with pytest.raises(RuntimeError, match=r"^Must install Tavla-client to use Oruna1 Cloud$"):
        fresh.submit_task(JOB)
    with pytest.raises(RuntimeError, match=r"^Must install Tavla-client to use Oruna1 Cloud$"):
        fresh.queue_api


def test_operations_reach_the_client_through_the_property(client, monkeypatch):
    replacement = RecordingClient()
    monkeypatch.setattr(Oruna1Backend, "queue_api", property(lambda self: replacement))
    b = backend()
    b.task_status("t")
    b.submit_task(JOB)
    assert [name for name, _ in replacement.calls] == ["get_job_status_in_queue", "submit_task"]
    assert len(client.built) == 1 and b._queue_api is None  # only the replacement was built

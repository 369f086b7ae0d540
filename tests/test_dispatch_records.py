import dataclasses
import json
from importlib import resources
from typing import Optional

import numpy as np
import pytest
from pydantic.v1 import PrivateAttr
from pydantic.v1 import ValidationError as ModelError

from norvane.quantum.dispatch.base import DispatchExecutor, ValidationError
from norvane.quantum.dispatch.program.capabilities import NrvCapabilities
from norvane.quantum.dispatch.program.job_results import (
    NrvJobResults,
    NrvJobStatusCode,
    NrvShotResult,
    NrvShotStatusCode,
)
from norvane.quantum.dispatch.program.job_specification import NrvJobSpecification
from norvane.quantum.job.base import Geometry, LocalTask

LATTICE = {"sites": [[0.0, 0.0], [5e-6, 0.0], [0.0, 5e-6]], "filling": [1, 0, 1]}


def _wave(duration=4e-6, peak=1e7):
    return {"times": [0.0, duration / 2, duration], "values": [0.0, peak, 0.0]}


def _hamiltonian(weights=None, phase=None):
    drive = {"amplitude": _wave(), "phase": phase or _wave(peak=0.0), "detuning": _wave(peak=-1e7)}
    h = {"drive": drive}
    if weights is not None:
        h["local_detuning"] = {"waveform": _wave(peak=2e7), "weights": weights}
    return h


def test_specification_json_options_and_round_trip():
    h = _hamiltonian([0.5, 0, 1])
    spec = NrvJobSpecification(nshots=10, lattice=LATTICE, effective_hamiltonian=h)
    assert "localDetuning" in json.loads(spec.json(by_alias=True))["effectiveHamiltonian"]
    assert "local_detuning" in json.loads(spec.json())["effective_hamiltonian"]
    assert NrvJobSpecification(**json.loads(spec.json(by_alias=True))) == spec
    assert NrvJobSpecification(**json.loads(spec.json())) == spec

    bare = NrvJobSpecification(nshots=10, lattice=LATTICE)
    assert json.loads(bare.json())["effective_hamiltonian"] is None
    assert "effective_hamiltonian" not in json.loads(bare.json(exclude_unset=True))
    assert "effective_hamiltonian" not in json.loads(bare.json(exclude_none=True))
    explicit = NrvJobSpecification(nshots=10, lattice=LATTICE, effective_hamiltonian=None)
    assert "effective_hamiltonian" in json.loads(explicit.json(exclude_unset=True))
    assert json.loads(explicit.json(by_alias=True, exclude_none=True, exclude_unset=True)) == {
        "nshots": 10,
        "lattice": {"sites": LATTICE["sites"], "filling": [1, 0, 1]},
    }


def test_specification_accepts_zero_shots_and_numpy_values():
    lattice = {"sites": np.array([[0.0, 1e-6]]), "filling": np.array([1])}
    spec = NrvJobSpecification(nshots=np.int64(0), lattice=lattice)
    assert spec.nshots == 0 and type(spec.lattice.filling[0]) is int
    assert spec.lattice.sites == [(0.0, 1e-6)]


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"nshots": -1}, "must not be negative"),
        ({"nshots": 2.5}, "nshots must be an integer"),
        ({"nshots": True}, "got bool"),
        ({"lattice": {**LATTICE, "filling": [1, 0]}}, "3 sites, 2 filling entries"),
        ({"lattice": {**LATTICE, "filling": [1, 2, 0]}}, r"filling\[1\] must be 0 or 1"),
        ({"lattice": {**LATTICE, "filling": [1, 0.5, 0]}}, r"filling\[1\] must be 0 or 1"),
        ({"lattice": {**LATTICE, "sites": [[0, 0], [1, 2, 3], [0, 1]]}}, r"sites\[1\] must be an"),
        ({"lattice": {**LATTICE, "sites": [[0, 0], ["a", 0], [0, 1]]}}, "must be a real number"),
        ({"effective_hamiltonian": _hamiltonian([1.0])}, "3 sites, 1 weights"),
        ({"effective_hamiltonian": _hamiltonian([1.5, 0, 0])}, r"weights\[0\] must lie in"),
        ({"unknown": 1}, "extra fields not permitted"),
    ]
    + [
        ({"effective_hamiltonian": _hamiltonian(phase=wave)}, message)
        for wave, message in [
            ({"times": [0.0], "values": [0.0]}, "at least two time points"),
            ({"times": [1e-9, 4e-6], "values": [0.0, 0.0]}, "starts at time 0"),
            ({"times": [0.0, 3e-6, 2e-6], "values": [0, 0, 0]}, "must not decrease"),
            ({"times": [0.0, 4e-6], "values": [0.0]}, "2 times, 1 values"),
            ({"times": [0.0, 2e-6], "values": [0.0, 0.0]}, "same duration"),
            ({"times": [0.0, float("nan")], "values": [0.0, 0.0]}, "must be finite"),
        ]
    ],
)
def test_specification_refuses_bad_values(changes, message):
    with pytest.raises(ModelError, match=message):
        NrvJobSpecification(**{"nshots": 1, "lattice": LATTICE, **changes})


def test_assignment_is_validated():
    spec = NrvJobSpecification(nshots=1, lattice=LATTICE)
    with pytest.raises(ModelError, match="must not be negative"):
        spec.nshots = -4
    assert spec.nshots == 1


def test_results_round_trip_through_dict_and_json():
    r = NrvJobResults(
        task_status=NrvJobStatusCode.Completed,
        shot_outputs=[
            NrvShotResult(
                shot_status=NrvShotStatusCode.Completed,
                pre_sequence=np.array([1, 0, 1]),
                post_sequence=[0, 0, 1],
            ),
            NrvShotResult(shot_status="Failed", pre_sequence=[], post_sequence=[]),
        ],
    )
    assert NrvJobResults(**r.dict()) == r
    decoded = json.loads(r.json())
    assert decoded["task_status"] == "Completed"
    assert decoded["shot_outputs"][0]["pre_sequence"] == [1, 0, 1]
    back = NrvJobResults(**decoded)
    assert back == r and back.task_status is NrvJobStatusCode.Completed
    assert back.shot_outputs[1].shot_status is NrvShotStatusCode.Failed
    assert NrvJobResults(task_status="Completed").shot_outputs == []


@pytest.mark.parametrize("enum", [NrvJobStatusCode, NrvShotStatusCode])
def test_status_codes_are_text_found_by_value(enum):
    for member in enum:
        assert enum(member.value) is member and isinstance(member, str)
    assert enum("Completed") is enum.Completed
    with pytest.raises(ValueError):
        enum("completed")


@pytest.mark.parametrize(
    "fields, message",
    [
        ({"pre_sequence": [1, 3]}, r"pre_sequence\[1\] must be 0 or 1"),
        ({"post_sequence": [1]}, "lengths 2 and 1"),
        ({"post_sequence": [True, False]}, "got bool"),
        ({"shot_status": "Done"}, "not a valid enumeration member"),
    ],
)
def test_shot_readouts_are_checked(fields, message):
    with pytest.raises(ModelError, match=message):
        NrvShotResult(
            **{"shot_status": "Completed", "pre_sequence": [1, 0], "post_sequence": [0, 0], **fields}
        )


def test_results_refuse_unknown_keys_and_status():
    with pytest.raises(ModelError, match="extra fields not permitted"):
        NrvJobResults(task_status="Completed", task_id="x")
    with pytest.raises(ModelError, match="task_status"):
        NrvJobResults(task_status="Finished")


def test_capabilities_from_shipped_data():
    shipped = resources.files("norvane.quantum.dispatch").joinpath("capabilities.json").read_text()
    assert set(json.loads(shipped)) == {"default", "experimental"}
    executor = DispatchExecutor()
    default = executor.get_capabilities()
    experimental = executor.get_capabilities(use_experimental=True)
    assert isinstance(default, NrvCapabilities) and default == executor.get_capabilities(False)
    assert default.local_detuning is None and experimental.local_detuning is not None
    assert experimental.lattice.max_sites > default.lattice.max_sites
    default.lattice.max_filled_sites = 1  # each call builds a fresh record
    assert executor.get_capabilities().lattice.max_filled_sites != 1
    with pytest.raises(TypeError, match="use_experimental must be a bool"):
        executor.get_capabilities("yes")
    section = json.loads(shipped)["default"]
    section["task"] = {"nshots_min": 10, "nshots_max": 5}
    with pytest.raises(ModelError, match="nshots_min"):
        NrvCapabilities(**section)


class _Backend(DispatchExecutor):
    state: str = "s"
    limit: Optional[int] = None
    _cache: object = PrivateAttr(default=None)


@pytest.mark.parametrize("operation", ["submit_task", "task_results", "cancel_task", "task_status"])
def test_abstract_operations_name_the_class(operation):
    with pytest.raises(NotImplementedError, match=f"_Backend does not implement {operation}"):
        getattr(_Backend(), operation)("id")


def test_backend_fields_and_private_attributes():
    backend = _Backend(limit=3)
    backend._cache = object()
    assert backend.dict() == {"state": "s", "limit": 3}
    with pytest.raises(ModelError):
        backend.limit = "many"
    with pytest.raises(ModelError, match="extra fields not permitted"):
        _Backend(stat="typo")
    # Native modules build their back ends by calling the metaclass, then attach methods.
    ns = {"__module__": __name__, "__annotations__": {"path": str}, "path": ".p", "_client": None}
    built = type(DispatchExecutor)("Built", (DispatchExecutor,), ns)
    built.task_status = lambda self, task_id: NrvJobStatusCode.Completed
    assert built().dict() == {"path": ".p"} and built()._client is None
    assert built().task_status("x") is NrvJobStatusCode.Completed


def test_validation_error_carries_its_message():
    err = ValidationError("job rejected: too many sites")
    assert str(err) == err.message == "job rejected: too many sites"


def test_local_task_and_geometry():
    with pytest.raises(NotImplementedError, match="LocalTask does not implement run"):
        LocalTask().run()

    @dataclasses.dataclass
    class Count(LocalTask):
        shots: int
        outcome: Optional[int] = None

        def run(self, scale=1):
            self.outcome = self.shots * scale
            return self

        def result(self):
            return self.outcome

    task = Count(3)
    assert task.result() is None and task.run(2) is task and task == Count(3, 6)

    g = Geometry(sites=[(0, 0), (4e-6, 0)], filling=[1, 0])
    assert g.sites == [(0.0, 0.0), (4e-6, 0.0)] and g.filling == [1, 0]
    with pytest.raises(ModelError, match="2 sites, 1 filling entries"):
        Geometry(sites=[(0, 0), (4e-6, 0)], filling=[1])

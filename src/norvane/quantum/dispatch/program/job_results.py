"""Job results: the status of a job and the readout of each of its shots."""

from enum import Enum
from typing import List

from pydantic.v1 import BaseModel, Field, root_validator, validator

from ._checks import binary_list

__all__ = ["NrvJobStatusCode", "NrvShotStatusCode", "NrvShotResult", "NrvJobResults"]


class NrvJobStatusCode(str, Enum):
    """Lifecycle of a job; each value is the member's own name."""

    Created = "Created"
    Queued = "Queued"
    Running = "Running"
    Completed = "Completed"
    Failed = "Failed"
    Cancelling = "Cancelling"
    Cancelled = "Cancelled"


class NrvShotStatusCode(str, Enum):
    """Outcome of one shot; each value is the member's own name."""

    Completed = "Completed"
    PartialSuccess = "PartialSuccess"
    Failed = "Failed"


class _Record(BaseModel):
    class Config:
        extra = "forbid"
        validate_assignment = True


class NrvShotResult(_Record):
    """Readout of one shot: one 0/1 entry per register site, before and after the program."""

    shot_status: NrvShotStatusCode
    pre_sequence: List[int]
    post_sequence: List[int]

    @validator("pre_sequence", "post_sequence", pre=True)
    def _bits(cls, value, field):
        return binary_list(value, field.name)

    @root_validator(skip_on_failure=True)
    def _same_length(cls, values):
        if len(values["pre_sequence"]) != len(values["post_sequence"]):
            raise ValueError(
                f"pre_sequence and post_sequence cover the same sites: lengths "
                f"{len(values['pre_sequence'])} and {len(values['post_sequence'])}"
            )
        return values


class NrvJobResults(_Record):
    """Status of a job and its shot readouts in shot order.

    Both exports come back through the constructor: ``NrvJobResults(**r.dict())`` and
    ``NrvJobResults(**json.loads(r.json()))`` equal `r`.
    """

    task_status: NrvJobStatusCode
    shot_outputs: List[NrvShotResult] = Field(default_factory=list)

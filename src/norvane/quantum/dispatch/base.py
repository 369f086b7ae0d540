"""Dispatch base: the model class every back end derives from, and its validation error."""

import json
from functools import lru_cache
from importlib import resources
from typing import Any

from pydantic.v1 import BaseModel

from .program.capabilities import NrvCapabilities
from .program.job_results import NrvJobResults, NrvJobStatusCode

__all__ = ["ValidationError", "DispatchExecutor"]

_CAPABILITIES_FILE = "capabilities.json"


class ValidationError(Exception):
    """A job that a back end refuses; carries one message text."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


@lru_cache(maxsize=1)
def _capability_text() -> str:
    return resources.files(__package__).joinpath(_CAPABILITIES_FILE).read_text(encoding="utf-8")


def _capability_data(use_experimental: bool) -> dict:
    # Parsed afresh on every call so no caller can alter the shipped data for the next one.
    sections = json.loads(_capability_text())
    return sections["experimental" if use_experimental else "default"]


class DispatchExecutor(BaseModel):
    """Base of dispatch back ends: a validated model whose settings are declared fields.

    Subclasses implement `submit_task`, `task_results`, `cancel_task` and `task_status`;
    `get_capabilities` answers with the capabilities shipped with the kit unless a
    subclass knows better. Attributes whose names start with an underscore are private:
    neither validated nor exported.
    """

    class Config:
        underscore_attrs_are_private = True
        validate_assignment = True
        extra = "forbid"

    def get_capabilities(self, use_experimental: bool = False) -> NrvCapabilities:
        """The device's capabilities; the experimental set when `use_experimental` is true."""
        if not isinstance(use_experimental, int):
            raise TypeError(
                f"use_experimental must be a bool, got {type(use_experimental).__name__}"
            )
        return NrvCapabilities(**_capability_data(bool(use_experimental)))

    def _not_implemented(self, operation: str) -> NotImplementedError:
        return NotImplementedError(
            f"{type(self).__name__} does not implement {operation}(); "
            f"dispatch back ends must override it"
        )

    def submit_task(self, task: Any) -> str:
        """Submit a job specification; return its task id."""
        raise self._not_implemented("submit_task")

    def task_results(self, task_id: str) -> NrvJobResults:
        """The results of a submitted task."""
        raise self._not_implemented("task_results")

    def cancel_task(self, task_id: str) -> None:
        """Ask for a submitted task to be cancelled."""
        raise self._not_implemented("cancel_task")

    def task_status(self, task_id: str) -> NrvJobStatusCode:
        """The status of a submitted task."""
        raise self._not_implemented("task_status")

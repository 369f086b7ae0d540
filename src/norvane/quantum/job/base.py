"""Base of local tasks and the register geometry they run on."""

from typing import Any, List, Tuple

from pydantic.v1 import BaseModel, root_validator, validator

from ..dispatch.program._checks import binary_list, site_list

__all__ = ["LocalTask", "Geometry"]


class LocalTask:
    """A job that runs on this machine rather than through a dispatch back end.

    Subclasses (typically data classes) implement `run`, which does the work and returns
    the task itself, and `result`, which returns what the last `run` produced (None
    before the first run), so that ``task.run(...).result()`` reads naturally.
    """

    __slots__ = ()

    def run(self, *args: Any, **kwargs: Any) -> "LocalTask":
        raise NotImplementedError(
            f"{type(self).__name__} does not implement run(); local tasks must override it"
        )

    def result(self) -> Any:
        raise NotImplementedError(
            f"{type(self).__name__} does not implement result(); local tasks must override it"
        )


class Geometry(BaseModel):
    """Register geometry: site positions as (x, y) pairs in metres, and a 0/1 filling
    per site, 1 where the site holds an atom."""

    sites: List[Tuple[float, float]]
    filling: List[int]

    class Config:
        extra = "forbid"
        validate_assignment = True

    @validator("sites", pre=True)
    def _sites(cls, value):
        return site_list(value, "sites")

    @validator("filling", pre=True)
    def _filling(cls, value):
        return binary_list(value, "filling")

    @root_validator(skip_on_failure=True)
    def _one_filling_per_site(cls, values):
        if len(values["sites"]) != len(values["filling"]):
            raise ValueError(
                f"filling needs one entry per site: {len(values['sites'])} sites, "
                f"{len(values['filling'])} filling entries"
            )
        return values

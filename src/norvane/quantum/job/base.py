"""Base of local tasks and the register geometry they run on."""

from typing import Any

from ..dispatch.program.job_specification import NrvLattice

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


class Geometry(NrvLattice):
    """Register geometry: site positions as (x, y) pairs in metres, and a 0/1 filling
    per site, 1 where the site holds an atom. The same record as a job's lattice."""

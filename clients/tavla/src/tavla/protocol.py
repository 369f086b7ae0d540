"""The device service's protocol, as the client and the service both speak it: the routes
below a device, the job statuses and the header names. The signing rule is `tavla.signing`."""

from __future__ import annotations

from typing import NamedTuple
from urllib.parse import quote, unquote

# Headers of a signed request (see tavla.signing) and of the optional virtual queue.
ACCESS_KEY = "X-Tavla-Access-Key"
TIMESTAMP = "X-Tavla-Timestamp"
NONCE = "X-Tavla-Nonce"
CONTENT_SHA256 = "X-Tavla-Content-SHA256"
SESSION_TOKEN = "X-Tavla-Session-Token"
SIGNATURE = "X-Tavla-Signature"
VIRTUAL_QUEUE = "X-Tavla-Virtual-Queue"

# Job statuses: a job moves Queued -> Running -> Completed or Failed; a cancelled one ends
# Cancelled, through Cancelling while it runs. Created is the hosted service's first status.
CREATED, QUEUED, RUNNING, COMPLETED, FAILED, CANCELLING, CANCELLED = (
    "Created", "Queued", "Running", "Completed", "Failed", "Cancelling", "Cancelled")
JOB_STATUSES = frozenset({CREATED, QUEUED, RUNNING, COMPLETED, FAILED, CANCELLING, CANCELLED})
ENDED_STATUSES = frozenset({COMPLETED, FAILED, CANCELLED})


def device_prefix(api_stage: str, qpu_id: str) -> str:
    """The path every route of one device starts with."""
    return f"/{quote(api_stage, safe='')}/qpus/{quote(qpu_id, safe='')}"


class Route(NamedTuple):
    """An operation of the protocol: its method and its path below the device prefix, where
    a segment `{name}` stands for one path segment."""
    name: str
    method: str
    template: str

    def path(self, **values: str) -> str:
        """The route's path with `values` in its `{name}` segments."""
        return "/".join(quote(values[s[1:-1]], safe="") if _is_slot(s) else s for s in self.template.split("/"))


CAPABILITIES = Route("capabilities", "GET", "/capabilities")
SUBMIT = Route("submit", "POST", "/tasks")
VALIDATE = Route("validate", "POST", "/tasks/validate")
STATUS = Route("status", "GET", "/tasks/{task_id}")
CANCEL = Route("cancel", "DELETE", "/tasks/{task_id}")
RESULTS = Route("results", "GET", "/tasks/{task_id}/results")

# Fixed segments come before slots of the same length, so that /tasks/validate is that route
# and not a task of that id.
ROUTES = (CAPABILITIES, SUBMIT, VALIDATE, STATUS, CANCEL, RESULTS)


class NoRoute(LookupError):
    """No route has this path (`allowed` empty), or none takes this method on it (`allowed`:
    the methods that it takes)."""

    def __init__(self, allowed: tuple[str, ...] = ()):
        super().__init__(allowed)
        self.allowed = allowed


def match(method: str, path: str) -> tuple[Route, dict[str, str]]:
    """The route of a request for `path` (below the device prefix) and the values of its
    slots; NoRoute when there is none."""
    segments = path.split("/")
    for route in ROUTES:
        values = _slot_values(route.template.split("/"), segments)
        if values is not None:
            same_path = [r for r in ROUTES if r.template == route.template]
            chosen = next((r for r in same_path if r.method == method), None)
            if chosen is None:
                raise NoRoute(tuple(r.method for r in same_path))
            return chosen, values
    raise NoRoute()


def _is_slot(segment: str) -> bool:
    return segment.startswith("{") and segment.endswith("}")


def _slot_values(template: list[str], segments: list[str]) -> dict[str, str] | None:
    if len(template) != len(segments):
        return None
    values = {}
    for fixed, given in zip(template, segments):
        if _is_slot(fixed):
            if not given:
                return None
            values[fixed[1:-1]] = unquote(given)
        elif fixed != given:
            return None
    return values

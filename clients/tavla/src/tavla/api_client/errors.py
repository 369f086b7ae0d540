"""Errors of the queue client: what the service answered, or why it could not be reached."""

from __future__ import annotations


class TavlaError(Exception):
    """Base of every error the client raises."""


class ServiceError(TavlaError):
    """The service refused a request: its HTTP status and its message."""

    def __init__(self, status: int, message: str):
        super().__init__(status, message)
        self.status = status
        self.message = message

    def __str__(self) -> str:
        return f"device service answered {self.status}: {self.message}"


class AuthenticationError(ServiceError):
    """The request's signature or credentials were refused (401)."""


class NotFoundError(ServiceError):
    """Unknown task, device, API stage or endpoint (404)."""


class ValidationError(ServiceError):
    """The job does not fit the device (422); `problems` lists every problem found."""

    def __init__(self, status: int, message: str, problems: list[str] | None = None):
        super().__init__(status, message)
        self.problems = list(problems or [])

    def __str__(self) -> str:
        return self.message


class ServiceUnavailableError(TavlaError):
    """The service could not be reached or did not answer in time."""


class ResponseError(TavlaError):
    """The service answered with something other than the protocol's response."""

"""The error answer of the service."""


class HttpError(Exception):
    """A request refused with an HTTP status, an error kind and a message for the caller."""

    def __init__(self, status: int, kind: str, message: str, **extra):
        super().__init__(message)
        self.status = status
        self.kind = kind
        self.message = message
        self.extra = extra

    def payload(self) -> dict:
        return {"error": self.kind, "message": self.message, **self.extra}

"""The HTTP side of the local device service: a threading server answering the protocol."""

from __future__ import annotations

import json
import logging
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Mapping
from urllib.parse import unquote, urlsplit

from .. import protocol
from .auth import SignatureCheck
from .device import Device
from .errors import HttpError

log = logging.getLogger("tavla.service")

# Largest request body accepted; a job of the largest register is far smaller.
MAX_BODY_BYTES = 1 << 20


class DeviceService:
    """A device service on `host`:`port` (port 0 picks a free one) serving `device` under
    /<api_stage>/qpus/<qpu id>, for callers signing with one of `credentials` (access key ->
    secret key). `start()` serves from a background thread; `close()` stops it."""

    def __init__(self, device: Device, credentials: Mapping[str, str], host: str = "127.0.0.1", port: int = 0,
                 api_stage: str = "v0", verbose: bool = False):
        self.device = device
        self.api_stage = api_stage
        self.signatures = SignatureCheck(credentials)
        self.verbose = verbose
        self._server = ThreadingHTTPServer((host, port), _Handler)
        self._server.daemon_threads = True
        self._server.service = self
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def start(self) -> "DeviceService":
        """Serves from a background thread (once: a started service stays as it is)."""
        if self._thread is not None:
            return self
        self._thread = threading.Thread(target=self._server.serve_forever, name="tavla-service", daemon=True)
        self._thread.start()
        return self

    def serve_forever(self) -> None:
        self._server.serve_forever()

    def close(self) -> None:
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
        self._server.server_close()
        self.device.close()

    def __enter__(self) -> "DeviceService":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.close()

    def answer(self, method: str, target: str, headers: Mapping[str, str], body: bytes) -> tuple[int, dict | bytes]:
        """Status and JSON answer (an object, or its encoded text) of one request."""
        # A request through a proxy may name the whole URL; the signature covers path and query.
        url = urlsplit(target)
        path = url.path
        owner = self.signatures.check(method, path + (f"?{url.query}" if url.query else ""), headers, body)
        parts = path.split("/", 4)  # "", stage, "qpus", qpu id, route
        if len(parts) < 4 or parts[2] != "qpus":
            raise HttpError(404, "not_found", f"no such endpoint: {path}")
        if unquote(parts[1]) != self.api_stage:
            raise HttpError(404, "unknown_stage", f"unknown API stage (this service serves {self.api_stage!r})")
        if unquote(parts[3]) != self.device.qpu_id:
            raise HttpError(404, "unknown_qpu", f"unknown qpu (this service serves {self.device.qpu_id!r})")
        route = "/" + parts[4] if len(parts) == 5 else ""
        return self.device.handle(method, route, body, headers.get(protocol.VIRTUAL_QUEUE), owner)


class _Handler(BaseHTTPRequestHandler):
    server_version = "tavla-device/0.1"
    protocol_version = "HTTP/1.1"
    # A client that stops sending mid-request loses its connection instead of a thread.
    timeout = 30
    # Headers and body leave in separate writes: without this, a kept-alive connection waits
    # for the client's delayed acknowledgement (some 40 ms) on every answer.
    disable_nagle_algorithm = True

    def do_GET(self) -> None:
        self._serve("GET")

    def do_POST(self) -> None:
        self._serve("POST")

    def do_DELETE(self) -> None:
        self._serve("DELETE")

    def _serve(self, method: str) -> None:
        service: DeviceService = self.server.service
        try:
            body = self._body()
            status, payload = service.answer(method, self.path, self.headers, body)
        except HttpError as error:
            status, payload = error.status, error.payload()
        except OSError:  # the connection broke or stalled while the body was read
            self.close_connection = True
            return
        except Exception as exc:  # a fault of the service: logged, answered, and serving goes on
            log.error("internal error answering %s %s: %s: %s", method, self.path[:200], type(exc).__name__, exc,
                      exc_info=log.isEnabledFor(logging.DEBUG))
            status, payload = 500, {"error": "internal", "message": "internal error of the device service"}
        self._send(status, payload)

    def _body(self) -> bytes:
        if self.headers.get("Transfer-Encoding"):
            self.close_connection = True
            raise HttpError(411, "length_required", "send the body with a Content-Length, not chunked")
        length_text = self.headers.get("Content-Length", "0")
        try:
            length = int(length_text)
        except ValueError:
            length = -1
        if length < 0:
            self.close_connection = True
            raise HttpError(400, "bad_length", "the Content-Length is not a non-negative integer")
        if length > MAX_BODY_BYTES:
            self.close_connection = True
            raise HttpError(413, "too_large", f"the request body exceeds {MAX_BODY_BYTES} bytes")
        body = self.rfile.read(length)
        if len(body) != length:
            self.close_connection = True
            raise HttpError(400, "short_body", "the request body ended before its Content-Length")
        return body

    def _send(self, status: int, payload: dict | bytes) -> None:
        data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format: str, *args) -> None:
        if self.server.service.verbose:
            super().log_message(format, *args)

"""The tavla client against a scripted HTTP server: what it sends, what it retries, what it
accepts back, and that it lets go of its connections."""

import gc
import json
import threading
import weakref
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from tavla import protocol, signing
from tavla.api_client import api


class ScriptedServer:
    """Answers each request with the next (status, body[, headers]) of `script` and records
    requests. A body is bytes, a value sent as JSON, or an iterator of byte chunks sent
    without a length (the answer ends when the connection does); `sent` counts the body
    bytes written and `hung_up` tells whether the client closed the connection first."""

    def __init__(self, script):
        self.script = list(script)
        self.requests = []
        self.sent = 0
        self.hung_up = threading.Event()
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def _answer(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                owner.requests.append((self.requestline, dict(self.headers), body))
                status, payload, *extra = owner.script.pop(0)
                headers = dict(*extra)
                if isinstance(payload, bytes) or not hasattr(payload, "__next__"):
                    data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
                    headers.setdefault("Content-Length", len(data))
                    payload = [data]
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, str(value))
                self.end_headers()
                try:
                    for chunk in payload:
                        self.wfile.write(chunk)
                        owner.sent += len(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    owner.hung_up.set()

            do_GET = do_POST = do_DELETE = _answer

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def scripted():
    servers = []

    def start(*script):
        servers.append(ScriptedServer(script))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


def client(url, **options):
    return api.QueueApi(url, "qpu 1", api_stage="v2", access_key="AK", secret_key="the-secret",
                        session_token="the-token", virtual_queue="vq", backoff_s=0.01, **options)


def test_requests_are_signed_and_the_secret_never_travels(scripted):
    server = scripted((201, {"task_id": "t-1"}))
    assert client(server.url).submit_task('{"nshots": 1}') == "t-1"
    line, headers, body = server.requests[0]
    assert line == "POST /v2/qpus/qpu%201/tasks HTTP/1.1" and body == b'{"nshots": 1}'
    assert headers[protocol.ACCESS_KEY] == "AK" and headers[protocol.VIRTUAL_QUEUE] == "vq"
    assert headers[protocol.CONTENT_SHA256] == signing.body_digest(body)
    expected = signing.signature("the-secret", "POST", "/v2/qpus/qpu%201/tasks", headers[protocol.TIMESTAMP],
                                 headers[protocol.NONCE], headers[protocol.CONTENT_SHA256], "the-token")
    assert headers[protocol.SIGNATURE] == expected
    assert "the-secret" not in json.dumps(headers) and "the-secret" not in repr(client(server.url))


def test_idempotent_calls_retry_and_submissions_do_not(scripted):
    server = scripted((503, {"message": "busy"}), (502, b"bad gateway"), (200, {"task_id": "t", "status": "Queued"}),
                      (503, {"message": "busy"}))
    assert client(server.url).get_job_status_in_queue("t") == "Queued"
    nonces = {headers[protocol.NONCE] for _, headers, _ in server.requests}
    assert len(server.requests) == 3 == len(nonces)  # each attempt is signed afresh
    with pytest.raises(api.ServiceError) as info:
        client(server.url).submit_task("{}")
    assert info.value.status == 503 and str(info.value) == "device service answered 503: busy"
    assert len(server.requests) == 4


def test_answers_are_checked(scripted):
    server = scripted((200, {"task_id": 5}), (200, [1, 2]), (200, {"status": "Sleeping"}),
                      (200, {"task_status": "Completed", "shot_outputs": [1]}), (200, {"valid": False}),
                      (422, {"message": "bad job", "problems": ["a", "b"]}), (404, b""),
                      (200, {"task_status": "Completed", "shot_outputs": [], "extra": 1}))
    c = client(server.url, max_retries=0)
    with pytest.raises(api.ResponseError, match="task_id"):
        c.submit_task("{}")
    with pytest.raises(api.ResponseError, match="JSON object"):
        c.get_capabilities()
    with pytest.raises(api.ResponseError, match="Sleeping"):
        c.get_job_status_in_queue("t")
    with pytest.raises(api.ResponseError, match="shot"):
        c.poll_job_results("t")
    with pytest.raises(api.ResponseError, match="verdict"):
        c.validate_task("{}")
    with pytest.raises(api.ValidationError) as info:
        c.validate_task("{}")
    assert str(info.value) == "bad job" and info.value.problems == ["a", "b"]
    with pytest.raises(api.NotFoundError, match="404"):
        c.cancel_job_in_queue("t")
    assert c.poll_job_results("t") == {"task_status": "Completed", "shot_outputs": []}
    with pytest.raises(ValueError):
        c.poll_job_results("")
    with pytest.raises(TypeError):
        c.submit_task({"nshots": 1})


def test_proxy_is_honoured(scripted):
    proxy = scripted((200, {"task_id": "t", "status": "Running"}))
    c = api.QueueApi("http://device.invalid:8080/base", "q", proxy=proxy.url, access_key="AK", secret_key="S")
    assert c.get_job_status_in_queue("t") == "Running"
    line, headers, _ = proxy.requests[0]
    assert line == "GET http://device.invalid:8080/base/v0/qpus/q/tasks/t HTTP/1.1"
    with pytest.raises(ValueError, match="http"):
        api.QueueApi("ftp://device", "q")


def nested(depth, inner=b"1"):
    return b"[" * depth + inner + b"]" * depth


@pytest.mark.parametrize("body, headers, message", [
    (nested(100_000), {}, "nests JSON too deeply"),
    (b'{"a":' * 100_000 + b"1" + b"}" * 100_000, {}, "nests JSON too deeply"),
    (b'{"status": "\xff"}', {}, "not UTF-8"),
    (b'{"status": ', {}, "not JSON"),
    (b'{"status": ' + b"7" * 5000 + b"}", {}, "not JSON"),
    (b'{"status": "' + b"A" * (1 << 20) + b'"}', {}, "unknown task status"),
    (b'{"status": ' + nested(200) + b"}", {}, "expected 'status'"),
    (b"[" + b'"x", ' * 100_000 + b'"x"]', {}, "JSON object"),
    (b"not gzip at all", {"Content-Encoding": "gzip"}, "could not be decoded"),
])
def test_malformed_answers_are_short_response_errors(scripted, body, headers, message):
    server = scripted((200, body, headers))
    with pytest.raises(api.ResponseError, match=message) as info:
        client(server.url, max_retries=0).get_job_status_in_queue("t")
    assert len(str(info.value)) < 600


def test_refusals_quote_the_answer_briefly(scripted):
    summary = "; ".join(f"{i}) problem" for i in range(1, 51))
    server = scripted((422, {"message": summary, "problems": ["p"] * 50}),
                      (500, {"message": "m" * 100_000}), (500, b"\xff" + b"x" * 100_000))
    c = client(server.url, max_retries=0)
    with pytest.raises(api.ValidationError) as info:
        c.validate_task("{}")
    assert str(info.value) == summary and len(info.value.problems) == 50
    with pytest.raises(api.ServiceError) as info:
        c.get_capabilities()
    assert info.value.status == 500 and info.value.message.startswith("mmm") and len(info.value.message) < 10_000
    with pytest.raises(api.ServiceError) as info:
        c.get_capabilities()
    assert info.value.message == "\ufffd" + "x" * 199


def test_answers_are_bounded_in_size(scripted):
    exact = b'{"status": "Queued"}'
    total = 256 << 20
    streamed = (b"x" * (1 << 16) for _ in range(total >> 16))
    server = scripted((200, exact), (200, exact), (200, b"{}", {"Content-Length": 10**12}), (200, streamed))
    assert client(server.url, max_response_bytes=len(exact)).get_job_status_in_queue("t") == "Queued"
    small = client(server.url, max_retries=0, max_response_bytes=len(exact) - 1)
    for _ in range(3):  # one byte over, a declared length over, an endless-looking stream
        with pytest.raises(api.ResponseError, match="max_response_bytes") as info:
            small.get_job_status_in_queue("t")
        assert len(str(info.value)) < 200
    assert server.hung_up.wait(60) and server.sent < total
    with pytest.raises(ValueError, match="max_response_bytes"):
        client(server.url, max_response_bytes=0)


def test_the_connection_pool_is_closed_by_close_with_and_dropping(scripted):
    server = scripted(*[(200, {"status": "Queued"})] * 3)
    c = client(server.url)
    c.get_job_status_in_queue("t")
    c.close()
    c.close()
    assert c._http.is_closed
    with client(server.url) as c:
        c.get_job_status_in_queue("t")
    assert c._http.is_closed
    c = client(server.url)
    c.get_job_status_in_queue("t")
    pool, collected = c._http, weakref.ref(c)
    del c
    gc.collect()
    assert collected() is None and pool.is_closed


def test_a_dropped_backend_closes_its_client(scripted):
    from norvane.quantum.dispatch.oruna1 import Oruna1Backend
    from norvane.quantum.dispatch.program.job_results import NrvJobStatusCode

    server = scripted((200, {"task_id": "t", "status": "Running"}))
    backend = Oruna1Backend(api_hostname=server.url, qpu_id="q", access_key="AK", secret_key="S")
    assert backend.task_status("t") is NrvJobStatusCode.Running
    pool, collected = backend.queue_api._http, weakref.ref(backend.queue_api)
    assert not pool.is_closed
    del backend
    gc.collect()
    assert collected() is None and pool.is_closed


def test_protocol_routes_round_trip_between_client_paths_and_service_matching():
    for route in protocol.ROUTES:
        values = {"task_id": "a/b c%?"} if "{task_id}" in route.template else {}
        assert protocol.match(route.method, route.path(**values)) == (route, values)
    for method, path, allowed in (("GET", "/tasks/validate", ("POST",)), ("GET", "/tasks", ("POST",)),
                                  ("POST", "/tasks/t1", ("GET", "DELETE")), ("GET", "/tasks/", ()),
                                  ("GET", "/tasks/t1/other", ()), ("GET", "", ())):
        with pytest.raises(protocol.NoRoute) as refused:
            protocol.match(method, path)
        assert refused.value.allowed == allowed

"""The tavla client against a scripted HTTP server: what it sends, what it retries, what it
accepts back."""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from tavla import signing
from tavla.api_client import api


class ScriptedServer:
    """Answers each request with the next (status, body) of `script` and records requests."""

    def __init__(self, script):
        self.script = list(script)
        self.requests = []
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def _answer(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                owner.requests.append((self.requestline, dict(self.headers), body))
                status, payload = owner.script.pop(0)
                data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

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
    assert headers[signing.ACCESS_KEY] == "AK" and headers[signing.VIRTUAL_QUEUE] == "vq"
    assert headers[signing.CONTENT_SHA256] == signing.body_digest(body)
    expected = signing.signature("the-secret", "POST", "/v2/qpus/qpu%201/tasks", headers[signing.TIMESTAMP],
                                 headers[signing.NONCE], headers[signing.CONTENT_SHA256], "the-token")
    assert headers[signing.SIGNATURE] == expected
    assert "the-secret" not in json.dumps(headers) and "the-secret" not in repr(client(server.url))


def test_idempotent_calls_retry_and_submissions_do_not(scripted):
    server = scripted((503, {"message": "busy"}), (502, b"bad gateway"), (200, {"task_id": "t", "status": "Queued"}),
                      (503, {"message": "busy"}))
    assert client(server.url).get_job_status_in_queue("t") == "Queued"
    nonces = {headers[signing.NONCE] for _, headers, _ in server.requests}
    assert len(server.requests) == 3 == len(nonces)  # each attempt is signed afresh
    with pytest.raises(api.ServiceError) as info:
        client(server.url).submit_task("{}")
    assert info.value.status == 503 and str(info.value) == "device service answered 503: busy"
    assert len(server.requests) == 4


def test_answers_are_checked(scripted):
    server = scripted((200, {"task_id": 5}), (200, b"not json"), (200, {"status": "Sleeping"}),
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

"""Shared by the client tests: the project's gateway, canned-answer servers, a silent server,
a refused port and a self-signed certificate, all on 127.0.0.1."""
import contextlib
import http.server
import json
import socket
import ssl
import subprocess
import tempfile
import threading
import urllib.request

import pytest
from _served import serving

import qybridge4.cli.remote as remote

TOKEN = "client-test-token"
CLIENT_ID = "0f2b6c1e-4d3a-4e8b-9c7d-5a6b7c8d9e0f"
REQUEST_ID = "3a1f9c2e-7b4d-4c6a-8e5f-1d2c3b4a5968"
JOIN = 30  # seconds a fixture waits for its server thread to end


@pytest.fixture(autouse=True)
def no_proxy(monkeypatch):
    """Every exchange goes straight to 127.0.0.1, whatever the environment says."""
    for name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.upper(), raising=False)
    monkeypatch.setattr(urllib.request, "_opener", None)


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


# --- the project's gateway ---

class Worker:
    """The router's worker functions, recording the command words they are handed."""

    def __init__(self):
        self.argv = []

    def find(self, nickname):
        return {"nickname": nickname or "alice", "instance_id": "w-1"}

    def execute(self, record, argv, timeout):
        self.argv.append(list(argv))
        return {"instance_id": "w-1", "nickname": record["nickname"], "exit_code": 0,
                "result": {"argv": list(argv)}, "stderr": ""}

    def list_all(self):
        return [{"nickname": "alice", "default": True, "state": "running", "last_error": None}]


class Served:
    def __init__(self, server, worker):
        self.server, self.worker = server, worker
        self.url = "http://127.0.0.1:%d" % server.server_address[1]
        self.uploads = server.uploads

    def client(self, token=TOKEN, **options):
        return remote.RemoteClient(self.url, token, timeout=JOIN, **options)


@pytest.fixture
def gateway(tmp_path, monkeypatch):
    """A gateway made by create_server on a free port, served from a thread, its uploads under
    tmp_path; `start(wrap=...)` may wrap its listening socket (TLS)."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    with serving(JOIN) as run:
        def start(wrap=None):
            worker = Worker()
            router = remote.RemoteRouter(find=worker.find, execute=worker.execute, list_all=worker.list_all)
            server = remote.create_server(tokens={"admin": TOKEN}, port=0, router=router, instance_id="i-1")
            if wrap is not None:
                server.socket = wrap(server.socket)
            return Served(run(server), worker)

        yield start


# --- a server of canned answers ---

class Canned:
    """Answers every request with one fixed status, headers and body; records the requests."""

    def __init__(self):
        self.status, self.body, self.headers = 200, b"{}", [("Content-Type", "application/json")]
        self.requests = []
        self.stall = False
        self.released = threading.Event()

    def answer(self, status=200, body=b"{}", headers=None, stall=False):
        """`stall`: after the body, keep the connection open until the test ends."""
        self.status, self.stall = status, stall
        self.body = json.dumps(body).encode() if not isinstance(body, bytes) else body
        self.headers = headers if headers is not None else [("Content-Type", "application/json")]

    def client(self, **options):
        options.setdefault("timeout", JOIN)
        return remote.RemoteClient(self.url, TOKEN, **options)


@contextlib.contextmanager
def serve_canned():
    state = Canned()

    class Handler(http.server.BaseHTTPRequestHandler):
        def _answer(self):
            length = int(self.headers.get("Content-Length") or 0)
            state.requests.append((self.command, self.path, self.headers.items(), self.rfile.read(length)))
            self.send_response(state.status)
            for name, value in state.headers:
                self.send_header(name, value)
            if "Content-Length" not in dict(state.headers):
                self.send_header("Content-Length", str(len(state.body)))
            self.end_headers()
            self.wfile.write(state.body)
            if state.stall:
                self.wfile.flush()
                state.released.wait(JOIN)

        do_GET = do_POST = do_CONNECT = _answer  # CONNECT: standing in for a proxy

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    state.url = "http://127.0.0.1:%d" % server.server_address[1]
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield state
    finally:
        state.released.set()
        server.shutdown()
        server.server_close()
        thread.join(JOIN)


@pytest.fixture
def canned():
    with serve_canned() as state:
        yield state


@pytest.fixture
def elsewhere():
    """A second canned server, for what the first may point at."""
    with serve_canned() as state:
        yield state


@pytest.fixture
def silent():
    """A port whose connections are accepted by the system and never answered."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        yield "http://127.0.0.1:%d" % sock.getsockname()[1]


# --- TLS ---

@pytest.fixture(scope="session")
def certificate(tmp_path_factory):
    """A self-signed certificate for the IP address 127.0.0.1, made by the openssl command."""
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=qybridge4 test gateway", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def tls_wrap(certificate):
    """Wraps a listening socket to serve TLS with the certificate."""
    cert, key = certificate
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return lambda sock: context.wrap_socket(sock, server_side=True)

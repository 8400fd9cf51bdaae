"""Shared by the gateway tests: a served gateway on a free port, fake workers, HTTP calls."""
import http.client
import json
import os
import re
import socket
import uuid
from http import HTTPStatus

import pytest
from _served import serving

import qybridge4.cli.remote as remote

TOKEN = "s3cret-admin"
BOB_TOKEN = "s3cret-bob"
TOKENS = {"admin": TOKEN, "bob-only": (BOB_TOKEN, ["bob"])}
CLIENT = {"client_id": "6b3c1d0e-8f1a-4c1e-9a57-0d7f8f1f6a10", "client_name": "laptop",
          "cli_version": "4.0.0"}
JSON_HEADERS = ["Server", "Date", "Content-Type", "Content-Length", "Cache-Control"]
TIMEOUT = 30


def echo(record, argv, timeout):
    return {"instance_id": record["instance_id"], "nickname": record["nickname"], "exit_code": 0,
            "result": {"argv": argv}, "stderr": ""}


class Workers:
    """The router's find/execute/list_all fields, recording what they are handed."""

    def __init__(self, respond=echo, rows=None):
        self.records = {"alice": {"nickname": "alice", "instance_id": "w-alice"},
                        "bob": {"nickname": "bob", "instance_id": "w-bob"}}
        self.respond = respond
        self.rows = rows if rows is not None else [
            {"nickname": "alice", "default": True, "state": "running", "last_error": None},
            {"nickname": "bob", "default": False, "state": "running", "last_error": "gone"}]
        self.found, self.executed = [], []

    def find(self, nickname):
        self.found.append(nickname)
        return self.records.get("alice" if nickname is None else nickname)

    def execute(self, record, argv, timeout):
        self.executed.append((record, argv, timeout))
        return self.respond(record, argv, timeout)

    def list_all(self):
        if isinstance(self.rows, BaseException):
            raise self.rows
        return self.rows


def command_body(argv, nickname=None, request_id=None):
    return json.dumps({"protocol_version": 1, "request_id": request_id or str(uuid.uuid4()),
                       "nickname": nickname, "argv": list(argv), "client": CLIENT}).encode()


class Answer:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    @property
    def names(self):
        return [name for name, _ in self.headers]

    def header(self, name):
        return dict(self.headers).get(name)

    @property
    def json(self):
        return json.loads(self.body)

    @property
    def error(self):
        payload = self.json
        assert list(payload) == ["protocol_version", "error"] and payload["protocol_version"] == 1
        assert list(payload["error"]) == ["code", "message", "request_id", "retryable", "outcome"]
        assert self.header("Content-Type") == "application/json; charset=utf-8"
        return payload["error"]


def split_answer(raw):
    """Status line, header lines and body of a raw answer."""
    head, blank, body = raw.partition(b"\r\n\r\n")
    assert blank, raw
    status, *lines = head.split(b"\r\n")
    return status, lines, body


def assert_json_answer(raw, status, body):
    """The exact bytes of a JSON answer: status line, header order and values, body."""
    line, headers, payload = split_answer(raw)
    assert line == b"HTTP/1.0 %d %s" % (status, HTTPStatus(status).phrase.encode())
    assert [h.split(b":", 1)[0].decode() for h in headers] == JSON_HEADERS
    assert headers[0] == b"Server: qybridge4-remote/1 "
    assert re.fullmatch(rb"Date: \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT", headers[1])
    assert headers[2:] == [b"Content-Type: application/json; charset=utf-8",
                           b"Content-Length: %d" % len(body), b"Cache-Control: no-store"]
    assert payload == body


class Gateway:
    def __init__(self, server, workers):
        self.server, self.workers = server, workers
        self.port = server.server_address[1]

    def request(self, method, path, body=None, headers=None, token=TOKEN):
        headers = dict(headers or {})
        if token is not None:
            headers.setdefault("Authorization", "Bearer " + token)
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        try:
            conn.request(method, path, body=body, headers=headers)
            response = conn.getresponse()
            return Answer(response.status, response.getheaders(), response.read())
        finally:
            conn.close()

    def command(self, argv, nickname=None, request_id=None, token=TOKEN):
        return self.request("POST", "/v1/commands", command_body(argv, nickname, request_id), token=token)

    def upload(self, data, filename="report.txt", sha256=None, token=TOKEN):
        headers = {}
        if filename is not None:
            headers["X-Filename-UTF8"] = filename
        if sha256 is not None:
            headers["X-Content-SHA256"] = sha256
        return self.request("POST", "/v1/uploads", data, headers, token=token)

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)

    def raw(self, data, shut=True):
        """Sends the bytes, ends the sending side when `shut`, and reads the answer to its end."""
        with self.connect() as sock:
            sock.sendall(data)
            if shut:
                sock.shutdown(socket.SHUT_WR)
            return read_all(sock)


class NamedOS:
    """The real os under another platform's name: the gateway follows the `os` the module sees."""

    def __init__(self, name):
        self.name = name

    def __getattr__(self, attr):
        return getattr(os, attr)


def read_all(sock):
    chunks = []
    while chunk := sock.recv(65536):
        chunks.append(chunk)
    return b"".join(chunks)


def raw_post(path, headers, body=b"", token=TOKEN):
    lines = [f"POST {path} HTTP/1.0"]
    if token is not None:
        lines.append(f"Authorization: Bearer {token}")
    lines += [f"{name}: {value}" for name, value in headers]
    return "\r\n".join(lines).encode("latin-1") + b"\r\n\r\n" + body


@pytest.fixture
def gateway(tmp_path):
    """Starts gateways on free ports with fake workers and a store under tmp_path."""
    with serving(TIMEOUT) as run:
        def start(workers=None, *, instance_id=None, store=None, tokens=TOKENS):
            workers = workers or Workers()
            router = remote.RemoteRouter(find=workers.find, execute=workers.execute, list_all=workers.list_all)
            store = store or remote.UploadStore(tmp_path / "uploads")
            server = remote.GatewayHTTPServer(("127.0.0.1", 0), remote.TokenAuthorizer.from_tokens(tokens),
                                              router, instance_id, store)
            return Gateway(run(server), workers)

        yield start

"""Fails one allocation at a time during a call of a native entry, each run in a forked child.

    python _nomemory_sweep.py KIND START STOP

Prints one JSON line: {"runs", "exceptions", "normal", "errors": {error: count},
"results": {repr: count}, "failures": [[n, why]], "control", "expected"}. A child that dies by a
signal (an abort, a crash, or the alarm that ends a hang) or whose harness fails is a failure;
every other run ends in an exception or a normal result. "control" is a run that fails no
allocation, "expected" the same call made here without the hook.
"""
import http.client
import inspect
import io
import json
import os
import signal
import socket
import sys
import tempfile

import _testcapi

import _toolkit_test as toolkit
import qybridge4.cli.remote as remote

HANG_SECONDS = 10
HARNESS_FAILED = 3


def function_calls():
    outcomes = []
    for call in (lambda: remote.command_path(),
                 lambda: remote.command_path(["--json", "message", "send", "bob"]),
                 lambda: remote.dumps_wire({"a": float("nan")}),
                 lambda: remote.loads_strict(b'{"a": [1, 2.5, "x"]}'),
                 lambda: str(inspect.signature(remote.loads_strict))):
        try:
            outcomes.append(call())
        except (TypeError, ValueError) as e:
            outcomes.append(type(e).__name__)
    return outcomes


def method_calls():
    error = remote.RemoteError("bad_code", "text", request_id="6b3c1d0e-8f1a-4c1e-9a57-0d7f8f1f6a10")
    thing = toolkit.Thing()
    return [error.to_dict(), remote.RemoteError.from_dict(error.to_dict()).code, thing.method(1, flag=True)[1:],
            toolkit.Thing.cmethod(2)[1:]]


def client_reads():
    outcomes = []
    for data in (b'[' * 600, b'{"a": NaN}', b'{"a": [1, 2.5, "x"]}'):
        try:
            outcomes.append(remote._strict_json(data))
        except remote.RemoteClientError as e:
            outcomes.append((e.code, str(e)))
    return outcomes


class Settings:
    """A settings file with one connection, in a home directory of its own."""

    def __init__(self):
        self.home = tempfile.TemporaryDirectory()
        os.environ["HOME"] = self.home.name
        remote.RemoteConfig(environ={}).add("main", "https://gw.example.com/base/")

    def close(self):
        self.home.cleanup()

    def __call__(self):
        return remote.RemoteConfig(environ={}).get("main")


def class_build():
    cls = toolkit.make_class("Built")
    return [cls.__name__, cls.__qualname__, cls.method.__qualname__, cls().method(1)[1:]]


class Request:
    """A command request: its head parsed here, then the handler's do_POST run in this process."""

    def __init__(self):
        workers = {"alice": {"nickname": "alice", "instance_id": "w-alice"}}
        router = remote.RemoteRouter(
            find=lambda nickname: workers.get(nickname or "alice"),
            execute=lambda record, argv, timeout: {"instance_id": "w-alice", "nickname": "alice", "exit_code": 0,
                                                   "result": {"argv": argv}, "stderr": ""},
            list_all=lambda: [])
        self.directory = tempfile.TemporaryDirectory()
        store = remote.UploadStore(self.directory.name)
        self.server = remote.GatewayHTTPServer(("127.0.0.1", 0), remote.TokenAuthorizer.from_tokens({"a": "tok"}),
                                               router, None, store)
        self.body = json.dumps({"protocol_version": 1, "request_id": "0f8fad5b-d9cb-469f-a165-70867728950e",
                                "nickname": None, "argv": ["message", "send", "bob", "hi"],
                                "client": {"client_id": "6b3c1d0e-8f1a-4c1e-9a57-0d7f8f1f6a10",
                                           "client_name": "laptop", "cli_version": "4.0.0"}}).encode()
        self.connection, self.peer = socket.socketpair()
        self.head = (b"Authorization: Bearer tok\r\nContent-Type: application/json\r\n"
                     b"Content-Length: %d\r\n\r\n" % len(self.body))

    def close(self):
        self.connection.close()
        self.peer.close()
        self.server.server_close()
        self.directory.cleanup()

    def prepare(self):
        handler = remote.GatewayRequestHandler.__new__(remote.GatewayRequestHandler)
        handler.server, handler.client_address = self.server, ("127.0.0.1", 50000)
        handler.command, handler.path, handler.request_version = "POST", "/v1/commands", "HTTP/1.0"
        handler.requestline = "POST /v1/commands HTTP/1.0"
        handler.headers = http.client.parse_headers(io.BytesIO(self.head))
        handler.connection = self.connection
        handler.rfile, handler.wfile = io.BufferedReader(io.BytesIO(self.body)), io.BytesIO()
        self.handler = handler

    def __call__(self):
        self.handler.do_POST()
        head, _, body = self.handler.wfile.getvalue().partition(b"\r\n\r\n")
        return head.split(b"\r\n", 1)[0], body[:body.find(b',"duration_ms"')]


def run_child(action, n, prepare):
    """In the forked child: exit 0 for a normal result, 1 for an exception; says which on stdout."""
    code = HARNESS_FAILED
    try:
        signal.alarm(HANG_SECONDS)
        prepare()
        result = error = None
        _testcapi.set_nomemory(n, n + 1)
        try:
            result = action()
        except BaseException as e:  # whatever the failed allocation turned into
            error = e
        finally:
            _testcapi.remove_mem_hooks()
        if error is None:
            said, code = repr(result), 0
        else:
            said, code = type(error).__name__ + ("" if isinstance(error, MemoryError) else " " + str(error)[:200]), 1
        os.write(1, said.encode("utf-8", "replace"))
    finally:
        os._exit(code)


def run(action, n, prepare):
    """Forks a child for one run; (exit code or signal name, what it said)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        os.dup2(write_end, 1)
        run_child(action, n, prepare)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        said = pipe.read().decode()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return signal.Signals(os.WTERMSIG(status)).name, said
    return os.WEXITSTATUS(status), said


def main():
    kind, start, stop = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    prepare = close = lambda: None
    if kind == "function":
        action = function_calls
    elif kind == "method":
        action = method_calls
    elif kind == "class":
        action = class_build
    elif kind == "client":
        action = client_reads
    elif kind == "settings":
        action = Settings()
        close = action.close
    else:
        action = Request()
        prepare, close = action.prepare, action.close
    report = {"runs": 0, "exceptions": 0, "normal": 0, "errors": {}, "failures": [], "results": {}}
    for n in range(start, stop):
        status, said = run(action, n, prepare)
        report["runs"] += 1
        if status == 0:
            report["normal"] += 1
            report["results"][said] = report["results"].get(said, 0) + 1
        elif status == 1:
            report["exceptions"] += 1
            report["errors"][said] = report["errors"].get(said, 0) + 1
        else:
            report["failures"].append([n, status if isinstance(status, str) else "harness failed: " + said])
    # A run past every allocation point, beside the same call made here without the hook.
    report["control"] = run(action, 10**9, prepare)
    prepare()
    report["expected"] = repr(action())
    close()
    print(json.dumps(report))


if __name__ == "__main__":
    main()

"""POST /v1/uploads over real sockets, and file-sending commands that use what was uploaded."""
import hashlib
import http.client
import json
import threading

import pytest

import qybridge4.cli.remote as remote

from _gateway import BOB_TOKEN, TIMEOUT, Gateway, NamedOS, Workers, assert_json_answer, echo, gateway, raw_post

DATA = b"quarterly numbers\n" * 100
DIGEST = hashlib.sha256(DATA).hexdigest()


def stored(root):
    """The files under the store's root, relative to it."""
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*")) if root.exists() else []


@pytest.fixture
def store(tmp_path):
    return remote.UploadStore(tmp_path / "uploads", max_bytes=1 << 20, max_uploads=2)


def test_upload_answer(gateway, store):
    gw = gateway(store=store)
    raw = gw.raw(raw_post("/v1/uploads", [("Content-Length", len(DATA)), ("X-Filename-UTF8", "%E4%B8%AD.txt"),
                                          ("X-Content-SHA256", DIGEST)], DATA))
    payload = json.loads(raw.partition(b"\r\n\r\n")[2])
    upload_id = payload["upload_id"]
    assert list(payload) == ["protocol_version", "upload_id", "filename", "size", "sha256", "reference"]
    assert payload == {"protocol_version": 1, "upload_id": upload_id, "filename": "中.txt", "size": len(DATA),
                       "sha256": DIGEST, "reference": "artifact://" + upload_id}
    assert_json_answer(raw, 201, json.dumps(payload, separators=(",", ":"), ensure_ascii=False).encode())
    assert (store.root / upload_id / "中.txt").read_bytes() == DATA
    assert stored(store.root) == [upload_id, f"{upload_id}/中.txt"]


@pytest.mark.parametrize("header, name", [
    ("..%2F..%2Fetc%2Fpasswd", "passwd"),
    ("a+b%20c.txt", "a+b c.txt"),
    ("%FF.txt", "\ufffd.txt"),
    ("docs%2F", "docs"),
    ("plain.txt", "plain.txt"),
    # Names that only Windows rewrites are kept as sent elsewhere.
    ("a.txt.", "a.txt."),
    ("...", "..."),
    ("%20", " "),
    ("name.pdf%20", "name.pdf "),
])
def test_upload_names(gateway, store, header, name):
    answer = gateway(store=store).upload(b"x", header)
    assert answer.status == 201 and answer.json["filename"] == name
    assert (store.root / answer.json["upload_id"] / name).read_bytes() == b"x"


def test_upload_without_digest_reports_the_stored_digest(gateway, store):
    answer = gateway(store=store).upload(DATA)
    assert answer.json["sha256"] == DIGEST and answer.json["size"] == len(DATA)


def long_digits():
    return "9" * 5000


# Headers of the request (Content-Length first, None to leave it out), body -> the store's message.
UPLOAD_REFUSALS = {
    "no file name": ([("Content-Length", 1)], b"x", "invalid upload filename"),
    "parent directory": ([("Content-Length", 1), ("X-Filename-UTF8", "a%2F..")], b"x",
                         "invalid upload filename"),
    "name longer than a file system name": ([("Content-Length", 1), ("X-Filename-UTF8", "%E4%B8%AD" * 86)], b"x",
                                            "invalid upload filename"),
    "empty": ([("Content-Length", 0), ("X-Filename-UTF8", "a")], b"", "invalid upload size"),
    "above the store's limit": ([("Content-Length", (1 << 20) + 1), ("X-Filename-UTF8", "a")], b"",
                                "invalid upload size"),
    "beyond the integer conversion limit": ([("Content-Length", long_digits()), ("X-Filename-UTF8", "a")], b"",
                                            "invalid upload size"),
    "no content length": ([("X-Filename-UTF8", "a")], b"x", "valid Content-Length required"),
    "content length with a blank": ([("Content-Length", "1 0"), ("X-Filename-UTF8", "a")], b"x",
                                    "valid Content-Length required"),
    "signed content length": ([("Content-Length", "+1"), ("X-Filename-UTF8", "a")], b"x",
                              "valid Content-Length required"),
    "upper-case digest": ([("Content-Length", len(DATA)), ("X-Filename-UTF8", "a"),
                           ("X-Content-SHA256", DIGEST.upper())], DATA, "invalid upload SHA-256"),
    "digest mismatch": ([("Content-Length", len(DATA)), ("X-Filename-UTF8", "a"),
                         ("X-Content-SHA256", hashlib.sha256(b"other").hexdigest())], DATA,
                        "upload SHA-256 mismatch"),
    "body ended early": ([("Content-Length", len(DATA) + 1), ("X-Filename-UTF8", "a")], DATA,
                         "upload body ended early"),
}


@pytest.mark.parametrize("case", UPLOAD_REFUSALS)
def test_upload_refusals_leave_nothing_behind(gateway, store, case):
    headers, body, message = UPLOAD_REFUSALS[case]
    raw = gateway(store=store).raw(raw_post("/v1/uploads", headers, body))
    assert_json_answer(raw, 400, json.dumps(
        {"protocol_version": 1, "error": {"code": "invalid_upload", "message": message, "request_id": None,
                                          "retryable": False, "outcome": "not_started"}},
        separators=(",", ":")).encode())
    assert stored(store.root) == []


@pytest.mark.parametrize("header, refused", [
    ("a.txt%3Astream", True),     # an alternate data stream of a.txt
    ("what%3F.txt", True),
    ("a%7Cb", True),
    ("tab%09name", True),
    ("a.txt.", True),             # stored as a.txt
    ("...", True),                # the upload directory itself
    ("%20", True),
    ("a%20", True),
    ("a.%20", True),
    ("name.pdf%20", True),
    ("%E4%B8%AD%20a.txt", False),
])
def test_upload_names_windows_refuses(gateway, store, monkeypatch, header, refused):
    monkeypatch.setattr(remote, "os", NamedOS("nt"))  # names by Windows' rules
    gw = gateway(store=store)
    if refused:
        answer = gw.upload(DATA, header, sha256="0" * 63)
        assert (answer.status, answer.error["code"], answer.error["message"]) == (
            400, "invalid_upload", "invalid upload filename")
        assert stored(store.root) == []
    else:
        answer = gw.upload(DATA, header)
        assert answer.status == 201 and answer.json["filename"] == "中 a.txt"
        assert (store.root / answer.json["upload_id"] / "中 a.txt").read_bytes() == DATA


def test_upload_needs_a_token(gateway, store):
    gw = gateway(store=store)
    answer = gw.upload(DATA, token="wrong")
    assert (answer.status, answer.error["code"]) == (401, "unauthorized")
    assert stored(store.root) == []


def test_store_full(gateway, store):
    gw = gateway(store=store)
    assert [gw.upload(b"a").status, gw.upload(b"b").status] == [201, 201]
    answer = gw.upload(b"c")
    assert (answer.status, answer.error["message"]) == (400, "upload store is full")
    assert len(stored(store.root)) == 4


BIG = b"\0" * (8 << 20)


def send_big(gw, path, headers, token="s3cret-admin"):
    """Posts a body far larger than the socket buffers with http.client, as a client would."""
    conn = http.client.HTTPConnection("127.0.0.1", gw.port, timeout=TIMEOUT)
    try:
        conn.request("POST", path, BIG, {"Authorization": "Bearer " + token, **headers})
        response = conn.getresponse()
        return response.status, json.loads(response.read())["error"]
    finally:
        conn.close()


@pytest.mark.parametrize("path, headers, token, status, message", [
    ("/v1/uploads", {"X-Filename-UTF8": "big.bin"}, "s3cret-admin", 400, "invalid upload size"),
    ("/v1/uploads", {"X-Filename-UTF8": ".."}, "s3cret-admin", 400, "invalid upload filename"),
    ("/v1/uploads", {"X-Filename-UTF8": "big.bin"}, "wrong", 401, "valid bearer token required"),
    ("/v1/commands", {}, "s3cret-admin", 413, "request body is too large"),
    ("/v1/nowhere", {}, "s3cret-admin", 404, "endpoint not found"),
])
def test_refusal_of_an_unread_body_reaches_the_client(gateway, store, path, headers, token, status, message):
    # Without the discard after the answer, closing with the body unread resets the connection
    # and the client's send fails before it reads the answer.
    gw = gateway(store=store)
    assert send_big(gw, path, headers, token) == (status, {
        "code": {400: "invalid_upload", 401: "unauthorized", 413: "request_too_large", 404: "not_found"}[status],
        "message": message, "request_id": None, "retryable": False, "outcome": "not_started"})
    assert stored(store.root) == []
    assert gw.request("GET", "/v1/health").status == 200



@pytest.mark.parametrize("path, code, message", [
    ("/v1/uploads", "invalid_upload", "valid Content-Length required"),
    ("/v1/commands", "invalid_request", "valid Content-Length required"),
    ("/v1/nowhere", "not_found", "endpoint not found"),
])
def test_refusal_of_an_unannounced_body_reaches_the_client(gateway, store, path, code, message):
    # A chunked body has no Content-Length to bound the discard by; the answer must still arrive.
    gw = gateway(store=store)
    conn = http.client.HTTPConnection("127.0.0.1", gw.port, timeout=TIMEOUT)
    try:
        chunks = (b"x" * 65536 for _ in range(64))  # 4 MiB, far beyond the socket buffers
        conn.request("POST", path, chunks, {"Authorization": "Bearer s3cret-admin", "X-Filename-UTF8": "a.bin"})
        response = conn.getresponse()
        error = json.loads(response.read())["error"]
    finally:
        conn.close()
    assert (response.status, error["code"], error["message"]) == (404 if code == "not_found" else 400, code, message)
    assert stored(store.root) == []

def test_full_store_refusal_reaches_the_client(gateway, tmp_path):
    store = remote.UploadStore(tmp_path / "uploads", max_uploads=1)
    gw = gateway(store=store)
    assert gw.upload(b"a").status == 201
    assert send_big(gw, "/v1/uploads", {"X-Filename-UTF8": "big.bin"})[1]["message"] == "upload store is full"
    assert len(stored(store.root)) == 2


# ---- file-sending commands ------------------------------------------------------------------

def send_file_argv(reference):
    return ["message", "send-file", "--to", "bob", "--file", reference]


def reads_the_file(record, argv, timeout):
    answer = echo(record, argv, timeout)
    with open(argv[-1], "rb") as f:
        answer["result"] = {"sha256": hashlib.sha256(f.read()).hexdigest()}
    return answer


def test_send_file_command_gets_the_local_path(gateway, store):
    gw = gateway(Workers(reads_the_file), store=store)
    upload = gw.upload(DATA, "q.txt").json
    answer = gw.command(send_file_argv(upload["reference"]))
    assert answer.status == 200
    record = store.resolve("admin", upload["reference"])
    assert gw.workers.executed[0][1] == send_file_argv(str(record.path))
    assert answer.json["command"]["result"] == {
        "sha256": DIGEST, "_remote_transfer": {"state": "initiated", "delivery_confirmed": False,
                                               "filename": "q.txt", "retained_until": record.expires_at}}
    # Resolving does not consume: the upload stays for a second send.
    assert gw.command(send_file_argv(upload["reference"])).status == 200


def test_send_file_through_the_package_worker(store):
    server = remote.GatewayHTTPServer(("127.0.0.1", 0), remote.TokenAuthorizer.from_tokens({"admin": "t"}),
                                      remote.RemoteRouter(), None, store)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        gw = Gateway(server, None)
        reference = gw.upload(DATA, "q.txt", token="t").json["reference"]
        result = gw.command(send_file_argv(reference), "alice", token="t").json["command"]["result"]
        assert (result["sha256"], result["size"], result["filename"]) == (DIGEST, len(DATA), "q.txt")
        assert result["_remote_transfer"]["filename"] == "q.txt"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def test_upload_belongs_to_its_token(gateway, store):
    gw = gateway(store=store)
    reference = gw.upload(DATA).json["reference"]
    answer = gw.command(send_file_argv(reference), "bob", token=BOB_TOKEN)
    assert answer.status == 404
    assert (answer.error["code"], answer.error["message"]) == ("upload_not_found", "upload not found")
    assert gw.workers.executed == []
    bob_reference = gw.upload(DATA, token=BOB_TOKEN).json["reference"]
    assert gw.command(send_file_argv(bob_reference), "bob", token=BOB_TOKEN).status == 200


@pytest.mark.parametrize("reference, message", [("artifact://" + "0" * 32, "upload not found"),
                                                ("file:///etc/passwd", "invalid upload reference")])
def test_send_file_with_a_bad_reference(gateway, store, reference, message):
    answer = gateway(store=store).command(send_file_argv(reference))
    assert (answer.status, answer.error["code"], answer.error["message"]) == (404, "upload_not_found", message)

"""The main job: a gateway on 127.0.0.1 with a fresh token, a command and a file sent through it
over HTTP, then the gateway shut down."""
import hashlib
import http.client
import json
import secrets
import tempfile
import threading
import urllib.parse
import uuid
from pathlib import Path

import qybridge4.cli.remote as remote
from qybridge4.param import VERSION

TOKEN = "qyb_demo_" + secrets.token_urlsafe(32)
CLIENT = {"client_id": str(uuid.uuid4()), "client_name": "demo", "cli_version": VERSION}


def request(address, method, path, body=b"", headers=None):
    conn = http.client.HTTPConnection(*address, timeout=30)
    try:
        conn.request(method, path, body=body, headers={"Authorization": f"Bearer {TOKEN}", **(headers or {})})
        answer = conn.getresponse()
        return answer.status, json.loads(answer.read())
    finally:
        conn.close()


def command(address, *argv, nickname=None):
    body = {"protocol_version": 1, "request_id": str(uuid.uuid4()), "nickname": nickname,
            "argv": list(argv), "client": CLIENT}
    return request(address, "POST", "/v1/commands", json.dumps(body).encode(),
                   {"Content-Type": "application/json"})


def show(title, answer):
    status, body = answer
    print(f"--- {title}: HTTP {status}")
    print(json.dumps(body, ensure_ascii=False, indent=2))


def main():
    server = remote.create_server(tokens={"demo": TOKEN}, host="127.0.0.1", port=0,
                                  instance_id=uuid.uuid4().hex)
    thread = threading.Thread(target=server.serve_forever, name="gateway", daemon=True)
    thread.start()
    address = server.server_address[:2]
    print(f"gateway listening on http://{address[0]}:{address[1]}")
    try:
        show("health", request(address, "GET", "/v1/health"))
        show("status", request(address, "GET", "/v1/status"))
        show("message send", command(address, "message", "send", "--to", "文件传输助手", "--text", "hello from the demo"))
        with tempfile.TemporaryDirectory() as tmp:
            data = "第一行\nsecond line\n".encode() * 100
            path = Path(tmp, "notes.txt")
            path.write_bytes(data)
            status, upload = request(address, "POST", "/v1/uploads", data, {
                "X-Filename-UTF8": urllib.parse.quote(path.name),
                "X-Content-SHA256": hashlib.sha256(data).hexdigest(),
            })
            show("upload", (status, upload))
            show("message send-file", command(address, "message", "send-file", "--to", "文件传输助手",
                                              "--file", upload["reference"]))
        show("not allowed", command(address, "config", "set", "x", "y"))
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
    print("gateway stopped")


if __name__ == "__main__":
    main()

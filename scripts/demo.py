"""The main job, as a user runs it: a gateway started in the background with a fresh token, that
token kept in a named connection, the connection resolved into a client, a command and a file sent
through it, then the gateway stopped. Everything lives under a temporary home."""
import json
import os
import socket
import sys
import tempfile
import uuid
from pathlib import Path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def show(title, value):
    print(f"--- {title}")
    print(json.dumps(value, ensure_ascii=False, indent=2))


def main():
    home = tempfile.TemporaryDirectory(prefix="qybridge4-demo-")
    # The gateway child reads its token record under the home and finds the package on
    # PYTHONPATH. Windows' home is USERPROFILE: without it the demo would use the real profile.
    os.environ["HOME"] = os.environ["USERPROFILE"] = home.name
    os.environ["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)

    import qybridge4.cli.remote as remote
    from qybridge4.param import VERSION

    record, token = remote.start_gateway(host="127.0.0.1", port=free_port())
    print(f"gateway started: pid {record['pid']} on http://{record['host']}:{record['port']}")
    try:
        config = remote.RemoteConfig()
        config.add("local", f"http://{record['host']}:{record['port']}", token=token)
        config.use("local")
        resolved = config.resolve()
        conn = resolved.connection
        client = remote.RemoteClient(conn.base_url, resolved.token, allow_insecure=conn.allow_insecure,
                                     timeout=conn.request_timeout)
        identity = {"client_id": resolved.client_id, "client_name": resolved.client_name,
                    "cli_version": VERSION}

        def run(*argv):
            result = client.execute(None, list(argv), request_id=str(uuid.uuid4()), **identity)
            return result.as_dict()

        show("health", client.health())
        show("auth check", client.auth_check())
        show("status", client.status())
        show("message send", run("message", "send", "--to", "文件传输助手", "--text", "hello from the demo"))
        path = Path(home.name, "笔记 notes.txt")
        path.write_bytes("第一行\nsecond line\n".encode() * 100)
        upload = client.upload(path)
        show("upload", upload)
        show("message send-file", run("message", "send-file", "--to", "文件传输助手", "--file", upload["reference"]))
        try:
            run("config", "set", "x", "y")
        except remote.RemoteClientError as exc:
            show("not allowed", exc.as_dict())
    finally:
        show("stop", remote.stop_gateway())
        home.cleanup()


if __name__ == "__main__":
    main()

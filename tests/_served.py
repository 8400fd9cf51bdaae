"""Shared by the client and server tests: gateways served from daemon threads on 127.0.0.1."""
import contextlib
import threading


@contextlib.contextmanager
def serving(join_timeout):
    """Yields `run(server)`, which serves a server from a daemon thread; at the end each server
    run is shut down and closed, and its thread joined for at most `join_timeout` seconds."""
    started = []

    def run(server):
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        thread.start()
        started.append((server, thread))
        return server

    yield run
    for server, thread in started:
        server.shutdown()
        server.server_close()
        thread.join(join_timeout)

"""The gateway child's entry: its words, the stored token, and the call of serve."""
import subprocess
import sys

import pytest

import qybridge4.cli.remote as remote

INSTANCE = "0123456789abcdef" * 2
WORDS = ["--host", "127.0.0.1", "--port", "8765", "--instance", INSTANCE]


@pytest.fixture
def served(home, monkeypatch):
    """Replaces serve and records its calls; a token is stored."""
    calls = []
    monkeypatch.setattr(remote, "serve", lambda *args, **kwargs: calls.append((args, kwargs)))
    remote.set_server_token("s3cret")
    return calls


@pytest.mark.parametrize("words", [
    WORDS,
    ["--instance", INSTANCE, "--port", "8765", "--host", "127.0.0.1"],
    ["--host=127.0.0.1", "--port=8765", "--instance=" + INSTANCE],
    ["--ho", "127.0.0.1", "--po=8765", "--inst", INSTANCE],
    ["--host", "10.0.0.1", "--port", "1", *WORDS],
])
def test_options_give_one_serve_call(served, words):
    assert remote._remote_gateway_child_main(words) is None
    (args, kwargs), = served
    assert args == () and list(kwargs) == ["tokens", "host", "port", "instance_id"]
    assert (kwargs["host"], kwargs["port"], kwargs["instance_id"]) == ("127.0.0.1", 8765, INSTANCE)
    assert type(kwargs["port"]) is int
    assert isinstance(kwargs["tokens"], remote.TokenAuthorizer)
    assert kwargs["tokens"].authenticate("Bearer s3cret").token_id == "admin"


@pytest.mark.parametrize("words", [
    WORDS[:4], WORDS[:-1], ["--port", "abc", *WORDS[:2], *WORDS[4:]], [*WORDS, "extra"],
    ["-h"], ["--help"], ["__remote_gateway__", *WORDS], [],
])
def test_usage_errors_exit_2_before_the_token_is_read(served, monkeypatch, capsys, words):
    monkeypatch.setattr(remote, "load_authorizer", lambda: pytest.fail("token read"))
    with pytest.raises(SystemExit) as info:
        remote._remote_gateway_child_main(words)
    assert info.value.code == 2 and served == []
    assert "usage:" in capsys.readouterr().err


def test_argv_none_reads_the_process_words(served, monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["qybridge4", "__remote_gateway__", *WORDS])
    with pytest.raises(SystemExit) as info:
        remote._remote_gateway_child_main()
    assert info.value.code == 2 and "__remote_gateway__" in capsys.readouterr().err
    monkeypatch.setattr(sys, "argv", ["qybridge4", *WORDS])
    remote._remote_gateway_child_main(None)
    assert len(served) == 1


def test_without_a_token_record_the_child_ends_before_binding(home):
    done = subprocess.run([sys.executable, "-m", "qybridge4", "__remote_gateway__", *WORDS],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr.rstrip().endswith("RemoteRuntimeError: Remote Gateway token is not configured")

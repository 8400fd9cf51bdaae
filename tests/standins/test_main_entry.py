import json
import shutil
import subprocess
import sys

from pathlib import Path

STANDINS = Path(__file__).resolve().parents[2] / "standins"

FAKE_REMOTE = """
import json, os
def _remote_gateway_child_main(words):
    with open(os.environ["RECORD"], "w") as out:
        json.dump(words, out)
    return 7
"""


def qyb(args, env, cwd):
    return subprocess.run([sys.executable, "-m", "qybridge4", *args], env=env, cwd=cwd,
                          capture_output=True, text=True)


def test_gateway_word_routes_to_child_main(tmp_path, standins_env):
    tree = tmp_path / "tree"
    shutil.copytree(STANDINS, tree, ignore=shutil.ignore_patterns("__pycache__"))
    (tree / "qybridge4" / "cli" / "remote.py").write_text(FAKE_REMOTE)
    record = tmp_path / "words.json"
    env = dict(standins_env, PYTHONPATH=str(tree), RECORD=str(record))
    words = ["--host", "127.0.0.1", "--port", "8765", "--instance", "ab" * 16]
    done = qyb(["__remote_gateway__", *words], env, tmp_path)
    assert done.returncode == 7, done.stderr
    assert json.loads(record.read_text()) == words


def test_other_words_go_to_the_cli_without_remote(tmp_path, standins_env):
    done = qyb(["--json", "listen", "pull", "--all"], standins_env, tmp_path)
    assert done.returncode == 0, done.stderr
    parsed = json.loads(done.stdout)
    assert (parsed["listen_command"], parsed["all"], parsed["json"]) == ("pull", True, True)
    assert qyb(["listen", "pull", "--limit", "x"], standins_env, tmp_path).returncode == 2

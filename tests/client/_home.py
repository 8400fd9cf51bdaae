"""Fixtures of the settings tests: a temporary home directory and a RemoteConfig in it."""
import pytest

from qybridge4.cli import remote


@pytest.fixture
def home(tmp_path, monkeypatch, set_home):
    set_home(tmp_path)
    monkeypatch.delenv("COMPUTERNAME", raising=False)
    return tmp_path


@pytest.fixture
def config(home):
    return remote.RemoteConfig(environ={})

import sys
from pathlib import Path

import pytest

STANDINS = Path(__file__).resolve().parents[2] / "standins"
sys.path.insert(0, str(STANDINS))


@pytest.fixture
def standins_env():
    """Environment for child interpreters that import the stand-ins."""
    import os

    env = dict(os.environ)
    env["PYTHONPATH"] = str(STANDINS)
    return env

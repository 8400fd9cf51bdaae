import os

import pytest

from pathlib import Path

# The stand-ins are tested as the build installs them, beside the extension modules.
BUILD = Path(os.environ.get("QYB_BUILD_DIR", Path(__file__).resolve().parents[2] / "build")).resolve()
PACKAGE_TREE = BUILD / "python"


@pytest.fixture
def standins_env():
    """Environment for child interpreters that import the stand-ins."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(PACKAGE_TREE)
    return env

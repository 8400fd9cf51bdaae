"""Puts the built package tree and the toolkit's test module on the path.

QYB_BUILD_DIR selects the build directory (default: build/ in the checkout).
"""
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
PYTHON_DIR = BUILD / "python"

for entry in (BUILD / "tests", PYTHON_DIR):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))

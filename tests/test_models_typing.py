"""The models package is fully typed: `mypy --strict` passes on it, and it ships its py.typed marker."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "rainmill_models"


@pytest.mark.skipif(
    os.environ.get("RAINMILL_SANITIZED") == "1", reason="type checks run once, against the release build"
)
def test_models_package_is_strictly_typed():
    pytest.importorskip("mypy")
    pytest.importorskip("pandas")
    env = dict(os.environ, MYPY_CACHE_DIR=str(ROOT / "build" / "mypy-cache"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(PACKAGE)], cwd=ROOT, capture_output=True, text=True, env=env
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_installed_package_carries_its_marker():
    rm = pytest.importorskip("rainmill_models")
    assert (pathlib.Path(rm.__file__).parent / "py.typed").exists()

"""The type stubs agree with the built module, and the example type-checks against them."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("RAINMILL_SANITIZED") == "1",
        reason="type checks run once, against the release build",
    ),
]


def run(*args):
    env = dict(os.environ, MYPY_CACHE_DIR=str(ROOT / "build" / "mypy-cache"))
    return subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, env=env)


def test_stubs_match_the_module():
    pytest.importorskip("mypy")
    result = run(str(ROOT / "scripts" / "stubtest.py"), "rainmill", "--concise")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check():
    pytest.importorskip("mypy")
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    result = run("-m", "mypy", "--strict", *examples)
    assert result.returncode == 0, result.stdout + result.stderr


def test_array_likes_and_maps_type_check():
    # NumPy arrays, array.array and memoryviews where sequences of numbers go, covariant maps of
    # outlets and layers, literal kinds; and what the module refuses is refused by the stubs too.
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")
    result = run("-m", "mypy", "--strict", str(ROOT / "tests" / "typing" / "arrays.py"))
    assert result.returncode == 0, result.stdout + result.stderr

"""Fixtures of the tray suite; the machinery is in tray_harness.py."""

import tempfile

import pytest

from tray_harness import Desktop


@pytest.fixture(scope="module")
def desktop():
    with tempfile.TemporaryDirectory(prefix="zv-tray-") as workdir:
        d = Desktop(workdir)
        try:
            yield d
        finally:
            d.close()


@pytest.fixture
def scenario_dir(tmp_path):
    """An empty directory for one scenario (the supervisor's current directory)."""
    path = tmp_path / "run"
    path.mkdir()
    return path

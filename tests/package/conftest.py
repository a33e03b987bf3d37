"""Tests of the packages that `make package` leaves in dist/. Each test skips when its
package is not there, so that the suite runs wherever packages have been made."""

import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
DIST = REPO / "dist"
# The Wine helpers of the wire suite: prefix template and Wine environment.
sys.path.insert(0, str(REPO / "tests/e2e"))


def one_package(pattern: str) -> Path:
    found = sorted(DIST.glob(pattern))
    if not found:
        pytest.skip(f"no dist/{pattern}: run `make package` first")
    if len(found) > 1:
        pytest.fail(f"several dist/{pattern}: {[p.name for p in found]}", pytrace=False)
    return found[0]

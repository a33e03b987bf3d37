"""The Debian package: lint, install with dpkg, the unit, the tray's launcher, removal.

The package is installed into this machine for the module and removed again on every
exit path. Nothing here starts the gateway: the package has no maintainer scripts, and
the launcher test swaps the tray program for a stub inside private namespaces."""

import os
import subprocess
import time
from pathlib import Path

import pytest

from conftest import one_package

PACKAGE = "zelvanor"
UNIT = "quorvel.service"
EXPECTED = {
    "/usr/bin/Quorvel", "/usr/bin/Tindrel", "/usr/bin/quorvel-client", "/usr/bin/zelvanor-tray",
    "/usr/share/applications/zelvanor.desktop",
    "/usr/share/icons/hicolor/48x48/apps/zelvanor.png",
    "/usr/lib/systemd/system/quorvel.service",
    "/usr/share/doc/zelvanor/copyright", "/usr/share/doc/zelvanor/changelog.gz",
}


def run(*argv, timeout=120, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)


def installed_version():
    r = run("dpkg-query", "-W", "-f=${Status}", PACKAGE)
    return r.returncode == 0 and "install ok installed" in r.stdout


def dpkg(*args, timeout=120):
    """dpkg, waiting (bounded) while someone else's apt or dpkg holds the lock."""
    deadline = time.monotonic() + timeout
    while True:
        r = run("dpkg", *args, timeout=timeout)
        if r.returncode == 0 or "lock" not in r.stderr or time.monotonic() > deadline:
            return r
        time.sleep(2)


@pytest.fixture(scope="module")
def deb():
    return one_package("zelvanor_*.deb")


@pytest.fixture(scope="module")
def installed(deb):
    if installed_version():
        pytest.skip(f"{PACKAGE} is installed already; not touching someone else's install")
    r = dpkg("-i", str(deb))
    try:
        assert r.returncode == 0, r.stdout + r.stderr
        files = run("dpkg-query", "-L", PACKAGE).stdout.split("\n")
        yield {f for f in files if f and not Path(f).is_dir()}
    finally:
        if installed_version() or run("dpkg-query", "-W", PACKAGE).returncode == 0:
            dpkg("-P", PACKAGE)


def test_lintian_reports_no_errors(deb):
    r = run("lintian", "--fail-on", "error", "--no-tag-display-limit", str(deb), timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "\nE: " not in "\n" + r.stdout


def test_install_puts_every_part_in_place(installed):
    assert EXPECTED <= installed, sorted(EXPECTED - installed)
    for program in ("/usr/bin/Quorvel", "/usr/bin/Tindrel", "/usr/bin/quorvel-client",
                    "/usr/bin/zelvanor-tray"):
        assert os.access(program, os.X_OK), program
    entry = Path("/usr/share/applications/zelvanor.desktop").read_text()
    assert "\nExec=zelvanor-tray\n" in entry and "\nIcon=zelvanor\n" in entry
    # Every library the programs need is there (the package's Depends are complete).
    for program in ("/usr/bin/Quorvel", "/usr/bin/Tindrel", "/usr/bin/quorvel-client"):
        r = run("ldd", program)
        assert r.returncode == 0 and "not found" not in r.stdout, r.stdout


def test_unit_verifies_and_runs_without_privileges(installed):
    unit = f"/usr/lib/systemd/system/{UNIT}"
    r = run("systemd-analyze", "verify", unit)
    assert r.returncode == 0 and r.stdout + r.stderr == "", r.stdout + r.stderr
    # The exposure score sums up user, capabilities, file system and system call
    # restrictions; 2.0 keeps the gateway at no root rights and a read-only system.
    r = run("systemd-analyze", "security", "--offline=true", "--threshold=20", "--no-pager",
            unit)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr


def test_tray_launcher_starts_the_tray_in_a_user_directory(installed, tmp_path):
    """The desktop entry's launcher gives the tray a directory under the user's data
    home with the gateway beside it (the tray starts the gateway from its current
    directory). The tray itself is replaced by a stub that reports what it sees."""
    stub = tmp_path / "tindrel-stub"
    stub.write_text('#!/bin/sh\npwd\nreadlink Quorvel\n')
    stub.chmod(0o755)
    home = tmp_path / "home"
    home.mkdir()
    script = f'mount --bind "{stub}" /usr/bin/Tindrel && exec /usr/bin/zelvanor-tray'
    env = {"PATH": "/usr/bin:/bin", "HOME": str(home)}
    r = run("unshare", "-n", "-m", "sh", "-c", script, env=env, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == [str(home / ".local/share/zelvanor"), "/usr/bin/Quorvel", ""]

    env["XDG_DATA_HOME"] = str(tmp_path / "data")
    r = run("unshare", "-n", "-m", "sh", "-c", script, env=env, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[0] == str(tmp_path / "data/zelvanor")


def test_remove_leaves_no_file_behind(installed):
    r = dpkg("-r", PACKAGE)
    assert r.returncode == 0, r.stdout + r.stderr
    assert not installed_version()
    left = sorted(f for f in installed if os.path.lexists(f))
    assert left == [], left

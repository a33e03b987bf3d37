"""The Windows front, Tindrel.exe, under Wine with Xvfb and trayer, starting the real
Quorvel.exe. Message-box texts are read back through a small Win32 helper (wine_boxtext.c)
that runs in the same Wine session."""

import contextlib
import fcntl
import os
import shutil
import subprocess
import uuid
from pathlib import Path

import pytest

from tray_harness import (MINGW_BUILD, WATCH_PERIOD, cmdline, kill_marked, marked_pids, pid_alive,
                      require, wait_for)

TINDREL = MINGW_BUILD / "tray" / "Tindrel.exe"
QUORVEL = MINGW_BUILD / "app" / "Quorvel.exe"
HERE = Path(__file__).resolve().parent
TEAL = "#17607D"  # the icon's background colour
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def build_dir():
    return TINDREL.parents[1]


@pytest.fixture(scope="module")
def binaries():
    return require(TINDREL), require(QUORVEL)


@contextlib.contextmanager
def prefix_lock(timeout=600):
    """Serialises everything that uses the tray prefix, across test processes too: its
    named mutex and its wineserver are shared by every program run in it."""
    with open(build_dir() / "wine-prefix-tray.lock", "w") as lock:
        def take():
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return True
            except BlockingIOError:
                return False
        wait_for("the tray Wine prefix", take, timeout, 0.5)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


@pytest.fixture(scope="module")
def prefix(desktop, binaries):
    """The tray tests' own Wine prefix, made once per build folder (about 15 s) and kept."""
    path = build_dir() / "wine-prefix-tray"
    ready = path / ".zv-ready"
    with prefix_lock():
        if not ready.exists():
            shutil.rmtree(path, ignore_errors=True)
            partial = path.with_name(f"{path.name}.partial-{os.getpid()}")
            shutil.rmtree(partial, ignore_errors=True)
            token = uuid.uuid4().hex
            env = desktop.env(dict(WINE_ENV, WINEPREFIX=str(partial)), token=token)
            try:
                desktop.run(["wineboot", "-i"], env=env, timeout=240)
                desktop.run(["wineserver", "-w"], env=env, timeout=60)
            finally:
                kill_marked(token)
            partial.rename(path)
            ready.touch()
    return path


@pytest.fixture(scope="module")
def boxtext(tmp_path_factory):
    out = tmp_path_factory.mktemp("helper") / "boxtext.exe"
    subprocess.run(["x86_64-w64-mingw32-gcc-posix", "-O2", "-o", str(out),
                    str(HERE / "wine_boxtext.c")], check=True)
    return out


class WineSession:
    """Tindrel.exe copies in one Wine session; ends them and the session on close."""

    def __init__(self, desktop, prefix, boxtext):
        self.desktop = desktop
        self.boxtext = boxtext
        self.token = uuid.uuid4().hex
        self.env = desktop.env(dict(WINE_ENV, WINEPREFIX=str(prefix)), token=self.token)
        # A run killed outright may have left a session whose programs hold the mutex.
        desktop.run(["wineserver", "-k"], env=self.env, check=False)

    def start(self, program, cwd):
        return Tindrel(self, self.desktop.start(["wine", program], cwd=cwd, env=self.env))

    def gateways(self):
        return [p for p in marked_pids(self.token) if "Quorvel.exe" in cmdline(p)]

    def box_text(self, caption):
        result = self.desktop.run(["wine", self.boxtext, caption], env=self.env, check=False)
        return result.stdout.splitlines() if result.returncode == 0 else None

    def tray_icon(self):
        """The icon embedded in the tray by Wine's shell (a small explorer.exe window)."""
        for window in self.desktop.visible_windows("--classname", "^explorer.exe$"):
            geometry = self.desktop.geometry(window)
            if geometry.get("WIDTH", 0) > 4:
                return window, geometry
        return None

    def close(self):
        kill_marked(self.token)
        self.desktop.run(["wineserver", "-k"], env=self.env, check=False)
        kill_marked(self.token)


class Tindrel:
    def __init__(self, session, proc):
        self.session = session
        self.desktop = session.desktop
        self.proc = proc

    def gateway(self):
        return wait_for("the gateway process", self.session.gateways, 20)[0]

    def icon(self):
        return wait_for("the tray icon", self.session.tray_icon, 20, 0.3)

    def box(self, caption, timeout=15):
        """Waits for this copy's box with the caption; returns its window and its text."""
        window = wait_for(f"the box {caption!r}", lambda: self.desktop.visible_windows(
            "--pid", str(self.proc.pid), "--name", f"^{caption}$"), timeout, 0.2)[0]
        return window, wait_for("the box's text", lambda: self.session.box_text(caption), 10)

    def dismiss(self, window):
        self.desktop.press_return(window)
        wait_for("the box to close", lambda: self.proc.poll() is not None or window not in
                 self.desktop.visible_windows("--pid", str(self.proc.pid)), 10)

    def popup(self):
        for window in self.desktop.visible_windows("--classname", "^tindrel.exe$"):
            geometry = self.desktop.geometry(window)
            if geometry.get("WIDTH", 0) > 20:
                return window, geometry
        return None

    def choose(self, icon, quarter):
        """Right-clicks the icon and clicks the menu at 1/4 (first item) or 3/4 (second)."""
        window, geometry = icon
        self.desktop.xdotool("mousemove", "--window", window, str(geometry["WIDTH"] // 2),
                             str(geometry["HEIGHT"] // 2), "click", "3")
        _, menu = wait_for("the popup menu", self.popup, 10, 0.2)
        self.desktop.xdotool("mousemove", str(menu["X"] + menu["WIDTH"] // 2),
                             str(menu["Y"] + menu["HEIGHT"] * quarter // 4), "click", "1")

    def exit_status(self, timeout=15):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pytest.fail(f"Tindrel.exe still runs {timeout} s later")


@pytest.fixture
def wine(desktop, prefix, boxtext):
    with prefix_lock():
        session = WineSession(desktop, prefix, boxtext)
        try:
            yield session
        finally:
            session.close()


def with_gateway(directory, quorvel):
    shutil.copy2(quorvel, directory / "Quorvel.exe")
    return directory


def test_icon_menu_version_info_and_exit(wine, binaries, scenario_dir):
    tray = wine.start(binaries[0], with_gateway(scenario_dir, binaries[1]))
    gateway = tray.gateway()
    icon = tray.icon()
    shot = tray.desktop.screenshot(build_dir() / "tray-wine-icon.png")
    assert shot.stat().st_size > 0
    assert TEAL in tray.desktop.colours(icon[1]), "the icon's picture is not in the tray"

    # Left clicks and a double click open nothing.
    tray.desktop.xdotool("mousemove", "--window", icon[0], "4", "4", "click", "1", "click",
                         "--repeat", "2", "1", "sleep", "0.5")
    assert tray.popup() is None

    tray.choose(icon, 1)
    window, text = tray.box("Version Info")
    assert text == ["Zelvanor Version 1.0 Build 11010610"]
    tray.dismiss(window)
    assert pid_alive(gateway) and tray.proc.poll() is None

    tray.choose(icon, 3)
    assert tray.exit_status() == 0
    wait_for("the gateway to end", lambda: not pid_alive(gateway), 10)
    assert wine.tray_icon() is None


def test_second_copy_says_so_and_exits_0(wine, binaries, scenario_dir):
    first = wine.start(binaries[0], with_gateway(scenario_dir, binaries[1]))
    gateway = first.gateway()
    first.icon()

    second = wine.start(binaries[0], scenario_dir)
    window, text = second.box("Zelvanor")
    assert text == ["The application is existed!"]
    second.dismiss(window)
    assert second.exit_status() == 0
    assert wine.gateways() == [gateway]
    assert first.proc.poll() is None


def test_missing_gateway_is_reported(wine, binaries, scenario_dir, tmp_path):
    # The gateway beside the program file does not count: only the current directory does.
    beside = tmp_path / "installed"
    beside.mkdir()
    shutil.copy2(binaries[0], beside / "Tindrel.exe")
    with_gateway(beside, binaries[1])
    tray = wine.start(beside / "Tindrel.exe", scenario_dir)
    window, text = tray.box("Error")
    assert text == ["Can not find Quorvel.exe\\nPlease reinstall!"]
    assert wine.gateways() == []
    tray.dismiss(window)
    assert tray.exit_status() == 0


def test_gateway_killed_from_outside_is_reported_within_one_watch(wine, binaries, scenario_dir):
    tray = wine.start(binaries[0], with_gateway(scenario_dir, binaries[1]))
    gateway = tray.gateway()
    tray.icon()
    os.kill(gateway, 9)
    window, text = tray.box("Error", timeout=WATCH_PERIOD + 5)
    assert text == ["Quorvel.exe is terminated!\\n"]
    tray.dismiss(window)
    assert tray.exit_status() == 0
    wait_for("the icon to go", lambda: wine.tray_icon() is None, 10)

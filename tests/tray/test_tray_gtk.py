"""The Linux front (GTK) of Tindrel under Xvfb and trayer, starting the real gateway."""

import os
import shutil
import subprocess
import uuid

import pytest

from tray_harness import (NATIVE_BUILD, WATCH_PERIOD, kill_marked, pid_alive, require, wait_for)

TINDREL = NATIVE_BUILD / "tray" / "Tindrel"
QUORVEL = NATIVE_BUILD / "app" / "Quorvel"
TEAL = "#17607D"  # the icon's background colour


@pytest.fixture(scope="module")
def binaries():
    return require(TINDREL), require(QUORVEL)


def build_dir():
    return TINDREL.parents[1]


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid and fields[0] != "Z":
                found.append(int(entry))
    return found


class Supervisor:
    """One Tindrel process; its message boxes are also logged to its standard error."""

    def __init__(self, desktop, tindrel, cwd, runtime_dir):
        self.desktop = desktop
        self.lock = runtime_dir / "Zelvanor.lock"
        self.token = uuid.uuid4().hex
        self.log = cwd.parent / f"tindrel-{self.token[:8]}.log"
        with open(self.log, "wb") as err:
            self.proc = desktop.start(
                [tindrel], cwd=cwd, stderr=err,
                env=desktop.env({"XDG_RUNTIME_DIR": str(runtime_dir)}, token=self.token))

    def boxes(self):
        lines = self.log.read_text(errors="replace").splitlines()
        return [line.removeprefix("Tindrel: ") for line in lines if line.startswith("Tindrel: [")]

    def gateway(self):
        """PID of the gateway it started, once it has one."""
        return wait_for("the gateway process", lambda: children(self.proc.pid), 10)[0]

    def icon(self):
        """The icon's X window, once embedded in the tray (it starts at 1x1)."""
        def embedded():
            for window in self.desktop.visible_windows("--pid", str(self.proc.pid), "--name",
                                                       "^Zelvanor$"):
                geometry = self.desktop.geometry(window)
                if geometry.get("WIDTH", 0) > 1:
                    return window, geometry
            return None
        return wait_for("the tray icon", embedded, 15, 0.2)

    def box(self, caption, timeout=10):
        """Waits for a box with this caption, returns its window and the logged text."""
        window = wait_for(f"the box {caption!r}", lambda: self.desktop.visible_windows(
            "--pid", str(self.proc.pid), "--name", f"^{caption}$"), timeout, 0.2)[0]
        texts = [b.split("] ", 1)[1] for b in self.boxes() if b.startswith(f"[{caption}] ")]
        return window, texts[-1] if texts else None

    def dismiss(self, window):
        self.desktop.press_return(window)
        wait_for("the box to close", lambda: self.proc.poll() is not None or window not in
                 self.desktop.visible_windows("--pid", str(self.proc.pid)), 10)

    def open_menu(self, icon):
        window, geometry = icon
        before = set(self.desktop.visible_windows("--pid", str(self.proc.pid)))
        self.desktop.xdotool("mousemove", "--window", window, str(geometry["WIDTH"] // 2),
                             str(geometry["HEIGHT"] // 2), "click", "3")
        return wait_for("the popup menu", lambda: set(self.desktop.visible_windows(
            "--pid", str(self.proc.pid))) - before, 10, 0.2)

    def choose(self, icon, downs):
        self.open_menu(icon)
        self.desktop.xdotool("key", *(["Down"] * downs), "Return")

    def exit_status(self, timeout=10):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pytest.fail(f"Tindrel still runs {timeout} s later; boxes: {self.boxes()}")

    def end(self):
        kill_marked(self.token)


@pytest.fixture
def launch(desktop, binaries, tmp_path):
    runtime_dir = tmp_path / "xdg-runtime"
    runtime_dir.mkdir(mode=0o700)
    started = []

    def start(cwd, program=None):
        s = Supervisor(desktop, program or binaries[0], cwd, runtime_dir)
        started.append(s)
        return s

    yield start
    for s in started:
        s.end()


def with_gateway(directory, quorvel):
    shutil.copy2(quorvel, directory / "Quorvel")
    return directory


def test_icon_menu_version_info_and_exit(launch, binaries, scenario_dir):
    tray = launch(with_gateway(scenario_dir, binaries[1]))
    gateway = tray.gateway()
    assert os.readlink(f"/proc/{gateway}/cwd") == str(scenario_dir)
    descriptors = {fd: os.readlink(f"/proc/{gateway}/fd/{fd}")
                   for fd in os.listdir(f"/proc/{gateway}/fd")}
    assert [descriptors.get(fd) for fd in "012"] == ["/dev/null"] * 3
    assert str(tray.lock) not in descriptors.values()

    icon = tray.icon()
    shot = tray.desktop.screenshot(build_dir() / "tray-gtk-icon.png")
    assert shot.stat().st_size > 0
    assert TEAL in tray.desktop.colours(icon[1]), "the icon's picture is not in the tray"

    # Left clicks and a double click open nothing.
    tray.desktop.xdotool("mousemove", "--window", icon[0], "4", "4", "click", "1", "click",
                         "--repeat", "2", "1")
    tray.desktop.xdotool("sleep", "0.5")
    assert tray.desktop.visible_windows("--pid", str(tray.proc.pid)) == [icon[0]]

    tray.choose(icon, 1)
    window, text = tray.box("Version Info")
    assert text == "Zelvanor Version 1.0 Build 11010610"
    tray.dismiss(window)
    assert pid_alive(gateway) and tray.proc.poll() is None

    # A dismissed menu changes nothing.
    tray.open_menu(icon)
    tray.desktop.xdotool("key", "Escape")
    tray.desktop.xdotool("sleep", "0.5")
    assert pid_alive(gateway) and tray.proc.poll() is None

    tray.choose(icon, 2)
    assert tray.exit_status() == 0
    assert not pid_alive(gateway)
    assert tray.boxes() == ["[Version Info] Zelvanor Version 1.0 Build 11010610"]


def test_second_copy_says_so_and_exits_0(launch, binaries, scenario_dir):
    first = launch(with_gateway(scenario_dir, binaries[1]))
    gateway = first.gateway()
    first.icon()

    second = launch(scenario_dir)
    window, text = second.box("Zelvanor")
    assert text == "The application is existed!"
    assert children(second.proc.pid) == []
    second.dismiss(window)
    assert second.exit_status() == 0
    assert children(first.proc.pid) == [gateway]


def test_missing_gateway_is_reported(launch, binaries, scenario_dir, tmp_path):
    # The gateway beside the program file does not count: only the current directory does.
    beside = tmp_path / "installed"
    beside.mkdir()
    shutil.copy2(binaries[0], beside / "Tindrel")
    with_gateway(beside, binaries[1])
    tray = launch(scenario_dir, beside / "Tindrel")
    window, text = tray.box("Error")
    assert text == "Can not find Quorvel\\nPlease reinstall!"
    assert children(tray.proc.pid) == []
    tray.dismiss(window)
    assert tray.exit_status() == 0


def test_gateway_killed_from_outside_is_reported_within_one_watch(launch, binaries,
                                                                  scenario_dir):
    tray = launch(with_gateway(scenario_dir, binaries[1]))
    gateway = tray.gateway()
    icon = tray.icon()
    os.kill(gateway, 9)
    window, text = tray.box("Error", timeout=WATCH_PERIOD + 5)
    assert text == "Quorvel is terminated!\\n"
    tray.dismiss(window)
    assert tray.exit_status() == 0
    assert icon[0] not in tray.desktop.visible_windows("--name", "^Zelvanor$")

"""Harness for the tray supervisor's end-to-end tests (imported by conftest.py and the tests;
named apart from conftest so that it cannot be confused with another suite's conftest).

Everything runs inside a private network namespace made for the run: an X server (Xvfb), a
tray host (trayer), the supervisor and the real gateway it starts, and xdotool. Every process
started here carries a per-test marker in its environment; on every way out the harness ends
each marked process by PID, then deletes the namespace and its /etc/netns folder.
"""

import fcntl
import os
import re
import shutil
import signal
import subprocess
import time
import uuid
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
NATIVE_BUILD = REPO / "build" / "default"
MINGW_BUILD = REPO / "build" / "mingw"

WATCH_PERIOD = 10.0  # the supervisor polls its gateway this often
MARKER = "ZV_TRAY_TEST"
HOSTNAME = "zvtray"


def require(path):
    if not path.exists():
        pytest.skip(f"{path.relative_to(REPO)} is not built")
    return path


def wait_for(what, check, timeout, interval=0.1):
    """Polls check() until it returns something truthy; fails the test after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            pytest.fail(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def pid_alive(pid):
    """True while pid exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def marked_pids(token):
    """Every process whose environment carries our marker with this token."""
    needle = f"{MARKER}={token}".encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if needle in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def kill_marked(token):
    """SIGKILLs our marked processes by PID and waits (bounded) until they are gone."""
    for _ in range(3):
        pids = marked_pids(token)
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while any(pid_alive(p) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.05)


def sweep_stale_namespaces():
    """Removes the namespaces of tray runs whose test process is gone (killed outright, so
    its clean-up never ran), ending the processes left in them by PID."""
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        owner = re.fullmatch(r"zvtray-(\d+)-[0-9a-f]{8}", name)
        if not owner or pid_alive(int(owner.group(1))):
            continue
        pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True,
                              text=True).stdout.split()
        for pid in map(int, pids):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while any(pid_alive(int(p)) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.05)
        subprocess.run(["ip", "netns", "delete", name], stderr=subprocess.DEVNULL)
        shutil.rmtree(Path("/etc/netns") / name, ignore_errors=True)


class Namespace:
    """A network namespace with loopback and one veth address that the host name resolves
    to, so that the gateway finds a local address; nothing in it reaches the host's network."""

    def __init__(self):
        sweep_stale_namespaces()
        self.name = f"zvtray-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        self.etc = Path("/etc/netns") / self.name
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        try:
            ip = ["ip", "-n", self.name]
            subprocess.run(ip + ["link", "set", "lo", "up"], check=True)
            subprocess.run(ip + ["link", "add", "zv0", "type", "veth", "peer", "name", "zv1"],
                           check=True)
            subprocess.run(ip + ["addr", "add", "10.213.7.1/24", "dev", "zv0"], check=True)
            subprocess.run(ip + ["link", "set", "zv0", "up"], check=True)
            subprocess.run(ip + ["link", "set", "zv1", "up"], check=True)
            self.etc.mkdir(parents=True)
            (self.etc / "hosts").write_text(f"127.0.0.1 localhost\n10.213.7.1 {HOSTNAME}\n")
            (self.etc / "host.conf").write_text("multi on\n")
        except BaseException:
            self.delete()
            raise

    def wrap(self, argv):
        """argv run inside the namespace, with its own host name; the wrappers exec, so the
        PID of the started process is the PID of argv."""
        return ["ip", "netns", "exec", self.name, "unshare", "--uts", "sh", "-c",
                f'hostname {HOSTNAME} && exec "$@"', "sh", *map(str, argv)]

    def delete(self):
        subprocess.run(["ip", "netns", "delete", self.name], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.etc, ignore_errors=True)


class Desktop:
    """Xvfb and trayer in a namespace; runs programs and xdotool against that display."""

    def __init__(self, workdir):
        self.workdir = Path(workdir)
        self.token = uuid.uuid4().hex
        self.procs = []
        self.ns = Namespace()
        try:
            self._start_display()
        except BaseException:
            self.close()
            raise

    def env(self, extra=None, token=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "XDG_"))}
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env[MARKER] = token or self.token
        env["DISPLAY"] = getattr(self, "display", "")
        env["NO_AT_BRIDGE"] = "1"  # no accessibility bus in the namespace
        env["GDK_BACKEND"] = "x11"
        env.update(extra or {})
        return env

    def start(self, argv, cwd=None, env=None, stderr=None, pass_fds=()):
        proc = subprocess.Popen(self.ns.wrap(argv), cwd=cwd or self.workdir, env=env or self.env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=stderr if stderr is not None else subprocess.DEVNULL,
                                pass_fds=pass_fds)
        self.procs.append(proc)
        return proc

    def run(self, argv, env=None, timeout=60, check=True):
        result = subprocess.run(self.ns.wrap(argv), cwd=self.workdir, env=env or self.env(),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{argv} failed ({result.returncode}): {result.stderr}")
        return result

    def _start_display(self):
        read_end, write_end = os.pipe()
        try:
            self.xvfb = self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                    "800x600x24", "-nolisten", "tcp"], pass_fds=(write_end,))
            os.close(write_end)
            write_end = -1
            fcntl.fcntl(read_end, fcntl.F_SETFL, os.O_NONBLOCK)
            text = b""

            def display_number():
                nonlocal text
                try:
                    text += os.read(read_end, 64)
                except BlockingIOError:
                    pass
                if self.xvfb.poll() is not None:
                    pytest.fail("Xvfb ended at start-up")
                return text.endswith(b"\n")

            wait_for("the X display", display_number, 30)
            self.display = ":" + text.decode().strip()
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)
        self.trayer = self.start(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                  "request", "--height", "32", "--SetDockType", "true",
                                  "--transparent", "false"])
        # The tray host owns the system-tray selection once it has a window on screen.
        wait_for("the tray host", lambda: self.xdotool("search", "--onlyvisible", "--class",
                                                       "^trayer$"), 30, 0.2)

    def xdotool(self, *args, check=False):
        result = self.run(["xdotool", *args], check=check)
        return result.stdout.split() if result.returncode == 0 else []

    def geometry(self, window):
        out = self.run(["xdotool", "getwindowgeometry", "--shell", window], check=False).stdout
        values = dict(re.findall(r"(\w+)=(-?\d+)", out))
        return {k: int(v) for k, v in values.items()}

    def visible_windows(self, *criteria):
        return self.xdotool("search", "--all", "--onlyvisible", *criteria)

    def press_return(self, window):
        # No window manager runs: the box gets the keyboard only once focused.
        self.xdotool("windowfocus", "--sync", window, "key", "Return")

    def screenshot(self, path, crop=None):
        argv = ["import", "-window", "root"]
        if crop:
            argv += ["-crop", "{WIDTH}x{HEIGHT}+{X}+{Y}".format(**crop)]
        self.run(argv + [str(path)])
        return path

    def colours(self, crop):
        """The distinct colours (as #RRGGBB) inside a rectangle of the screen."""
        out = self.run(["import", "-window", "root", "-crop",
                        "{WIDTH}x{HEIGHT}+{X}+{Y}".format(**crop), "-depth", "8",
                        "-format", "%c", "histogram:info:-"]).stdout
        return {m.upper() for m in re.findall(r"#[0-9A-Fa-f]{6}", out)}

    def close(self):
        kill_marked(self.token)
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        self.ns.delete()

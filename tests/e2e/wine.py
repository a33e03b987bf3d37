"""Quorvel.exe under Wine, as a launcher of the wire suite:

    make build-mingw && ZV_GATEWAY=wine python3 -m pytest -q tests/e2e

Wine creates a program's sockets in its wineserver, and its address table comes from a
helper process (winedevice) of that same server. So not only the program but the whole
Wine session must live in the gateway namespace: every gateway gets its own copy of the
prefix, which gives it its own wineserver, started from inside the namespace by the
program itself. Nothing of Wine ever runs in the host's namespace; even the prefix is
made inside a fresh `unshare -n`.

The prefix is made once per build folder (build/mingw/wine-prefix, about 10 s and 700 MB)
and copied per gateway as a tree of hard links (well under a second). The registry files
are real copies, so the template never changes under a running session.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import ipaddress
import itertools
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import netns

WINE_ENV = {
    "WINEDEBUG": "-all",
    # No installer downloads for the .NET and HTML engines, and no menu entries or file
    # associations written into the host user's desktop settings.
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
}
PREFIX_TIMEOUT = 240.0  # wineboot on two busy cores
_READY_MARK = ".zelvanor-ready"
# Debian's Wine names the directory of a prefix's server socket in this file; a copy
# without it gets its own directory under /tmp, removed with the copy.
_SERVER_NOTE = "wineserver"


def wine_env(prefix: Path) -> dict:
    env = dict(os.environ)
    env.update(WINE_ENV)
    env["WINEPREFIX"] = str(prefix)
    return env


def end_session(prefix: Path, ns: str | None, timeout: float = 20.0) -> None:
    """Kill every process of the prefix's wineserver and wait for the server to go.
    `wineserver -k` only talks over the server's Unix socket, but it still runs in a
    private namespace: the gateway's (`ns`) or a fresh one."""
    wrap = ["ip", "netns", "exec", ns] if ns and (netns.NETNS_DIR / ns).exists() \
        else ["unshare", "-n"]
    script = "wineserver -k; wineserver -w"
    with contextlib.suppress(subprocess.TimeoutExpired):
        subprocess.run(wrap + ["sh", "-c", script], env=wine_env(prefix), timeout=timeout,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    # A helper that was still starting when the server went (a winedevice that services
    # had just spawned) never learns of it and waits forever: end those by PID.
    for _ in range(3):
        pids = _session_pids(prefix)
        if not pids:
            break
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.2)


def _session_pids(prefix: Path) -> list[int]:
    """Processes started with this prefix: its copy's path is unique to one session."""
    mark = b"\0WINEPREFIX=" + os.fsencode(str(prefix)) + b"\0"
    pids = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit() and int(entry.name) != os.getpid():
            try:
                environ = (entry / "environ").read_bytes()
            except OSError:
                continue
            if mark in b"\0" + environ:
                pids.append(int(entry.name))
    return pids


def _server_dir(prefix: Path) -> Path | None:
    try:
        name = (prefix / _SERVER_NOTE).read_text().strip()
    except OSError:
        return None
    return Path("/tmp") / name if name and "/" not in name else None


def remove_prefix(prefix: Path) -> None:
    server = _server_dir(prefix)
    if server is not None and server.name.startswith("wine-"):
        shutil.rmtree(server, ignore_errors=True)
    shutil.rmtree(prefix, ignore_errors=True)


_swept = False  # stale copies are looked for once per process


def ensure_prefix(prefix: Path, timeout: float = PREFIX_TIMEOUT) -> None:
    """Make the template prefix unless a complete one is there. Parallel callers (pytest
    workers) wait for the first one under a file lock; a half-made prefix is never seen
    because it is built beside the final name and renamed into place."""
    global _swept
    if _swept and (prefix / _READY_MARK).exists():
        return
    prefix.parent.mkdir(parents=True, exist_ok=True)
    deadline = time.monotonic() + timeout
    with open(prefix.parent / (prefix.name + ".lock"), "w") as lock:
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise netns.HarnessError(f"waited {timeout}s for the Wine prefix {prefix}")
                time.sleep(0.2)
        if not _swept:
            sweep_stale_sessions(prefix)
            _swept = True
        if (prefix / _READY_MARK).exists():
            return
        work = prefix.parent / (prefix.name + f".new{os.getpid()}")
        remove_prefix(work)
        remove_prefix(prefix)  # an incomplete one from an interrupted run
        try:
            r = subprocess.run(["unshare", "-n", "sh", "-c", "wineboot -i && wineserver -w"],
                               env=wine_env(work), stdin=subprocess.DEVNULL,
                               capture_output=True, text=True,
                               timeout=max(1.0, deadline - time.monotonic()))
            if r.returncode != 0 or not (work / "system.reg").exists():
                raise netns.HarnessError(f"wineboot -i failed ({r.returncode}): "
                                         f"{r.stderr.strip()[-2000:]}")
        except BaseException:
            end_session(work, None)
            remove_prefix(work)
            raise
        server = _server_dir(work)
        (work / _SERVER_NOTE).unlink(missing_ok=True)
        if server is not None and server.name.startswith("wine-"):
            shutil.rmtree(server, ignore_errors=True)
        (work / _READY_MARK).write_text("made by tests/e2e/wine.py\n")
        os.rename(work, prefix)


def _sessions_dir(template: Path) -> Path:
    # Beside the template: hard links need the same file system.
    return template.parent / (template.name + "-sessions")


def sweep_stale_sessions(template: Path) -> None:
    """Remove prefix copies left by test processes that died before cleaning up."""
    sessions = _sessions_dir(template)
    if not sessions.is_dir():
        return
    for entry in sessions.iterdir():
        pid = entry.name.split("x", 1)[0]
        if pid.isdigit() and not Path(f"/proc/{pid}").exists():
            end_session(entry, None)
            remove_prefix(entry)


_copies = itertools.count(1)


def session_prefix(template: Path) -> Path:
    """A private copy of the template prefix: hard links, except for the registry files,
    which the copy's wineserver rewrites. The copy is the caller's to remove."""
    sessions = _sessions_dir(template)
    sessions.mkdir(exist_ok=True)
    dest = sessions / f"{os.getpid()}x{next(_copies)}"
    remove_prefix(dest)
    r = subprocess.run(["cp", "-al", str(template), str(dest)], capture_output=True,
                       text=True, timeout=60)
    if r.returncode != 0:
        remove_prefix(dest)
        raise netns.HarnessError(f"cannot copy the Wine prefix: {r.stderr.strip()}")
    for reg in dest.glob("*.reg"):
        tmp = reg.with_suffix(".copy")
        shutil.copy2(reg, tmp)
        os.replace(tmp, reg)
    return dest


# Winsock codes of the errors a send or bind can meet (10000 + the BSD number).
_WINSOCK_ERRORS = {
    errno.EACCES: 10013, errno.EPERM: 10013, errno.EADDRINUSE: 10048,
    errno.EADDRNOTAVAIL: 10049, errno.ENETUNREACH: 10051, errno.EHOSTUNREACH: 10065,
    errno.EMSGSIZE: 10040, errno.ENOBUFS: 10055, errno.ECONNREFUSED: 10061,
}

# The links' routes, with metrics: Wine lists the local host's addresses one per
# interface (its first address), interfaces with a default route first, then by route
# metric. These metrics give the order of the harness's hosts file, GW1 then GW2.
_LINK_ROUTES = [("gw0", netns.GW1, 10), ("gw1", netns.GW2, 20)]


def _order_links(ns: str) -> None:
    commands = []
    for device, address, metric in _LINK_ROUTES:
        net = str(ipaddress.ip_interface(f"{address}/24").network)
        commands += [f"route del {net} dev {device}",
                     f"route add {net} dev {device} proto kernel scope link src {address} "
                     f"metric {metric}"]
    r = subprocess.run(["ip", "-n", ns, "-batch", "-"], input="\n".join(commands) + "\n",
                       capture_output=True, text=True, timeout=10)
    if r.returncode != 0:
        raise netns.HarnessError(f"cannot order the links' routes: {r.stderr.strip()}")


def _primary_address(ns: str, device: str) -> str | None:
    r = subprocess.run(["ip", "-n", ns, "-4", "-o", "addr", "show", "dev", device],
                       capture_output=True, text=True, timeout=10)
    for line in r.stdout.splitlines():
        words = line.split()
        if "inet" in words:
            return words[words.index("inet") + 1].split("/")[0]
    return None


def _visible_addresses(ns: str) -> list[str]:
    r = subprocess.run(["ip", "-n", ns, "-4", "-o", "route", "show", "table", "main"],
                       capture_output=True, text=True, timeout=10)
    devices = []
    for line in r.stdout.splitlines():
        words = line.split()
        if "via" not in words and "dev" in words:
            device = words[words.index("dev") + 1]
            if device not in devices:
                devices.append(device)
    return [a for a in (_primary_address(ns, d) for d in devices) if a]


class WineLauncher(netns.WineLauncher):
    """Runs `program` with `wine` in the gateway namespace and a UTS namespace of its own
    (Wine takes the host name from there), with a private copy of `prefix`."""

    def __init__(self, name: str, program: Path, prefix: Path, **kwargs):
        kwargs.setdefault("reads_hosts_file", False)
        kwargs.setdefault("ready_timeout", 60.0)
        # Every loop pass resolves the host name, which Wine answers from its network
        # services in another process: about 6 ms a pass on two busy cores.
        kwargs.setdefault("slowdown", 6.0)
        super().__init__(name, program, **kwargs)
        self.env.update(WINE_ENV)
        self.prefix = prefix
        self._sessions: dict[str, tuple[Path, str]] = {}  # workdir -> (prefix copy, ns)

    def unavailable(self) -> str | None:
        if not self.program.is_file():
            return f"{self.program} is missing (make build-mingw)"
        if shutil.which("wine") is None or shutil.which("wineserver") is None:
            return "wine is not installed (scripts/install-deps test)"
        return None

    def command(self, gw_ns: str, hostname: str, workdir: Path) -> list[str]:
        ensure_prefix(self.prefix)
        _order_links(gw_ns)
        own = session_prefix(self.prefix)
        self._sessions[str(workdir)] = (own, gw_ns)
        script = 'hostname "$1" && cd "$2" && WINEPREFIX="$3" exec wine "$4"'
        return ["ip", "netns", "exec", gw_ns, "unshare", "--uts", "sh", "-c", script,
                "quorvel-wine", hostname, str(workdir), str(own), str(self.program)]

    def udp_bound(self, gateway: netns.Gateway) -> list[tuple[str, int]]:
        """(address, port) of the UDP sockets in the gateway namespace. Wine binds a
        datagram socket asked for one interface address to the wildcard address on that
        interface (so that it hears broadcasts, as on Windows): such a socket is reported
        with the interface's address, which is the one the program asked for."""
        ns = gateway.topo.gw
        r = subprocess.run(["ip", "netns", "exec", ns, "ss", "-H", "-u", "-a", "-n"],
                           capture_output=True, text=True, timeout=10)
        out = []
        for line in r.stdout.splitlines():
            fields = line.split()
            if len(fields) < 4:
                continue
            local, _, port = fields[3].rpartition(":")
            addr, _, device = local.partition("%")
            if device:
                addr = _primary_address(ns, device) or addr
            out.append((addr, int(port)))
        return out

    def start_endpoints(self, topo: netns.Topology) -> list[str]:
        """The addresses the program finds at start-up, and so binds endpoints to: the
        first address of each interface with a route of its own."""
        return _visible_addresses(topo.gw)

    def socket_error(self, err: int) -> int:
        """The Winsock code Wine reports for a Linux errno."""
        return _WINSOCK_ERRORS.get(err, err)

    def finish(self, gateway: netns.Gateway) -> None:
        """The program has ended: end the rest of its Wine session, drop the copy."""
        session = self._sessions.pop(str(gateway.workdir), None)
        if session is None:
            return
        own, ns = session
        end_session(own, ns)
        remove_prefix(own)


def launcher(build_dir: Path | None = None) -> WineLauncher:
    build = build_dir or netns.REPO_ROOT / "build/mingw"
    return WineLauncher("wine", build / "app/Quorvel.exe", build / "wine-prefix")

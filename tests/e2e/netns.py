"""Wire-level harness for the Quorvel gateway: private network namespaces, the gateway
process, and TCP/UDP sockets opened inside those namespaces.

The gateway broadcasts and sends datagrams wherever a peer tells it to, so it only ever runs
inside namespaces made here; nothing in this module touches the host's own network.

Typical use (see conftest.py for the pytest fixtures built on it)::

    topo = Topology.create()                  # gateway ns + device ns, two veth links
    gw = topo.start_gateway(launcher_from_spec("default"))
    c = topo.tcp_client(source=(DEV1, 40001))  # from the device ns to GW1:52554
    c.send(25, b"3")
    assert c.recv_frame() == b"\\x00\\x0e\\x00\\x18" b"10.1.2.9:40001"
    rx = topo.udp_socket(DEVICE)               # bound to 0.0.0.0:12390 in the device ns
    d = rx.recv(timeout=13)                    # Datagram(data, src, dst)
    topo.destroy()                             # also runs at exit if a test forgets

Topology: link 1 is GW1 10.1.2.3/24 (gw0) <-> DEV1 10.1.2.9/24 (dev0), link 2 is
GW2 172.16.0.9/24 (gw1) <-> DEV2 172.16.0.10/24 (dev1). The gateway learns its addresses
by resolving its host name through /etc/netns/<gw ns>/hosts; `Topology.write_hosts`
rewrites that file in place, which is how address changes reach the running gateway.

Every wait here has a deadline; every process, namespace and /etc/netns directory made
here is removed by `destroy`/`stop`, and by an atexit hook for whatever is left.
"""

from __future__ import annotations

import atexit
import contextlib
import ctypes
import dataclasses
import errno
import itertools
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
from pathlib import Path

# Addresses of the two links, gateway side and device side.
GW1, DEV1 = "10.1.2.3", "10.1.2.9"
GW2, DEV2 = "172.16.0.9", "172.16.0.10"
GATEWAY_PORT = 52554
ANNOUNCE_PORT = 12390
HOSTNAME = "gwhost"

GATEWAY, DEVICE = "gw", "dev"  # the two sides of a topology

REPO_ROOT = Path(__file__).resolve().parents[2]
NS_PREFIX = "zve2e"
NETNS_DIR = Path("/var/run/netns")
ETC_NETNS = Path("/etc/netns")

_CLONE_NEWNET = 0x40000000
_PR_SET_PDEATHSIG = 1
_IP_PKTINFO = 8  # Linux value; the socket module does not export it
_HOSTS_SIZE = 1024  # every version of a hosts file has this size, see write_hosts

_libc = ctypes.CDLL(None, use_errno=True)
_counter = itertools.count(1)


class HarnessError(RuntimeError):
    """The test environment itself failed (not the gateway)."""


# --------------------------------------------------------------------------- namespaces


@contextlib.contextmanager
def in_netns(name: str):
    """Run the body with the calling thread inside network namespace `name`.

    Sockets created in the body stay in that namespace after the thread switches back,
    which happens as soon as the body ends."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        target = os.open(NETNS_DIR / name, os.O_RDONLY)
        try:
            if _libc.setns(target, _CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), f"setns into {name}")
            try:
                yield
            finally:
                if _libc.setns(own, _CLONE_NEWNET) != 0:
                    raise HarnessError("cannot switch back to the original namespace")
        finally:
            os.close(target)
    finally:
        os.close(own)


def _run(*argv: str, check: bool = True, timeout: float = 10) -> subprocess.CompletedProcess:
    r = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise HarnessError(f"{' '.join(argv)} failed ({r.returncode}): {r.stderr.strip()}")
    return r


def _ip_batch(ns: str, commands: list[str]) -> None:
    r = subprocess.run(["ip", "-n", ns, "-batch", "-"], input="\n".join(commands) + "\n",
                       capture_output=True, text=True, timeout=10)
    if r.returncode != 0:
        raise HarnessError(f"ip -n {ns} -batch failed: {r.stderr.strip()}")


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def sweep_stale_namespaces() -> None:
    """Remove namespaces and /etc/netns entries left by harness processes that died
    without cleaning up (killed with SIGKILL, for example). Only names made by this
    harness whose creating process is gone are touched."""
    for parent in (NETNS_DIR, ETC_NETNS):
        if not parent.is_dir():
            continue
        for entry in parent.iterdir():
            name = entry.name
            if not name.startswith(NS_PREFIX):
                continue
            pid_text = name[len(NS_PREFIX):].split("x", 1)[0]
            if not pid_text.isdigit() or _pid_alive(int(pid_text)):
                continue
            if parent == NETNS_DIR:
                _run("ip", "netns", "del", name, check=False)
            else:
                shutil.rmtree(entry, ignore_errors=True)


_live: list = []  # objects with a cleanup() method, newest last


def _cleanup_all() -> None:
    while _live:
        obj = _live.pop()
        try:
            obj.cleanup()
        except Exception:  # keep cleaning the rest; nothing can be reported at exit
            pass


atexit.register(_cleanup_all)


# --------------------------------------------------------------------------- frames


def frame(code: int, payload: bytes = b"") -> bytes:
    """Encode one frame (2-byte length, 2-byte code, payload) for sending. Expected
    bytes in tests are written literally; this is only for what a test sends."""
    return struct.pack(">HH", len(payload), code) + payload


def split_frames(data: bytes) -> list[bytes]:
    """Cut a byte run into whole frames (header included); a trailing partial frame is
    returned as the last element."""
    out, i = [], 0
    while i < len(data):
        if len(data) - i < 4:
            out.append(data[i:])
            break
        n = struct.unpack(">H", data[i:i + 2])[0]
        out.append(data[i:i + 4 + n])
        i += 4 + n
    return out


class FrameTimeout(AssertionError):
    """No complete frame arrived in time; `received` holds the bytes that did."""

    def __init__(self, message: str, received: bytes):
        super().__init__(f"{message}; received so far: {received!r}")
        self.received = received


class ConnectionClosed(AssertionError):
    """The gateway closed the connection; `received` holds the bytes read before."""

    def __init__(self, message: str, received: bytes):
        super().__init__(f"{message}; received so far: {received!r}")
        self.received = received


# --------------------------------------------------------------------------- TCP client


class Client:
    """A TCP connection to the gateway with frame-level helpers. All reads are bounded."""

    def __init__(self, sock: socket.socket):
        self.sock = sock
        self._buf = b""
        self.eof = False

    @property
    def name(self) -> str:
        """The client's own "address:port", which is the peer name the gateway gives it."""
        host, port = self.sock.getsockname()[:2]
        return f"{host}:{port}"

    def send(self, code: int, payload: bytes = b"") -> None:
        self.sock.sendall(frame(code, payload))

    def send_raw(self, data: bytes) -> None:
        self.sock.sendall(data)

    def _fill(self, deadline: float) -> bool:
        """Read what is there before the deadline; False on time-out or EOF."""
        if self.eof:
            return False
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        ready, _, _ = select.select([self.sock], [], [], left)
        if not ready:
            return False
        try:
            chunk = self.sock.recv(65536)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.eof = True
            return False
        self._buf += chunk
        return True

    def recv_exact(self, n: int, timeout: float = 3.0) -> bytes:
        deadline = time.monotonic() + timeout
        while len(self._buf) < n:
            if not self._fill(deadline):
                got, self._buf = self._buf, b""
                if self.eof:
                    raise ConnectionClosed(f"closed while waiting for {n} bytes", got)
                raise FrameTimeout(f"no {n} bytes within {timeout}s", got)
        out, self._buf = self._buf[:n], self._buf[n:]
        return out

    def recv_frame(self, timeout: float = 3.0) -> bytes:
        """One whole frame, header included, exactly as it came off the wire."""
        deadline = time.monotonic() + timeout
        while True:
            if len(self._buf) >= 4:
                n = struct.unpack(">H", self._buf[:2])[0]
                if len(self._buf) >= 4 + n:
                    out, self._buf = self._buf[:4 + n], self._buf[4 + n:]
                    return out
            if not self._fill(deadline):
                got, self._buf = self._buf, b""
                if self.eof:
                    raise ConnectionClosed("closed while waiting for a frame", got)
                raise FrameTimeout(f"no whole frame within {timeout}s", got)

    def recv_frames(self, count: int, timeout: float = 3.0) -> list[bytes]:
        deadline = time.monotonic() + timeout
        return [self.recv_frame(max(0.0, deadline - time.monotonic())) for _ in range(count)]

    def drain(self, duration: float = 0.3) -> bytes:
        """Every byte that arrives within `duration` (ends early at EOF). Tests use
        `assert c.drain() == b""` to show that nothing was sent."""
        deadline = time.monotonic() + duration
        while self._fill(deadline):
            pass
        got, self._buf = self._buf, b""
        return got

    def wait_closed(self, timeout: float = 3.0) -> bool:
        """True once the gateway has closed the connection (FIN or RST) within the
        time-out; bytes that arrive meanwhile are discarded."""
        deadline = time.monotonic() + timeout
        while not self.eof and self._fill(deadline):
            self._buf = b""
        return self.eof

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self.sock.close()

    def abort(self) -> None:
        """Close with a reset (SO_LINGER 0) instead of an orderly FIN."""
        with contextlib.suppress(OSError):
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close()

    cleanup = close


# --------------------------------------------------------------------------- UDP socket


@dataclasses.dataclass(frozen=True)
class Datagram:
    data: bytes
    src: tuple  # (address, port) of the sender
    dst: str  # destination address of the IP header: shows broadcast vs unicast


class UdpSocket:
    """A UDP socket inside one namespace that reports each datagram's destination."""

    def __init__(self, sock: socket.socket):
        self.sock = sock
        self.sock.setsockopt(socket.IPPROTO_IP, _IP_PKTINFO, 1)

    @property
    def address(self) -> tuple:
        return self.sock.getsockname()

    def send_to(self, data: bytes, addr: tuple) -> None:
        self.sock.sendto(data, addr)

    def recv(self, timeout: float = 3.0) -> Datagram | None:
        """The next datagram, or None when none arrives within the time-out."""
        ready, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
        if not ready:
            return None
        data, anc, _flags, src = self.sock.recvmsg(65536, socket.CMSG_SPACE(12))
        dst = "?"
        for level, kind, value in anc:
            if level == socket.IPPROTO_IP and kind == _IP_PKTINFO and len(value) >= 12:
                dst = socket.inet_ntoa(value[8:12])
        return Datagram(data, src, dst)

    def collect(self, duration: float, until=None) -> list[Datagram]:
        """Datagrams that arrive within `duration`; stops early once `until(list)` is
        true."""
        deadline = time.monotonic() + duration
        got: list[Datagram] = []
        while True:
            d = self.recv(deadline - time.monotonic())
            if d is None:
                return got
            got.append(d)
            if until is not None and until(got):
                return got

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self.sock.close()

    cleanup = close


# --------------------------------------------------------------------------- launcher


@dataclasses.dataclass
class Launcher:
    """How to run one build of the gateway inside the gateway namespace.

    `command` returns the argv that starts it with host name `hostname` and working
    directory `workdir`; the returned process must become the gateway (exec), so that
    its PID is the gateway's. `reads_hosts_file` is False for builds whose resolver
    ignores the namespace's hosts file (Wine answers with the interface addresses).
    `slowdown` scales the waits of scenarios that need many loop passes (under Wine a
    pass costs milliseconds: it resolves the host name through Wine's services)."""

    name: str
    program: Path
    reads_hosts_file: bool = True
    ready_timeout: float = 10.0
    env: dict = dataclasses.field(default_factory=dict)
    slowdown: float = 1.0

    def unavailable(self) -> str | None:
        """Why this launcher cannot run here, or None."""
        if not os.access(self.program, os.X_OK):
            return f"gateway program {self.program} is missing (build it first)"
        return None

    def command(self, gw_ns: str, hostname: str, workdir: Path) -> list[str]:
        script = 'hostname "$1" && cd "$2" && exec "$3"'
        return ["ip", "netns", "exec", gw_ns, "unshare", "--uts", "sh", "-c", script,
                "quorvel-launch", hostname, str(workdir), str(self.program)]

    def finish(self, gateway: "Gateway") -> None:
        """Called once the gateway process has ended: the place to end helper
        processes a build needs besides the gateway itself (a wineserver)."""

    # Where a build sees the namespace differently (Wine: tests/e2e/wine.py).

    def start_endpoints(self, topo: "Topology") -> list[str]:
        """The addresses the gateway opens endpoints on at start-up."""
        return topo.listed_addresses() if self.reads_hosts_file else []

    def udp_bound(self, gateway: "Gateway") -> list[tuple[str, int]]:
        """(address, port) of every UDP socket in the gateway namespace."""
        return [(a, p) for a, p, _s in _proc_sockets(gateway.pid, "udp")]

    def socket_error(self, err: int) -> int:
        """The code the gateway prints for the system error `err` (an errno here)."""
        return err


class WineLauncher(Launcher):
    """Quorvel.exe under Wine; the launcher itself is wine.WineLauncher."""

    def unavailable(self) -> str | None:
        return "the Wine launcher is not written yet"


_SANITIZER_ENV = {
    "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=0:halt_on_error=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
}


def launcher_from_spec(spec: str) -> Launcher:
    """`default`, `asan`, `wine`, or a path to a gateway binary."""
    if spec == "default":
        return Launcher("default", REPO_ROOT / "build/default/app/Quorvel")
    if spec == "asan":
        return Launcher("asan", REPO_ROOT / "build/asan/app/Quorvel", ready_timeout=20.0,
                        env=dict(_SANITIZER_ENV))
    if spec == "wine":
        import wine  # tests/e2e/wine.py: prefix, Wine session per gateway, Wine's view

        return wine.launcher()
    path = Path(spec)
    return Launcher(path.name, path if path.is_absolute() else (Path.cwd() / path))


# --------------------------------------------------------------------------- gateway


def _die_with_parent() -> None:
    # A harness killed outright must not leave a broadcasting gateway behind.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _proc_sockets(pid: int, table: str) -> list[tuple[str, int, str]]:
    """(local address, local port, state) of every socket in the namespace of `pid`."""
    out = []
    try:
        lines = Path(f"/proc/{pid}/net/{table}").read_text().splitlines()[1:]
    except OSError:
        return out
    for line in lines:
        fields = line.split()
        addr_hex, port_hex = fields[1].split(":")
        addr = socket.inet_ntoa(struct.pack("<I", int(addr_hex, 16)))
        out.append((addr, int(port_hex, 16), fields[3]))
    return out


_SANITIZER_MARKS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:")


class Gateway:
    """One running gateway process. Use `Topology.start_gateway` to make one."""

    def __init__(self, topo: "Topology", launcher: Launcher, base: Path):
        self.topo = topo
        self.launcher = launcher
        self.base = base
        self.workdir = base / "work"
        self.workdir.mkdir()
        self.stdout_path = base / "stdout"
        self.stderr_path = base / "stderr"
        env = dict(os.environ)
        env.update(launcher.env)
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(
                launcher.command(topo.gw, topo.hostname, self.workdir),
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                preexec_fn=_die_with_parent, close_fds=True)
        self.pid = self.proc.pid
        _live.append(self)

    # -- state

    def running(self) -> bool:
        return self.proc.poll() is None

    def wait_exit(self, timeout: float) -> int | None:
        """Exit status once the process ends within the time-out, else None."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stdout(self) -> bytes:
        return self.stdout_path.read_bytes()

    def stderr(self) -> bytes:
        return self.stderr_path.read_bytes()

    def sanitizer_report(self) -> bytes | None:
        err = self.stderr()
        return err if any(m in err for m in _SANITIZER_MARKS) else None

    def listening(self) -> bool:
        return any(port == GATEWAY_PORT and state == "0A"
                   for _a, port, state in _proc_sockets(self.pid, "tcp"))

    def udp_bound(self) -> list[tuple[str, int]]:
        """(address, port) of every UDP socket in the gateway namespace."""
        return self.launcher.udp_bound(self)

    def wait_ready(self, endpoints: list[str] = (), timeout: float | None = None) -> None:
        """Wait until the listener is up and a UDP socket is bound to each address in
        `endpoints` (start-up makes them before the loop runs), reading the namespace's
        socket tables so that no probe connection disturbs the gateway's peer list."""
        deadline = time.monotonic() + (timeout or self.launcher.ready_timeout)
        while time.monotonic() < deadline:
            if not self.running():
                raise AssertionError(f"gateway exited during start-up with status "
                                     f"{self.proc.returncode}; stderr: {self.stderr()[-2000:]!r}")
            bound = {a for a, _p in self.udp_bound()}
            if self.listening() and all(e in bound for e in endpoints):
                return
            time.sleep(0.02)
        raise AssertionError(f"gateway not ready within the time-out (listening="
                             f"{self.listening()}, udp={self.udp_bound()})")

    def poke(self, timeout: float = 3.0) -> None:
        """Make sure the gateway has run a whole loop pass, and so an interface refresh,
        after this call began: a loopback client registers with role 0 and waits for the
        answer (a client accepted in one pass is read in a later one), then leaves."""
        c = self.topo.tcp_client(GATEWAY, "127.0.0.1")
        try:
            c.send(25, b"0")
            got = c.recv_frame(timeout)
            if got[2:4] != b"\x00\x18":
                raise AssertionError(f"poke: unexpected answer {got!r}")
        finally:
            c.close()

    def cpu_seconds(self) -> float:
        """User plus system CPU time used so far by the gateway process."""
        fields = Path(f"/proc/{self.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    # -- end

    def stop(self) -> int | None:
        """End the process (SIGTERM, then SIGKILL), by PID. Returns its status."""
        if self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                self.proc.send_signal(signal.SIGTERM)
            if self.wait_exit(5) is None:
                with contextlib.suppress(ProcessLookupError):
                    self.proc.kill()
                self.wait_exit(5)
        return self.proc.returncode

    def cleanup(self) -> None:
        self.stop()
        self.launcher.finish(self)
        shutil.rmtree(self.base, ignore_errors=True)
        with contextlib.suppress(ValueError):
            _live.remove(self)


# --------------------------------------------------------------------------- topology


class Topology:
    """A gateway namespace and a device namespace joined by two veth links.

    Link 1: gw0 GW1/24 <-> dev0 DEV1/24.  Link 2: gw1 GW2/24 <-> dev1 DEV2/24.
    The gateway namespace has its own /etc/netns hosts file (host name `hostname`,
    addresses `hosts` in that order), host.conf "multi on" and an nsswitch.conf that
    resolves host names from that file only."""

    def __init__(self, hostname: str = HOSTNAME):
        n = next(_counter)
        stem = f"{NS_PREFIX}{os.getpid()}x{n}"
        self.gw = stem + "g"
        self.dev = stem + "d"
        self.hostname = hostname
        self.etc = ETC_NETNS / self.gw
        self.gateways: list[Gateway] = []
        self._sockets: list = []  # Clients and UdpSockets, closed by destroy()
        self._made: list[str] = []

    @classmethod
    def create(cls, hosts=(GW1, GW2), hostname: str = HOSTNAME) -> "Topology":
        t = cls(hostname)
        _live.append(t)
        try:
            t._build(hosts)
        except BaseException:
            t.destroy()
            raise
        return t

    def _build(self, hosts) -> None:
        for ns in (self.gw, self.dev):
            for attempt in range(3):  # parallel first-time `ip netns add` can race
                r = _run("ip", "netns", "add", ns, check=False)
                if r.returncode == 0:
                    break
                time.sleep(0.1 * (attempt + 1))
            else:
                raise HarnessError(f"ip netns add {ns}: {r.stderr.strip()}")
            self._made.append(ns)
        # The veth pairs are created straight inside the namespaces: their names never
        # exist in the host's namespace.
        _ip_batch(self.gw, [
            "link set lo up",
            f"link add gw0 type veth peer name dev0 netns {self.dev}",
            f"link add gw1 type veth peer name dev1 netns {self.dev}",
            f"addr add {GW1}/24 dev gw0", f"addr add {GW2}/24 dev gw1",
            "link set gw0 up", "link set gw1 up",
        ])
        _ip_batch(self.dev, [
            "link set lo up",
            f"addr add {DEV1}/24 dev dev0", f"addr add {DEV2}/24 dev dev1",
            "link set dev0 up", "link set dev1 up",
        ])
        # Datagrams from gateway addresses outside the device's subnets (added by tests)
        # must not be dropped by reverse-path filtering.
        with in_netns(self.dev):
            for conf in ("all", "default", "dev0", "dev1"):
                Path(f"/proc/sys/net/ipv4/conf/{conf}/rp_filter").write_text("0\n")
        self.etc.mkdir(parents=True, exist_ok=True)
        (self.etc / "host.conf").write_text("multi on\n")
        # Names resolve from the hosts file alone: a name that is not listed fails at
        # once instead of asking the host's DNS servers.
        (self.etc / "nsswitch.conf").write_text(
            "passwd: files\ngroup: files\nshadow: files\nhosts: files\n")
        (self.etc / "hosts").write_bytes(self._hosts_bytes(hosts))

    # -- addresses and the hosts file

    def _hosts_bytes(self, addresses) -> bytes:
        text = "127.0.0.1 localhost\n" + "".join(f"{a} {self.hostname}\n" for a in addresses)
        pad = _HOSTS_SIZE - len(text) - 2
        if pad < 0:
            raise HarnessError("too many addresses for the hosts file")
        return (text + "#" + " " * pad + "\n").encode()

    def write_hosts(self, addresses) -> None:
        """List `addresses` for the gateway's host name, in this order. The file is
        rewritten in place (same inode, which the gateway's bind mount shows) with one
        write at offset 0, and every version has the same size, so a resolver reading
        concurrently never sees a truncated file."""
        data = self._hosts_bytes(addresses)
        fd = os.open(self.etc / "hosts", os.O_WRONLY)
        try:
            if os.pwrite(fd, data, 0) != len(data):
                raise HarnessError("short write to the hosts file")
        finally:
            os.close(fd)

    def add_address(self, side: str, address: str, link: int = 1, prefix: int = 24) -> None:
        """Add an IPv4 address to the link-`link` interface of one side."""
        ns, dev = (self.gw, f"gw{link - 1}") if side == GATEWAY else (self.dev, f"dev{link - 1}")
        _run("ip", "-n", ns, "addr", "add", f"{address}/{prefix}", "dev", dev)

    def ns(self, side: str) -> str:
        return self.gw if side == GATEWAY else self.dev

    def command(self, side: str, *argv: str) -> list[str]:
        """argv that runs a program inside one side's namespace (for example a
        command-line client in the device namespace)."""
        return ["ip", "netns", "exec", self.ns(side), *argv]

    # -- sockets

    def socket(self, side: str, kind: int = socket.SOCK_STREAM) -> socket.socket:
        """A new IPv4 socket that lives in the given side's namespace."""
        with in_netns(self.ns(side)):
            return socket.socket(socket.AF_INET, kind)

    def tcp_client(self, side: str = DEVICE, host: str = GW1, source: tuple | None = None,
                   port: int = GATEWAY_PORT, timeout: float = 3.0,
                   options: tuple = ()) -> Client:
        """Connect to the gateway from `side`, optionally from a fixed source (address,
        port) so that the peer name is known in advance. `options` are (level, name,
        value) socket options set before connecting (a small SO_RCVBUF, say)."""
        s = self.socket(side)
        try:
            for level, name, value in options:
                s.setsockopt(level, name, value)
            if source is not None:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind(source)
            s.settimeout(timeout)
            s.connect((host, port))
            s.settimeout(None)
        except BaseException:
            s.close()
            raise
        c = Client(s)
        self._sockets.append(c)
        return c

    def udp_socket(self, side: str = DEVICE, bind: tuple = ("0.0.0.0", ANNOUNCE_PORT)) -> UdpSocket:
        s = self.socket(side, socket.SOCK_DGRAM)
        try:
            s.bind(bind)
        except BaseException:
            s.close()
            raise
        u = UdpSocket(s)
        self._sockets.append(u)
        return u

    # -- gateway

    def start_gateway(self, launcher: Launcher, wait: bool = True,
                      endpoints: list[str] | None = None) -> Gateway:
        """Start the gateway in a fresh temporary working directory. With `wait`, return
        once it listens and has bound a UDP socket to each of `endpoints` (by default
        the addresses of the current hosts file, when the launcher reads it)."""
        base = Path(tempfile.mkdtemp(prefix=f"{NS_PREFIX}-"))
        gw = Gateway(self, launcher, base)
        self.gateways.append(gw)
        if wait:
            if endpoints is None:
                endpoints = launcher.start_endpoints(self)
            gw.wait_ready(endpoints)
        return gw

    def listed_addresses(self) -> list[str]:
        out = []
        for line in (self.etc / "hosts").read_text().splitlines():
            words = line.split()
            if len(words) >= 2 and self.hostname in words[1:]:
                out.append(words[0])
        return out

    # -- end

    def destroy(self) -> None:
        for s in self._sockets:
            s.close()
        self._sockets.clear()
        for gw in self.gateways:
            gw.cleanup()
        self.gateways.clear()
        for ns in self._made:
            _run("ip", "netns", "del", ns, check=False)
        self._made.clear()
        shutil.rmtree(self.etc, ignore_errors=True)
        with contextlib.suppress(ValueError):
            _live.remove(self)

    cleanup = destroy

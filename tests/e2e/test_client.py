"""quorvel-client against the real gateway: file transfers, error answers, time-outs and lost
connections, registration notices, relayed frames and the device search.

The client runs inside the topology's namespaces (`ip netns exec`); from the device namespace
it is a peer on another machine (10.1.2.9), from the gateway namespace on 127.0.0.1 a local one.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

import netns
from netns import DEV1, DEVICE, GATEWAY, GW1

# Every byte value, in an order that puts NUL, blanks, CR and LF at chunk boundaries too.
BINARY = bytes((i * 151 + 7) % 256 for i in range(3 * 1024 + 517))


def client_program(launcher) -> Path:
    """The client of the same build as the gateway under test; the native default build's
    for gateways that come without a native client (the Windows build)."""
    own = launcher.program.parent.parent / "tools" / "quorvel-client"
    fallback = netns.REPO_ROOT / "build/default/tools/quorvel-client"
    for candidate in (own, fallback):
        if os.access(candidate, os.X_OK):
            return candidate
    pytest.fail(f"quorvel-client is missing ({own}); build it first", pytrace=False)


class ClientRunner:
    def __init__(self, topo, program: Path):
        self.topo = topo
        self.program = program
        self._procs = []

    def argv(self, args, side, host):
        return ["ip", "netns", "exec", self.topo.ns(side), str(self.program),
                "--host", host, *args]

    def run(self, *args, side=DEVICE, host=GW1, stdin=b"", timeout=20, cwd=None):
        return subprocess.run(self.argv(args, side, host), input=stdin, capture_output=True,
                              timeout=timeout, cwd=cwd)

    def start(self, *args, side=DEVICE, host=GW1):
        p = subprocess.Popen(self.argv(args, side, host), stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._procs.append(p)
        return p

    def stop_all(self):
        for p in self._procs:
            if p.poll() is None:
                p.kill()
            p.wait(5)
            for stream in (p.stdout, p.stderr):
                stream.close()


@pytest.fixture
def client(topo, launcher):
    runner = ClientRunner(topo, client_program(launcher))
    yield runner
    runner.stop_all()


def read_line(stream, timeout=3.0) -> bytes:
    """One line from a child's pipe, within the time-out (b"" when none came)."""
    deadline = time.monotonic() + timeout
    line = b""
    fd = stream.fileno()
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        byte = os.read(fd, 1)
        if not byte:
            break
        line += byte
    return line


def test_put_then_get_round_trip_of_binary_files(gateway, client, tmp_path):
    for size, remote in ((len(BINARY), b"1\n"), (2048, b"2\n"), (0, b"3\n")):
        data = BINARY[:size]
        src = tmp_path / f"in{size}.bin"
        src.write_bytes(data)
        put = client.run("put", str(src))
        assert (put.returncode, put.stdout, put.stderr) == (0, remote, b"")
        name = remote.decode().strip()
        assert (gateway.workdir / name).read_bytes() == data

        dst = tmp_path / f"out{size}.bin"
        got = client.run("get", name, str(dst))
        assert (got.returncode, got.stdout, got.stderr) == (0, b"", b"")
        assert dst.read_bytes() == data
        assert not Path(str(dst) + ".part").exists()

    # Standard output, and LOCAL defaulting to the remote name in the working directory.
    out = client.run("get", "1", "-")
    assert (out.returncode, out.stdout) == (0, BINARY)
    lockstep = client.run("get", "1", "-", "--window", "1")
    assert (lockstep.returncode, lockstep.stdout) == (0, BINARY)
    assert client.run("get", "1", cwd=tmp_path).returncode == 0
    assert (tmp_path / "1").read_bytes() == BINARY
    # From standard input.
    put = client.run("put", "-", stdin=BINARY[:1500])
    assert (put.returncode, put.stdout) == (0, b"4\n")
    assert (gateway.workdir / "4").read_bytes() == BINARY[:1500]


def test_error_answer_999_goes_to_stderr_with_status_1(gateway, client):
    (gateway.workdir / "7").write_bytes(b"x")
    ok = client.run("delete", "7")
    assert (ok.returncode, ok.stdout, ok.stderr) == (0, b"", b"")
    assert not (gateway.workdir / "7").exists()

    again = client.run("delete", "7")
    assert again.returncode == 1
    assert again.stdout == b""
    assert again.stderr == (b"quorvel-client: delete: the gateway answered 999 to "
                            b"command 197: File not exist.\n")
    # A path is refused for a peer on another machine: the same answer, the file stays.
    (gateway.workdir / "sub").mkdir()
    (gateway.workdir / "sub" / "f").write_bytes(b"x")
    refused = client.run("delete", "sub/f")
    assert refused.returncode == 1 and b"File not exist." in refused.stderr
    assert (gateway.workdir / "sub" / "f").exists()


def test_get_of_a_missing_or_refused_file_times_out_and_leaves_nothing(gateway, client,
                                                                       tmp_path):
    (gateway.workdir / "sub").mkdir()
    (gateway.workdir / "sub" / "f").write_bytes(BINARY[:100])
    for remote in ("nothing", "sub/f", "../work/sub/f"):
        dst = tmp_path / "dst"
        started = time.monotonic()
        r = client.run("get", remote, str(dst), "--timeout", "0.5")
        assert r.returncode == 1, r
        assert time.monotonic() - started < 5
        assert re.fullmatch(
            rb"quorvel-client: get: no answer from the gateway at 10\.1\.2\.3:52554 within "
            rb"0\.5 s: '" + re.escape(remote.encode()) + rb"' is missing or refused .*\n",
            r.stderr), r.stderr
        assert not dst.exists() and not Path(str(dst) + ".part").exists()

    # A client on the gateway's own machine may name a path.
    local = client.run("get", "sub/f", "-", side=GATEWAY, host="127.0.0.1")
    assert (local.returncode, local.stdout) == (0, BINARY[:100])


def test_connection_failures_are_named(topo, gateway, client):
    refused = client.run("delete", "1", "--port", "1")
    assert refused.returncode == 1
    assert refused.stderr == (b"quorvel-client: delete: cannot connect to 10.1.2.3:1: "
                              b"Connection refused\n")

    # The gateway ends a registered connection when another one registers its address.
    first = client.start("register", "2", "02:00:00:00:00:01", "a")
    assert re.fullmatch(rb"10\.1\.2\.9:\d+\n", read_line(first.stdout))
    other = topo.tcp_client()
    other.send(25, b"2 0 02:00:00:00:00:01 b")
    assert first.wait(5) == 1
    assert first.stderr.read() == (b"quorvel-client: register: the gateway at 10.1.2.3:52554 "
                                   b"closed the connection\n")


def test_usage_errors_exit_2_without_connecting(client):
    r = client.run("get")
    assert r.returncode == 2
    assert r.stderr == (b"quorvel-client: get: expected REMOTE [LOCAL]\n"
                        b"Try 'quorvel-client get --help'.\n")
    h = client.run("put", "--help")
    assert h.returncode == 0 and h.stdout.startswith(b"Usage: quorvel-client put LOCAL")


def test_register_prints_its_name_then_the_notices(topo, gateway, client):
    watcher = client.start("register", "3")
    own = read_line(watcher.stdout)
    assert re.fullmatch(rb"10\.1\.2\.9:\d+\n", own)

    device = topo.tcp_client(source=(DEV1, 40007))
    device.send(25, b"2")
    assert device.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40007"
    assert read_line(watcher.stdout) == b"26 10.1.2.9:40007 0\n"
    device.close()
    assert read_line(watcher.stdout) == b"174 10.1.2.9:40007\n"

    # Interrupted like a user would: it ends on the signal, having printed nothing more.
    watcher.send_signal(signal.SIGINT)
    assert watcher.wait(5) != 0
    assert watcher.stdout.read() == b""

    once = client.run("register", "--once", "3")
    assert once.returncode == 0
    assert re.fullmatch(rb"10\.1\.2\.9:\d+\n", once.stdout)


def test_send_and_listen_relay_through_the_gateway(topo, gateway, client):
    peer = topo.tcp_client(source=(DEV1, 40011))
    peer.send(25, b"0")
    assert peer.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40011"

    sent = client.run("send", "300", "10.1.2.9:40011", "hello", "world")
    assert (sent.returncode, sent.stdout, sent.stderr) == (0, b"", b"")
    got = peer.recv_frame()
    assert got[2:4] == b"\x01\x2c"
    assert re.fullmatch(rb"10\.1\.2\.9:\d+ hello world", got[4:])
    assert got[:2] == len(got[4:]).to_bytes(2, "big")

    # --reply prints the answer the target sends back.
    asker = client.start("send", "--reply", "301", "10.1.2.9:40011", "ping")
    question = peer.recv_frame()
    asker_name = question[4:].split(b" ")[0]
    peer.send(302, asker_name + b" pong")
    assert asker.wait(5) == 0
    assert asker.stdout.read() == b"302 10.1.2.9:40011 pong\n"

    listener = client.start("listen", "--count", "2")
    line = read_line(listener.stderr)
    m = re.fullmatch(rb"listening as (10\.1\.2\.9:\d+)\n", line)
    assert m, line
    peer.send(400, m.group(1) + b" a\x00b\\\r\n")
    peer.send(401, m.group(1))
    assert listener.wait(5) == 0
    assert listener.stdout.read() == (b"400 10.1.2.9:40011 a\\x00b\\\\\\r\\n\n"
                                      b"401 10.1.2.9:40011\n")


def test_search_makes_the_gateway_announce_to_the_target(topo, start_gateway, client):
    start_gateway()
    rx = topo.udp_socket()
    r = client.run("search", DEV1)
    assert (r.returncode, r.stderr) == (0, b"")
    # Periodic announcements are broadcast; the search's go to the target from port 12390.
    got = rx.collect(3, until=lambda ds: sum(d.dst == DEV1 for d in ds) >= 2)
    assert [(d.data, d.src) for d in got if d.dst == DEV1] == [
        (b"\x00\x08\x00\x17" b"10.1.2.3", (GW1, 12390)),
        (b"\x00\x0a\x00\x17" b"172.16.0.9", (GW1, 12390)),
    ]


def test_windows_client_under_wine(topo, gateway, tmp_path):
    """quorvel-client.exe from the cross build, run by Wine in the device namespace: binary
    data through standard input and output, an error answer and a refused connection."""
    exe = netns.REPO_ROOT / "build/mingw/tools/quorvel-client.exe"
    if not exe.exists() or shutil.which("wine") is None:
        pytest.skip("no Windows build of quorvel-client, or no Wine")
    import wine  # the e2e Wine helpers; only needed here

    template = exe.parent.parent / "wine-prefix"
    wine.ensure_prefix(template)
    prefix = wine.session_prefix(template)
    try:
        def run(*args, stdin=b""):
            return subprocess.run(["ip", "netns", "exec", topo.dev, "wine", str(exe),
                                   "--host", GW1, *args], input=stdin, capture_output=True,
                                  env=wine.wine_env(prefix), timeout=180)

        put = run("put", "-", stdin=BINARY)
        assert (put.returncode, put.stdout) == (0, b"1\n"), put
        assert (gateway.workdir / "1").read_bytes() == BINARY
        got = run("get", "1", "-")
        assert (got.returncode, got.stdout) == (0, BINARY), got.stderr
        missing = run("delete", "9")
        assert missing.returncode == 1
        assert missing.stderr.startswith(b"quorvel-client: delete: the gateway answered 999 to "
                                         b"command 197: File not exist.")
        refused = run("delete", "1", "--port", "1")
        assert refused.returncode == 1
        assert refused.stderr.startswith(b"quorvel-client: delete: cannot connect to "
                                         b"10.1.2.3:1: "), refused.stderr
    finally:
        wine.end_session(prefix, topo.dev)
        wine.remove_prefix(prefix)

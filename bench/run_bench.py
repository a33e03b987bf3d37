#!/usr/bin/env python3
"""Runs the benchmarks of the gateway and writes docs/BENCHMARKS.md.

Everything that opens a socket runs inside a private network namespace made here, with
loopback as its only interface: the gateway, the echo peers, socat, the tftp server and
client, and the load generator. The namespace, the processes started here (ended by PID)
and the temporary files are removed on every way out.

    sudo bench/run_bench.py --build build/default [--quick]

Setups compared for the relay (frames of code 300, every echoed byte checked):
    direct   load generator -> TCP echo server                     (the floor)
    socat    load generator -> socat TCP-LISTEN,fork -> echo server (a plain TCP forwarder)
    gateway  load generator -> Quorvel -> echo peer, relayed back by name
"""

from __future__ import annotations

import argparse
import atexit
import datetime
import json
import os
import platform
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GATEWAY_PORT = 52554
SOCAT_PORT = 52600
ECHO_PORT = 52601
TFTP_PORT = 52669
HOSTNAME = "zvbench"
SIZES = (64, 1024)
SETUPS = ("direct", "socat", "gateway")
DOWNLOAD_BYTES = 10 * 1024 * 1024
MESH_PEERS = 61
PLOT_NAME = "benchmarks-relay-latency.svg"


def log(text: str) -> None:
    print(f"bench: {text}", file=sys.stderr, flush=True)


# --------------------------------------------------------------------------- cleanup

_cleanups: list = []


def _run_cleanups() -> None:
    while _cleanups:
        fn = _cleanups.pop()
        try:
            fn()
        except Exception as e:  # keep cleaning; report what could not be undone
            print(f"bench: cleanup step failed: {e}", file=sys.stderr)


atexit.register(_run_cleanups)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
signal.signal(signal.SIGINT, lambda *_: sys.exit(130))


class Namespace:
    """A network namespace with only loopback, and a hosts file that resolves the gateway's
    host name to 127.0.0.1 (the gateway learns its local addresses from its host name)."""

    def __init__(self) -> None:
        self.name = f"zvbench{os.getpid()}"
        self.etc = Path("/etc/netns") / self.name
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        _cleanups.append(self.destroy)
        subprocess.run(["ip", "-n", self.name, "link", "set", "lo", "up"], check=True)
        self.etc.mkdir(parents=True, exist_ok=True)
        (self.etc / "hosts").write_text(f"127.0.0.1 localhost\n127.0.0.1 {HOSTNAME}\n")

    def cmd(self, argv: list) -> list:
        return ["ip", "netns", "exec", self.name, *[str(a) for a in argv]]

    def destroy(self) -> None:
        subprocess.run(["ip", "netns", "del", self.name], check=False)
        shutil.rmtree(self.etc, ignore_errors=True)


class Process:
    """A long-running child inside the namespace, ended by its PID."""

    def __init__(self, argv: list, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 name: str = "") -> None:
        self.name = name or Path(str(argv[0])).name
        self.proc = subprocess.Popen(argv, stdin=stdin, stdout=stdout,
                                     stderr=subprocess.PIPE, close_fds=True)
        self.pid = self.proc.pid
        _cleanups.append(self.stop)

    def running(self) -> bool:
        return self.proc.poll() is None

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()

    def read_line(self, timeout: float) -> str:
        fd = self.proc.stdout.fileno()
        line = b""
        deadline = time.monotonic() + timeout
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RuntimeError(f"{self.name}: no output within {timeout} s")
            chunk = os.read(fd, 1)
            if not chunk:
                raise RuntimeError(f"{self.name} ended: {self.proc.stderr.read().decode()}")
            line += chunk
        return line.decode().strip()

    def memory_kib(self) -> dict:
        """VmHWM (peak resident) and VmRSS of the process, in KiB."""
        out = {}
        for line in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                out[key] = int(value.split()[0])
        return out


def wait_listening(proc: Process, port: int, timeout: float = 10.0) -> None:
    """Waits until the process's namespace has a TCP listener on port (read from /proc, so
    that no probe connection disturbs the process)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not proc.running():
            raise RuntimeError(f"{proc.name} ended: {proc.proc.stderr.read().decode()}")
        try:
            lines = Path(f"/proc/{proc.pid}/net/tcp").read_text().splitlines()[1:]
        except OSError:
            lines = []
        for line in lines:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                return
        time.sleep(0.02)
    raise RuntimeError(f"{proc.name}: nothing listens on port {port} after {timeout} s")


# --------------------------------------------------------------------------- runs


class Bench:
    def __init__(self, args) -> None:
        self.args = args
        self.build = (ROOT / args.build).resolve()
        self.tmp = Path(tempfile.mkdtemp(prefix="zvbench-"))
        _cleanups.append(lambda: shutil.rmtree(self.tmp, ignore_errors=True))
        self.ns = Namespace()
        self.commands: list[str] = []
        self.binaries = {
            "gateway": self.build / "app/Quorvel",
            "client": self.build / "tools/quorvel-client",
            "echo": self.build / "bench/bench_echo",
            "load": self.build / "bench/bench_load",
            "bare": self.build / "bench/bench_bare",
            "micro": self.build / "bench/bench_micro",
        }
        for name, path in self.binaries.items():
            if not os.access(path, os.X_OK):
                raise SystemExit(f"bench: {path} is missing; build with -DZV_BUILD_BENCH=ON")

    def note(self, argv: list) -> None:
        """Records a command for the report, with the build directory shortened."""
        text = " ".join(str(a) for a in argv).replace(str(self.build) + "/", "")
        text = text.replace(str(self.tmp) + "/", "$TMP/")
        if text not in self.commands:
            self.commands.append(text)

    def start_gateway(self) -> Process:
        work = self.tmp / "gateway-work"
        work.mkdir(exist_ok=True)
        script = 'hostname "$1" && cd "$2" && exec "$3"'
        argv = ["unshare", "--uts", "sh", "-c", script, "zvbench-gateway", HOSTNAME, work,
                self.binaries["gateway"]]
        self.note(["Quorvel", f"(host name {HOSTNAME} -> 127.0.0.1, working directory $TMP/gateway-work)"])
        gw = Process(self.ns.cmd(argv), name="Quorvel")
        wait_listening(gw, GATEWAY_PORT)
        self.gateway_work = work
        return gw

    def load(self, argv: list, timeout: float = 300, stdin=None) -> dict:
        full = [self.binaries["load"], *argv]
        self.note(full)
        r = subprocess.run(self.ns.cmd(full), capture_output=True, text=True, timeout=timeout,
                           input=stdin)
        if r.returncode != 0:
            raise RuntimeError(f"bench_load {' '.join(map(str, argv))} failed: {r.stderr.strip()}")
        return json.loads(r.stdout)

    # -- relay

    def relay(self) -> dict:
        a = self.args
        gw = self.start_gateway()
        echo = Process(self.ns.cmd([self.binaries["echo"], "listen", ECHO_PORT]), name="bench_echo")
        self.note([self.binaries["echo"], "listen", ECHO_PORT])
        wait_listening(echo, ECHO_PORT)
        socat_argv = ["socat", f"TCP-LISTEN:{SOCAT_PORT},bind=127.0.0.1,fork,reuseaddr",
                      f"TCP:127.0.0.1:{ECHO_PORT}"]
        socat = Process(self.ns.cmd(socat_argv), name="socat")
        self.note(socat_argv)
        wait_listening(socat, SOCAT_PORT)
        peer = Process(self.ns.cmd([self.binaries["echo"], "relay", f"127.0.0.1:{GATEWAY_PORT}"]),
                       stdout=subprocess.PIPE, name="bench_echo relay")
        self.note([self.binaries["echo"], "relay", f"127.0.0.1:{GATEWAY_PORT}"])
        name = peer.read_line(10)
        log(f"echo peer registered as {name}")
        ports = {"direct": ECHO_PORT, "socat": SOCAT_PORT, "gateway": GATEWAY_PORT}

        latency = {(s, z): [] for s in SETUPS for z in SIZES}
        throughput = {(s, z): [] for s in SETUPS for z in SIZES}
        samples = {(s, z): [] for s in SETUPS for z in SIZES}
        for round_no in range(a.rounds):
            log(f"relay round {round_no + 1} of {a.rounds}")
            for size in SIZES:
                for setup in SETUPS:
                    file = self.tmp / f"lat-{setup}-{size}-{round_no}.txt"
                    r = self.load(["latency", "--connect", f"127.0.0.1:{ports[setup]}",
                                   "--name", name, "--size", size, "--count", a.count,
                                   "--warmup", a.count // 10, "--samples", file])
                    latency[(setup, size)].append(r)
                    samples[(setup, size)] += [float(x) for x in file.read_text().split()]
                    r = self.load(["throughput", "--connect", f"127.0.0.1:{ports[setup]}",
                                   "--name", name, "--size", size, "--inflight", 32,
                                   "--seconds", a.seconds])
                    throughput[(setup, size)].append(r)
        for p in (peer, socat, echo, gw):
            p.stop()
        return {"latency": latency, "throughput": throughput, "samples": samples}

    # -- memory

    def memory(self) -> dict:
        bare = Process(self.ns.cmd([self.binaries["bare"]]), stdin=subprocess.PIPE, name="bare")
        self.note([self.binaries["bare"]])
        time.sleep(0.3)
        bare_kib = bare.memory_kib()
        bare.stop()

        gw = self.start_gateway()
        time.sleep(0.3)
        idle = gw.memory_kib()
        full = [self.binaries["load"], "mesh", "--connect", f"127.0.0.1:{GATEWAY_PORT}",
                "--peers", MESH_PEERS, "--size", 1024, "--inflight", 4, "--seconds",
                self.args.seconds]
        self.note(full)
        mesh = Process(self.ns.cmd(full), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                       name="bench_load mesh")
        result = json.loads(mesh.read_line(120))
        loaded = gw.memory_kib()  # every peer still connected
        mesh.proc.stdin.write(b"\n")
        mesh.proc.stdin.flush()
        mesh.proc.wait(10)
        if mesh.proc.returncode != 0:
            raise RuntimeError(f"mesh failed: {mesh.proc.stderr.read().decode()}")
        mesh.stop()
        gw.stop()
        return {"bare": bare_kib, "idle": idle, "loaded": loaded, "mesh": result}

    # -- download

    def download(self) -> dict:
        a = self.args
        gw = self.start_gateway()
        data = os.urandom(DOWNLOAD_BYTES)
        (self.gateway_work / "download.bin").write_bytes(data)
        tftp_root = self.tmp / "tftp-root"
        tftp_root.mkdir()
        os.chmod(self.tmp, 0o755)
        os.chmod(tftp_root, 0o755)
        (tftp_root / "download.bin").write_bytes(data)
        os.chmod(tftp_root / "download.bin", 0o644)
        # No host in --address: the server resolves it with AI_ADDRCONFIG, which finds no
        # address for 127.0.0.1 in a namespace that has nothing but loopback. Loopback is all
        # there is to bind to here anyway.
        tftpd_argv = ["in.tftpd", "-4", "--listen", "--foreground", "--address",
                      f":{TFTP_PORT}", "--secure", tftp_root]
        tftpd = Process(self.ns.cmd(tftpd_argv), name="in.tftpd")
        self.note(tftpd_argv)
        time.sleep(0.3)
        if not tftpd.running():
            raise RuntimeError(f"in.tftpd ended: {tftpd.proc.stderr.read().decode()}")

        out = self.tmp / "downloaded.bin"
        client = [self.binaries["client"], "get", "download.bin", out, "--quiet"]
        runs = {
            "gateway": client,
            "gateway-w1": client + ["--window", "1"],
            "gateway-w8": client + ["--window", "8"],
            "tftp": ["tftp", "-m", "binary", "127.0.0.1", TFTP_PORT, "-c", "get",
                     "download.bin", out],
        }
        times = {k: [] for k in runs}
        for round_no in range(a.download_rounds):
            log(f"download round {round_no + 1} of {a.download_rounds}")
            for kind, argv in runs.items():
                if out.exists():
                    out.unlink()
                self.note(argv)
                start = time.perf_counter()
                r = subprocess.run(self.ns.cmd(argv), capture_output=True, timeout=600)
                elapsed = time.perf_counter() - start
                if r.returncode != 0 or out.read_bytes() != data:
                    raise RuntimeError(f"{kind} download failed or differs: {r.stderr!r}")
                times[kind].append(elapsed)
        tftpd.stop()
        gw.stop()
        return times

    # -- micro

    def micro(self) -> list:
        argv = [self.binaries["micro"], "--benchmark_format=json",
                f"--benchmark_repetitions={self.args.micro_repetitions}",
                "--benchmark_report_aggregates_only=true",
                f"--benchmark_min_time={self.args.micro_min_time}"]
        self.note(argv)
        r = subprocess.run(self.ns.cmd(argv), capture_output=True, text=True, timeout=900)
        if r.returncode != 0:
            raise RuntimeError(f"bench_micro failed: {r.stderr}")
        rows = []
        results = json.loads(r.stdout)["benchmarks"]
        # One repetition reports no aggregates, only the run itself.
        wanted = "median" if any(b.get("run_type") == "aggregate" for b in results) else None
        for b in results:
            if b.get("aggregate_name") == wanted:
                rows.append((b["run_name"], b["cpu_time"], b["real_time"], b["time_unit"]))
        return rows


# --------------------------------------------------------------------------- report


def median(values):
    return statistics.median(values)


def machine() -> list[str]:
    def first(cmd, pattern=None):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout
        except OSError:
            return "?"
        if pattern:
            m = re.search(pattern, out, re.M)
            return m.group(1).strip() if m else "?"
        return out.splitlines()[0].strip() if out else "?"

    os_name = "?"
    for line in Path("/etc/os-release").read_text().splitlines():
        if line.startswith("PRETTY_NAME="):
            os_name = line.split("=", 1)[1].strip('"')
    mem_kib = int(re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text()).group(1))
    cpu = first(["lscpu"], r"^Model name:(.*)$")
    socat = first(["socat", "-V"], r"^socat version (\S+)")
    tftp = first(["in.tftpd", "-V"], r"^tftp-hpa ([^\s,]+)")
    return [
        f"- CPU: {cpu}, {os.cpu_count()} logical cores, "
        f"{mem_kib / 1024 / 1024:.1f} GiB memory",
        f"- System: {os_name}, Linux {platform.release()}",
        f"- Compiler: {first(['c++', '--version'])}",
        f"- socat {socat}; tftp-hpa {tftp}",
    ]


def write_plot(samples: dict, tmp: Path, out: Path) -> None:
    """A distribution plot (cumulative fraction over round-trip time) per frame size."""
    files = {}
    for (setup, size), values in samples.items():
        values = sorted(values)
        n = len(values)
        points = 400
        path = tmp / f"cdf-{setup}-{size}.dat"
        with open(path, "w") as f:
            for i in range(points + 1):
                q = min(n - 1, int(i * (n - 1) / points))
                f.write(f"{values[q]:.3f} {q / (n - 1):.5f}\n")
        files[(setup, size)] = path
    titles = {"direct": "direct TCP echo", "socat": "socat forwarder", "gateway": "Quorvel relay"}
    script = [
        "set encoding utf8",
        "set terminal svg size 960,420 dynamic font 'sans,11'",
        f"set output '{out}'",
        "set multiplot layout 1,2 title 'Relay round trip, one frame in flight (cumulative)'",
        "set grid",
        "set logscale x",
        "set xlabel 'round trip (µs)'",
        "set ylabel 'fraction of round trips'",
        "set key bottom right",
        "set yrange [0:1]",
    ]
    for size in SIZES:
        script.append(f"set title '{size}-byte frames'")
        plots = [f"'{files[(s, size)]}' using 1:2 with lines lw 2 title '{titles[s]}'"
                 for s in SETUPS]
        script.append("plot " + ", ".join(plots))
    script.append("unset multiplot")
    subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True, timeout=60)


def verdict(ok: bool) -> str:
    return "met" if ok else "**missed**"


def report(bench: Bench, relay: dict, memory: dict, download: dict, micro: list,
           started: str, load_before: str) -> str:
    a = bench.args
    lat, thr = relay["latency"], relay["throughput"]
    p50 = {k: median([r["p50_us"] for r in v]) for k, v in lat.items()}
    p99 = {k: median([r["p99_us"] for r in v]) for k, v in lat.items()}
    fps = {k: median([r["frames_per_s"] for r in v]) for k, v in thr.items()}
    mib = {k: median([r["mib_per_s"] for r in v]) for k, v in thr.items()}
    dl = {k: median(v) for k, v in download.items()}
    dl_rate = {k: DOWNLOAD_BYTES / 1048576 / v for k, v in dl.items()}
    loaded_mib = memory["loaded"]["VmHWM"] / 1024

    goals = []
    for size in SIZES:
        ratio = p50[("gateway", size)] / p50[("socat", size)]
        goals.append((f"Relay round trip p50, {size}-byte frames: gateway ≤ 1.0 × socat",
                      f"{ratio:.2f} ×", verdict(ratio <= 1.0)))
    for size in SIZES:
        ratio = fps[("gateway", size)] / fps[("socat", size)]
        goals.append((f"Relay throughput, 32 in flight, {size}-byte frames: gateway ≥ 1.0 × socat",
                      f"{ratio:.2f} ×", verdict(ratio >= 1.0)))
    ratio = dl_rate["gateway"] / dl_rate["tftp"]
    goals.append(("File download, 10 MiB: gateway ≥ 2.0 × tftp-hpa (512-byte blocks)",
                  f"{ratio:.2f} ×", verdict(ratio >= 2.0)))
    goals.append((f"Gateway peak resident memory, {MESH_PEERS} peers relaying: ≤ 2.5 MiB",
                  f"{loaded_mib:.2f} MiB", verdict(loaded_mib <= 2.5)))

    L = []
    L.append("# Benchmarks")
    L.append("")
    L.append("Written by `make bench` (bench/run_bench.py); do not edit by hand. Figures are "
             "medians over repeated runs taken in one session; ratios compare figures of "
             "the same session.")
    L.append("")
    L.append("## Goals")
    L.append("")
    L.append("| Goal | Result | |")
    L.append("|---|---|---|")
    for g in goals:
        L.append(f"| {g[0]} | {g[1]} | {g[2]} |")
    L.append("")
    L.append("## Machine")
    L.append("")
    L += machine()
    L.append(f"- Run: {started}, git {git_revision()}, build `{a.build}` "
             f"({cmake_build_type(bench.build)}); load average before the run: {load_before}")
    L.append("- Every process ran in a private network namespace whose only interface is "
             "loopback; the machine was shared with other work, so the figures carry its noise.")
    L.append("")
    L.append("## Relay")
    L.append("")
    L.append(f"Round trip with one frame in flight ({a.count} round trips per run after "
             f"{a.count // 10} of warm-up), and throughput with 32 frames in flight "
             f"({a.seconds} s per run); {a.rounds} runs of each, medians of the per-run "
             "figures. Frames carry code 300; every echoed byte is compared with what was "
             "sent.")
    L.append("")
    L.append("| Frame | Setup | p50 (µs) | p99 (µs) | Throughput (frames/s) | (MiB/s) | "
             "p50 vs socat | Throughput vs socat |")
    L.append("|---|---|---:|---:|---:|---:|---:|---:|")
    for size in SIZES:
        for setup in SETUPS:
            k = (setup, size)
            s = (("socat", size))
            L.append(f"| {size} B | {setup} | {p50[k]:.1f} | {p99[k]:.1f} | {fps[k]:,.0f} | "
                     f"{mib[k]:.1f} | {p50[k] / p50[s]:.2f} × | {fps[k] / fps[s]:.2f} × |")
    L.append("")
    L.append(f"![Relay round-trip distribution]({PLOT_NAME})")
    L.append("")
    L.append("## File download")
    L.append("")
    L.append(f"A 10 MiB file of random bytes, {a.download_rounds} downloads each, timed "
             "from process start to exit and checked byte for byte: `quorvel-client get` "
             "(one request per 1024-byte chunk; by default 4 requests outstanding, which the "
             "stateless chunk command allows; `--window 1` waits for each answer) against "
             "the tftp-hpa client and server (512-byte blocks, one per acknowledgement). The "
             "goal is judged on the client's default.")
    L.append("")
    L.append("| Client | Median time (s) | MiB/s | vs tftp-hpa |")
    L.append("|---|---:|---:|---:|")
    for kind, label in (("gateway", "quorvel-client get (default, window 4)"),
                        ("gateway-w1", "quorvel-client get --window 1"),
                        ("gateway-w8", "quorvel-client get --window 8"),
                        ("tftp", "tftp-hpa")):
        L.append(f"| {label} | {dl[kind]:.3f} | {dl_rate[kind]:.2f} | "
                 f"{dl_rate[kind] / dl_rate['tftp']:.2f} × |")
    L.append("")
    L.append("## Memory")
    L.append("")
    mesh = memory["mesh"]
    L.append(f"Peak resident memory (VmHWM) of the gateway while {MESH_PEERS} peers are "
             f"connected and relaying 1024-byte frames to each other (pairs plus one peer "
             f"relaying to itself, 4 frames in flight per sender; {mesh['frames']:,} frames "
             f"in {mesh['seconds']:.1f} s), read while every peer was still connected.")
    L.append("")
    L.append("| Process | VmHWM (KiB) | VmRSS (KiB) |")
    L.append("|---|---:|---:|")
    for key, label in (("bare", "bare C++ program (bench_bare)"),
                       ("idle", "Quorvel, just started"),
                       ("loaded", f"Quorvel, {MESH_PEERS} peers relaying")):
        L.append(f"| {label} | {memory[key]['VmHWM']} | {memory[key]['VmRSS']} |")
    L.append("")
    L.append("## Micro-benchmarks")
    L.append("")
    L.append(f"Google Benchmark, median of {a.micro_repetitions} repetitions (CPU time; the "
             "wall time differs when the machine is busy). Connections are real records "
             "whose transport swallows what is written; 61 peers are listed.")
    L.append("")
    L.append("| Benchmark | CPU time | Wall time |")
    L.append("|---|---:|---:|")
    for name, cpu, real, unit in micro:
        L.append(f"| `{name}` | {cpu:.1f} {unit} | {real:.1f} {unit} |")
    L.append("")
    notes = ROOT / "bench" / "analysis.md"
    if notes.exists():
        L.append(notes.read_text().rstrip())
        L.append("")
    L.append("## Commands")
    L.append("")
    L.append(f"Each ran as `ip netns exec zvbench<pid> COMMAND`; the gateway in addition "
             f"under `unshare --uts` with host name `{HOSTNAME}`. Paths are relative to the "
             "build directory.")
    L.append("")
    L.append("```")
    L += bench.commands
    L.append("```")
    L.append("")
    return "\n".join(L)


def git_revision() -> str:
    r = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                       capture_output=True, text=True)
    return r.stdout.strip() or "?"


def cmake_build_type(build: Path) -> str:
    try:
        m = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", (build / "CMakeCache.txt").read_text(), re.M)
        return m.group(1) if m else "?"
    except OSError:
        return "?"


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default="build/default")
    p.add_argument("--out", default="docs/BENCHMARKS.md")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--count", type=int, default=20000)
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--download-rounds", type=int, default=5)
    p.add_argument("--micro-repetitions", type=int, default=5)
    p.add_argument("--micro-min-time", type=float, default=0.2)
    p.add_argument("--quick", action="store_true", help="short runs, for trying the script")
    args = p.parse_args()
    if args.quick:
        args.rounds, args.count, args.seconds = 1, 2000, 0.5
        args.download_rounds, args.micro_repetitions, args.micro_min_time = 1, 1, 0.02
    if os.geteuid() != 0:
        raise SystemExit("bench: needs root to create the network namespace")

    started = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    load_before = " ".join(Path("/proc/loadavg").read_text().split()[:3])
    bench = Bench(args)
    log(f"namespace {bench.ns.name}; relay")
    relay = bench.relay()
    log("memory")
    memory = bench.memory()
    log("download")
    download = bench.download()
    log("micro-benchmarks")
    micro = bench.micro()

    out = (ROOT / args.out).resolve()
    out.parent.mkdir(parents=True, exist_ok=True)
    write_plot(relay["samples"], bench.tmp, out.parent / PLOT_NAME)
    out.write_text(report(bench, relay, memory, download, micro, started, load_before))
    log(f"wrote {out} and {out.parent / PLOT_NAME}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

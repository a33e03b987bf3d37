"""Fixtures for the wire-level suite.

`--gateway` (or ZV_GATEWAY) picks the build under test: default, asan, wine, a path to a
binary, or a comma-separated list of them, which runs every gateway test once per build.

    topo            a fresh Topology (two namespaces, two links), destroyed afterwards
    start_gateway   factory: start_gateway(hosts=None, wait=True) -> Gateway in `topo`
    gateway         a gateway started on the default hosts list (GW1, GW2)
    launcher        the Launcher of the build under test

A test fails if its gateway left a sanitizer report on stderr, or ended by itself while
the test did not say it would (`gateway.expect_exit = True`).
"""

import os
import signal
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import netns  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--gateway", default=os.environ.get("ZV_GATEWAY", "default"),
                     help="gateway build(s) to test: default, asan, wine or a path; "
                          "comma-separated for several (env ZV_GATEWAY)")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits for the 10-second announcement period")
    config.addinivalue_line("markers", "hosts_file: drives addresses through the hosts file")
    if os.geteuid() != 0:
        raise pytest.UsageError("the wire tests create network namespaces and need root")
    # A terminated run still removes its namespaces: turn SIGTERM into an exit that
    # runs the finalizers and the atexit hook.
    if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    netns.sweep_stale_namespaces()


def pytest_generate_tests(metafunc):
    if "launcher" in metafunc.fixturenames:
        specs = [s.strip() for s in metafunc.config.getoption("gateway").split(",") if s.strip()]
        metafunc.parametrize("launcher", specs, indirect=True, scope="session")


@pytest.fixture(scope="session")
def launcher(request):
    lau = netns.launcher_from_spec(request.param)
    reason = lau.unavailable()
    if reason:
        if isinstance(lau, netns.WineLauncher):
            pytest.skip(reason)
        pytest.fail(reason, pytrace=False)
    return lau


@pytest.fixture
def topo():
    t = netns.Topology.create()
    yield t
    t.destroy()


@pytest.fixture
def start_gateway(request, topo, launcher):
    started = []

    def start(hosts=None, wait=True):
        if request.node.get_closest_marker("hosts_file") and not launcher.reads_hosts_file:
            pytest.skip(f"{launcher.name} does not resolve through the hosts file")
        if hosts is not None:
            topo.write_hosts(hosts)
        gw = topo.start_gateway(launcher, wait=wait)
        gw.expect_exit = False
        started.append(gw)
        return gw

    yield start

    problems = []
    for gw in started:
        if not gw.expect_exit and not gw.running():
            problems.append(f"gateway ended by itself with status {gw.proc.returncode}; "
                            f"stderr: {gw.stderr()[-3000:]!r}")
        gw.stop()
        report = gw.sanitizer_report()
        if report:
            problems.append(f"sanitizer report:\n{report[-6000:].decode(errors='replace')}")
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def gateway(start_gateway):
    return start_gateway()

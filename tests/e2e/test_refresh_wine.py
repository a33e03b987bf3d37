"""The interface refresh of the Windows build under Wine, driven through what Wine sees.

Wine answers the local host name with one address per interface that has a route
(interfaces with a default route first, then by route metric), not from the hosts file.
So here address changes are made on the links of the gateway namespace: a new veth link
with its own address and route metric, or an address taken off a link. The scenarios and
the expected bytes are those of test_refresh.py; the Linux build runs that file instead.

The Wine launcher gives link 1 metric 10 and link 2 metric 20: start-up sees 10.1.2.3
(slot 0), then 172.16.0.9 (slot 1)."""

import subprocess

import pytest

from netns import DEV1, GW1, GW2
from refresh_checks import THREE_ADDRESS_SEARCH, first_by_source, search_datagrams

NEW, NEW_DEV = "192.168.1.4", "192.168.1.9"
BROADCAST = "255.255.255.255"


@pytest.fixture(autouse=True)
def only_without_hosts_file(launcher):
    if launcher.reads_hosts_file:
        pytest.skip(f"{launcher.name} resolves through the hosts file: test_refresh.py")


def ip_batch(ns, commands):
    r = subprocess.run(["ip", "-n", ns, "-batch", "-"], input="\n".join(commands) + "\n",
                       capture_output=True, text=True, timeout=10)
    assert r.returncode == 0, r.stderr


def add_link(topo, metric):
    """A third link, gw2 NEW/24 <-> dev2 NEW_DEV/24, whose route has `metric`. The
    address comes without its route and the route follows with the metric, so Wine never
    lists the interface at another place."""
    ip_batch(topo.gw, [f"link add gw2 type veth peer name dev2 netns {topo.dev}",
                       f"addr add {NEW}/24 dev gw2 noprefixroute", "link set gw2 up",
                       f"route add 192.168.1.0/24 dev gw2 proto kernel scope link "
                       f"src {NEW} metric {metric}"])
    ip_batch(topo.dev, [f"addr add {NEW_DEV}/24 dev dev2", "link set dev2 up"])


def by_port(datagrams):
    out = {}
    for d in datagrams:
        out.setdefault(d.src[1], d)
    return out


def announcements(rx, ports, timeout=14):
    """The first announcement from each endpoint port in `ports`."""
    got = by_port(rx.collect(timeout, until=lambda g: set(by_port(g)) >= set(ports)))
    assert set(got) >= set(ports), got
    return {port: got[port] for port in ports}


def endpoint_ports(gw, addresses):
    bound = dict(gw.udp_bound())
    assert set(addresses) <= set(bound), bound
    return [bound[a] for a in addresses]


@pytest.fixture
def started(topo, start_gateway):
    rx = topo.udp_socket()
    gw = start_gateway()
    return gw, rx


@pytest.mark.slow
def test_new_interface_at_the_head_gets_an_endpoint_and_slots_shift(topo, started):
    gw, rx = started
    r3 = topo.tcp_client(source=(DEV1, 40071))
    r3.send(25, b"3")
    assert r3.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40071"
    r3.send(22, b"10.1.2.9")
    assert len(rx.collect(3, until=lambda g: len(g) >= 2)) == 2

    add_link(topo, metric=5)
    gw.poke()
    p1, p2, pn = endpoint_ports(gw, [GW1, GW2, NEW])
    # The new endpoint cleared the pending search.
    d = topo.tcp_client(source=(DEV1, 40072))
    d.send(25, b"2 0 02:00:00:00:00:72 10.1.2.9")
    assert d.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40072"
    assert r3.recv_frame() == b"\x00\x10\x00\x1a" b"10.1.2.9:40072 0"

    got = announcements(rx, [p1, p2, pn])
    assert (got[pn].data, got[pn].src[0]) == (b"\x00\x0b\x00\x17" b"192.168.1.4", NEW)
    assert got[p1].data == b"\x00\x0b\x00\x17" b"192.168.1.4"  # slot 0 now holds NEW
    assert got[p2].data == b"\x00\x08\x00\x17" b"10.1.2.3"  # slot 1 now holds GW1
    assert {x.dst for x in got.values()} == {BROADCAST}
    assert pn not in (12390, p1, p2)


@pytest.mark.slow
def test_new_interface_after_one_with_an_endpoint_gets_none(topo, started):
    gw, rx = started
    add_link(topo, metric=30)
    gw.poke()
    # The gateway does see the new interface: the search sends from all three addresses.
    assert search_datagrams(topo, rx) == THREE_ADDRESS_SEARCH
    # A whole announcement period later: still only the two first endpoints.
    later = rx.collect(11.5)
    assert {d.src[0] for d in later} == {GW1, GW2}, later
    assert NEW not in {a for a, _p in gw.udp_bound()}
    first = {a: d.data for a, d in first_by_source(later).items()}
    assert first == {GW1: b"\x00\x08\x00\x17" b"10.1.2.3",
                     GW2: b"\x00\x0a\x00\x17" b"172.16.0.9"}


@pytest.mark.slow
def test_vanished_address_keeps_its_endpoint(topo, started):
    """GW1 taken off link 1: its endpoint stays, keeps its port and announces what slot 0
    now holds, out of link 1 (the source address is the kernel's choice, as link 1 has
    none left)."""
    gw, rx = started
    p1, p2 = endpoint_ports(gw, [GW1, GW2])
    ip_batch(topo.gw, [f"addr del {GW1}/24 dev gw0"])
    gw.poke()
    got = announcements(rx, [p1, p2])
    assert got[p1].data == b"\x00\x0a\x00\x17" b"172.16.0.9"
    assert got[p2].data == b"\x00\x0a\x00\x17" b"172.16.0.9"
    assert {x.dst for x in got.values()} == {BROADCAST}
    assert {p for _a, p in gw.udp_bound()} >= {p1, p2}


@pytest.mark.slow
def test_unresolvable_name_falls_back_to_loopback_and_endpoints_stay(topo, started):
    """With no interface that has a route, Wine asks the system resolver, which reads the
    namespace's hosts file; with the name gone from it too, the host name no longer
    resolves and the refresh falls back to the loopback entry. The links keep their
    addresses, so the endpoints still announce out of them."""
    gw, rx = started
    p1, p2 = endpoint_ports(gw, [GW1, GW2])
    topo.write_hosts([])
    ip_batch(topo.gw, ["route del 10.1.2.0/24 dev gw0", "route del 172.16.0.0/24 dev gw1"])
    gw.poke()
    got = announcements(rx, [p1, p2])
    assert (got[p1].data, got[p1].src[0]) == (b"\x00\x09\x00\x17" b"127.0.0.1", GW1)
    assert (got[p2].data, got[p2].src[0]) == (b"\x00\x0a\x00\x17" b"172.16.0.9", GW2)
    assert {x.dst for x in got.values()} == {BROADCAST}
    assert "127.0.0.1" in {a for a, _p in gw.udp_bound()}

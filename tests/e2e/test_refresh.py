"""The interface refresh: the hosts file of the gateway namespace is rewritten while the
gateway runs, and the announcements show which endpoints exist and what their slots hold.

Start-up always sees 10.1.2.3 (slot 0) and 172.16.0.9 (slot 1); 192.168.1.4 is a further
address of link 1 that only the rewritten list names."""

import pytest

from netns import DEV1, DEVICE, GATEWAY, GW1, GW2
from refresh_checks import THREE_ADDRESS_SEARCH, first_by_source, search_datagrams

NEW = "192.168.1.4"
BROADCAST = "255.255.255.255"


@pytest.fixture
def started(topo, start_gateway):
    topo.add_address(GATEWAY, NEW, link=1)
    topo.add_address(DEVICE, "192.168.1.9", link=1)
    rx = topo.udp_socket()
    gw = start_gateway()
    return gw, rx


@pytest.mark.slow
@pytest.mark.hosts_file
def test_new_address_at_the_head_gets_an_endpoint_and_slots_shift(topo, started):
    gw, rx = started
    r3 = topo.tcp_client(source=(DEV1, 40071))
    r3.send(25, b"3")
    assert r3.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40071"
    r3.send(22, b"10.1.2.9")
    assert len(rx.collect(3, until=lambda g: len(g) >= 2)) == 2

    topo.write_hosts([NEW, GW1, GW2])
    gw.poke()
    assert NEW in {a for a, _p in gw.udp_bound()}
    # The new endpoint cleared the pending search.
    d = topo.tcp_client(source=(DEV1, 40072))
    d.send(25, b"2 0 02:00:00:00:00:72 10.1.2.9")
    assert d.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40072"
    assert r3.recv_frame() == b"\x00\x10\x00\x1a" b"10.1.2.9:40072 0"

    got = first_by_source(rx.collect(14, until=lambda g: {x.src[0] for x in g} >= {GW1, GW2, NEW}))
    assert set(got) == {GW1, GW2, NEW}
    assert got[NEW].data == b"\x00\x0b\x00\x17" b"192.168.1.4"
    assert got[GW1].data == b"\x00\x0b\x00\x17" b"192.168.1.4"  # slot 0 now holds NEW
    assert got[GW2].data == b"\x00\x08\x00\x17" b"10.1.2.3"  # slot 1 now holds GW1
    assert {x.dst for x in got.values()} == {BROADCAST}
    assert got[NEW].src[1] not in (12390, got[GW1].src[1], got[GW2].src[1])


@pytest.mark.slow
@pytest.mark.hosts_file
def test_new_address_after_one_with_an_endpoint_gets_none(topo, started):
    gw, rx = started
    topo.write_hosts([GW1, GW2, NEW])
    gw.poke()
    # The gateway does read the new list: the search sends from all three addresses.
    assert search_datagrams(topo, rx) == THREE_ADDRESS_SEARCH
    # A whole announcement period after the rewrite: still only the two first endpoints.
    later = rx.collect(11.5)
    assert {d.src[0] for d in later} == {GW1, GW2}, later
    got = first_by_source(later)
    assert got[GW1].data == b"\x00\x08\x00\x17" b"10.1.2.3"
    assert got[GW2].data == b"\x00\x0a\x00\x17" b"172.16.0.9"


@pytest.mark.slow
@pytest.mark.hosts_file
@pytest.mark.parametrize("hosts, gw1_says", [
    # GW1 no longer listed: its endpoint stays and announces what slot 0 now holds.
    ([GW2], b"\x00\x0a\x00\x17" b"172.16.0.9"),
    # The host name no longer resolves: the refresh falls back to the loopback entry.
    ([], b"\x00\x09\x00\x17" b"127.0.0.1"),
], ids=["vanished", "unresolvable"])
def test_unlisted_addresses_keep_their_endpoints(topo, started, hosts, gw1_says):
    gw, rx = started
    topo.write_hosts(hosts)
    gw.poke()
    got = first_by_source(rx.collect(13, until=lambda g: {x.src[0] for x in g} >= {GW1, GW2}))
    assert set(got) == {GW1, GW2}
    assert got[GW1].data == gw1_says
    assert got[GW2].data == b"\x00\x0a\x00\x17" b"172.16.0.9"
    assert {x.dst for x in got.values()} == {BROADCAST}
    bound = {a for a, _p in gw.udp_bound()}
    assert {GW1, GW2} <= bound
    assert ("127.0.0.1" in bound) == (hosts == [])

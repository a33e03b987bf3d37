"""Checks shared by the refresh scenarios of test_refresh.py (hosts file) and
test_refresh_wine.py (links, for the Wine build)."""

from netns import DEV1, GW1

THREE_ADDRESS_SEARCH = [
    (b"\x00\x08\x00\x17" b"10.1.2.3", (GW1, 12390)),
    (b"\x00\x0a\x00\x17" b"172.16.0.9", (GW1, 12390)),
    (b"\x00\x0b\x00\x17" b"192.168.1.4", (GW1, 12390)),
]


def first_by_source(datagrams):
    out = {}
    for d in datagrams:
        out.setdefault(d.src[0], d)
    return out


def search_datagrams(topo, rx, port=40073):
    """Sends a search for 10.1.2.9 from a new client; the (data, source) of the search
    datagrams that reach the device, one per local address the gateway resolves."""
    c = topo.tcp_client(source=(DEV1, port))
    c.send(22, b"10.1.2.9")
    got = rx.collect(3, until=lambda g: len(g) >= 3)
    return [(d.data, d.src) for d in got]

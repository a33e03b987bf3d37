"""Device search (command 22): the datagrams, the pending target and its ageing, and the
console line of a refused send."""

import socket
import time

import pytest

from netns import ANNOUNCE_PORT, DEV1, DEV2, GATEWAY, GW1, GW2


def registered(topo, source, text, reply, host=GW1):
    c = topo.tcp_client(source=source, host=host)
    c.send(25, text)
    assert c.recv_frame() == reply
    return c


def wait_stdout(gw, size, timeout=3.0):
    deadline = time.monotonic() + timeout
    while len(gw.stdout()) < size and time.monotonic() < deadline:
        time.sleep(0.05)
    return gw.stdout()


@pytest.mark.slow
def test_search_datagrams_target_match_and_ageing(topo, gateway):
    rx = topo.udp_socket()
    r3 = registered(topo, (DEV1, 40001), b"3", b"\x00\x0e\x00\x18" b"10.1.2.9:40001")

    # One datagram per local address, in list order, from port 12390 to the target;
    # routing picks the link. No frame answers the search.
    r3.send(22, b"172.16.0.10")
    got = rx.collect(3, until=lambda g: len(g) >= 2)
    assert [(d.data, d.src, d.dst) for d in got] == [
        (b"\x00\x08\x00\x17" b"10.1.2.3", (GW2, ANNOUNCE_PORT), DEV2),
        (b"\x00\x0a\x00\x17" b"172.16.0.9", (GW2, ANNOUNCE_PORT), DEV2),
    ]
    # A newer search replaces the target; only its first word counts.
    r3.send(22, b" \t10.1.2.9 and more words")
    got = rx.collect(3, until=lambda g: len(g) >= 2)
    assert [(d.data, d.src, d.dst) for d in got] == [
        (b"\x00\x08\x00\x17" b"10.1.2.3", (GW1, ANNOUNCE_PORT), DEV1),
        (b"\x00\x0a\x00\x17" b"172.16.0.9", (GW1, ANNOUNCE_PORT), DEV1),
    ]
    # A first word of 20 characters is ignored: nothing sent, the target stays.
    r3.send(22, b"10.1.2.9.12345678901")
    assert rx.collect(0.5) == []
    assert r3.drain(0.2) == b""

    # Registering with the target's text marks the peer; a longer text does not match.
    a = registered(topo, (DEV1, 40003), b"2 0 02:00:00:00:00:0a 10.1.2.9",
                   b"\x00\x0e\x00\x18" b"10.1.2.9:40003")
    assert r3.recv_frame() == b"\x00\x10\x00\x1a" b"10.1.2.9:40003 1"
    b = registered(topo, (DEV1, 40004), b"2 0 02:00:00:00:00:0b 10.1.2.90",
                   b"\x00\x0e\x00\x18" b"10.1.2.9:40004")
    assert r3.recv_frame() == b"\x00\x10\x00\x1a" b"10.1.2.9:40004 0"

    # With two endpoints one announcement period is two ticks: the target is gone.
    rx.collect(13, until=lambda g: {d.src[0] for d in g} >= {GW1, GW2})
    c = registered(topo, (DEV1, 40005), b"2 0 02:00:00:00:00:0c 10.1.2.9",
                   b"\x00\x0e\x00\x18" b"10.1.2.9:40005")
    assert r3.recv_frame() == b"\x00\x10\x00\x1a" b"10.1.2.9:40005 0"

    # The mark stays with the peer: a fresh role-3 registration lists it with 1.
    r3.send(25, b"3")
    assert r3.recv_frames(4) == [
        b"\x00\x0e\x00\x18" b"10.1.2.9:40001",
        b"\x00\x10\x00\x1a" b"10.1.2.9:40003 1",
        b"\x00\x10\x00\x1a" b"10.1.2.9:40004 0",
        b"\x00\x10\x00\x1a" b"10.1.2.9:40005 0",
    ]
    assert gateway.stdout() == b""
    for peer in (r3, a, b, c):
        assert peer.drain(0.1) == b""


def test_search_without_target_prints_the_error_line(topo, gateway, launcher):
    # The code the platform gives for a datagram to 255.255.255.255 from a socket
    # without broadcast permission, in this namespace.
    probe = topo.socket(GATEWAY, socket.SOCK_DGRAM)
    probe.bind(("0.0.0.0", 0))
    with pytest.raises(OSError) as refused:
        probe.sendto(b"x", ("255.255.255.255", ANNOUNCE_PORT))
    probe.close()
    line = b"Specify By Search error = %x\r\n" % launcher.socket_error(refused.value.errno)

    rx = topo.udp_socket()
    c = topo.tcp_client(source=(DEV1, 40001))
    c.send(22, b"")  # no target: three refused attempts for each of the two addresses
    assert wait_stdout(gateway, 6 * len(line)) == line * 6
    c.send(22, b"x")  # one character keeps the (still empty) target
    assert wait_stdout(gateway, 12 * len(line)) == line * 12
    assert rx.collect(0.3) == []
    assert c.drain(0.1) == b""
    c.send(25, b"0")
    assert c.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40001"


def test_search_with_port_12390_taken_sends_nothing_and_goes_on(topo, gateway):
    holder = topo.socket(GATEWAY, socket.SOCK_DGRAM)
    holder.bind(("0.0.0.0", ANNOUNCE_PORT))
    rx = topo.udp_socket()
    c = topo.tcp_client(source=(DEV1, 40001))
    c.send(22, b"10.1.2.9")
    assert rx.collect(0.5) == []
    c.send(25, b"0")
    assert c.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40001"
    assert gateway.stdout() == b""
    holder.close()


def test_an_endpoint_recovers_from_a_frame_longer_than_its_buffer(topo, gateway):
    """A datagram announcing a frame that can never fit fills the endpoint's input; the
    endpoint drops it and goes on running searches that arrive as datagrams."""
    endpoint = next(b for b in gateway.udp_bound() if b[0] == GW1)
    rx = topo.udp_socket()
    sender = topo.udp_socket(bind=(DEV1, 41000))
    sender.send_to(b"\xff\xff\x00\x16" + b"x" * 1500, endpoint)
    sender.send_to(b"y" * 544, endpoint)  # the buffer is full now: 2048 bytes
    time.sleep(0.2)
    sender.send_to(b"\x00\x08\x00\x16" b"10.1.2.9", endpoint)
    search = rx.collect(3, until=lambda got: len(got) >= 2)
    assert [(d.data, d.src, d.dst) for d in search] == [
        (b"\x00\x08\x00\x17" b"10.1.2.3", (GW1, 12390), DEV1),
        (b"\x00\x0a\x00\x17" b"172.16.0.9", (GW1, 12390), DEV1),
    ]

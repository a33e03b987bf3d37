"""Start-up, the announcements on both links, and what datagrams sent to an endpoint do."""

import pytest

from netns import DEV1, DEV2, GATEWAY, GATEWAY_PORT, GW1, GW2, frame


def test_port_taken_ends_the_program_with_status_0(topo, start_gateway):
    holder = topo.socket(GATEWAY)
    holder.bind(("0.0.0.0", GATEWAY_PORT))
    holder.listen(1)
    rx = topo.udp_socket()

    gw = start_gateway(wait=False)
    gw.expect_exit = True
    assert gw.wait_exit(5) == 0
    assert gw.stdout() == b""
    assert rx.collect(0.3) == []
    holder.close()


@pytest.mark.slow
def test_announcements_go_broadcast_then_to_the_last_sender(topo, gateway):
    """Both endpoints broadcast their address; an endpoint that has received a datagram
    announces to that sender only. Datagrams to an endpoint run command 22 like TCP
    does, and every other frame arriving there is dropped."""
    rx = topo.udp_socket()  # device, port 12390
    watcher = topo.tcp_client(source=(DEV1, 40001))
    watcher.send(25, b"3")
    assert watcher.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40001"

    first = rx.collect(13, until=lambda got: len({d.src[0] for d in got}) >= 2)
    by_addr = {d.src[0]: d for d in first}
    assert set(by_addr) == {GW1, GW2}, first
    a1, a2 = by_addr[GW1], by_addr[GW2]
    assert a1.data == b"\x00\x08\x00\x17" b"10.1.2.3"
    assert a2.data == b"\x00\x0a\x00\x17" b"172.16.0.9"
    assert a1.dst == a2.dst == "255.255.255.255"
    assert a1.src[1] != 12390 and a2.src[1] != 12390 and a1.src[1] != a2.src[1]

    # Frames that only a TCP peer may send, arriving as datagrams on the GW1 endpoint.
    sender = topo.udp_socket(bind=(DEV1, 41000))
    for code, payload in [(25, b"3"),
                          (191, b'10.1.2.9:40001 "a" "b" 0'),
                          (202, b"10.1.2.9:40001 a b x"),
                          (300, b"10.1.2.9:40001 relayed?"),
                          (193, b'10.1.2.9:40001 "a" "b" 1 0 0 0 1024')]:
        sender.send_to(frame(code, payload), a1.src)
    # Command 22 as a datagram: one search datagram per local address, from port 12390.
    sender.send_to(b"\x00\x08\x00\x16" b"10.1.2.9", a1.src)

    search = rx.collect(3, until=lambda got: len(got) >= 2)
    assert [(d.data, d.src, d.dst) for d in search] == [
        (b"\x00\x08\x00\x17" b"10.1.2.3", (GW1, 12390), DEV1),
        (b"\x00\x0a\x00\x17" b"172.16.0.9", (GW1, 12390), DEV1),
    ]
    # The datagram search set the target like a TCP one: a role-2 peer naming it matches.
    dev = topo.tcp_client(source=(DEV2, 40002), host=GW2)
    dev.send(25, b"2 0 02:00:00:00:00:01 10.1.2.9")
    assert dev.recv_frame() == b"\x00\x11\x00\x18" b"172.16.0.10:40002"
    assert watcher.recv_frame() == b"\x00\x13\x00\x1a" b"172.16.0.10:40002 1"
    assert watcher.drain(0.5) == b""
    assert sorted(p.name for p in topo.gateways[0].workdir.iterdir()) == []

    # Next period: GW1's endpoint announces to the sender only, GW2's still broadcasts.
    to_sender = sender.recv(12)
    assert to_sender is not None, "no announcement reached the last sender"
    assert (to_sender.data, to_sender.src, to_sender.dst) == (
        b"\x00\x08\x00\x17" b"10.1.2.3", a1.src, DEV1)
    later = rx.collect(3, until=lambda got: any(d.src == a2.src for d in got))
    assert [(d.data, d.src, d.dst) for d in later] == [
        (b"\x00\x0a\x00\x17" b"172.16.0.9", a2.src, "255.255.255.255")]
    assert rx.collect(0.5) == []
    assert sender.collect(0.5) == [], "the sender got something besides the announcement"

"""The file service in the gateway's working directory, and the rule that confines remote
peers to plain names in it while peers on the gateway's own machine may name any file."""

import pytest

from netns import DEV1, GATEWAY


def hdr(code, text):
    """Header for an expected frame whose payload is `text` (used where the payload is
    long or carries test data; short answers are written out in full)."""
    return len(text).to_bytes(2, "big") + code.to_bytes(2, "big") + text


@pytest.fixture
def pair(topo, gateway):
    """Requester A (10.1.2.9:40051) and partner P (10.1.2.9:40052), both remote."""
    a = topo.tcp_client(source=(DEV1, 40051))
    p = topo.tcp_client(source=(DEV1, 40052))
    a.send(25, b"0")
    p.send(25, b"0")
    assert a.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40051"
    assert p.recv_frame() == b"\x00\x0e\x00\x18" b"10.1.2.9:40052"
    return a, p, gateway.workdir


def test_create_write_read_and_delete(pair):
    a, p, work = pair
    a.send(191, b'10.1.2.9:40052 "a b" c 0')
    assert a.recv_frame() == b'\x00\x25\x00\xc1' b'10.1.2.9:40052 "a b" "c" 1 0 0 0 1024'
    assert (work / "1").read_bytes() == b""
    a.send(191, b'10.1.2.9:40052 "a b" c')  # too few arguments: nothing, no number used
    assert a.drain() == b""

    # Two chunks; data may start with blanks and hold NUL bytes.
    a.send(194, b'10.1.2.9:40052 "a b" "c" 1 0 0 0 0 5 ' b"\x00 ab\xff")
    assert a.recv_frames(2) == [
        b'\x00\x24\x00\xc7' b'10.1.2.9:40052 "a b" "c" 0 0 0 0 5 0',
        b'\x00\x25\x00\xc1' b'10.1.2.9:40052 "a b" "c" 1 0 0 5 1024',
    ]
    a.send(194, b'10.1.2.9:40052 "a b" "c" 1 0 0 1 5 3 xyz')
    assert a.recv_frames(2) == [
        b'\x00\x24\x00\xc7' b'10.1.2.9:40052 "a b" "c" 0 0 1 5 3 0',
        b'\x00\x1c\x00\xc0' b'10.1.2.9:40052 "a b" "c" 1 0',
    ]
    assert (work / "1").read_bytes() == b"\x00 ab\xffxyz"

    # Read it whole: the chunk (end flag 1, the file ended) and the report to the partner.
    a.send(193, b'10.1.2.9:40052 "a b" "c" 1 0 0 0 1024')
    chunk = a.recv_frame()
    assert chunk == b'\x00\x2d\x00\xc2' b'10.1.2.9:40052 "a b" "c" 1 0 0 1 0 8 ' b"\x00 ab\xffxyz"
    assert p.recv_frame() == b'\x00\x24\x00\xc7' b'10.1.2.9:40051 "a b" "c" 0 0 1 0 8 1'
    # The chunk frame sent back unchanged is a write of the same bytes at the same place.
    a.send_raw(chunk)
    assert a.recv_frames(2) == [
        b'\x00\x24\x00\xc7' b'10.1.2.9:40052 "a b" "c" 0 0 1 0 8 0',
        b'\x00\x1c\x00\xc0' b'10.1.2.9:40052 "a b" "c" 1 0',
    ]
    assert (work / "1").read_bytes() == b"\x00 ab\xffxyz"
    # Mode 2 read: the report goes to the requester, not to the partner.
    a.send(193, b'10.1.2.9:40052 "a b" "c" 1 2 0 3 2')
    assert a.recv_frames(2) == [
        b'\x00\x27\x00\xc2' b'10.1.2.9:40052 "a b" "c" 1 2 0 0 3 2 ' b"b\xff",
        b'\x00\x24\x00\xc7' b'10.1.2.9:40052 "a b" "c" 2 0 0 3 2 0',
    ]

    # 202: the partner is told, the requester gets a mode-2 request; the file is 2.
    a.send(202, b"10.1.2.9:40052 a b x")
    assert p.recv_frame() == b'\x00\x18\x00\xca' b'10.1.2.9:40051 "a" "b" x'
    assert a.recv_frame() == b'\x00\x32\x00\xc1' b'10.1.2.9:40051 10.1.2.9:40052 "a" "b" 2 2 0 0 1024'
    a.send(194, b'10.1.2.9:40052 "a" "b" 2 2 0 0 0 2 hi')
    assert p.recv_frame() == b'\x00\x22\x00\xc7' b'10.1.2.9:40051 "a" "b" 2 0 0 0 2 1'
    assert a.recv_frame() == b'\x00\x32\x00\xc1' b'10.1.2.9:40051 10.1.2.9:40052 "a" "b" 2 2 0 2 1024'
    a.send(194, b'10.1.2.9:40052 "a" "b" 2 2 0 1 2 1 !')
    assert p.recv_frame() == b'\x00\x22\x00\xc7' b'10.1.2.9:40051 "a" "b" 2 0 1 2 1 1'
    assert a.recv_frame() == b'\x00\x27\x00\xcb' b'10.1.2.9:40051 10.1.2.9:40052 "a" "b" 2'
    assert (work / "2").read_bytes() == b"hi!"

    # Failures answered with 999; nothing is written.
    a.send(194, b'10.1.2.9:40052 "a" "b" nothere 0 0 1 0 1 z')
    assert a.recv_frame() == b'\x00\x27\x03\xe7' b'10.1.2.9:40052 194 "Cannnot open file."'
    a.send(194, b'10.1.2.9:40052 "a" "b" 2 0 0 1 0 9 abc')
    assert a.recv_frame() == b'\x00\x26\x03\xe7' b'10.1.2.9:40052 194 "Write file error."'
    assert (work / "2").read_bytes() == b"hi!"
    a.send(193, b'10.1.2.9:40052 "a" "b" nothere 0 0 0 1024')

    # Delete with 197 and 205.
    a.send(197, b"P 1")
    assert a.recv_frame() == b"\x00\x04\x00\xc6" b"P OK"
    a.send(197, b"P 1")
    assert a.recv_frame() == b'\x00\x17\x03\xe7' b'P 197 "File not exist."'
    a.send(205, b"Q 2")
    assert a.recv_frame() == b"\x00\x04\x00\xce" b"Q OK"
    a.send(205, b"Q 2")
    assert a.recv_frame() == b'\x00\x17\x03\xe7' b'Q 205 "File not exist."'
    a.send(197, b"only")
    assert sorted(f.name for f in work.iterdir()) == []
    # The counter goes on.
    a.send(191, b"P a b 7")
    assert a.recv_frame() == b'\x00\x16\x00\xc1' b'P "a" "b" 3 7 0 0 1024'
    assert a.drain() == b"" and p.drain(0.1) == b""


def test_chunked_read_sizes_and_end_flags(pair):
    a, p, work = pair
    data = bytes(range(256)) * 9 + bytes(196)  # 2500 bytes
    (work / "big").write_bytes(data)
    for offset, size, flag, part in [
        (0, b"1024", b"0", data[:1024]),
        (1024, b"1024", b"0", data[1024:2048]),
        (2048, b"1024", b"1", data[2048:]),  # 452 bytes, the file ended
        (0, b"0", b"0", b""),
        (0, b"4096", b"0", data[:1024]),
        (0, b"-1", b"0", data[:1024]),
        (9999, b"10", b"1", b""),  # past the end
    ]:
        off = b"%d" % offset
        a.send(193, b'nobody "a" "b" big 0 0 ' + off + b" " + size)
        text = b'nobody "a" "b" big 0 0 ' + flag + b" " + off + b" %d " % len(part)
        assert a.recv_frame() == hdr(194, text + part), (offset, size)
    # A negative offset and a missing file send nothing; neither does a report to an
    # absent partner.
    a.send(193, b'nobody "a" "b" big 0 0 -5 10')
    a.send(193, b'nobody "a" "b" missing 0 0 0 10')
    assert a.drain() == b"" and p.drain(0.1) == b""


@pytest.fixture
def outside(tmp_path):
    (tmp_path / "secret.txt").write_bytes(b"secret")
    (tmp_path / "victim.txt").write_bytes(b"victim")
    return tmp_path


REFUSED = ["ABS", "../secret.txt", "sub/inside", "sub\\inside", "C:inside", "c:\\inside", ".", "..", ""]


def test_remote_peers_are_confined_to_plain_names(topo, gateway, outside):
    work = gateway.workdir
    (work / "inside").write_bytes(b"in")
    (work / "sub").mkdir()
    (work / "sub" / "inside").write_bytes(b"deep")
    r = topo.tcp_client(source=(DEV1, 40061))
    for name in REFUSED:
        n = (str(outside / "victim.txt") if name == "ABS" else name).encode()
        q = b'"' + n + b'"'
        r.send(193, b'x "a" "b" ' + q + b" 0 0 0 1024")
        r.send(193, b"x " + q + b' "b" inside 0 1 0 1024')  # name A through the selector
        assert r.drain(0.2) == b"", name
        r.send(194, b'x "a" "b" ' + q + b" 0 0 1 0 3 new")
        assert r.recv_frame() == b'\x00\x1a\x03\xe7' b'x 194 "Cannnot open file."', name
        r.send(197, b"x " + q)
        assert r.recv_frame() == b'\x00\x17\x03\xe7' b'x 197 "File not exist."', name
        r.send(205, b"x " + q)
        assert r.recv_frame() == b'\x00\x17\x03\xe7' b'x 205 "File not exist."', name
    assert (outside / "victim.txt").read_bytes() == b"victim"
    assert (work / "sub" / "inside").read_bytes() == b"deep"
    assert sorted(f.name for f in work.iterdir()) == ["inside", "sub"]
    # A plain name in the working directory is served.
    r.send(193, b'x "a" "b" inside 0 0 0 1024')
    assert r.recv_frame() == b'\x00\x1d\x00\xc2' b'x "a" "b" inside 0 0 1 0 2 in'


def test_loopback_peers_may_name_any_file(topo, gateway, outside):
    (gateway.workdir / "inside").write_bytes(b"in")
    secret = str(outside / "secret.txt").encode()
    victim = str(outside / "victim.txt").encode()
    lo = topo.tcp_client(GATEWAY, "127.0.0.1", source=("127.0.0.1", 40062))

    lo.send(193, b'x "a" "b" ' + secret + b" 0 0 0 1024")
    assert lo.recv_frame() == hdr(194, b'x "a" "b" ' + secret + b" 0 0 1 0 6 secret")
    lo.send(193, b'x "' + secret + b'" "b" inside 0 1 0 1024')
    assert lo.recv_frame() == hdr(194, b'x "' + secret + b'" "b" inside 0 1 1 0 6 secret')
    lo.send(194, b'x "a" "b" ' + victim + b" 0 0 1 0 3 new")
    assert lo.recv_frames(2) == [b'\x00\x15\x00\xc7' b'x "a" "b" 0 0 1 0 3 0',
                                 hdr(192, b'x "a" "b" ' + victim + b" 0")]
    assert (outside / "victim.txt").read_bytes() == b"newtim"
    lo.send(197, b"x " + victim)
    assert lo.recv_frame() == b"\x00\x04\x00\xc6" b"x OK"
    assert not (outside / "victim.txt").exists()
    lo.send(193, b'x "a" "b" ../stdout 0 0 0 1024')  # relative names may leave it too
    assert lo.recv_frame()[2:4] == b"\x00\xc2"

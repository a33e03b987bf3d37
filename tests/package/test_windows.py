"""The Windows packages: the per-user installer, run silently under Wine in a throwaway
prefix, and the plain zip.

Wine runs only inside a fresh `unshare -n`: nothing it starts can reach a network."""

import re
import struct
import subprocess
import zipfile

import pytest

from conftest import DIST, REPO, one_package

import wine  # tests/e2e/wine.py

TEMPLATE = REPO / "build/mingw/wine-prefix"
PROGRAMS = {"Quorvel.exe", "Tindrel.exe"}


def run_wine(prefix, *argv, timeout=120):
    """Run one Windows program to its end, then wait for the whole Wine session (an
    uninstaller finishes in a copy of itself that outlives the first process)."""
    script = 'wine "$@"; status=$?; wineserver -w; exit $status'
    try:
        return subprocess.run(["unshare", "-n", "sh", "-c", script, "wine-run", *argv],
                              env=wine.wine_env(prefix), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        wine.end_session(prefix, None)
        raise


def read_shortcut(data: bytes) -> dict:
    """Target path and string fields (name, working_dir, arguments, ...) of a .lnk file."""
    assert data[:4] == b"L\0\0\0", "not a shell link"
    flags = struct.unpack_from("<I", data, 20)[0]
    pos = 76
    if flags & 0x01:  # item ID list: skipped, the link info holds the path
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    out = {"target": None}
    if flags & 0x02:
        size, _hdr, _flags, _vol, base = struct.unpack_from("<5I", data, pos)
        end = data.index(b"\0", pos + base)
        out["target"] = data[pos + base:end].decode("latin-1")
        pos += size
    wide = 2 if flags & 0x80 else 1
    for bit, name in ((0x04, "name"), (0x08, "relative_path"), (0x10, "working_dir"),
                      (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            raw = data[pos + 2:pos + 2 + count * wide]
            out[name] = raw.decode("utf-16-le" if wide == 2 else "latin-1").rstrip("\0")
            pos += 2 + count * wide
    return out


def registry_key(reg_file, key: str) -> dict | None:
    """Values of one key in a Wine registry file (user.reg), or None if absent."""
    header = "[" + key.replace("\\", "\\\\") + "]"
    values, inside = {}, False
    for line in reg_file.read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith("["):
            if inside:
                break
            inside = line.split("]")[0] + "]" == header
        elif inside and line.startswith('"') and "=" in line:
            name, _, value = line.partition("=")
            if value.startswith('"') and value.endswith('"'):
                value = re.sub(r"\\(.)", r"\1", value[1:-1])
            values[name.strip('"')] = value
    return values if inside or values else None


def zip_programs(archive) -> dict:
    """File name -> bytes of every file in the zip."""
    with zipfile.ZipFile(archive) as z:
        return {name.rsplit("/", 1)[-1]: z.read(name) for name in z.namelist()
                if not name.endswith("/")}


def same_build(data: bytes) -> bytes:
    """The bytes with the PE time stamp and checksum zeroed: each strip of the same
    program writes its own."""
    if not data.startswith(b"MZ"):
        return data
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    out = bytearray(data)
    out[pe + 8:pe + 12] = bytes(4)
    out[pe + 88:pe + 92] = bytes(4)
    return bytes(out)


@pytest.fixture
def prefix():
    wine.ensure_prefix(TEMPLATE)
    p = wine.session_prefix(TEMPLATE)
    yield p
    wine.end_session(p, None)
    wine.remove_prefix(p)


def test_zip_holds_the_64_bit_programs_in_one_folder():
    archive = one_package("Zelvanor-*-win64.zip")
    with zipfile.ZipFile(archive) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
    top = {n.split("/", 1)[0] for n in names}
    assert top == {archive.name.removesuffix(".zip")}, names
    files = zip_programs(archive)
    assert PROGRAMS <= set(files), sorted(files)
    for name, data in files.items():
        if name.endswith(".exe"):
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            assert data[pe:pe + 6] == b"PE\0\0\x64\x86", f"{name} is not an x86-64 program"


def test_installer_installs_per_user_and_uninstalls_cleanly(prefix):
    setup = one_package("Zelvanor-*-setup.exe")
    # Per-user: the installer asks for no elevation.
    assert b'level="asInvoker"' in setup.read_bytes()

    r = run_wine(prefix, str(setup), "/S")
    assert r.returncode == 0, r.stderr[-2000:]

    users = [u for u in (prefix / "drive_c/users").iterdir() if u.name != "Public"]
    assert len(users) == 1, users
    user = users[0]
    home = f"C:\\users\\{user.name}"
    install_dir = user / "AppData/Local/Zelvanor"
    win_install_dir = home + "\\AppData\\Local\\Zelvanor"

    installed = {p.name: p.read_bytes() for p in install_dir.iterdir()}
    assert PROGRAMS | {"Uninstall.exe"} <= set(installed), sorted(installed)
    archives = sorted(DIST.glob("Zelvanor-*-win64.zip"))
    if len(archives) == 1:  # both packages carry the same build
        zipped = {n: same_build(b) for n, b in zip_programs(archives[0]).items()}
        assert {n: same_build(b) for n, b in installed.items() if n != "Uninstall.exe"} \
            == zipped
    assert not list((prefix / "drive_c").glob("Program Files*/Zelvanor")), \
        "a per-user install must not touch Program Files"

    start_menu = user / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Zelvanor"
    link = read_shortcut((start_menu / "Zelvanor.lnk").read_bytes())
    assert link["target"].lower() == (win_install_dir + "\\Tindrel.exe").lower(), link
    assert link["working_dir"].lower() == win_install_dir.lower(), link

    key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zelvanor"
    entry = registry_key(prefix / "user.reg", key)
    assert entry is not None, "no uninstall entry for the current user"
    assert entry["UninstallString"].lower() == f'"{win_install_dir}\\Uninstall.exe"'.lower()
    assert registry_key(prefix / "system.reg", key) is None

    # A file a gateway client left in the folder is the user's and survives the uninstall.
    (install_dir / "notes.txt").write_bytes(b"kept\n")
    r = run_wine(prefix, win_install_dir + "\\Uninstall.exe", "/S")
    assert r.returncode == 0, r.stderr[-2000:]
    assert sorted(p.name for p in install_dir.iterdir()) == ["notes.txt"]
    assert not start_menu.exists()
    assert registry_key(prefix / "user.reg", key) is None

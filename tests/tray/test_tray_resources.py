"""What Tindrel.exe carries besides code: checked in the built file, since the resource
compiler and the icon packer each accept subtly wrong input without complaint (icotool, for
one, silently stores 24 bits per pixel when an image has too many colours)."""

import re
import subprocess

import pytest

from tray_harness import MINGW_BUILD, REPO, require

TINDREL = MINGW_BUILD / "tray" / "Tindrel.exe"

ICON_GROUP = [(53, 57, 8), (48, 48, 32), (32, 32, 32), (24, 24, 32), (20, 20, 32), (16, 16, 32)]


def icon_entries(ico_bytes):
    listing = subprocess.run(["icotool", "-l", "-"], input=ico_bytes, capture_output=True,
                             check=True).stdout.decode()
    return [tuple(int(v) for v in m) for m in
            re.findall(r"--width=(\d+) --height=(\d+) --bit-depth=(\d+)", listing)]


def resource(exe, type_, name, raw=False):
    argv = ["wrestool", "-x", f"--type={type_}", f"--name={name}", str(exe)]
    return subprocess.run(argv + (["--raw"] if raw else []), capture_output=True,
                          check=True).stdout


@pytest.fixture(scope="module")
def exe():
    return require(TINDREL)


def test_committed_icon_has_the_six_images():
    assert icon_entries((REPO / "tray" / "res" / "tindrel.ico").read_bytes()) == ICON_GROUP


def test_icon_group_101_menu_102_version_and_manifest(exe):
    assert icon_entries(resource(exe, 14, 101)) == ICON_GROUP

    rc = subprocess.run(["x86_64-w64-mingw32-windres", "-i", str(exe), "-O", "rc"],
                        capture_output=True, text=True, check=True).stdout
    menu = re.search(r"^102 MENU\n(.*?)^END", rc, re.S | re.M).group(1)
    assert re.findall(r'(POPUP|MENUITEM) "([^"]*)"(?:, (\d+))?', menu) == [
        ("POPUP", " ", ""), ("MENUITEM", "Version Info", "40005"),
        ("MENUITEM", "Exit", "57665")]
    assert "FILEVERSION 1, 0, 0, 0" in rc and "PRODUCTVERSION 1, 0, 0, 0" in rc
    for key, value in [("FileDescription", "Zelvanor"), ("ProductName", "Zelvanor"),
                       ("InternalName", "Tindrel"), ("OriginalFilename", "Tindrel")]:
        assert f'VALUE "{key}", "{value}"' in rc

    manifest = resource(exe, 24, 1, raw=True).decode()
    assert re.search(r"<assembly [^>]*>\s*</assembly>", manifest), manifest


def test_gui_program_with_a_static_runtime(exe):
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], capture_output=True,
                             text=True, check=True).stdout
    assert re.search(r"Subsystem\s+00000002", headers), "not a GUI-subsystem program"
    dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)}
    assert dlls <= {"kernel32.dll", "user32.dll", "shell32.dll", "comctl32.dll", "msvcrt.dll",
                    "gdi32.dll", "advapi32.dll"}, dlls

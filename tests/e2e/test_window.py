"""The splash window on the tests' X display: size and place, what it shows during a
download, how it closes, and that the process outlives it until the update ends."""

import re
import subprocess
import time

import pytest

import servers
from conftest import BUILTIN_HTTP_PORT, STANDIN
from harness import WINE_RUN, Png, close, install_whole, installation, over, start, wine_env

SCREEN = (1280, 1024)  # the Xvfb screen of the tests; Wine's work area without a panel
TRACK = (0xF1, 0xEC, 0xDA, 0xCC)
FILL = (0xF3, 0xCD, 0x76, 0xCC)


def splash_windows(process):
    """The visible windows titled Zelk of that process (never one of an earlier run
    that the X server has not forgotten yet)."""
    out = subprocess.run(["xdotool", "search", "--pid", str(process.pid), "--onlyvisible",
                          "--name", "^Zelk$"], capture_output=True, text=True,
                         env=wine_env()).stdout
    return out.split()


def geometry(window):
    out = subprocess.run(["xdotool", "getwindowgeometry", window], capture_output=True,
                         text=True, env=wine_env()).stdout
    x, y = map(int, re.search(r"Position: (\d+),(\d+)", out).groups())
    w, h = map(int, re.search(r"Geometry: (\d+)x(\d+)", out).groups())
    return x, y, w, h


def wait_for_window(process, timeout=30):
    """The splash window once it has stayed the same for half a second: Wine may
    replace the first X window it makes by one with an alpha channel once the
    window turns out to be layered."""
    deadline = time.monotonic() + timeout
    seen, since = None, 0.0
    while time.monotonic() < deadline:
        found = splash_windows(process)
        current = found[-1] if found else None
        if current != seen:
            seen, since = current, time.monotonic()
        elif current is not None and time.monotonic() - since >= 0.5:
            return current
        assert process.poll() is None, "Zelk ended without showing its window"
        time.sleep(0.05)
    raise AssertionError("no splash window")


def screenshot(path):
    subprocess.run(["import", "-window", "root", str(path)], check=True, env=wine_env())
    return Png.load(path)


@pytest.fixture
def slow_server():
    """The first built-in server, answering the manifest only after a long silence, so
    the window stays up; the second built-in server is down."""
    with servers.FaultServer(port=BUILTIN_HTTP_PORT) as fault:
        fault.route("/updates/release/manifest.json", servers.stall(b"{}" * 50, 10, 6))
        yield fault


@pytest.fixture
def dpi():
    """Sets the system DPI that Wine reports to programs started afterwards."""
    key = r"HKCU\Control Panel\Desktop"

    def set_dpi(value):
        subprocess.run([str(WINE_RUN), "reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD",
                        "/d", str(value), "/f"], check=True, capture_output=True,
                       stdin=subprocess.DEVNULL)

    yield set_dpi
    subprocess.run([str(WINE_RUN), "reg", "delete", key, "/v", "LogPixels", "/f"],
                   capture_output=True, stdin=subprocess.DEVNULL)


@pytest.mark.parametrize("logpixels, side", [(96, 525), (120, 656), (144, 788)])
def test_centred_square_at_every_scale(user_root, slow_server, dpi, logpixels, side):
    dpi(logpixels)
    process = start([])
    try:
        window = wait_for_window(process)
        x, y, w, h = geometry(window)
        assert (w, h) == (side, side)
        assert (x, y) == ((SCREEN[0] - side) // 2, (SCREEN[1] - side) // 2)
    finally:
        process.kill()
        process.wait()


def test_escape_closes_the_window_but_the_update_runs_on(user_root, slow_server):
    process = start([])
    window = wait_for_window(process)
    began = time.monotonic()
    assert window
    # Pressed as a user would (XTEST): the splash has the keyboard focus once shown.
    subprocess.run(["xdotool", "key", "Escape"], check=True, env=wine_env())
    deadline = time.monotonic() + 5
    while splash_windows(process) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not splash_windows(process)
    assert process.poll() is None  # still waiting for the silent server
    assert process.wait(timeout=60) == 0
    assert time.monotonic() - began > 3  # it ended only with the update
    # The update went on after the window closed: the slow manifest did arrive.
    assert [p for _, p in slow_server.requests()][:2] == ["/updates/release/manifest.json",
                                                        "/updates/release/manifest.sig"]


def test_an_error_stays_on_screen_for_eight_seconds(user_root):
    # Nothing installed and no server: "Impossible d'installer Zelk" stays readable.
    began = time.monotonic()
    process = start([])
    wait_for_window(process)
    time.sleep(3)
    assert splash_windows(process), "the error was not left on screen"
    assert process.wait(timeout=30) == 0
    assert 8 < time.monotonic() - began < 20


def test_success_closes_at_once(user_root, record):
    paths = install_whole(user_root, STANDIN.read_bytes())
    paths["settings"].parent.mkdir(parents=True)
    paths["settings"].write_text('{"autoUpdate": false}')
    began = time.monotonic()
    process = start([], env=record.env)
    assert process.wait(timeout=30) == 0
    assert time.monotonic() - began < 6
    assert len(record.wait(1)) == 1


def test_the_splash_shows_download_progress(user_root, releases, tmp_path):
    big = servers.pattern_bytes(1_000_000, 3)
    manifest = releases.publish({"ZelkLauncher.exe": STANDIN.read_bytes(), "big.bin": big})
    digest = next(e["sha256"] for e in manifest["files"] if e["path"] == "big.bin")
    with servers.FaultServer(port=BUILTIN_HTTP_PORT) as fault:
        for name in ("manifest.json", "manifest.sig"):
            fault.route(f"/updates/release/{name}",
                        servers.body((releases.root / "release" / name).read_bytes()))
        fault.route(f"/updates/release/files/{manifest['files'][0]['sha256']}",
                    servers.body(STANDIN.read_bytes()))
        # Half of big.bin, then a pause long enough to look at the window.
        fault.route(f"/updates/release/files/{digest}", servers.stall(big, len(big) // 2, 8))
        process = start([])
        try:
            window = wait_for_window(process)
            deadline = time.monotonic() + 30
            while not any(digest in p for _, p in fault.requests()):
                assert time.monotonic() < deadline
                time.sleep(0.05)
            time.sleep(1.5)
            x, y, _, _ = geometry(window)
            shot = screenshot(tmp_path / "splash.png")
        finally:
            process.kill()
            process.wait()

    def at(px, py):
        return shot.pixel(x + px, y + py)

    # Progress = 0.08 + 0.9 x (STANDIN + half of big) / (STANDIN + big): about 0.53,
    # so the fill reaches x = 36 + 0.53 x 453, roughly 276.
    under = at(200, 416)
    assert close(at(200, 424), over(FILL, over(TRACK, under)), tolerance=14)
    assert close(at(400, 424), over(TRACK, at(400, 416)), tolerance=14)
    assert at(0, 0)[:3] != at(262, 300)[:3]  # the corner shows the desktop, not the card
    light = over(TRACK, (0x17, 0x21, 0x33))
    text = sum(1 for py in range(438, 453) for px in range(36, 300)
               if close(at(px, py), light, tolerance=40))
    assert text > 100  # the "Téléchargement 2/2 — ..." line

"""Driving Zelk.exe under the build tree's Wine prefix, and reading what it leaves."""

import hashlib
import json
import os
import pathlib
import re
import signal
import struct
import subprocess
import sys
import time
import urllib.parse
import uuid
import zlib

SOURCE_DIR = pathlib.Path(os.environ.get("ZELK_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(SOURCE_DIR / "tools"))
import wine_tree  # noqa: E402
BUILD_DIR = pathlib.Path(os.environ.get("ZELK_BUILD_DIR", SOURCE_DIR / "build"))
WINE_RUN = BUILD_DIR / "wine-run"
ZELK_EXE = BUILD_DIR / "src" / "Zelk.exe"

# Every Windows program a test starts carries this in its environment, and Windows
# hands the environment on to whatever that program starts in turn (the launcher, a
# restarted Zelk.exe, the rename copy). So the processes a test run started can be
# told from any other on the machine: another checkout's tests, a user's own Zelk.exe.
RUN_TOKEN = f"ZELK_TEST_RUN={uuid.uuid4().hex}"


def built_in_ports() -> tuple:
    """The ports of this tree's two built-in servers (CMake writes test-setup.json):
    30110 and 30443 in a plain build, free ones in a tree configured for testing."""
    setup = json.loads((BUILD_DIR / "test-setup.json").read_text())
    return tuple(urllib.parse.urlsplit(url).port for url in setup["servers"])


def wine_env() -> dict:
    """The variables wine-run sets, for tools (xdotool, wine reg) that need them too."""
    return wine_tree.wine_env(WINE_RUN)


def win_path(path) -> str:
    """A Linux path as the Windows program sees it (Wine's Z: drive)."""
    return wine_tree.windows_path(path)


# Wine takes http_proxy for WinHTTP's default proxy: a developer's own proxy must never
# carry the tests' loopback requests elsewhere.
PROXY_VARIABLES = ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy",
                   "NO_PROXY")


def _environment(env) -> dict:
    merged = {name: value for name, value in os.environ.items() if name not in PROXY_VARIABLES}
    if env:
        merged.update(env)
    name, value = RUN_TOKEN.split("=", 1)
    merged[name] = value
    return merged


def run(args, timeout=120, env=None, exe=ZELK_EXE) -> subprocess.CompletedProcess:
    """Runs a Windows program under Wine and waits for it; its exit code is returncode.
    Output is not captured: Wine's desktop process, started on demand, would inherit
    the pipe and keep it open for a second after the program ends."""
    return subprocess.run([str(WINE_RUN), str(exe), *[str(a) for a in args]],
                          env=_environment(env), timeout=timeout, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start(args, env=None, exe=ZELK_EXE) -> subprocess.Popen:
    return subprocess.Popen([str(WINE_RUN), str(exe), *[str(a) for a in args]],
                            env=_environment(env), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


# Programs of the system folder that Zelk starts for itself (the remover of a temporary
# copy's folder, and the console Wine gives it): they are this run's like Zelk.
STARTED_SYSTEM_PROGRAMS = re.compile(r"c:\\windows\\system32\\(cmd|conhost)\.exe\b")


def own_processes() -> dict:
    """pid -> command line of the live processes that this test run started, directly
    or through a program it started. Wine's own services (C:\\windows\\...) and the
    wineserver are left out, even when a test's program happened to start them: the
    prefix shares them with every program that runs in it."""
    needle = RUN_TOKEN.encode()
    found = {}
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/environ", "rb") as environ:
                if needle not in environ.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry.name}/cmdline", "rb") as cmdline:
                command = cmdline.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue  # gone meanwhile, or not ours to read
        program = command.split(" ", 1)[0]
        system = command.lower().startswith("c:\\windows\\")
        if command and (not system or STARTED_SYSTEM_PROGRAMS.match(command.lower())) and \
                not os.path.basename(program).startswith("wineserver"):
            found[int(entry.name)] = command
    return found


def end_own_processes(timeout=10.0) -> list:
    """Ends every process of own_processes() and waits until they are gone; returns
    the command lines it had to end."""
    ended = own_processes()
    for pid in ended:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + timeout
    while own_processes() and time.monotonic() < deadline:
        time.sleep(0.05)
    return list(ended.values())


class Png:
    """A decoded 8-bit RGB or RGBA PNG: enough to check the pixels Zelk draws."""

    def __init__(self, data: bytes):
        assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
        pos, idat = 8, b""
        while pos < len(data):
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            chunk = data[pos + 8:pos + 8 + length]
            if kind == b"IHDR":
                self.width, self.height, depth, colour, _, _, interlace = struct.unpack(
                    ">IIBBBBB", chunk)
                assert depth == 8 and colour in (2, 6) and interlace == 0
                self.channels = 4 if colour == 6 else 3
            elif kind == b"IDAT":
                idat += chunk
            pos += 12 + length
        raw = zlib.decompress(idat)
        stride = self.width * self.channels
        rows, previous = [], bytearray(stride)
        for y in range(self.height):
            kind = raw[y * (stride + 1)]
            line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
            for x in range(stride):
                a = line[x - self.channels] if x >= self.channels else 0
                b = previous[x]
                c = previous[x - self.channels] if x >= self.channels else 0
                if kind == 1:
                    line[x] = (line[x] + a) & 0xFF
                elif kind == 2:
                    line[x] = (line[x] + b) & 0xFF
                elif kind == 3:
                    line[x] = (line[x] + (a + b) // 2) & 0xFF
                elif kind == 4:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                    line[x] = (line[x] + pred) & 0xFF
            rows.append(bytes(line))
            previous = line
        self.rows = rows

    @classmethod
    def load(cls, path) -> "Png":
        return cls(pathlib.Path(path).read_bytes())

    def pixel(self, x: int, y: int) -> tuple:
        """(r, g, b, a), alpha 255 for RGB pictures."""
        at = x * self.channels
        px = tuple(self.rows[y][at:at + self.channels])
        return px if self.channels == 4 else px + (255,)


def close(actual, expected, tolerance=6) -> bool:
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


def over(top, under):
    """A straight-alpha colour drawn over an opaque one."""
    alpha = top[3] / 255
    return tuple(round(t * alpha + u * (1 - alpha)) for t, u in zip(top[:3], under[:3])) + (255,)


def installation(root) -> dict:
    """The paths of one installation below a data root (Linux paths)."""
    root = pathlib.Path(root)
    app = root / "Zelk Application Data" / "app"
    return {
        "root": root,
        "exe": root / "Zelk.exe",
        "old": root / "Zelk.exe.old",
        "app": app,
        "launcher": app / "ZelkLauncher.exe",
        "index": app / ".zelk-installed",
        "date": app / ".zelk-manifest",
        "data": root / "Zelk Application Data" / "data",
        "settings": root / "Zelk Application Data" / "data" / "launcher-settings.json",
    }


def install_whole(root, launcher: bytes, date="2020-01-01T00:00:00Z") -> dict:
    """A whole installed release as Zelk leaves one: the launcher, recorded in the index,
    and the release's date (old, so that any test release is newer). A launcher alone
    is not an installed release."""
    paths = installation(root)
    paths["app"].mkdir(parents=True, exist_ok=True)
    paths["launcher"].write_bytes(launcher)
    digest = hashlib.sha256(launcher).hexdigest()
    paths["index"].write_bytes(f"{digest} {len(launcher)} ZelkLauncher.exe\r\n".encode())
    paths["date"].write_bytes(f"{date}\r\n".encode())
    return paths


def on_disk(folder, relative: str):
    """The file a Windows path relative to folder names, looked up as Windows would:
    either separator, any letter case. None when there is none."""
    current = pathlib.Path(folder)
    for part in relative.replace("\\", "/").split("/"):
        if not current.is_dir():
            return None
        exact = current / part
        if exact.exists():
            current = exact
            continue
        matches = [p for p in current.iterdir() if p.name.lower() == part.lower()]
        if not matches:
            return None
        current = matches[0]
    return current


def index_records(root) -> dict:
    """The index of installed files as the program reads it: path -> (digest, size),
    a later line for a path over an earlier one."""
    index = installation(root)["index"]
    records = {}
    if index.exists():
        for line in index.read_bytes().decode("utf-8", "replace").split("\r\n"):
            fields = line.split(None, 2)
            if len(fields) == 3:
                records[fields[2]] = (fields[0], int(fields[1]))
    return records


NO_DIGEST = "0" * 64  # a record that vouches for no content


def untrue_records(root) -> list:
    """Paths the index vouches for with content other than the file's on disk: the
    index must never do that, since an installed file is judged by its record and its
    size alone. (A record for a file that is not there at all is harmless: a missing
    file is always fetched again.)"""
    app = installation(root)["app"]
    wrong = []
    for path, (digest, size) in index_records(root).items():
        found = on_disk(app, path)
        if digest == NO_DIGEST or found is None:
            continue
        data = found.read_bytes() if found.is_file() else None
        if data is None or len(data) != size or hashlib.sha256(data).hexdigest() != digest:
            wrong.append(path)
    return wrong


def bench(root, base_url, env=None, timeout=120, extra=()):
    """Runs the bench; returns (exit code, [result, heading, detail] from banc.txt)."""
    result = run(["--banc", win_path(root), base_url, *extra], env=env, timeout=timeout)
    report = pathlib.Path(root) / "banc.txt"
    raw = report.read_bytes() if report.exists() else b""
    assert raw == b"" or raw.endswith(b"\r\n"), raw
    lines = raw.decode("utf-8").split("\r\n")[:-1] if raw else []
    return result.returncode, lines


def file_version(exe=ZELK_EXE) -> str:
    """The file version of a Windows program's version resource, "a.b.c.d": read from
    its VS_FIXEDFILEINFO, which starts with a signature found nowhere else."""
    data = pathlib.Path(exe).read_bytes()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at > 0, "no version resource"
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def same_version(short: str, full: str) -> bool:
    """Whether a version as written ("1.2") names the resource's four numbers ("1.2.0.0")."""
    parts = [int(p) for p in short.split(".")]
    return parts + [0] * (4 - len(parts)) == [int(p) for p in full.split(".")]


LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (.*)$")


def log_messages(root, name="zelk.log") -> list:
    """The messages of a data root's run log, without their time stamps; every line
    must carry one."""
    path = pathlib.Path(root) / "Zelk Application Data" / "logs" / name
    if not path.exists():
        return []
    raw = path.read_bytes()
    assert raw == b"" or raw.endswith(b"\r\n"), raw[-80:]
    messages = []
    for line in raw.decode("utf-8").split("\r\n")[:-1]:
        match = LOG_LINE.match(line)
        assert match, line
        messages.append(match.group(1))
    return messages

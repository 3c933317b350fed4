"""A Windows build tree and its Wine session, for the tools that run Zelk.exe outside
the tests (bench/run, tools/stress).

- `configure_and_build`: configures the tree when it has no CMakeCache.txt (a Release
  build) and builds the given targets there.
- `WineSession`: brings up what is missing of the tree's session (Xvfb, wineserver,
  prefix) through tools/wine-session, and takes down only what it brought up.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent


class TreeError(Exception):
    pass


def note(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def configure_and_build(build: Path, targets: list[str]) -> None:
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(build), "-G", "Ninja",
                        f"-DCMAKE_TOOLCHAIN_FILE={SOURCE / 'cmake' / 'mingw-w64-x86_64.cmake'}",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    if not (build / "wine-run").exists():
        raise TreeError(f"{build} is not a Windows build tree (no wine-run)")
    note(f"building {' '.join(targets)} in {build}")
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)


def wine_env(wine_run: Path) -> dict:
    """The variables wine-run sets, for the tools that need them too."""
    env = dict(os.environ)
    for line in wine_run.read_text().splitlines():
        if line.startswith("export ") and "=" in line and "${" not in line:
            name, value = line[len("export "):].split("=", 1)
            env[name] = value.strip('"')
    env["WINEDEBUG"] = "-all"
    return env


def display_up(env: dict) -> bool:
    return subprocess.run(["xdpyinfo", "-display", env["DISPLAY"]], capture_output=True,
                          env=env).returncode == 0


def wineserver_up(prefix: Path) -> bool:
    """Whether a wineserver answers for this prefix: its socket lies in a folder named
    after the prefix folder's device and inode, below /tmp/.wine-UID or, as Debian's
    Wine has it, a /tmp/wine-XXXXXX folder."""
    try:
        info = os.stat(prefix)
    except OSError:
        return False
    name = f"server-{info.st_dev:x}-{info.st_ino:x}"
    for path in Path("/tmp").glob(f"*wine*/{name}/socket"):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            try:
                s.connect(str(path))
                return True
            except OSError:
                pass
    return False


class WineSession:
    """Brings up what is missing of the tree's session, and takes down only that."""

    def __init__(self, wine_run: Path):
        self.wine_run = wine_run
        self.env = wine_env(wine_run)
        self.prefix = Path(self.env["WINEPREFIX"])
        self.stop_all = False
        self.stop_server = False

    def __enter__(self) -> "WineSession":
        had_display = display_up(self.env)
        had_server = wineserver_up(self.prefix)
        if not (had_display and had_server):
            note("starting the Wine session")
            subprocess.run([str(SOURCE / "tools" / "wine-session"), "start",
                            str(self.wine_run)], check=True)
            self.stop_all = not had_display
            self.stop_server = had_display and not had_server
        return self

    def __exit__(self, *exc) -> None:
        if self.stop_all:
            subprocess.run([str(SOURCE / "tools" / "wine-session"), "stop", str(self.wine_run)])
        elif self.stop_server:
            subprocess.run(["wineserver", "-k"], env=self.env)
            subprocess.run(["wineserver", "-w"], env=self.env)


def windows_path(path: Path) -> str:
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")

"""What a reader needs to trust bench/run's figures, printed with them: the source and
build of the programs measured, the Wine version, where the data is written, the read
size of Zelk and of the bare loop, and what the machine was doing meanwhile.

Under Wine every socket read and file write of a program is also a request to the
wineserver, another process: a run is thousands of hand-offs between the two. On a
virtual machine whose CPUs are otherwise idle, each hand-off wakes a halted CPU, which
costs the host's scheduling delay; a single-threaded loop then runs several times
slower than on the same machine busy with other work, while its CPU time stays the
same. The share of CPU time that the host gave to other machines (steal) and the
share of time some task here waited for a CPU are printed for each row, so that two
tables can be told apart by the state of their machines as well as by their programs.
"""

from __future__ import annotations

import os
import re
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

from common import SOURCE, cache_value, wine_env


def command_text(command: list[str], env: dict | None = None, cwd: Path | None = None) -> str:
    try:
        return subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


def revision(folder: Path) -> str:
    head = command_text(["git", "rev-parse", "--short", "HEAD"], cwd=folder)
    if not head:
        return "? (not a git checkout)"
    changed = command_text(["git", "status", "--porcelain", "--untracked-files=no"], cwd=folder)
    return head + (" with uncommitted changes" if changed else "")


def build_options(build: Path) -> str:
    """The options of a tree that change the program or its figures. A tree configured
    without a build type is a Release tree (CMakeLists.txt), tools/test's included."""
    kind = cache_value(build, "CMAKE_BUILD_TYPE")
    flags = " ".join(f for f in (cache_value(build, "CMAKE_CXX_FLAGS"),
                                 cache_value(build, f"CMAKE_CXX_FLAGS_{kind.upper()}") if kind
                                 else "") if f)
    isolated = cache_value(build, "ZELK_ISOLATED_TESTS").upper() in ("ON", "TRUE", "1", "YES")
    tree = ("a test tree (ZELK_ISOLATED_TESTS=ON: its own ports and display)" if isolated
            else "not a test tree")
    return (f"CMAKE_BUILD_TYPE={kind or '(none)'}, C++ flags \"{flags}\", "
            f"ZELK_VERSION={cache_value(build, 'ZELK_VERSION') or '?'}, {tree}")


def tree_of(exe: Path) -> Path | None:
    """The build tree an executable was built in, when it is still there."""
    for folder in list(exe.parents)[:3]:
        if (folder / "CMakeCache.txt").exists():
            return folder
    return None


def file_system(folder: Path) -> str:
    """The file system that holds folder, from the longest mount point above it: a
    flush (FlushFileBuffers is fsync under Wine) costs nothing on tmpfs and waits for
    the device on a disk."""
    path = str(folder.resolve())
    best, kind, source = "", "?", "?"
    for line in Path("/proc/self/mountinfo").read_text().splitlines():
        fields = line.split()
        point = fields[4].replace("\\040", " ")
        tail = fields[fields.index("-") + 1:]
        inside = path == point or path.startswith(point.rstrip("/") + "/")
        if inside and len(point) >= len(best):
            best, kind, source = point, tail[0], tail[1]
    memory = kind in ("tmpfs", "ramfs")
    return (f"{kind} ({source} at {best}): "
            f"{'memory, a flush costs nothing' if memory else 'a disk, a flush waits for it'}")


def read_size(path: Path, name: str) -> int | None:
    """The value of `constexpr ... name = <expression>;` in a C++ source, when it is a
    plain integer expression."""
    found = re.search(rf"\b{name}\s*=\s*([^;]+);", path.read_text())
    if not found:
        return None
    expression = re.sub(r"(\d+)[uUlL]+", r"\1", found[1])
    if not re.fullmatch(r"[\d\s<>*+()]+", expression):
        return None
    return int(eval(expression, {"__builtins__": {}}))  # digits and operators only


def read_sizes() -> str:
    zelk = read_size(SOURCE / "src" / "net" / "http_client.cpp", "kChunkBytes")
    bare = read_size(SOURCE / "bench" / "bare_install.cpp", "kBlock")
    size = lambda value: f"{value:,} B" if value else "?"  # noqa: E731
    text = (f"Zelk {size(zelk)} (kChunkBytes, src/net/http_client.cpp), the bare loop "
            f"{size(bare)} (kBlock, bench/bare_install.cpp), each call asking for no more "
            f"than WinHttpQueryDataAvailable reports")
    if zelk != bare:
        text += ": NOT THE SAME, the install ratios measure the buffer too"
    return text


# ---------------------------------------------------------------------------
# The machine meanwhile


@dataclass
class Sample:
    stolen: int  # CPU ticks the host gave to other machines (/proc/stat's steal), so far
    ticks: int  # all CPU ticks so far
    waited: float  # seconds during which some task here waited for a CPU (PSI), so far
    at: float


def sample() -> Sample:
    ticks = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:9]]
    try:
        pressure = Path("/proc/pressure/cpu").read_text().split("total=", 1)[1].split()[0]
        waited = int(pressure) / 1e6
    except (OSError, IndexError, ValueError):
        waited = float("nan")  # a kernel without pressure stall information
    return Sample(ticks[7], sum(ticks), waited, time.monotonic())


def machine_between(start: Sample, end: Sample) -> str:
    if end.at - start.at < 1:
        return "too short to tell"
    stolen = (end.stolen - start.stolen) / max(1, end.ticks - start.ticks)
    waited = (end.waited - start.waited) / max(1e-9, end.at - start.at)
    return f"{stolen:.0%} of CPU time stolen by the host, some task waited for a CPU {waited:.0%}"


def describe(bench, load_at_start: tuple[float, float, float]) -> list[str]:
    """The lines printed above the table, beside the plan."""
    lines = [f"source: {revision(SOURCE)}", f"build: {build_options(bench.build)}"]
    if cache_value(bench.build, "CMAKE_BUILD_TYPE") != "Release":
        lines.append("warning: not a Release build: these figures are not the ones the goals "
                     "are about")
    if bench.previous:
        tree = tree_of(bench.previous)
        lines.append(f"previous: {bench.previous}: " + (
            f"source {revision(Path(cache_value(tree, 'CMAKE_HOME_DIRECTORY')))}, "
            f"{build_options(tree)}" if tree else "its build tree is unknown"))
    load = os.getloadavg()
    lines += [
        f"Wine: {command_text(['wine', '--version'], wine_env(bench.wine_run)) or '?'}",
        f"data folder: {bench.work}, on {file_system(bench.work)}",
        f"read size per WinHttpReadData: {read_sizes()}",
        f"machine: {os.cpu_count()} CPUs, load {load_at_start[0]:.1f} at the start and "
        f"{load[0]:.1f} at the end (shared: other programs' work slows every figure; the "
        f"ratios of interleaved runs suffer least)",
    ]
    return lines

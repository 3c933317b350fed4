"""What the rows of bench/run share: the plan, running Windows programs, releases, the
servers and the baselines, and the table rows.

A row module holds one row: its docstring says what it measures and its goal, and its
run(bench) appends that row's lines to bench.rows. Everything a row measures goes
through the Bench object below, which makes each release once, keeps one nginx for the
whole run, and keeps the figures that more than one row reads (the install runs that the
memory row reuses, the up-to-date runs, the updates that the switch row reads).
"""

from __future__ import annotations

import datetime
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

SOURCE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / "tests" / "servers"))
sys.path.insert(0, str(SOURCE / "tools"))
import publish  # noqa: E402
import servers  # noqa: E402
# The rows take wine_env and windows_path from here.
from wine_tree import wine_env, windows_path  # noqa: E402,F401

MIB = 1 << 20
BENCH_INSTALLED = 10  # bench-mode result: the release was installed completely


class BenchError(Exception):
    """A run that did not do its job: the bench stops with exit code 1."""


def note(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def median(values) -> float:
    return statistics.median(values)


def spread(values, fmt: Callable[[float], str] = lambda v: f"{v:.1f}") -> str:
    """The smallest and the largest of a row's runs, printed beside the median."""
    values = list(values)
    if not values:
        return "-"
    low, high = min(values), max(values)
    return fmt(low) if fmt(low) == fmt(high) else f"{fmt(low)}..{fmt(high)}"


def verdict(ok: bool) -> str:
    return "PASS" if ok else "FAIL"


# ---------------------------------------------------------------------------
# Settings


@dataclass
class Plan:
    big_mib: int = 256
    small_count: int = 200
    small_mib: int = 1
    mid_mib: int = 129  # just past a power of two: a doubling buffer would show
    huge_mib: int = 1024
    resume_count: int = 100  # files of small_mib, killed at a third of their bytes
    wide_count: int = 100  # files of wide_kib over the emulated long link
    wide_kib: int = 256
    wide_rtt_ms: int = 40
    wide_mbit: int = 200
    wide_runs: int = 3
    window_mib: int = 256
    install_runs: int = 5
    uptodate_runs: int = 15
    memory_runs: int = 3
    window_runs: int = 3
    scale_files: int = 10_000
    scale_factor: int = 3  # the larger release has this many times the files
    scale_file_bytes: int = 1024
    scale_install_runs: int = 3
    scale_uptodate_runs: int = 9  # cheap beside the installs: more runs, a steadier median

    @classmethod
    def quick(cls) -> "Plan":
        return cls(big_mib=32, small_count=40, mid_mib=17, huge_mib=64, resume_count=30,
                   wide_count=30, wide_runs=1, window_mib=32, install_runs=2, uptodate_runs=4,
                   memory_runs=1, window_runs=1, scale_files=1000, scale_install_runs=1,
                   scale_uptodate_runs=2)


# ---------------------------------------------------------------------------
# The build tree


def cache_value(build: Path, name: str) -> str:
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return ""


def first_server_port(build: Path) -> int:
    """The port of the tree's first built-in update server (30110 in a default build,
    a free one in a tree configured by tools/test)."""
    setup = json.loads((build / "test-setup.json").read_text())
    return urllib.parse.urlsplit(setup["servers"][0]).port


# ---------------------------------------------------------------------------
# Running Windows programs


@dataclass
class Run:
    seconds: float
    code: int
    peak: int  # bytes: the largest resident set of the process (ru_maxrss)
    downloaded: int = 0  # bytes of content bodies that nginx sent during the run


def run_windows(wine_run: Path, exe: Path, args: list, env: dict | None = None,
                timeout: float = 900) -> Run:
    """Runs a Windows program and waits for it. wine-run and /usr/bin/wine exec into
    Wine's loader, which runs the program in that same process, so the peak resident
    set of that process is the program's (Wine's own libraries included). GNU time
    reads it: a child of this script would start with this script's own high-water
    mark (fork and exec keep the larger one). Output is not captured: Wine's desktop
    process would inherit the pipe."""
    merged = dict(os.environ)
    if env:
        merged.update(env)
    with tempfile.NamedTemporaryFile("r", prefix="zelk-bench-time-") as usage:
        started = time.monotonic()
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", usage.name,
                                    str(wine_run), str(exe), *[str(a) for a in args]],
                                   env=merged, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()  # time's child is left to the session's stop
            process.wait()
            raise BenchError(f"{exe.name} did not end within {timeout:.0f} s")
        seconds = time.monotonic() - started
        # "Command exited with non-zero status N" comes first when N is not 0.
        peak_kib = int(usage.read().split()[-1])
    return Run(seconds, code, peak_kib * 1024)


# ---------------------------------------------------------------------------
# Releases


def stamp(days: int = 0) -> str:
    return publish.format_timestamp(datetime.datetime.now(datetime.timezone.utc) +
                                    datetime.timedelta(days=days))


@dataclass
class Release:
    name: str
    root: Path  # served folder: root/release/manifest.json, .sig, files/<digest>
    files: list[tuple[str, str, int]] = field(default_factory=list)  # path, digest, size

    @property
    def total(self) -> int:
        return sum(size for _, _, size in self.files)

    @property
    def largest(self) -> int:
        return max(size for _, _, size in self.files)


def make_release(name: str, root: Path, contents: list[tuple[str, object]]) -> Release:
    """Signs a release of the given files with the development key, as the tests'
    Releases do; content is an int (that many random bytes) or bytes."""
    release = Release(name, root)
    store = root / "release" / "files"
    store.mkdir(parents=True)
    for path, content in contents:
        data = os.urandom(content) if isinstance(content, int) else content
        entry = publish.manifest_entry(path, data)
        (store / entry["sha256"]).write_bytes(data)
        release.files.append((path, entry["sha256"], entry["size"]))
    manifest = {"date": stamp(), "expires": stamp(days=30),
                "files": [{"path": p, "sha256": d, "size": s} for p, d, s in release.files]}
    publish.write_release(root, "release", manifest, "primary")
    return release


def check_files(folder: Path, release: Release, what: str) -> None:
    """A run counts only when it left every file at its size."""
    for path, _, size in release.files:
        target = folder / path
        if not target.is_file() or target.stat().st_size != size:
            raise BenchError(f"{what}: {path} is missing or has the wrong size")


def switch_seconds(root: Path) -> float | None:
    """How long the last run's switch took, from its "switched N files in S s" log line;
    None for a program that writes none."""
    log = root / "Zelk Application Data" / "logs" / "zelk.log"
    found = re.findall(rb"switched \d+ files in (\d+\.\d+) s", log.read_bytes()) \
        if log.exists() else []
    return float(found[-1]) if found else None


# ---------------------------------------------------------------------------
# The table


@dataclass
class Row:
    row: str
    measure: str
    value: str
    baseline: str = "-"
    ratio: str = "-"
    reference: str = "-"
    goal: str = "-"
    result: str = ""
    spread: str = "-"  # the value's runs, smallest..largest
    base_spread: str = "-"  # the baseline's


@dataclass
class Downloads:
    """The bytes that each contender's runs of one scenario downloaded."""
    row: str
    what: str
    release: int  # bytes of content that a whole install fetches
    runs: dict[str, list[int]]  # contender -> bytes of each run


# ---------------------------------------------------------------------------
# One run's shared state


@dataclass
class InstallFigures:
    zelk: list[Run]
    bare: list[Run]
    curl: list[Run]
    previous: list[Run]  # the earlier Zelk.exe of --previous, when given


class Bench:
    def __init__(self, build: Path, work: Path, plan: Plan, previous: Path | None = None):
        self.build = build
        self.work = work
        self.plan = plan
        self.previous = previous
        self.wine_run = build / "wine-run"
        self.zelk = build / "src" / "Zelk.exe"
        self.zelk_trace = build / "bench" / "Zelk-trace.exe"
        self.bare = build / "bench" / "bare_install.exe"
        self.trivial = build / "bench" / "trivial_get.exe"
        self.standin = build / "tests" / "standin" / "ZelkLauncher.exe"
        self.releases: dict[str, Release] = {}
        self.installs: dict[str, InstallFigures] = {}
        self.uptodate: tuple[list[Run], list[Run]] | None = None
        self.nginx: servers.Nginx | None = None
        self.rows: list[Row] = []
        self.downloads: list[Downloads] = []
        self.noted_installs: set[str] = set()
        self.warm = False
        # (files, exe) -> switch seconds of each update run (None: no such log line)
        self.switches: dict[tuple[int, Path], list[float | None]] = {}
        self.update_times: dict[tuple[int, Path], list[Run]] = {}

    # -- content, made once on first use

    def release(self, name: str) -> Release:
        if name not in self.releases:
            p = self.plan
            launcher = "ZelkLauncher.exe"  # any bytes do in bench mode: nothing is started
            if name in ("big", "big-changed"):  # the same path, other bytes
                contents = [(launcher, p.big_mib * MIB)]
            elif name == "mid":
                contents = [(launcher, p.mid_mib * MIB)]
            elif name == "huge":
                contents = [(launcher, p.huge_mib * MIB)]
            elif name == "wide":
                contents = [(launcher, p.wide_kib * 1024)] + [
                    (f"w{i:03}.bin", p.wide_kib * 1024) for i in range(1, p.wide_count)]
            elif name == "resume":
                contents = [(launcher, p.small_mib * MIB)] + [
                    (f"r{i:03}.bin", p.small_mib * MIB) for i in range(1, p.resume_count)]
            else:
                contents = [(launcher, p.small_mib * MIB)] + [
                    (f"f{i:03}.bin", p.small_mib * MIB) for i in range(1, p.small_count)]
            note(f"making release {name}: {len(contents)} file(s)")
            self.releases[name] = make_release(name, self.work / "www" / name, contents)
        return self.releases[name]

    def scale_release(self, count: int, variant: str = "") -> Release:
        """count files of the same size; another variant has the same paths and other
        contents."""
        name = f"scale-{count}{variant}"
        if name not in self.releases:
            size = self.plan.scale_file_bytes
            contents = [("ZelkLauncher.exe", size)] + [(f"f{i:05}.bin", size)
                                                       for i in range(1, count)]
            note(f"making release {name}: {count} files")
            self.releases[name] = make_release(name, self.work / "www" / name, contents)
        return self.releases[name]

    def base_url(self, release: Release) -> str:
        if self.nginx is None:
            self.nginx = servers.Nginx(self.work / "nginx", self.work / "www",
                                       [servers.Listener()]).start()
        return f"{self.nginx.url()}/{release.name}"

    def stop(self) -> None:
        if self.nginx is not None:
            self.nginx.stop()
            self.nginx = None

    # -- what nginx served

    def served(self) -> int:
        """A mark in nginx's access log, for fetched_bytes."""
        return len(self.nginx.requests()) if self.nginx is not None else 0

    def fetched_bytes(self, since: int) -> int:
        """Bytes of content bodies sent since the mark (manifests not counted)."""
        return sum(r.size for r in self.nginx.requests()[since:] if "/files/" in r.path)

    def whole_download(self, run: Run, release: Release, what: str) -> Run:
        """A fresh install that fetched less than the release measured something else (a
        resumed partial file, a content already there): the run does not count."""
        if run.downloaded < release.total:
            raise BenchError(f"{what} downloaded {run.downloaded:,} bytes of the "
                             f"{release.total:,} of release {release.name}: not a "
                             f"measurement of a download")
        return run

    # -- one run of each contender

    def zelk_install(self, release: Release, root: Path, fresh: bool = True,
                     exe: Path | None = None, url: str | None = None,
                     whole: bool | None = None) -> Run:
        """A bench-mode run of Zelk.exe (or exe) over root. A fresh run (root emptied
        first), or one asked for whole, must download every content of the release."""
        if fresh:
            shutil.rmtree(root, ignore_errors=True)
            root.mkdir(parents=True)
        exe = exe or self.zelk
        base = url or self.base_url(release)
        mark = self.served()
        run = run_windows(self.wine_run, exe, ["--banc", windows_path(root), base])
        run.downloaded = self.fetched_bytes(mark)
        report = root / "banc.txt"
        first = report.read_bytes().split(b"\r\n")[0] if report.exists() else b""
        if run.code != BENCH_INSTALLED or first != str(BENCH_INSTALLED).encode():
            raise BenchError(f"{exe.name} --banc ended with {run.code} "
                             f"(banc.txt: {first!r})")
        check_files(root / "Zelk Application Data" / "app", release, "Zelk.exe")
        if fresh if whole is None else whole:
            self.whole_download(run, release, exe.name)
        return run

    def bare_install(self, release: Release, root: Path) -> Run:
        shutil.rmtree(root, ignore_errors=True)
        root.mkdir(parents=True)
        listing = self.work / f"{release.name}.list"
        if not listing.exists():
            listing.write_text("".join(f"{d} {s} {p}\n" for p, d, s in release.files))
        mark = self.served()
        run = run_windows(self.wine_run, self.bare,
                          [f"{self.base_url(release)}/release", windows_path(listing),
                           windows_path(root)])
        run.downloaded = self.fetched_bytes(mark)
        if run.code != 0:
            raise BenchError(f"bare_install.exe ended with {run.code}")
        check_files(root, release, "bare_install.exe")
        return self.whole_download(run, release, "bare_install.exe")

    def curl_install(self, release: Release, root: Path) -> Run:
        """curl + sha256sum per file, as the native reference of the install row."""
        shutil.rmtree(root, ignore_errors=True)
        root.mkdir(parents=True)
        base = f"{self.base_url(release)}/release/files"
        mark = self.served()
        started = time.monotonic()
        for path, digest, _ in release.files:
            temporary = root / f"{path}.tmp"
            subprocess.run(["curl", "-sS", "--fail", "--noproxy", "*", "-o", str(temporary),
                            f"{base}/{digest}"], check=True)
            hashed = subprocess.run(["sha256sum", str(temporary)], capture_output=True,
                                    text=True, check=True).stdout.split()[0]
            if hashed != digest:
                raise BenchError(f"curl: {path} arrived with another digest")
            os.replace(temporary, root / path)
        run = Run(time.monotonic() - started, 0, 0, self.fetched_bytes(mark))
        return self.whole_download(run, release, "curl")

    def trivial_get(self, release: Release) -> Run:
        run = run_windows(self.wine_run, self.trivial, [f"{self.base_url(release)}/release"])
        if run.code != 0:
            raise BenchError(f"trivial_get.exe ended with {run.code}")
        return run

    def warm_up(self) -> None:
        """Discarded starts of both kinds of program, so that the first measured run
        pays no more than the others (prefix services, the disk cache of the
        libraries that each loads)."""
        if self.warm:
            return
        release = self.release("small")
        self.trivial_get(release)
        root = self.work / "root-warm"
        root.mkdir()
        run_windows(self.wine_run, self.zelk,
                    ["--banc", windows_path(root), f"{self.base_url(release)}/absent"])
        shutil.rmtree(root)
        self.warm = True

    # -- figures that more than one row reads

    def install_figures(self, name: str, runs: int, with_curl: bool) -> InstallFigures:
        """Fresh installs of release name by each contender, interleaved (install and
        memory rows)."""
        if name in self.installs:
            return self.installs[name]
        release = self.release(name)
        self.base_url(release)
        self.warm_up()
        figures = InstallFigures([], [], [], [])
        for i in range(runs):
            note(f"install {name}: run {i + 1}/{runs}")
            figures.zelk.append(self.zelk_install(release, self.work / "root-zelk"))
            figures.bare.append(self.bare_install(release, self.work / "root-bare"))
            if with_curl:
                figures.curl.append(self.curl_install(release, self.work / "root-curl"))
            if self.previous and name != "huge":
                figures.previous.append(self.zelk_install(release, self.work / "root-previous",
                                                          exe=self.previous))
        for folder in ("root-zelk", "root-bare", "root-curl", "root-previous"):
            shutil.rmtree(self.work / folder, ignore_errors=True)
        self.installs[name] = figures
        return figures

    def note_install_downloads(self, row: str, what: str, name: str) -> None:
        """What each contender's installs of release name downloaded, once per release
        (the memory row reuses the install row's runs)."""
        if name in self.noted_installs:
            return
        self.noted_installs.add(name)
        figures = self.installs[name]
        runs = {"Zelk.exe": figures.zelk, "bare": figures.bare, "curl": figures.curl,
                "previous": figures.previous}
        self.downloads.append(Downloads(row, what, self.release(name).total,
                                        {k: [r.downloaded for r in v]
                                         for k, v in runs.items() if v}))

    def uptodate_figures(self, runs: int) -> tuple[list[Run], list[Run]]:
        """Zelk's runs over an installation that matches the manifest, and
        trivial_get's, interleaved (up-to-date and memory rows)."""
        if self.uptodate is not None:
            return self.uptodate
        release = self.release("small")
        root = self.work / "root-uptodate"
        self.base_url(release)
        self.warm_up()
        note("up to date: first install")
        self.zelk_install(release, root)
        served = len(self.nginx.requests())
        zelk, trivial = [], []
        for i in range(runs):
            note(f"up to date: run {i + 1}/{runs}")
            zelk.append(self.zelk_install(release, root, fresh=False))
            trivial.append(self.trivial_get(release))
        fetched = [r.path for r in self.nginx.requests()[served:] if "/files/" in r.path]
        if fetched:
            raise BenchError(f"an up-to-date run downloaded {len(fetched)} file(s)")
        shutil.rmtree(root, ignore_errors=True)
        self.uptodate = (zelk, trivial)
        return self.uptodate

    # -- many small files (scale and switch rows)

    def scale_contenders(self) -> list[tuple[str, Path]]:
        """This tree's Zelk.exe first, then the earlier one of --previous."""
        contenders = [("", self.zelk)]
        if self.previous is not None:
            contenders.append((" (previous)", self.previous))
        return contenders

    def installed_by_hand(self, release: Release, root: Path) -> Path:
        """What a complete bench-mode install of release leaves below root (every file,
        the index of installed files, the release's date), written from here: the
        larger release would otherwise cost a long install before the figures."""
        shutil.rmtree(root, ignore_errors=True)
        app = root / "Zelk Application Data" / "app"
        app.mkdir(parents=True)
        store = release.root / "release" / "files"
        for path, digest, _ in release.files:
            shutil.copyfile(store / digest, app / path)
        (app / ".zelk-installed").write_bytes(
            "".join(f"{d} {s} {p}\r\n" for p, d, s in release.files).encode())
        date = json.loads((release.root / "release" / "manifest.json").read_text())["date"]
        (app / ".zelk-manifest").write_bytes(f"{date}\r\n".encode())
        return root

    def changed_update(self, release: Release, changed: Release, files: int,
                       exe: Path) -> Run:
        """An update from release, installed by hand, to changed (every content other):
        the whole update's time and its switch, from the log, kept under (files, exe)."""
        root = self.installed_by_hand(release, self.work / "root-update")
        run = self.zelk_install(changed, root, fresh=False, exe=exe, whole=True)
        self.switches.setdefault((files, exe), []).append(switch_seconds(root))
        self.update_times.setdefault((files, exe), []).append(run)
        return run

"""blocks: differential downloads. A file of big_mib MiB installed, its new version served
with a block map by nginx with the production configuration (tools/nginx/zelk-releases.conf)
through the link emulator (40 ms round trip, 200 Mbit/s), edited four ways: 1 MiB
overwritten in the middle, 4 KiB inserted near the start, 16 edits of 4 KiB spread over
the file, all new bytes. For each, the content bytes fetched (nginx's access log) and the
wall time, against a whole download of the same file (the same release without its map)
in the same run, interleaved. The processor time of each update is read from its log:
cutting and hashing the installed copy, hashing the new file as it is built (CNG: under
Wine, several times slower than Windows' use of the processor's SHA instructions). The
old file is installed by Zelk from a release with its map, which Zelk records: its
updates take the copy's blocks from that record. A huge_mib MiB copy installed without a
record is cut and hashed, against the time 10 % of it takes at 200 Mbit/s. Peak resident set of the Wine process of the differential updates.
Goals: bytes at most the changed bytes + 2 maximum blocks per edit + the map; time at
most 0.15 x the whole download for the three edits, at most 1.05 x for all new bytes."""

from __future__ import annotations

import hashlib
import os
import random
import re
import shutil

import link
from common import (MIB, Bench, BenchError, Downloads, Row, median, note, publish, run_windows,
                    servers, spread, stamp, verdict, windows_path)

TARGETS: list[str] = []
KIB = 1024
MAX_BLOCK = 256 * KIB
PATH = "ZelkLauncher.exe"  # any bytes do in bench mode: nothing is started
OLD_DATE = "2020-01-01T00:00:00Z"
# (label, time goal as a share of the whole download)
EDITS = (("1 MiB overwritten", 0.15), ("4 KiB inserted", 0.15), ("16 x 4 KiB", 0.15),
         ("all new", 1.05))


def edited(data: bytes, label: str) -> tuple[bytes, int, int]:
    """(new content, changed bytes, edits) of one of the four edits."""
    rng = random.Random(label)
    new = bytearray(data)
    if label == "1 MiB overwritten":
        at = len(new) // 2
        new[at:at + MIB] = rng.randbytes(MIB)
        return bytes(new), MIB, 1
    if label == "4 KiB inserted":
        at = 100 * KIB
        return bytes(new[:at]) + rng.randbytes(4 * KIB) + bytes(new[at:]), 4 * KIB, 1
    if label == "16 x 4 KiB":
        for i in range(16):
            at = (2 * i + 1) * len(new) // 32
            new[at:at + 4 * KIB] = rng.randbytes(4 * KIB)
        return bytes(new), 16 * 4 * KIB, 16
    return os.urandom(len(new)), len(new), 1


def log_figures(root) -> tuple[float, float, float] | None:
    """(older copy cut, file built, of which hashing) in seconds, from the log's "built
    from blocks" line; None when the file was not built from blocks."""
    log = root / "Zelk Application Data" / "logs" / "zelk.log"
    found = re.findall(rb"older copy (?:cut|known by its recorded map) in ([\d.]+) s, file "
                       rb"built in ([\d.]+) s, of which hashing ([\d.]+) s",
                       log.read_bytes()) if log.exists() else []
    return tuple(float(v) for v in found[-1]) if found else None


class Stage:
    """One installed copy below a root, the served folder, and nginx with the production
    configuration over it."""

    def __init__(self, bench: Bench, old: bytes, name: str):
        self.bench = bench
        self.work = bench.work / "blocks" / name
        self.www = self.work / "www" / "updates"
        self.www.mkdir(parents=True, exist_ok=True)
        self.old = self.work / "old.bin"
        self.old.write_bytes(old)
        self.old_line = f"{hashlib.sha256(old).hexdigest()} {len(old)} {PATH}\r\n".encode()
        self.root = self.work / "root"
        self.nginx = servers.Nginx(self.work / "nginx", self.www, [servers.Listener()],
                                   url_prefix="/updates/", production=True).start()

    def stop(self) -> None:
        self.nginx.stop()

    def publish(self, data: bytes, block_map: bytes | None, days: int = 0) -> None:
        """The release of data, with its map or without."""
        entry = publish.manifest_entry(PATH, data, publish.sha256_hex(block_map)
                                       if block_map else None)
        manifest = {"date": stamp(days), "expires": stamp(days=30), "channel": "release",
                    "files": [entry]}
        contents = [data] + ([block_map] if block_map else [])
        publish.write_release(self.www, "release", manifest, "primary", contents)

    def install_old(self, url: str) -> None:
        """The old file installed by Zelk from a release with its map, as the template
        of every run: its map is recorded, so no update cuts the installed copy."""
        old = self.old.read_bytes()
        self.publish(old, publish.block_map(old), days=-1)
        self.template = self.work / "template"
        run = run_windows(self.bench.wine_run, self.bench.zelk,
                          ["--banc", windows_path(self.template), url])
        if run.code != 10:
            raise BenchError(f"blocks: the install of the old file ended with {run.code}")

    def installed(self) -> None:
        """The old file installed: from the template, else recorded by hand as a
        bench-mode install leaves it, without a map record."""
        shutil.rmtree(self.root, ignore_errors=True)
        if getattr(self, "template", None):
            shutil.copytree(self.template, self.root)
            return
        app = self.root / "Zelk Application Data" / "app"
        app.mkdir(parents=True)
        shutil.copyfile(self.old, app / PATH)
        (app / ".zelk-installed").write_bytes(self.old_line)
        (app / ".zelk-manifest").write_bytes(f"{OLD_DATE}\r\n".encode())

    def update(self, url: str, new: bytes):
        """One bench-mode update from the installed copy: (run, fetched bytes, figures)."""
        self.installed()
        mark = len(self.nginx.requests())
        run = run_windows(self.bench.wine_run, self.bench.zelk,
                          ["--banc", windows_path(self.root), url])
        if run.code != 10:
            raise BenchError(f"blocks: Zelk.exe --banc ended with {run.code}")
        placed = self.root / "Zelk Application Data" / "app" / PATH
        if placed.read_bytes() != new:
            raise BenchError("blocks: the updated file is not the new content")
        fetched = sum(r.size for r in self.nginx.requests()[mark:] if "/files/" in r.path)
        return run, fetched, log_figures(self.root)


def run(bench: Bench) -> None:
    p = bench.plan
    size = p.big_mib * MIB
    note(f"blocks: making a {p.big_mib} MiB file and its four edits")
    old = os.urandom(size)
    stage = Stage(bench, old, "edits")
    try:
        edits(bench, stage, old)
    finally:
        stage.stop()
    try:
        huge(bench)
    finally:
        shutil.rmtree(bench.work / "blocks", ignore_errors=True)


def edits(bench: Bench, stage: Stage, old: bytes) -> None:
    p = bench.plan
    with link.Link(stage.nginx.listeners[0].port, p.wide_rtt_ms, p.wide_mbit) as line:
        url = f"http://127.0.0.1:{line.port}/updates"
        note("blocks: installing the old file")
        stage.install_old(stage.nginx.url())
        for label, goal in EDITS:
            new, changed, count = edited(old, label)
            block_map = publish.block_map(new)
            # Nothing in common: the map, then the whole file.
            bound = (len(new) if label == "all new" else changed + 2 * MAX_BLOCK * count) + \
                len(block_map)
            ours, whole = [], []
            for i in range(p.wide_runs):
                note(f"blocks: {label}, run {i + 1}/{p.wide_runs}")
                stage.publish(new, block_map)
                ours.append(stage.update(url, new))
                stage.publish(new, None)
                whole.append(stage.update(url, new))
            bench.downloads.append(Downloads("10 blocks", label, len(new), {
                "Zelk.exe from blocks": [f for _, f, _ in ours],
                "Zelk.exe whole": [f for _, f, _ in whole]}))
            add_rows(bench, label, goal, bound, ours, whole)


def add_rows(bench, label, goal, bound, ours, whole) -> None:
    fetched = max(f for _, f, _ in ours)
    whole_bytes = median(f for _, f, _ in whole)
    bench.rows.append(Row("10 blocks", f"{label}: bytes fetched, most of the runs (base: whole)",
                          f"{fetched:,}", f"{whole_bytes:,.0f}", f"{fetched / whole_bytes:.3f}",
                          f"bound {bound:,}", "<= bound", verdict(fetched <= bound)))
    seconds = [r.seconds for r, _, _ in ours]
    base = [r.seconds for r, _, _ in whole]
    ratio = median(seconds) / median(base)
    fmt = lambda v: f"{v:.2f}"  # noqa: E731
    bench.rows.append(Row("10 blocks", f"{label}: s (base: whole download)",
                          fmt(median(seconds)), fmt(median(base)), f"{ratio:.2f}", "-",
                          f"<= {goal:.2f} x", verdict(ratio <= goal), spread(seconds, fmt),
                          spread(base, fmt)))
    figures = [f for _, _, f in ours if f is not None]
    peak = max(r.peak for r, _, _ in ours) / MIB
    if figures:
        cut = median(f[0] for f in figures)
        built = median(f[1] for f in figures)
        hashed = median(f[2] for f in figures)
        bench.rows.append(Row(
            "10 blocks", f"{label}: s: copy's map from its record / file built (hashing)",
            f"{cut:.2f} / {built:.2f} ({hashed:.2f})", "-", "-", f"peak {peak:.0f} MiB", "-", ""))
    else:
        bench.rows.append(Row("10 blocks", f"{label}: not built from blocks (fetched whole)",
                              "-", "-", "-", f"peak {peak:.0f} MiB", "-", ""))


def huge(bench: Bench) -> None:
    """A huge_mib MiB installed copy cut and hashed by an update of 1 MiB overwritten,
    straight from nginx: the log's figure against the time 10 % of the file takes at
    200 Mbit/s."""
    p = bench.plan
    size = p.huge_mib * MIB
    note(f"blocks: a {p.huge_mib} MiB installed copy")
    old = os.urandom(size)
    stage = Stage(bench, old, "huge")
    try:
        new, _, _ = edited(old, "1 MiB overwritten")
        stage.publish(new, publish.block_map(new))
        del old
        figures = []
        for i in range(p.wide_runs):
            note(f"blocks: {p.huge_mib} MiB copy, run {i + 1}/{p.wide_runs}")
            run, _, found = stage.update(f"{stage.nginx.url()}", new)
            if found is None:
                raise BenchError("blocks: the huge file was not built from blocks")
            figures.append((found[0], run.peak))
        cut = [c for c, _ in figures]
        tenth = 0.1 * size * 8 / (p.wide_mbit * 1e6)
        fmt = lambda v: f"{v:.2f}"  # noqa: E731
        bench.rows.append(Row(
            "10 blocks", f"{p.huge_mib} MiB copy cut and hashed, s (base: 10 % of it at "
                         f"{p.wide_mbit} Mbit/s)", fmt(median(cut)), fmt(tenth),
            f"{median(cut) / tenth:.2f}", f"peak {max(pk for _, pk in figures) / MIB:.0f} MiB",
            "< 1.00 x", verdict(median(cut) < tenth), spread(cut, fmt)))
    finally:
        stage.stop()

"""scale: releases of many small files in one folder. A fresh install of 10,000 files
of 1 KiB against bare_install.exe on the same files (Wine's own cost of a large folder
falls on both); up-to-date runs over 10,000 and 30,000 installed files against
trivial_get.exe on the same manifest. An update of the 10,000 files with every content
changed, against Zelk's own fresh install of them (no goal).
Goals: install >= 0.9 x the bare loop's files per second; 10,000 files up to date
<= the baseline + 1.0 s; 30,000 files <= 3.5 x 10,000.
With --previous, the earlier Zelk.exe too, interleaved, on the same data."""

from __future__ import annotations

import shutil
from pathlib import Path

from common import Bench, BenchError, Downloads, Release, Row, Run, median, note, spread, verdict

TARGETS = ["bare_install", "trivial_get"]


def run(bench: Bench) -> None:
    p = bench.plan
    count, larger = p.scale_files, p.scale_files * p.scale_factor
    release = bench.scale_release(count)
    bench.base_url(release)
    bench.warm_up()
    contenders = bench.scale_contenders()
    installs: dict[Path, list[Run]] = {zelk: [] for _, zelk in contenders}
    bare = []
    for i in range(p.scale_install_runs):
        note(f"scale: install of {count} files, run {i + 1}/{p.scale_install_runs}")
        for zelk, figures in installs.items():
            figures.append(bench.zelk_install(release, bench.work / "root-zelk", exe=zelk))
        bare.append(bench.bare_install(release, bench.work / "root-bare"))
    # An update that changes every file: every content is fetched, then the files are
    # put in place (the switch, timed from the log).
    changed = bench.scale_release(count, "-changed")
    for i in range(p.scale_install_runs):
        note(f"scale: update of {count} changed files, run {i + 1}/{p.scale_install_runs}")
        for _, zelk in contenders:
            bench.changed_update(release, changed, count, zelk)
    updates = {zelk: bench.update_times[(count, zelk)] for _, zelk in contenders}
    for folder in ("root-zelk", "root-bare", "root-update"):
        shutil.rmtree(bench.work / folder, ignore_errors=True)
    small, trivial = uptodate(bench, release, p.scale_uptodate_runs)
    large, trivial_large = uptodate(bench, bench.scale_release(larger), p.scale_uptodate_runs)

    names = {zelk: f"Zelk.exe{label}" for label, zelk in contenders}
    bench.downloads.append(Downloads("8 scale", f"{count} files, fresh install", release.total, {
        **{names[zelk]: [r.downloaded for r in runs] for zelk, runs in installs.items()},
        "bare": [r.downloaded for r in bare]}))
    bench.downloads.append(Downloads("8 scale", f"{count} files all changed, update",
                                     changed.total, {names[zelk]: [r.downloaded for r in runs]
                                                     for zelk, runs in updates.items()}))
    bare_rate = count / median(r.seconds for r in bare)
    base = median(r.seconds for r in trivial) * 1000
    base_large = median(r.seconds for r in trivial_large) * 1000
    size = f"{p.scale_file_bytes // 1024} KiB" if p.scale_file_bytes >= 1024 else \
        f"{p.scale_file_bytes} B"
    rate = lambda v: f"{v:.0f}"  # noqa: E731
    ms = lambda v: f"{v * 1000:.0f}"  # noqa: E731
    for label, zelk in contenders:
        # Another program's figures are shown against the same goals, but only this
        # tree's decide the exit code.
        judge = verdict if not label else (lambda ok: f"({verdict(ok)})")
        fresh = median(r.seconds for r in installs[zelk])
        files_per_s = count / fresh
        update = median(r.seconds for r in updates[zelk])
        ours = median(r.seconds for r in small[zelk]) * 1000
        ours_large = median(r.seconds for r in large[zelk]) * 1000
        bench.rows += [
            Row("8 scale", f"{count} x {size} fresh install, files/s (base: bare){label}",
                f"{files_per_s:.0f}", f"{bare_rate:.0f}", f"{files_per_s / bare_rate:.2f}", "-",
                ">= 0.90 x", judge(files_per_s >= 0.9 * bare_rate),
                spread((count / r.seconds for r in installs[zelk]), rate),
                spread((count / r.seconds for r in bare), rate)),
            Row("8 scale", f"{count} files all changed, update s (base: install){label}",
                f"{update:.1f}", f"{fresh:.1f}", f"{update / fresh:.2f}",
                spread=spread(r.seconds for r in updates[zelk]),
                base_spread=spread(r.seconds for r in installs[zelk])),
            Row("8 scale", f"{count} files up to date, ms (base: trivial_get){label}",
                f"{ours:.0f}", f"{base:.0f}", f"{ours / base:.2f}", "-", "<= base + 1000",
                judge(ours <= base + 1000), spread((r.seconds for r in small[zelk]), ms),
                spread((r.seconds for r in trivial), ms)),
            Row("8 scale", f"{larger} files up to date, ms (base: {count} files){label}",
                f"{ours_large:.0f}", f"{ours:.0f}", f"{ours_large / ours:.2f}",
                f"{base_large:.0f} (trivial_get)", "<= 3.5 x",
                judge(ours_large <= 3.5 * ours), spread((r.seconds for r in large[zelk]), ms),
                spread((r.seconds for r in small[zelk]), ms)),
        ]


def uptodate(bench: Bench, release: Release, runs: int) -> tuple[dict[Path, list[Run]],
                                                                  list[Run]]:
    """Each contender's runs over an installation that matches release, and
    trivial_get's on its manifest, interleaved; the first of each is discarded."""
    root = bench.installed_by_hand(release, bench.work / "root-scale")
    bench.base_url(release)
    served = bench.served()
    zelks: dict[Path, list[Run]] = {zelk: [] for _, zelk in bench.scale_contenders()}
    trivial = []
    for i in range(runs + 1):
        note(f"scale: {len(release.files)} files up to date, run {i + 1}/{runs + 1}")
        for zelk, figures in zelks.items():
            figures.append(bench.zelk_install(release, root, fresh=False, exe=zelk))
        trivial.append(bench.trivial_get(release))
    fetched = [r.path for r in bench.nginx.requests()[served:] if "/files/" in r.path]
    if fetched:
        raise BenchError(f"an up-to-date run downloaded {len(fetched)} file(s)")
    shutil.rmtree(root, ignore_errors=True)
    return {zelk: figures[1:] for zelk, figures in zelks.items()}, trivial[1:]

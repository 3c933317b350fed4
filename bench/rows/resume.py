"""resume: an update cut short, then run again from nginx: 100 files of 1 MiB killed
once a third of their bytes are on disk (served paced by the fault server), and the
256 MiB file whose connection is lost at 90%.
Goals: the second run downloads at most two thirds plus one file, and at most 11% of
the big file. With --previous, the earlier Zelk.exe too."""

from __future__ import annotations

import os
import shutil
import subprocess
import time
from pathlib import Path

import servers
from common import MIB, Bench, BenchError, Release, Row, note, run_windows, verdict, windows_path


def run(bench: Bench) -> None:
    """An update cut short, then run again: what the second run downloads."""
    contenders = [("Zelk.exe", bench.zelk)] + (
        [("previous", bench.previous)] if bench.previous else [])
    many = bench.release("resume")
    big = bench.release("big")
    for label, exe in contenders:
        fraction = resume_after_kill(bench, many, exe) / many.total
        limit = 2 / 3 + bench.plan.small_mib * MIB / many.total
        bench.rows.append(Row(
            "4 resume", f"{len(many.files)} files killed at 1/3: refetched ({label})",
            f"{fraction:.1%}", "-", "-", "-",
            f"<= {limit:.1%}" if label == "Zelk.exe" else "-",
            verdict(fraction <= limit) if label == "Zelk.exe" else ""))
        fraction = resume_after_cut(bench, big, exe) / big.total
        bench.rows.append(Row(
            "4 resume", f"1 x {bench.plan.big_mib} MiB cut at 90%: refetched ({label})",
            f"{fraction:.1%}", "-", "-", "-",
            "<= 11.0%" if label == "Zelk.exe" else "-",
            verdict(fraction <= 0.11) if label == "Zelk.exe" else ""))


def mirror_release(fault: servers.FaultServer, release: Release, answer) -> None:
    """Routes the fault server to serve release as nginx does under /NAME, each file's
    content through answer(data)."""
    folder = release.root / "release"
    for name in ("manifest.json", "manifest.sig"):
        fault.route(f"/{release.name}/release/{name}", servers.body((folder / name).read_bytes()))
    for _, digest, _ in release.files:
        data = (folder / "files" / digest).read_bytes()
        fault.route(f"/{release.name}/release/files/{digest}", answer(data))


def bytes_on_disk(root: Path) -> int:
    """What an install has put below its root so far, partial downloads included."""
    total = 0
    for folder, _, names in os.walk(root):
        for name in names:
            try:
                total += os.path.getsize(os.path.join(folder, name))
            except OSError:
                pass
    return total


def resume_after_kill(bench: Bench, release: Release, exe: Path) -> int:
    """Killed (no chance to clean up) once a third of the release's bytes are on disk,
    then run again from nginx: the bytes that second run downloads."""
    root = bench.work / "root-resume"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    bench.base_url(release)
    with servers.FaultServer() as fault:
        # Paced, so that the moment of the kill can be chosen.
        mirror_release(fault, release, lambda data: servers.trickle(data, 65536, 0.02))
        note(f"resume: {exe.name} killed at a third of {release.total / MIB:.0f} MiB")
        process = subprocess.Popen(
            [str(bench.wine_run), str(exe), "--banc", windows_path(root),
             f"{fault.url}/{release.name}"], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 300
        while bytes_on_disk(root) < release.total / 3:
            if process.poll() is not None or time.monotonic() > deadline:
                process.kill()
                raise BenchError("the paced update ended before a third of it was on disk")
            time.sleep(0.01)
        process.kill()
        process.wait()
    return second_run(bench, release, root, exe)


def resume_after_cut(bench: Bench, release: Release, exe: Path) -> int:
    """The connection lost at 90% of one big file, then run again from nginx."""
    root = bench.work / "root-resume"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    bench.base_url(release)
    with servers.FaultServer() as fault:
        mirror_release(fault, release, lambda data: servers.cut(data, len(data) * 9 // 10))
        note(f"resume: {exe.name} cut at 90% of {release.total / MIB:.0f} MiB")
        run_windows(bench.wine_run, exe, ["--banc", windows_path(root),
                                          f"{fault.url}/{release.name}"])
    return second_run(bench, release, root, exe)


def second_run(bench: Bench, release: Release, root: Path, exe: Path) -> int:
    """The run after the fault, from nginx: the bytes it downloads."""
    run = bench.zelk_install(release, root, fresh=False, exe=exe)
    shutil.rmtree(root, ignore_errors=True)
    return run.downloaded

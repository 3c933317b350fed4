"""window: normal mode (no --banc) of Zelk-trace.exe under Xvfb during a 256 MiB
download from the tree's first built-in server: status updates, frames, update-to-frame
delay, flow end to window closed.
Goals: never more than one frame behind; closed within 100 ms."""

from __future__ import annotations

import bisect
import json
import shutil
import time
from dataclasses import dataclass
from pathlib import Path

import servers
from common import (MIB, Bench, BenchError, Row, first_server_port, make_release, median, note,
                    run_windows, spread, verdict, windows_path, wine_env)

TARGETS = ["Zelk-trace", "zelk_standin_launcher"]


def run(bench: Bench) -> None:
    window = WindowBench(bench)
    results = [window.run(i) for i in range(bench.plan.window_runs)]
    runs = len(results)
    updates = median(r.updates for r in results)
    frames = median(r.frames for r in results)
    skipped = max(r.largest_skip for r in results)
    delay = max(r.largest_delay_ms for r in results)
    frame_ms = median(r.frame_interval_ms for r in results)
    behind = max(r.behind for r in results)
    most = max(r.most_frames_behind for r in results)
    close = max(r.close_ms for r in results)
    label = f"{bench.plan.window_mib} MiB"
    bench.rows += [
        Row("6 window", f"{label}: status updates / frames (median of {runs})",
            f"{updates:.0f} / {frames:.0f}"),
        Row("6 window", "most updates skipped between two frames", f"{skipped}",
            spread=spread((r.largest_skip for r in results), lambda v: f"{v}")),
        Row("6 window", "largest update-to-frame delay, ms (base: frame)", f"{delay:.1f}",
            f"{frame_ms:.1f}", f"{delay / frame_ms:.2f}" if frame_ms else "-",
            spread=spread(r.largest_delay_ms for r in results),
            base_spread=spread(r.frame_interval_ms for r in results)),
        Row("6 window", "frames behind: most / updates > 1", f"{most} / {behind}", "1 / 0",
            "-", "-", "<= 1 frame", verdict(behind == 0)),
        Row("6 window", "flow end to window closed, ms", f"{close:.1f}", "-", "-", "-",
            "<= 100", verdict(close <= 100), spread(r.close_ms for r in results)),
    ]


@dataclass
class WindowRun:
    updates: int
    frames: int
    largest_skip: int  # status versions that no frame showed, most between two frames
    largest_delay_ms: float  # update to the first frame showing it (or a later version)
    most_frames_behind: int  # frames drawn after an update that did not yet show it
    behind: int  # updates with more than one such frame, or never shown
    frame_interval_ms: float  # median time between two frames while updates stream
    close_ms: float


def analyse_trace(text: str) -> WindowRun:
    """Reads the record that Zelk-trace.exe writes (bench/frame_trace_log.cpp)."""
    frequency, dropped = 0, 0
    statuses, frames, flow, closed = [], [], [], []
    for line in text.splitlines():
        words = line.split()
        if words[0] == "frequency":
            frequency = int(words[1])
        elif words[0] == "dropped":
            dropped = int(words[1])
        else:
            event = (int(words[1]), int(words[2]))
            {"status": statuses, "frame": frames, "flow": flow, "closed": closed}[words[0]].append(
                event)
    if not frequency or dropped or len(flow) != 1 or len(closed) != 1 or not frames \
            or not statuses:
        raise BenchError(f"incomplete frame trace (dropped {dropped}, flow {len(flow)}, "
                         f"closed {len(closed)}, frames {len(frames)})")
    ms = 1000.0 / frequency
    statuses.sort()
    frames.sort()
    frame_times = [t for t, _ in frames]
    frame_versions = [v for _, v in frames]
    if frame_versions != sorted(frame_versions):
        raise BenchError("a frame showed an older status than the frame before it")
    end = closed[0][0]

    largest_delay, most_behind, behind = 0.0, 0, 0
    for t, version in statuses:
        if t > end:
            continue  # nothing can show an update made after the window closed
        # Frame versions never decrease: the first frame at or after t that shows
        # this version or a later one.
        first = max(bisect.bisect_left(frame_times, t),
                    bisect.bisect_left(frame_versions, version))
        if first == len(frames) or frame_times[first] > end:
            behind += 1  # never shown while the window was up
            continue
        skipped_frames = first - bisect.bisect_left(frame_times, t)
        most_behind = max(most_behind, skipped_frames)
        behind += skipped_frames > 1
        largest_delay = max(largest_delay, (frame_times[first] - t) * ms)

    largest_skip = max((b - a - 1 for a, b in zip(frame_versions, frame_versions[1:])),
                       default=0)
    # How long one frame takes while updates stream: frames are then drawn back to back.
    first_update, last_update = statuses[0][0], statuses[-1][0]
    busy = [b - a for a, b in zip(frame_times, frame_times[1:])
            if a >= first_update and b <= last_update]
    return WindowRun(len(statuses), len(frames), max(largest_skip, 0), largest_delay,
                     most_behind, behind, median(busy) * ms if busy else 0.0,
                     (end - flow[0][0]) * ms)


class WindowBench:
    """Zelk-trace.exe in its normal mode against nginx on the first built-in server's
    port, with a clean per-user installation in the tree's prefix before and after."""

    def __init__(self, bench: Bench):
        self.bench = bench
        self.env = wine_env(bench.wine_run)
        users = Path(self.env["WINEPREFIX"]) / "drive_c" / "users"
        self.profile = next(p for p in users.iterdir() if p.name.lower() != "public")

    def clean(self) -> None:
        local = self.profile / "AppData" / "Local"
        for entry in local.iterdir() if local.exists() else ():
            if entry.name.lower() == "zelk":
                shutil.rmtree(entry)
        for path in (local / "Temp" / "Zelk-renommage.exe",
                     self.profile / "Desktop" / "Zelk.lnk",
                     self.profile / "AppData" / "Roaming" / "Microsoft" / "Windows" /
                     "Start Menu" / "Programs" / "Zelk.lnk"):
            path.unlink(missing_ok=True)

    def run(self, index: int) -> WindowRun:
        b = self.bench
        folder = b.work / "window"
        if not folder.exists():
            note("making the window's release")
            make_release("updates", folder / "updates",
                         [("ZelkLauncher.exe", b.standin.read_bytes()),
                          ("big.bin", b.plan.window_mib * MIB)])
        trace = folder / f"trace-{index}.txt"
        record = folder / f"launcher-{index}.txt"
        note(f"window: run {index + 1}/{b.plan.window_runs}")
        self.clean()
        try:
            self.run_once(folder, trace, record)
        finally:
            self.clean()
        return analyse_trace(trace.read_text())

    def run_once(self, folder: Path, trace: Path, record: Path) -> None:
        b = self.bench
        port = first_server_port(b.build)
        nginx = servers.Nginx(folder / "nginx", folder / "updates",
                              [servers.Listener(port=port)], url_prefix="/updates/")
        try:
            nginx.start()
        except RuntimeError as error:
            raise BenchError(f"port {port} is taken (process tests running?): "
                             f"{error}")
        try:
            run = run_windows(b.wine_run, b.zelk_trace, [],
                              env={"ZELK_FRAME_TRACE": windows_path(trace),
                                   "ZELK_STANDIN_RECORD": windows_path(record)})
            big = "/files/" + digest_of(folder, "big.bin")
            if not any(r.path.endswith(big) and r.status == 200 for r in nginx.requests()):
                raise BenchError("the normal run did not download the big file")
        finally:
            nginx.stop()
        if run.code != 0:
            raise BenchError(f"Zelk-trace.exe ended with {run.code}")
        # Result 0 means the launcher was started; it may write its record after
        # Zelk has ended.
        deadline = time.monotonic() + 20
        while not record.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        if not record.exists():
            raise BenchError("the normal run did not start the launcher")
        if not trace.exists():
            raise BenchError("Zelk-trace.exe wrote no frame trace")


def digest_of(folder: Path, path: str) -> str:
    manifest = json.loads((folder / "updates" / "release" / "manifest.json").read_text())
    return next(e["sha256"] for e in manifest["files"] if e["path"] == path)
